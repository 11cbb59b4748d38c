// jail_test.cpp - the worker's jail: each call a taken-over worker could use to reach
// past its channel, tried in a forked child after the same enterJail that workers run;
// the jail of a running service's worker as /proc shows it; and a filtered call killing
// a busy worker, whose client the supervisor answers as for any crash.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "clients.h"
#include "jail.h"
#include "processes.h"
#include "sanitizers.h"
#include "service_process.h"
#include "timing.h"

using qel::kSanitized;

namespace {

constexpr int kAreaFd = 3;                    // a memfd the jail keeps, as a reply area
constexpr int kMeasuredFd = 4;                // one it only reads the size of, as a request area
constexpr std::uint64_t kFileLimit = 1 << 20; // the jail's file-size limit in these tests
constexpr int kNoJail = 99;                   // the child could not enter the jail
constexpr int kFailed = 100;                  // plus errno: the call failed

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs body in a forked child, after the jail, and returns how the child ended; one
// still running after 10 s is killed. The child's log is a file of its own, which
// every call on it could really erase or rewrite.
int jailedStatus(const std::function<long()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (int fd : {STDERR_FILENO, kAreaFd, kMeasuredFd}) {
            const int file = memfd_create("area", 0);
            if (file < 0 || dup2(file, fd) != fd) _exit(kNoJail);
        }
        qel::JailSettings settings;
        settings.parent = getppid();
        settings.lastFd = kMeasuredFd;
        settings.growable = {kAreaFd};
        settings.measurable = {kMeasuredFd};
        settings.maxFileSize = kFileLimit;
        try {
            qel::enterJail(settings);
        } catch (...) {
            _exit(kNoJail);
        }
        errno = 0;
        _exit(body() >= 0 ? 0 : kFailed + errno);
    }
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd ended{handle, POLLIN, 0};
    if (handle < 0 || poll(&ended, 1, 10000) != 1) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (handle >= 0) close(handle);
    return status;
}

struct Attempt {
    const char* what;
    std::function<long()> call;
    bool sanitizersNeedIt; // on the sanitizer builds' list (see jail.cpp)
};

long mapping(int prot) {
    void* at = mmap(nullptr, 4096, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? -1 : 0;
}

const Attempt kForbidden[] = {
    {"open", [] { return syscall(SYS_open, "/etc/passwd", O_RDONLY); }, true},
    {"openat of the parent's descriptors",
     [] {
         const std::string fds = "/proc/" + std::to_string(getppid()) + "/fd";
         return syscall(SYS_openat, AT_FDCWD, fds.c_str(), O_RDONLY | O_DIRECTORY);
     },
     true},
    {"read of standard input", [] { return syscall(SYS_read, 0, nullptr, 0); }, true},
    {"write to a descriptor other than the log", [] { return syscall(SYS_write, kAreaFd, "x", 1); },
     true},
    {"truncation of the log", [] { return syscall(SYS_ftruncate, 2, 0L); }, false},
    {"truncation of the log named with high bits set",
     [] { return syscall(SYS_ftruncate, (1L << 32) | 2, 0L); }, false},
    {"a seek on the log", [] { return syscall(SYS_lseek, 2, 0L, SEEK_SET); }, false},
    {"a mapping of the log",
     [] { return syscall(SYS_mmap, nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, 2, 0); },
     true},
    {"growth of an area only measured", [] { return syscall(SYS_ftruncate, kMeasuredFd, 4096); },
     false},
    {"socket", [] { return syscall(SYS_socket, AF_INET, SOCK_STREAM, 0); }, false},
    {"kill of the parent", [] { return syscall(SYS_kill, getppid(), 0); }, false},
    {"tgkill of the parent", [] { return syscall(SYS_tgkill, getppid(), getppid(), 0); }, false},
    {"sigqueue to the parent",
     [] {
         siginfo_t info{};
         info.si_code = SI_QUEUE;
         return syscall(SYS_rt_sigqueueinfo, getppid(), 0, &info);
     },
     false},
    {"ptrace", [] { return syscall(SYS_ptrace, PTRACE_TRACEME, 0, 0, 0); }, false},
    {"fork", [] { return syscall(SYS_fork); }, false},
    {"clone", [] { return syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0); }, false},
    {"clone3", [] { return syscall(SYS_clone3, nullptr, 0); }, false},
    {"vfork", [] { return syscall(SYS_vfork); }, false},
    {"execve",
     [] {
         const char* argv[] = {"true", nullptr};
         return syscall(SYS_execve, "/bin/true", argv, nullptr);
     },
     false},
    {"execveat", [] { return syscall(SYS_execveat, AT_FDCWD, "/bin/true", nullptr, nullptr, 0); },
     false},
    {"process_vm_readv of the parent",
     [] {
         char byte = 0;
         iovec local{&byte, 1};
         iovec remote{&byte, 1};
         return syscall(SYS_process_vm_readv, getppid(), &local, 1, &remote, 1, 0);
     },
     false},
    {"pidfd_open of the parent", [] { return syscall(SYS_pidfd_open, getppid(), 0); }, false},
    {"prctl making it dumpable again", [] { return syscall(SYS_prctl, PR_SET_DUMPABLE, 1); }, true},
    {"memfd_create", [] { return syscall(SYS_memfd_create, "code", 0); }, false},
    {"an executable mapping", [] { return mapping(PROT_READ | PROT_EXEC); }, true},
    {"mprotect", [] { return syscall(SYS_mprotect, nullptr, 0, PROT_READ | PROT_EXEC); }, true},
    {"dup of the log", [] { return syscall(SYS_dup, 2); }, false},
    {"setuid to root", [] { return syscall(SYS_setuid, 0); }, false},
    {"unshare", [] { return syscall(SYS_unshare, CLONE_NEWUSER); }, false},
#if defined(__x86_64__)
    {"getpid through the x32 ABI", [] { return syscall(SYS_getpid | 0x40000000); }, false},
#endif
};

TEST(WorkerJail, EveryCallThatReachesPastTheChannelKillsTheProcess) {
    for (const Attempt& attempt : kForbidden) {
        SCOPED_TRACE(attempt.what);
        if (kSanitized && attempt.sanitizersNeedIt) continue;
        const int status = jailedStatus(attempt.call);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
            << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "exit " + std::to_string(WEXITSTATUS(status)));
    }
}

TEST(WorkerJail, TheCallsARequestNeedsStillWork) {
    const struct {
        const char* what;
        std::function<long()> call;
        int exitCode;
    } allowed[] = {
        {"write to the log", [] { return syscall(SYS_write, 2, "", 0); }, 0},
        {"a random seed",
         [] {
             char seed[16];
             return syscall(SYS_getrandom, seed, sizeof seed, 0);
         },
         0},
        {"os.clock",
         [] {
             timespec now{};
             return syscall(SYS_clock_gettime, CLOCK_PROCESS_CPUTIME_ID, &now);
         },
         0},
        {"os.time", [] { return syscall(SYS_time, nullptr); }, 0},
        {"the heap", [] { return syscall(SYS_brk, 0); }, 0},
        {"a mapping grown and dropped",
         [] {
             void* at =
                 mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             if (at == MAP_FAILED) return -1L;
             at = mremap(at, 4096, 1 << 20, MREMAP_MAYMOVE);
             if (at == MAP_FAILED) return -1L;
             madvise(at, 1 << 20, MADV_DONTNEED);
             return static_cast<long>(munmap(at, 1 << 20));
         },
         0},
        {"a futex wake",
         [] {
             std::uint32_t word = 0;
             return syscall(SYS_futex, &word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
         },
         0},
        {"a signal to itself", [] { return syscall(SYS_kill, getpid(), 0); }, 0},
        {"a reply area grown within the limit",
         [] { return syscall(SYS_ftruncate, kAreaFd, 4096); }, 0},
        {"a reply area's size", [] { return lseek(kAreaFd, 0, SEEK_END); }, 0},
        {"a request area's size", [] { return lseek(kMeasuredFd, 0, SEEK_END); }, 0},
        {"a reply area grown past the limit",
         [] { return syscall(SYS_ftruncate, kAreaFd, 2 * kFileLimit); }, kFailed + EFBIG},
    };
    for (const auto& attempt : allowed) {
        SCOPED_TRACE(attempt.what);
        const int status = jailedStatus(attempt.call);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), attempt.exitCode);
    }
}

// The one worker of a service.
pid_t onlyWorker(const ServiceProcess& service) {
    const std::vector<pid_t> workers = childrenOf(service.pid());
    return workers.size() == 1 ? workers[0] : -1;
}

std::string statusLine(const std::string& status, const std::string& key) {
    const std::size_t at = status.find("\n" + key + ":");
    if (at == std::string::npos) return "";
    const std::size_t from = at + key.size() + 2;
    return status.substr(from, status.find('\n', from) - from);
}

TEST(WorkerJail, ARunningWorkerIsConfined) {
    ServiceProcess service({"--workers", "1"});
    LibraryClient client(service.port());
    ASSERT_EQ(client.run("return 6*7"), "42");
    const pid_t worker = onlyWorker(service);
    ASSERT_GT(worker, 0);
    const std::string proc = "/proc/" + std::to_string(worker);
    const std::string status = readFile(proc + "/status");
    EXPECT_EQ(statusLine(status, "Seccomp"), "\t2") << status;
    EXPECT_EQ(statusLine(status, "NoNewPrivs"), "\t1");
    EXPECT_EQ(statusLine(status, "CapEff"), "\t0000000000000000");
    const std::string limits = readFile(proc + "/limits");
    for (const char* limit : {"Max open files            10                   10",
                              "Max processes             0                    0",
                              "Max core file size        0                    0"})
        EXPECT_NE(limits.find(limit), std::string::npos) << limit << "\n" << limits;
    // Not dumpable: its /proc entries belong to root, not to the account it runs as.
    struct stat fdDir {};
    ASSERT_EQ(stat((proc + "/fd").c_str(), &fdDir), 0);
    EXPECT_EQ(fdDir.st_uid, 0u);
    if (geteuid() != 0) {
        GTEST_SKIP() << "not root: the worker keeps the account, and its descriptors and "
                        "environment are not readable";
    }
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string gid = std::to_string(nobody->pw_gid);
    EXPECT_EQ(statusLine(status, "Uid"), "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(statusLine(status, "Gid"), "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(statusLine(status, "Groups").find_first_of("0123456789"), std::string::npos);
    // Empty; sanitizer builds pass their runtimes' options on.
    std::istringstream environment(readFile(proc + "/environ"));
    for (std::string entry; std::getline(environment, entry, '\0');)
        EXPECT_TRUE(kSanitized && entry.find("SAN_OPTIONS=") != std::string::npos) << entry;
    std::vector<int> fds;
    for (int fd = 0; fd < 64; ++fd) {
        struct stat link {};
        if (lstat((proc + "/fd/" + std::to_string(fd)).c_str(), &link) == 0) fds.push_back(fd);
    }
    EXPECT_EQ(fds, (std::vector<int>{2, 3, 4, 5, 6, 7, 9}));
}

TEST(WorkerJail, TrustedWorkersKeepTheAccountButNotTheFilter) {
    ServiceProcess service({"--workers", "1", "--trusted"});
    LibraryClient client(service.port());
    EXPECT_EQ(client.run("local f = io.open('/proc/self/status') return f ~= nil"), "true");
    // A trusted script sees the service's environment; a sandboxed worker has none.
    const char* path = std::getenv("PATH");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(client.run("return os.getenv('PATH')"), path);
    const pid_t worker = onlyWorker(service);
    ASSERT_GT(worker, 0);
    const std::string status = readFile("/proc/" + std::to_string(worker) + "/status");
    EXPECT_EQ(statusLine(status, "Seccomp"), "\t0") << status;
    EXPECT_EQ(statusLine(status, "NoNewPrivs"), "\t1");
    if (geteuid() == 0) {
        EXPECT_EQ(statusLine(status, "CapEff"), "\t0000000000000000");
    }
}

// Makes the stopped tracee run one system call from where it stopped: the instruction
// it last made a call with, or one written at its current address.
bool injectCall(pid_t pid, long number, long first, long second) {
#if defined(__x86_64__)
    user_regs_struct regs{};
    if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0) return false;
    const long before = ptrace(PTRACE_PEEKTEXT, pid, regs.rip - 2, nullptr);
    if ((before & 0xffff) == 0x050f) {
        regs.rip -= 2;
    } else {
        const long here = ptrace(PTRACE_PEEKTEXT, pid, regs.rip, nullptr);
        if (ptrace(PTRACE_POKETEXT, pid, regs.rip, (here & ~0xffffL) | 0x050f) != 0) return false;
    }
    regs.orig_rax = -1; // no restart of an interrupted call
    regs.rax = static_cast<unsigned long long>(number);
    regs.rdi = static_cast<unsigned long long>(first);
    regs.rsi = static_cast<unsigned long long>(second);
    regs.rdx = 0;
    return ptrace(PTRACE_SETREGS, pid, nullptr, &regs) == 0 &&
           ptrace(PTRACE_DETACH, pid, nullptr, nullptr) == 0;
#else
    (void)pid, (void)number, (void)first, (void)second;
    return false; // the registers are x86-64's
#endif
}

// How far the worker is: its state in /proc (R while it runs Lua).
char processState(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

TEST(WorkerJail, AFilteredCallKillsTheBusyWorkerAndItsClientIsAnswered) {
    ServiceProcess service({"--workers", "1", "--max-seconds", "0", "--max-request", kMarkLimit});
    const pid_t worker = onlyWorker(service);
    ASSERT_GT(worker, 0);
    // Taken over, the worker would make the call from inside the request; the test
    // makes it for it, through ptrace, once the request runs: the supervisor has taken
    // it in (so given it to the only worker), and the worker's state in /proc says it
    // runs. A worker seen running before that may only be finishing its start-up. The
    // call empties the log it shares with the supervisor, were the worker let.
    DealerClient client(service.endpoint(), 30000);
    ASSERT_TRUE(client.sendTakenIn("while true do end"));
    ASSERT_TRUE(
        waitUntil([worker] { return processState(worker) == 'R'; }, std::chrono::seconds(10)))
        << "state " << processState(worker);
    auto busy = std::async(std::launch::async, [&] { return client.receive(); });
    if (ptrace(PTRACE_SEIZE, worker, nullptr, nullptr) != 0) {
        const int error = errno;
        kill(worker, SIGKILL); // lets the busy client have its answer
        busy.wait();
        GTEST_SKIP() << "cannot trace the worker: " << std::strerror(error);
    }
    ASSERT_EQ(ptrace(PTRACE_INTERRUPT, worker, nullptr, nullptr), 0);
    int stopped = 0;
    ASSERT_EQ(waitpid(worker, &stopped, __WALL), worker); // a tracer waits for its tracee
    ASSERT_TRUE(WIFSTOPPED(stopped));
    ASSERT_TRUE(injectCall(worker, SYS_ftruncate, STDERR_FILENO, 0));
    const std::optional<std::string> answer = busy.get();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("error: the worker running this request ended (signal " +
                                std::to_string(SIGSYS) + ")",
                            0),
              0u)
        << *answer;
    RawClient next(service.endpoint());
    EXPECT_EQ(next.ask("return 'replaced'"), "replaced");
}

} // namespace
