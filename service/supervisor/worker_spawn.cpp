// worker_spawn.cpp - posix_spawn of a worker, and the signals sent to one. Every signal
// the supervisor blocks or ignores is unblocked and reset in the child, which starts as
// any process does and chooses its own.
#include "worker_spawn.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "channel.h"
#include "log.h"
#include "preload_snapshot.h"
#include "sanitizers.h"

extern char** environ;

namespace qel {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings)
        list.push_back(s.data());
    list.push_back(nullptr);
    return list;
}

// Each call is checked: a child with a descriptor missing or misplaced would serve a
// channel that is not its own.
int placeDescriptors(posix_spawn_file_actions_t& actions, const ChannelFds& channel) {
    int failed = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (failed == 0)
        failed =
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int moves[][2] = {
        {channel.control, kControlFd},           {channel.request, kRequestFd},
        {channel.aheadRequest, kAheadRequestFd}, {channel.replies[0], kReplyFds[0]},
        {channel.replies[1], kReplyFds[1]},      {channel.doorbell, kDoorbellFd}};
    for (const auto& move : moves) {
        if (failed == 0) failed = posix_spawn_file_actions_adddup2(&actions, move[0], move[1]);
    }
    if (failed == 0 && channel.preload >= 0)
        failed = posix_spawn_file_actions_adddup2(&actions, channel.preload, kPreloadFd);
    if (failed == 0 && channel.arena >= 0)
        failed = posix_spawn_file_actions_adddup2(&actions, channel.arena, kArenaFd);
    return failed;
}

// All of them, not a list kept beside the supervisor's: a signal ignored there and
// forgotten here would be ignored in the worker too, its deadline signal among them.
int resetSignals(posix_spawnattr_t& attributes) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    int failed = posix_spawnattr_setsigmask(&attributes, &none);
    if (failed == 0) failed = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (failed == 0)
        failed =
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return failed;
}

// The environment a worker process is started with: empty, except that sanitizer
// builds pass on their runtimes' options. Trusted workers, whose scripts may read it
// through os.getenv, get the service's own.
std::vector<std::string> workerEnvironment(bool trusted) {
    std::vector<std::string> environment;
    if (trusted) {
        for (char** entry = environ; *entry != nullptr; ++entry)
            environment.emplace_back(*entry);
        return environment;
    }
#ifdef QEL_SANITIZED
    for (char** entry = environ; *entry != nullptr; ++entry) {
        for (const char* name :
             {"ASAN_OPTIONS=", "LSAN_OPTIONS=", "UBSAN_OPTIONS=", "TSAN_OPTIONS="}) {
            if (std::strncmp(*entry, name, std::strlen(name)) == 0)
                environment.emplace_back(*entry);
        }
    }
#endif
    return environment;
}

} // namespace

pid_t spawnWorker(int exe, const ServiceOptions& options, const ChannelFds& channel) {
    std::vector<std::string> args = {"qel-lua-service", "--worker=" + std::to_string(getpid())};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environment = workerEnvironment(options.limits.trusted);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(environment);
    const std::string path = "/proc/self/fd/" + std::to_string(exe);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int failed = posix_spawn_file_actions_init(&actions);
    if (failed == 0 && (failed = posix_spawnattr_init(&attributes)) != 0)
        posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        LogLine("error", formatted("cannot start a worker: %s", std::strerror(failed))).write();
        return -1;
    }
    failed = placeDescriptors(actions, channel);
    if (failed == 0) failed = resetSignals(attributes);
    pid_t pid = -1;
    if (failed == 0)
        failed = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        LogLine("error", formatted("cannot start a worker: %s", std::strerror(failed))).write();
        return -1;
    }
    return pid;
}

// Anything but a process already gone is a fault worth saying.
void signalWorker(pid_t pid, int signal, std::uint32_t sequence) {
    sigval value{};
    value.sival_int = static_cast<int>(sequence);
    const int result = signal == SIGKILL ? kill(pid, signal) : sigqueue(pid, signal, value);
    if (result != 0 && errno != ESRCH) {
        LogLine("error", formatted("cannot signal worker %d: %s", static_cast<int>(pid),
                                   std::strerror(errno)))
            .with("pid", static_cast<int>(pid))
            .write();
    }
}

} // namespace qel
