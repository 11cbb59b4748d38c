// invariants.h - the rules the supervisor's parts keep between them, each named where it
// can break. A broken rule is a bug of the service, never something a peer or a worker
// can cause; it is reported by name and the caller takes its safe path, since the
// supervisor must go on serving.
#pragma once

#include <cstdio>

namespace qel {

// True when the rule holds; otherwise says which one broke.
inline bool check(bool holds, const char* rule) {
    if (!holds) std::fprintf(stderr, "qel-lua-service: internal error: broken rule: %s\n", rule);
    return holds;
}

} // namespace qel
