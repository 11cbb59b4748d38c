// signals.cpp - the flag-setting handlers behind signals.h.
#include "signals.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace qel {

namespace {

std::atomic<int> gStops{0};
std::atomic<bool> gChildExited{false};

extern "C" void onStop(int) {
    if (gStops.fetch_add(1) >= 1) {
        static const char message[] =
            "qel-lua-service: second signal, exiting without waiting for requests\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(1); // the workers follow: they die with their parent
    }
}

extern "C" void onChild(int) {
    gChildExited.store(true);
}

void install(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait in progress must end
    sigaction(signal, &action, nullptr);
}

} // namespace

void installSignalHandlers() {
    install(SIGINT, onStop);
    install(SIGTERM, onStop);
    install(SIGCHLD, onChild);
    // A closed standard output (the reader of the endpoint line went away) must not
    // kill the service; write errors are ignored instead.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() {
    return gStops.load(std::memory_order_relaxed) != 0;
}

bool takeChildExit() {
    return gChildExited.exchange(false);
}

} // namespace qel
