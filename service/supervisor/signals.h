// signals.h - SIGINT and SIGTERM ask the service to stop, SIGHUP to reload, SIGCHLD
// reports a worker process that ended. No handler runs for them: they stay blocked in every thread
// and are read from a signalfd, as events the serving loop takes and hands on. Every other signal
// is ignored or blocked, so none sent to the supervisor ends it but the two stop signals (and
// SIGKILL), and none can interrupt a call it is in, however often it arrives.
#pragma once

namespace qel {

// What arrived since the last take().
struct SignalEvents {
    bool stop = false;       // SIGINT or SIGTERM: answer what was taken in, then exit
    bool childEnded = false; // SIGCHLD: one or more children ended, to be reaped
    bool reload = false;     // SIGHUP: start the workers anew with the files read again
};

// The signalfd, and the one rule that cannot wait for the loop: a second stop signal
// ends the process at once.
class SignalReader {
  public:
    SignalReader() = default;
    ~SignalReader();
    SignalReader(const SignalReader&) = delete;
    SignalReader& operator=(const SignalReader&) = delete;

    // Blocks the four signals and those of a fault in the calling thread (and every
    // thread it starts later), ignores for the whole process every other signal that
    // would end or stop it, and opens the descriptor the four are read from; false, with
    // errno saying why, when any of that cannot be done. Whatever it ignores or blocks is
    // inherited by the processes it starts, which must reset all of it.
    bool install();
    // Readable while a signal is waiting to be taken; poll it beside the other descriptors.
    int fd() const { return fd_; }
    // Takes in the signals that have arrived, without waiting. A stop signal after an
    // earlier one, in this call or before, exits at once with status 1.
    SignalEvents take();

  private:
    int fd_ = -1;
    int stops_ = 0;
};

} // namespace qel
