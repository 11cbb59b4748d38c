// loop.h - the serving loop: read requests off the public socket, admit them, hand them
// to workers, pass every answer (its own refusals, the pool's answers) to the one
// ReplySender, take the signals (a stop it keeps, a reload it starts, a child's end it
// hands to the pool), and sleep until one of those has more to do.
#pragma once

#include <optional>

#include <zmq.hpp>

#include "admission.h"
#include "connections.h"
#include "metrics.h"
#include "options.h"
#include "reply_sender.h"
#include "signals.h"
#include "worker_pool.h"

namespace qel {

class ServingLoop {
  public:
    // signals is where stops and children's ends are read from.
    // metrics is where the loop keeps its counts, for --metrics to read.
    ServingLoop(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe,
                SignalReader& signals, Metrics& metrics);

    // Starts the workers: false when a stop came first; throws when they cannot start.
    bool start();
    // Serves until a stop signal, then until every request taken in is answered.
    void serve();

  private:
    bool round();
    void closeIntake(Clock::time_point now);
    void stopNow(Clock::time_point now);
    void feedWorkers(Clock::time_point now);
    void feedAhead(Clock::time_point now);
    bool workerFree() const;
    void requeueWithdrawn();
    void dispatch(Request&& request, Clock::time_point now);
    void sendAnswers(Clock::time_point now);
    void drainFront(Clock::time_point now);
    bool readOnWorthIt();
    void take(Envelope&& envelope, Clock::time_point now);
    void housekeeping(Clock::time_point now);
    void watchUnread(Clock::time_point now);
    void answerDropped();
    void wait(Clock::time_point now);
    void takeSignals();
    void pollSignalsNowAndThen(Clock::time_point now);
    void feedWatchdog(Clock::time_point now);
    void reloads(Clock::time_point now);
    void reloaded(const ReloadOutcome& outcome, Clock::time_point now);

    const ServiceOptions& options_;
    zmq::socket_t& front_;
    int frontFd_;
    int doorbell_;
    SignalReader& signals_;
    MetricsWriter metrics_;
    ReplySender sender_;
    KernelConnections connections_; // before admission_, which uses it
    Admission admission_;
    WorkerPool pool_;
    bool stopRequested_ = false;
    bool reloadWanted_ = false; // a SIGHUP not yet acted on
    Clock::time_point reloadBegun_{};
    bool intakeOpen_ = true;
    bool lookAgain_ = false; // requests may be left that ZeroMQ will not signal again
    // Whether reading on past the last idle worker found a request, last time it was
    // tried, and the rounds since it was last tried.
    bool readOnFinds_ = true;
    int readOnSkipped_ = 0;
    // When the signal descriptor is next read on a round that does not poll.
    Clock::time_point nextSignalRead_{};
    std::optional<Clock::time_point> stopDeadline_;
    Clock::time_point lastActive_ = Clock::now();
    Clock::time_point lastSweep_ = Clock::now();
    Clock::time_point nextWatch_{};
    bool released_ = true;
    // With a watchdog: how often the loop says it is alive, and when it next does.
    std::optional<Clock::duration> watchdog_;
    Clock::time_point nextPing_{};
};

} // namespace qel
