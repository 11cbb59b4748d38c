// service_process.cpp - spawns the program with its stdout and stderr in unlinked files,
// stdout polled for the endpoint line; stopping is always bounded and by the child's own PID.
#include "service_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "timing.h"

extern char** environ;

namespace {
constexpr auto kStartLimit = std::chrono::seconds(30); // sanitizer builds start slowly
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr std::size_t kLogPassedOn = 256 * 1024;

// Close-on-exec keeps other children from holding the file; dup2 clears it for the
// program. Appending keeps the lines of the supervisor and its workers, which share
// the file, from overwriting each other.
int unlinkedFile(int flags) {
    char path[] = "/tmp/qel_service_outXXXXXX";
    const int fd = mkostemp(path, O_CLOEXEC | flags);
    if (fd >= 0) unlink(path);
    return fd;
}

std::string readAll(int fd, std::size_t from = 0) {
    std::string text;
    char buffer[4096];
    for (ssize_t n;
         (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(from + text.size()))) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// The line "qel-lua-service: peer ADDRESS in N out N MS ms ok|error".
std::optional<LoggedRequest> parseRequestLine(const std::string& line) {
    static const std::string prefix = "qel-lua-service: peer ";
    if (line.rfind(prefix, 0) != 0) return std::nullopt;
    const std::size_t in = line.find(" in ", prefix.size() - 1);
    if (in == std::string::npos) return std::nullopt;
    LoggedRequest request;
    double ms = 0;
    char status[8] = {};
    if (std::sscanf(line.c_str() + in, " in %zu out %zu %lf ms %7s", &request.in, &request.out, &ms,
                    status) != 4) {
        return std::nullopt;
    }
    request.ok = std::strcmp(status, "ok") == 0;
    return request;
}
} // namespace

#ifdef QEL_LUA_SERVICE
ServiceProcess::ServiceProcess(const std::vector<std::string>& args)
    : ServiceProcess(QEL_LUA_SERVICE, args) {}
#endif

ServiceProcess::ServiceProcess(const std::string& program, std::vector<std::string> args) {
    output_ = unlinkedFile(0);
    errors_ = unlinkedFile(O_APPEND);
    if (output_ < 0 || errors_ < 0) {
        for (int fd : {output_, errors_})
            if (fd >= 0) close(fd);
        throw std::runtime_error("mkostemp failed");
    }

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
    posix_spawn_file_actions_adddup2(&actions, errors_, STDERR_FILENO);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        close(output_);
        close(errors_);
        output_ = errors_ = -1;
        throw std::runtime_error("cannot start " + program);
    }

    // The endpoint is the first line it prints; the wait ends early if it exits first.
    std::string text;
    auto announced = [&] {
        char buffer[512];
        for (ssize_t n;
             (n = pread(output_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text.find('\n') != std::string::npos || waitExit(std::chrono::milliseconds(0));
    };
    if (!waitUntil(announced, kStartLimit, kPoll) || text.find('\n') == std::string::npos) {
        stop(std::chrono::seconds(5));
        const std::string errors = log();
        close(output_);
        close(errors_);
        output_ = errors_ = -1;
        throw std::runtime_error(program + " did not announce an endpoint: " + errors);
    }
    endpoint_ = text.substr(0, text.find('\n'));
    port_ = std::atoi(endpoint_.c_str() + endpoint_.rfind(':') + 1);
}

ServiceProcess::~ServiceProcess() {
    if (!exitCode_) stop(std::chrono::seconds(10));
    if (output_ >= 0) close(output_);
    // The --verbose log of a flood of requests runs to megabytes of lines alike; its end,
    // where a failure shows, is what is passed on.
    const std::size_t size = logSize();
    const std::size_t from = size > kLogPassedOn ? size - kLogPassedOn : 0;
    std::string errors = log(from);
    if (from > 0)
        errors.insert(0, "[the first " + std::to_string(from) + " bytes of the log left out]\n");
    (void)!write(STDERR_FILENO, errors.data(), errors.size());
    if (errors_ >= 0) close(errors_);
}

std::string ServiceProcess::log(std::size_t from) const {
    return errors_ >= 0 ? readAll(errors_, from) : std::string();
}

std::size_t ServiceProcess::logSize() const {
    struct stat file {};
    return errors_ >= 0 && fstat(errors_, &file) == 0 ? static_cast<std::size_t>(file.st_size) : 0;
}

std::vector<LoggedRequest> ServiceProcess::answered() const {
    std::vector<LoggedRequest> requests;
    std::istringstream lines(log());
    // A last line without its newline may still be being written; it is read next time.
    for (std::string line; std::getline(lines, line) && !lines.eof();) {
        if (auto request = parseRequestLine(line)) requests.push_back(*request);
    }
    return requests;
}

bool ServiceProcess::running() {
    return pid_ > 0 && !waitExit(std::chrono::milliseconds(0));
}

void ServiceProcess::terminate() const {
    if (pid_ > 0 && !exitCode_) kill(pid_, SIGTERM);
}

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds limit) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    // Ended, or past waiting for (not a child of this process): either way the answer is
    // exitCode_, which stays empty unless the program was reaped.
    auto reaped = [this] {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return done == pid_ || (done < 0 && errno != EINTR);
    };
    waitUntil(reaped, limit, kPoll);
    return exitCode_;
}

std::optional<int> ServiceProcess::stop(std::chrono::milliseconds limit) {
    terminate();
    if (auto code = waitExit(limit)) return code;
    // Past its limit the program is killed, and the caller learns it did not stop.
    if (pid_ > 0 && !exitCode_) kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(10));
    return std::nullopt;
}
