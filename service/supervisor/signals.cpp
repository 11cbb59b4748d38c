// signals.cpp - the signalfd behind signals.h, and the disposition of every other signal
// the supervisor can be sent: ignored, or blocked where only a real fault may end it.
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "channel.h"

namespace qel {

namespace {

// Any number would do, since take() reads until none is left.
constexpr std::size_t kSignalsPerRead = 16;

// The first stop signal finishes what arrived; the second ends the process at once.
constexpr int kStopsToExit = 2;

// What the loop reads from the signalfd.
constexpr int kRead[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};

// The signals the kernel raises for a fault of the thread itself. A handler that returned
// from a real one would run the faulting instruction again, and ignoring one is
// undefined, so they are blocked instead: one sent with kill then waits unread for good
// (a standard signal is pending once, however often it is sent), while the kernel
// delivers a real fault whose signal is blocked with its default action, and the process
// ends as it always would, with its core dump. abort() unblocks SIGABRT itself. Blocked,
// no sanitizer's handler sees a fault of the supervisor either: it ends without a report.
// valgrind takes any of them arriving blocked as a fault, so under it one sent with kill
// still ends the process.
constexpr int kFaults[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

// Signals whose default neither ends nor stops a process, and those no process can catch.
constexpr int kLeftAlone[] = {SIGCONT, SIGURG, SIGWINCH, SIGKILL, SIGSTOP};

template <std::size_t N> bool listed(int signal, const int (&list)[N]) {
    for (int each : list) {
        if (each == signal) return true;
    }
    return false;
}

// glibc keeps the first real-time signals for its threads (pthread_cancel, setuid across
// threads) and its sigaction refuses them, yet until glibc installs its handler for one,
// which ignores such a signal sent by another process, its default ends the process. So
// the kernel is asked directly, and a signal with no handler yet is ignored; glibc's own
// handler, when it installs one later, replaces that. The kernel's own sigaction is laid
// out as KernelAction on these two architectures; elsewhere it differs, and the signal
// is left as glibc has it.
bool ignoreReserved(int signal) {
#if defined(__x86_64__) || defined(__aarch64__)
    struct KernelAction {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        unsigned long mask; // the kernel's signal set: one bit for each of its 64 signals
    };
    KernelAction current{};
    if (syscall(SYS_rt_sigaction, signal, nullptr, &current, sizeof current.mask) != 0)
        return false;
    if (current.handler != SIG_DFL) return true;
    KernelAction ignore{};
    ignore.handler = SIG_IGN;
    return syscall(SYS_rt_sigaction, signal, &ignore, nullptr, sizeof ignore.mask) == 0;
#else
    (void)signal;
    return true;
#endif
}

// Ignored rather than blocked: a blocked real-time signal is queued, every copy of it,
// and each copy counts against the account's limit of pending signals until read, a
// limit that workers of the same account need for their deadline signals; an ignored
// one is dropped as it is sent, and never interrupts a call either.
bool ignoreTheRest() {
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (listed(signal, kRead) || listed(signal, kFaults) || listed(signal, kLeftAlone))
            continue;
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) == 0) continue;
        if (errno != EINVAL || !ignoreReserved(signal)) return false;
    }
    return true;
}

} // namespace

SignalReader::~SignalReader() {
    if (fd_ >= 0) close(fd_);
}

// Standard signals do not queue: many SIGCHLDs may read as one, which is why whoever
// hears of a child's end reaps every child that ended.
SignalEvents SignalReader::take() {
    SignalEvents events;
    if (fd_ < 0) return events;
    signalfd_siginfo infos[kSignalsPerRead];
    for (;;) {
        const ssize_t n = read(fd_, infos, sizeof infos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return events;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof infos[0]; ++i) {
            if (infos[i].ssi_signo == SIGCHLD) {
                events.childEnded = true;
            } else if (infos[i].ssi_signo == SIGHUP) {
                events.reload = true;
            } else if (++stops_ >= kStopsToExit) {
                static const char message[] =
                    "qel-lua-service: second signal, exiting without waiting for requests\n";
                (void)!write(STDERR_FILENO, message, sizeof message - 1);
                _exit(1); // the workers follow: they die with their parent
            } else {
                events.stop = true;
            }
        }
    }
}

// A closed standard output (the reader of the endpoint line went away), a timer or profiler signal,
// Ctrl-\ or Ctrl-Z: none of them ends or stops the service. Only SIGINT and SIGTERM stop it, and
// then with every request answered; SIGHUP, a closed terminal's as much as an operator's, reloads
// it, which loses nothing.
bool SignalReader::install() {
    sigset_t taken, blocked;
    sigemptyset(&taken);
    for (int signal : kRead)
        sigaddset(&taken, signal);
    blocked = taken;
    for (int signal : kFaults)
        sigaddset(&blocked, signal);
    if (const int error = pthread_sigmask(SIG_BLOCK, &blocked, nullptr)) {
        errno = error; // for the caller's message, as from the calls below
        return false;
    }
    if (!ignoreTheRest()) return false;
    fd_ = highDescriptor(signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC));
    return fd_ >= 0;
}

} // namespace qel
