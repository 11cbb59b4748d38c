// service_process.cpp - spawns qel-lua-service with its stdout in an unlinked file,
// polled for the endpoint line; stopping is always bounded.
#include "service_process.h"

#include <cerrno>
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

ServiceProcess::ServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(QEL_LUA_SERVICE_PATH, args) {}

ServiceProcess::ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::string& bind) {
    char path[] = "/tmp/qel_service_outXXXXXX";
    // Close-on-exec keeps other children from holding this file; dup2 clears it for stdout.
    output_ = mkostemp(path, O_CLOEXEC);
    if (output_ < 0) throw std::runtime_error("mkostemp failed");
    unlink(path);

    std::vector<std::string> argv = {program, "--bind", bind};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& arg : argv)
        cargv.push_back(arg.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output_, STDOUT_FILENO);
    const int spawned = posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), environ);
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
            stop(SIGTERM, std::chrono::seconds(5));
            close(output_);
            output_ = -1;
            throw std::runtime_error("qel-lua-service did not announce an endpoint: " + program);
        }
        std::this_thread::sleep_for(kPoll);
    }
    endpoint_ = text.substr(0, text.find('\n'));
    port_ = std::atoi(endpoint_.c_str() + endpoint_.rfind(':') + 1);
}

ServiceProcess::~ServiceProcess() {
    if (!exitCode_) stop(SIGTERM, std::chrono::seconds(10));
    if (output_ >= 0) close(output_);
}

bool ServiceProcess::running() {
    return pid_ > 0 && !waitExit(std::chrono::milliseconds(0));
}

void ServiceProcess::signal(int sig) const {
    if (pid_ > 0 && !exitCode_) kill(pid_, sig);
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

std::optional<int> ServiceProcess::stop(int sig, std::chrono::milliseconds limit) {
    signal(sig);
    if (auto code = waitExit(limit)) return code;
    // Past its limit the service is killed, and the caller learns it did not stop.
    if (pid_ > 0 && !exitCode_) kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(10));
    return std::nullopt;
}
