// invariants.h - the rules the supervisor's parts keep between them, each named where it
// can break. A broken rule is a bug of the service, never something a peer or a worker
// can cause; it is reported by name, as a log line, and the caller takes its safe path,
// since the supervisor must go on serving.
#pragma once

#include <string>
#include <string_view>

#include "log.h"

namespace qel {

// True when the rule holds; otherwise says which one broke.
inline bool check(bool holds, const char* rule) {
    if (!holds) {
        LogLine("broken_rule", std::string("internal error: broken rule: ") + rule)
            .with("rule", std::string_view(rule))
            .write();
    }
    return holds;
}

} // namespace qel
