// signals.cpp - the signalfd behind signals.h.
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <initializer_list>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "channel.h"

namespace qel {

namespace {

// Any number would do, since take() reads until none is left.
constexpr std::size_t kSignalsPerRead = 16;

// The first stop signal finishes what arrived; the second ends the process at once.
constexpr int kStopsToExit = 2;

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

bool SignalReader::install() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGCHLD})
        sigaddset(&signals, signal);
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr)) {
        errno = error; // for the caller's message, as from the calls below
        return false;
    }
    // A closed standard output (the reader of the endpoint line went away) must not
    // kill the service; write errors are ignored instead. Signals that by default would
    // end the process but mean nothing to the service (a closed terminal's hang-up, the
    // user signals) are ignored too: only SIGINT and SIGTERM stop it, and then with every
    // request answered.
    for (int signal : {SIGPIPE, SIGHUP, SIGUSR1, SIGUSR2}) {
        if (std::signal(signal, SIG_IGN) == SIG_ERR) return false;
    }
    fd_ = highDescriptor(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    return fd_ >= 0;
}

} // namespace qel
