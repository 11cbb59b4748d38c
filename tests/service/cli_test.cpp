// cli_test.cpp - qel-lua against a real service: answers, exit statuses, script
// sources, and the interactive prompt and the notice of a late answer driven through a
// pseudo-terminal.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "peer.h"
#include "processes.h"
#include "service_process.h"
#include "timing.h"

namespace {

class CliTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { service_ = std::make_unique<ServiceProcess>(); }
    static void TearDownTestSuite() { service_.reset(); }
    void SetUp() override { ASSERT_NE(service_, nullptr) << "qel-lua-service did not start"; }

    static ProgramResult cli(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"-p", std::to_string(service_->port())});
        return runProgram(QEL_LUA_CLI, args, input);
    }

    static std::unique_ptr<ServiceProcess> service_;
};

std::unique_ptr<ServiceProcess> CliTest::service_;

// Reads from fd until `needle` has been seen or the deadline passes.
bool readUntil(int fd, std::string& seen, const std::string& needle,
               std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (seen.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd item{fd, POLLIN, 0};
        if (poll(&item, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// The exit status of a child on a pseudo-terminal, its output drained meanwhile; -1 when
// it had to be killed after a bounded wait.
int exitStatus(pid_t pid, int master) {
    int status = -1;
    const bool ended = waitUntil(
        [&] {
            if (waitpid(pid, &status, WNOHANG) != 0) return true;
            std::string rest; // keep the terminal drained while waiting
            readUntil(master, rest, "\x01", std::chrono::milliseconds(10));
            return false;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "qel-lua did not end";
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(CliTest, ScriptsRunInOrderAndExitZero) {
    const ProgramResult result = cli({"-e", "return _VERSION, 6*7", "-e", "print('p') return 1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "Lua 5.4\t42\np\n1\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(CliTest, ErrorAnswerExitsOneButRunsTheRest) {
    const ProgramResult result = cli({"-e", "error('bad', 0)", "-e", "return 'after'"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "error: bad\nafter\n");
}

TEST_F(CliTest, FileAndStandardInput) {
    const std::string path = ::testing::TempDir() + "qel_cli_script.lua";
    {
        std::ofstream file(path);
        file << "local t = {}\nfor i = 1, 3 do t[i] = i * 2 end\nreturn table.concat(t, ' ')\n";
    }
    ProgramResult result = cli({path});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "2 4 6\n");
    std::remove(path.c_str());

    result = cli({"-"}, "return 'from stdin'");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "from stdin\n");
    // No script and no terminal: standard input is the script.
    result = cli({}, "print('piped')");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "piped\n\n");
}

TEST_F(CliTest, WrongArgumentsExitTwoWithAMessage) {
    const std::string nulFile = ::testing::TempDir() + "qel_cli_nul.lua";
    std::ofstream(nulFile, std::ios::binary) << std::string("return 1 --\0after", 17);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string says; // part of the message on standard error
    };
    const Case cases[] = {
        {{"-p", "notaport"}, "", "invalid port"},
        {{"-p", "70000"}, "", "invalid port"},
        {{"-e"}, "", "missing value"},
        {{"-H", "", "-e", "return 1"}, "", "empty host"},
        {{"--bogus"}, "", "unknown option"},
        {{"--help=x"}, "", "unknown option"},
        {{"--version=x"}, "", "unknown option"},
        {{"a.lua", "b.lua"}, "", "more than one file"},
        {{"/nonexistent/script.lua"}, "", "cannot open /nonexistent/script.lua"},
        // Each of these would have waited for ever on a name ZeroMQ resolves in the background.
        {{"-H", "no.such.host.invalid", "-e", "return 1"}, "", "cannot resolve host"},
        {{"-H", "127.0.0.1:5555", "-e", "return 1"}, "", "cannot resolve host '127.0.0.1:5555'"},
        {{"-H", "no such host", "-e", "return 1"}, "", "cannot resolve host 'no such host'"},
        // The library would send only what comes before a NUL byte.
        {{nulFile}, "", nulFile + ": NUL byte at offset 11"},
        {{"-"}, std::string("return 1\0", 10), "standard input: NUL byte at offset 8"},
        {{"/dev/zero"}, "", "/dev/zero is larger than 134217728 bytes"},
    };
    for (const Case& c : cases) {
        const ProgramResult result = runProgram(QEL_LUA_CLI, c.args, c.input);
        EXPECT_EQ(result.exitCode, 2) << c.says;
        EXPECT_EQ(result.err.rfind("qel-lua: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << c.says;
    }
    std::remove(nulFile.c_str());
    const ProgramResult help = runProgram(QEL_LUA_CLI, {"--help"}, "");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: qel-lua"), std::string::npos);
}

TEST_F(CliTest, InteractivePromptOnATerminal) {
    int master = -1;
    const std::string port = std::to_string(service_->port());
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(QEL_LUA_CLI, QEL_LUA_CLI, "-p", port.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    EXPECT_TRUE(readUntil(master, seen, "> ", std::chrono::seconds(10))) << seen;
    const std::string first = "return 6*7\n";
    ASSERT_EQ(write(master, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_TRUE(readUntil(master, seen, "42\r\n> ", std::chrono::seconds(10))) << seen;
    const std::string second = "error('oops', 0)\n";
    ASSERT_EQ(write(master, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    EXPECT_TRUE(readUntil(master, seen, "error: oops\r\n> ", std::chrono::seconds(10))) << seen;
    const char eof = 4; // Ctrl-D at the start of a line: end of input
    ASSERT_EQ(write(master, &eof, 1), 1);

    EXPECT_EQ(exitStatus(pid, master), 1); // one of the scripts answered an error
    close(master);
}

TEST(CliWaiting, ATerminalIsToldWhatALateAnswerWaitsFor) {
    for (const bool terminal : {true, false}) {
        std::promise<void> answer;
        const std::shared_future<void> answered = answer.get_future().share();
        TestPeer peer([answered](const std::string&) {
            answered.wait_for(std::chrono::seconds(20));
            return TestPeer::Parts{"42"};
        });
        const std::string port = std::to_string(peer.port());
        int errors[2];
        ASSERT_EQ(pipe(errors), 0);
        int master = -1;
        const auto started = std::chrono::steady_clock::now();
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!terminal) dup2(errors[1], STDERR_FILENO);
            execl(QEL_LUA_CLI, QEL_LUA_CLI, "-p", port.c_str(), "-e", "return 42",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(errors[1]);
        ASSERT_TRUE(waitUntil([&] { return peer.requestCount() == 1; }, std::chrono::seconds(10)));
        const std::string notice = "qel-lua: waiting for an answer from 127.0.0.1:" + port +
                                   " (the library has no time-out; Ctrl-C stops)";
        std::string seen;
        if (terminal) {
            EXPECT_TRUE(readUntil(master, seen, notice, std::chrono::seconds(10))) << seen;
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
        } else {
            // Past the notice's 2 s, which a pipe must never see.
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        }
        answer.set_value();
        EXPECT_TRUE(readUntil(master, seen, "42\r\n", std::chrono::seconds(10))) << seen;
        // The notice is wiped before the answer is printed.
        const std::string wiped = "\r" + std::string(notice.size(), ' ') + "\r";
        EXPECT_EQ(seen, terminal ? notice + wiped + "42\r\n" : "42\r\n");
        EXPECT_EQ(exitStatus(pid, master), 0);
        close(master);
        std::string written;
        readUntil(errors[0], written, "\n", std::chrono::seconds(1));
        close(errors[0]);
        EXPECT_EQ(written, "");
    }
}
