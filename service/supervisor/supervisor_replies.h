// supervisor_replies.h - every text the supervisor answers with on its own, and nowhere
// else: its refusals, and what a request gets when its worker fails it. The texts it
// shares with the core (memory, time, size, the replacement's suffix) are the core's,
// from replies.h.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/wait.h>

#include "replies.h"

namespace qel::reply {

inline constexpr char kBusy[] = "error: service is busy";
inline constexpr char kUnread[] = "error: service is busy: this peer has too many replies unread";
inline constexpr char kStopping[] = "error: service is stopping";
inline constexpr char kReplyUnreadable[] = "error: the worker's reply could not be read";
// How the worker ended, as howItEnded() says it.
inline constexpr char kWorkerEnded[] = "error: the worker running this request ended (%s)";
// Every text above, and the suffix it shares with the core (replies.h, kReplaced): with
// the core's messages, all the service answers on its own.
inline constexpr const char* kSupervisorReplies[] = {
    kBusy, kUnread, kStopping, kReplyUnreadable, kWorkerEnded, kReplaced};

// "signal N" or "status N", for a process that ended with waitpid()'s `status`.
inline std::string howItEnded(int status) {
    return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                               : "status " + std::to_string(WEXITSTATUS(status));
}

// text, then kReplaced.
inline std::string replaced(std::string_view text) {
    return std::string(text) + kReplaced;
}

// kWorkerEnded for a worker that ended with `status`, then kReplaced.
inline std::string workerEnded(int status) {
    const std::string how = howItEnded(status);
    std::string text(sizeof kWorkerEnded + how.size(), '\0');
    text.resize(static_cast<std::size_t>(
        std::snprintf(text.data(), text.size(), kWorkerEnded, how.c_str())));
    return replaced(text);
}

// The refusal of a request of `size` bytes, over the limit of `limit`.
inline std::string tooLarge(std::size_t size, std::size_t limit) {
    return kErrorPrefix + std::string(TooLarge(size, limit).message());
}

} // namespace qel::reply
