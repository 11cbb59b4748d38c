// outcome.h - what became of a request, and why a worker was lost, as the log and the
// metrics name them. The answer
// says it: a worker's success is ok, and every error is told apart by the catalogued text
// it begins with (replies.h, supervisor_replies.h); any other error is the script's.
#pragma once

#include <cstddef>
#include <string_view>

#include "supervisor_replies.h"

namespace qel {

enum class Outcome {
    Ok,
    ScriptError,  // the script raised an error, or its chunk did not compile
    TimeLimit,    // --max-seconds or --max-instructions
    Memory,       // --max-memory, or memory the service itself lacked
    Busy,         // the queue or the peer's share of it was full
    Unread,       // the peer left too many replies unread
    TooLarge,     // --max-request
    Stopping,     // still queued or running when a stop ran out of time
    WorkerFailed, // the worker ended, or its reply could not be read
    Undelivered,  // the answer was made but ZeroMQ could not hand it to the peer
};
inline constexpr std::size_t kOutcomes = static_cast<std::size_t>(Outcome::Undelivered) + 1;

inline const char* outcomeName(Outcome outcome) {
    static constexpr const char* kNames[kOutcomes] = {
        "ok",     "script_error", "time_limit", "memory",        "busy",
        "unread", "too_large",    "stopping",   "worker_failed", "undelivered"};
    return kNames[static_cast<std::size_t>(outcome)];
}

// Why a worker's process was given up and a new one started.
enum class LossCause { Ended, StartTimeout, TimeLimit, Stopping, UnreadableReply, NoMemory };
inline constexpr std::size_t kLossCauses = static_cast<std::size_t>(LossCause::NoMemory) + 1;
inline const char* lossCauseName(LossCause cause) {
    static constexpr const char* kNames[kLossCauses] = {
        "ended", "start_timeout", "time_limit", "stopping", "unreadable_reply", "no_memory"};
    return kNames[static_cast<std::size_t>(cause)];
}

// The outcome of an error answer with this text (or its first bytes). A script that
// raises one of the catalogued messages itself, with error(message, 0), is counted as
// what it imitates.
inline Outcome errorOutcome(std::string_view text) {
    const auto startsWith = [&](std::string_view prefix) {
        return text.substr(0, prefix.size()) == prefix;
    };
    const std::string_view prefix = reply::kErrorPrefix;
    // A core message after the prefix; a catalogued text with a value, up to the value.
    const auto message = [&](std::string_view core) {
        return startsWith(prefix) && text.substr(prefix.size()).substr(0, core.size()) == core;
    };
    const auto before = [](std::string_view format) { return format.substr(0, format.find('%')); };
    if (message(reply::kTimeLimit) || message(reply::kInstructionLimit)) return Outcome::TimeLimit;
    if (message(reply::kNoMemory) || message(reply::kNoState)) return Outcome::Memory;
    if (startsWith(reply::kUnread)) return Outcome::Unread; // before kBusy, which it extends
    if (startsWith(reply::kBusy)) return Outcome::Busy;
    if (startsWith(reply::kStopping)) return Outcome::Stopping;
    if (message(before(reply::kTooLarge))) return Outcome::TooLarge;
    if (startsWith(reply::kReplyUnreadable) || startsWith(before(reply::kWorkerEnded)))
        return Outcome::WorkerFailed;
    return Outcome::ScriptError;
}

} // namespace qel
