// service_process.cpp - spawns the program with its stdout in an unlinked file, polled
// for the endpoint line; stopping is always bounded and by the child's own PID.
#include "service_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {
constexpr auto kStartLimit = std::chrono::seconds(30); // sanitizer builds start slowly
constexpr auto kPoll = std::chrono::milliseconds(5);
} // namespace

#ifdef QEL_LUA_SERVICE
ServiceProcess::ServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(QEL_LUA_SERVICE, args) {}
#endif

ServiceProcess::ServiceProcess(const std::string& program, std::vector<std::string> args) {
    char path[] = "/tmp/qel_service_outXXXXXX";
    // Close-on-exec keeps other children from holding this file; dup2 clears it for stdout.
    output_ = mkostemp(path, O_CLOEXEC);
    if (output_ < 0) throw std::runtime_error("mkostemp failed");
    unlink(path);

    if (std::find(args.begin(), args.end(), "--bind") == args.end())
        args.insert(args.begin(), {"--bind", "tcp://127.0.0.1:*"});
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output_, STDOUT_FILENO);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        close(output_);
        output_ = -1;
        throw std::runtime_error("cannot start " + program);
    }

    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        char buffer[512];
        const ssize_t n = pread(output_, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (waitExit(std::chrono::milliseconds(0)) || std::chrono::steady_clock::now() > deadline) {
            stop(std::chrono::seconds(5));
            close(output_);
            output_ = -1;
            throw std::runtime_error(program + " did not announce an endpoint");
        }
        std::this_thread::sleep_for(kPoll);
    }
    endpoint_ = text.substr(0, text.find('\n'));
    port_ = std::atoi(endpoint_.c_str() + endpoint_.rfind(':') + 1);
}

ServiceProcess::~ServiceProcess() {
    if (!exitCode_) stop(std::chrono::seconds(10));
    if (output_ >= 0) close(output_);
}

bool ServiceProcess::running() {
    return pid_ > 0 && !waitExit(std::chrono::milliseconds(0));
}

void ServiceProcess::terminate() const {
    if (pid_ > 0 && !exitCode_) kill(pid_, SIGTERM);
}

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds limit) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (done < 0 && errno != EINTR) return exitCode_;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPoll);
    }
}

std::optional<int> ServiceProcess::stop(std::chrono::milliseconds limit) {
    terminate();
    if (auto code = waitExit(limit)) return code;
    // Past its limit the program is killed, and the caller learns it did not stop.
    if (pid_ > 0 && !exitCode_) kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(10));
    return std::nullopt;
}
