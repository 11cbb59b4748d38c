// cli_test.cpp - qel-lua against a real service: answers, exit statuses, script
// sources, and the interactive prompt driven through a pseudo-terminal.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "processes.h"
#include "service_process.h"

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
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-p", "notaport"},
                                                 {"-p", "70000"},
                                                 {"-e"},
                                                 {"-H", "", "-e", "return 1"},
                                                 {"--bogus"},
                                                 {"a.lua", "b.lua"},
                                                 {"/nonexistent/script.lua"}}) {
        const ProgramResult result = runProgram(QEL_LUA_CLI, args, "");
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_NE(result.err.find("qel-lua:"), std::string::npos) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
    }
    const ProgramResult help = runProgram(QEL_LUA_CLI, {"--help"}, "");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: qel-lua"), std::string::npos);
}

TEST_F(CliTest, LibraryFailureExitsTwo) {
    // ZeroMQ refuses a host name it cannot resolve: connectToQelLuaService returns -1.
    const ProgramResult result =
        runProgram(QEL_LUA_CLI, {"-H", "no such host", "-p", "5555", "-e", "return 1"}, "");
    EXPECT_EQ(result.exitCode, 2);
    // The library prints ZeroMQ's reason on standard output; qel-lua keeps it off its
    // own (answers only) and puts it into its error line instead.
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "qel-lua: cannot connect to tcp://no such host:5555: Invalid argument\n");
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

    int status = -1;
    for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::string rest; // keep the terminal drained while waiting
        readUntil(master, rest, "\x01", std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status) && waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "qel-lua did not end at end of input";
    }
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1); // one of the scripts answered an error
}
