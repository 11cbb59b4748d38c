// jail.cpp - the steps of enterJail in the order they depend on one another, and the
// worker's system-call allow-list, written with libseccomp.
#include "jail.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

#include "sanitizers.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

namespace qel {

namespace {

[[noreturn]] void fail(const char* step, int error = errno) {
    throw std::system_error(error, std::generic_category(), step);
}

void check(bool done, const char* step) {
    if (!done) fail(step);
}

// setuid from root clears the parent-death signal and the dumpable flag, so both are
// set after it.
void dropIdentity(const JailSettings& settings) {
    if (geteuid() != 0) return;
    errno = 0;
    const passwd* account = getpwnam(settings.user.c_str());
    if (account == nullptr) fail(("user " + settings.user).c_str(), errno != 0 ? errno : ENOENT);
    const uid_t uid = account->pw_uid;
    const gid_t gid = account->pw_gid;
    check(setgroups(0, nullptr) == 0, "setgroups");
    check(setresgid(gid, gid, gid) == 0, "setresgid");
    check(setresuid(uid, uid, uid) == 0, "setresuid");
    uid_t real, effective, saved;
    check(getresuid(&real, &effective, &saved) == 0, "getresuid");
    if (real != uid || effective != uid || saved != uid) fail("setresuid", EPERM);
    // Named root, the process stays root; any other account must not get it back.
    if (uid != 0 && setuid(0) == 0) fail("setuid(0) after the drop", EPERM);
}

void closeDescriptors(int lastFd, bool keepStandard) {
    if (!keepStandard) {
        for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
            if (close(fd) != 0 && errno != EBADF) fail("close");
        }
    }
    if (syscall(SYS_close_range, lastFd + 1, ~0U, 0) == 0) return;
    if (errno != ENOSYS) fail("close_range");
    // Kernels before 5.9: the open descriptors as /proc lists them.
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) fail("opendir /proc/self/fd");
    const int own = dirfd(dir);
    std::vector<int> open;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > lastFd && fd != own) open.push_back(fd);
    }
    closedir(dir);
    for (int fd : open)
        check(close(fd) == 0 || errno == EBADF, "close");
}

void limit(int resource, rlim_t value, const char* step) {
    const rlimit bound{value, value};
    check(setrlimit(resource, &bound) == 0, step);
}

// glibc reloads the time zone whenever TZ is unset and mktime or localtime asks for it,
// which means opening /etc/localtime. Loaded once here and pinned, it never is again.
void pinTimeZone() {
    if (std::getenv("TZ") == nullptr) check(setenv("TZ", ":/etc/localtime", 1) == 0, "setenv TZ");
    tzset();
}

// What serving a request takes, and only that; found by tracing the service's test
// suites. Anything else kills the process: nothing of ours makes other calls once here,
// so it has been taken over.
// Calls on descriptors (write, ftruncate, lseek) and mmap are apart, narrowed below.
constexpr int kAllowed[] = {
    // waiting for a request
    SCMP_SYS(futex),
    // the Lua heap, and growing the areas' mappings. mremap needs no narrowing: it
    // only resizes or moves a mapping the process already has, keeping its file and its
    // protection, so nothing new (no other file, no code) comes in through it.
    SCMP_SYS(brk),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(madvise),
    // the deadline's signal handler returning; a wait resumed after a stop
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(restart_syscall),
    // os.clock, os.time and a new state's seed, math.randomseed's fresh seed
    SCMP_SYS(clock_gettime),
    SCMP_SYS(time),
    SCMP_SYS(getrandom),
    // an error on the way out, and abort(), which also signals itself (see kill below)
    SCMP_SYS(exit_group),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
};

#ifdef QEL_SANITIZED
// The sanitizers' runtimes read /proc/self/maps and the executable to report, sleep in
// their background thread and query the process; none of these reach another process.
constexpr int kSanitizerAllowed[] = {
    SCMP_SYS(open),
    SCMP_SYS(openat),
    SCMP_SYS(close),
    SCMP_SYS(read),
    SCMP_SYS(pread64),
    SCMP_SYS(readlink),
    SCMP_SYS(readlinkat),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(stat),
    SCMP_SYS(lstat),
    SCMP_SYS(getdents64),
    SCMP_SYS(access),
    SCMP_SYS(write),
    SCMP_SYS(writev),
    SCMP_SYS(mmap),
    SCMP_SYS(mprotect),
    SCMP_SYS(sched_yield),
    SCMP_SYS(nanosleep),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(getppid),
    SCMP_SYS(prlimit64),
    SCMP_SYS(getrlimit),
    SCMP_SYS(sysinfo),
    SCMP_SYS(uname),
    SCMP_SYS(mincore),
    SCMP_SYS(sched_getaffinity),
    SCMP_SYS(prctl),
};
#endif

class Filter {
  public:
    Filter() : ctx_(seccomp_init(SCMP_ACT_KILL_PROCESS)) {
        if (ctx_ == nullptr) fail("seccomp_init", ENOMEM);
    }
    ~Filter() { seccomp_release(ctx_); }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    template <typename... Conditions> void allow(int call, Conditions... conditions) {
        const scmp_arg_cmp args[] = {conditions..., {}};
        const int rc = seccomp_rule_add_array(ctx_, SCMP_ACT_ALLOW, call, sizeof...(conditions),
                                              sizeof...(conditions) != 0 ? args : nullptr);
        if (rc < 0) fail("seccomp_rule_add", -rc);
    }
    void attribute(scmp_filter_attr name, std::uint32_t value) {
        const int rc = seccomp_attr_set(ctx_, name, value);
        if (rc < 0) fail("seccomp_attr_set", -rc);
    }
    void load() {
        const int rc = seccomp_load(ctx_);
        if (rc < 0) fail("seccomp_load", -rc);
    }

  private:
    scmp_filter_ctx ctx_;
};

// The first argument is this descriptor. All 64 bits are compared: a number with high
// bits set, which the kernel would cut down to an int, matches none of ours.
scmp_arg_cmp onDescriptor(int fd) {
    return SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd));
}

// Anonymous memory for the allocator, never executable: nothing of ours maps code
// once here, and a process taken over cannot load any of its own. No file either:
// the areas are mapped before the jail and only grown since (mremap), and the log,
// were it a file open for reading and writing, could be mapped and rewritten. The
// kernel ignores the descriptor of an anonymous mapping; glibc passes -1 as an int,
// so only the low 32 bits are compared.
void allowAnonymousMemory(Filter& filter) {
    filter.allow(SCMP_SYS(mmap), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0),
                 SCMP_A3(SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS),
                 SCMP_A4(SCMP_CMP_MASKED_EQ, 0xffffffffU, 0xffffffffU));
}

// The log takes write and writev (glibc's fatal messages) and nothing else: no
// positioned write, seek, truncation or fallocate. Each write then lands at the end,
// or at the offset the log's description shares with the supervisor, which only
// ever moves forward, so a process taken over can add lines but never erase or
// rewrite one. The doorbell takes write.
void allowWrites(Filter& filter, const JailSettings& settings) {
    filter.allow(SCMP_SYS(writev), onDescriptor(STDERR_FILENO));
    std::vector<int> writable = settings.writable;
    writable.push_back(STDERR_FILENO);
    for (int fd : writable)
        filter.allow(SCMP_SYS(write), onDescriptor(fd));
}

// Growing an area, and reading its size (lseek to the end, as no call that stats is
// allowed), on the areas given for it.
void allowAreas(Filter& filter, const JailSettings& settings) {
    for (int fd : settings.growable)
        filter.allow(SCMP_SYS(ftruncate), onDescriptor(fd));
    std::vector<int> measurable = settings.measurable;
    measurable.insert(measurable.end(), settings.growable.begin(), settings.growable.end());
    for (int fd : measurable)
        filter.allow(SCMP_SYS(lseek), onDescriptor(fd));
}

void installFilter(const JailSettings& settings) {
    Filter filter;
    // Every thread, should there be any besides this one.
    filter.attribute(SCMP_FLTATR_CTL_TSYNC, 1);
    for (int call : kAllowed)
        filter.allow(call);
    allowAnonymousMemory(filter);
    allowWrites(filter, settings);
    allowAreas(filter, settings);
    // Signals to itself only.
    const auto self = static_cast<scmp_datum_t>(getpid());
    for (int call : {SCMP_SYS(kill), SCMP_SYS(tgkill)})
        filter.allow(call, SCMP_A0(SCMP_CMP_EQ, self));
#ifdef QEL_SANITIZED
    for (int call : kSanitizerAllowed)
        filter.allow(call);
#endif
    filter.load();
}

} // namespace

void enterJail(const JailSettings& settings) {
    int deathSignal = 0;
    check(prctl(PR_GET_PDEATHSIG, &deathSignal) == 0, "PR_GET_PDEATHSIG");
    dropIdentity(settings);
    if (deathSignal != 0) check(prctl(PR_SET_PDEATHSIG, deathSignal) == 0, "PR_SET_PDEATHSIG");
    // The parent may have died before the signal was armed again.
    if (settings.parent != 0 && getppid() != settings.parent) fail("the parent is gone", ESRCH);
    // Not dumpable: no core file, and no process of the same uid reads its memory or
    // opens its descriptors through /proc.
    check(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0,
          "PR_SET_DUMPABLE");
    check(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
              prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1,
          "PR_SET_NO_NEW_PRIVS");
    closeDescriptors(settings.lastFd, settings.trusted);
    limit(RLIMIT_CORE, 0, "RLIMIT_CORE");
    if (settings.trusted) return;
    pinTimeZone();
    limit(RLIMIT_NOFILE, static_cast<rlim_t>(settings.lastFd) + 1, "RLIMIT_NOFILE");
    limit(RLIMIT_NPROC, 0, "RLIMIT_NPROC");
    // A file grown past its limit fails with EFBIG instead of raising SIGXFSZ.
    check(std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR, "SIGXFSZ");
    limit(RLIMIT_FSIZE, settings.maxFileSize != 0 ? settings.maxFileSize : RLIM_INFINITY,
          "RLIMIT_FSIZE");
    // valgrind runs its own code in the process, with system calls of its own (its
    // translations are executable mappings): under it the filter stays off.
    if (RUNNING_ON_VALGRIND) {
        static const char note[] =
            "qel-lua-service: under valgrind the worker's system-call filter is off\n";
        (void)!write(STDERR_FILENO, note, sizeof note - 1);
        return;
    }
    installFilter(settings);
}

} // namespace qel
