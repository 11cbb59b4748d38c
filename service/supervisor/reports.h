// reports.h - what the supervisor says of itself as it goes: to the service manager
// (notify.h) and to the log (log.h), each report in one place with its texts, so that the
// loop only says when.
#pragma once

#include <cstddef>
#include <string>

#include "admission.h"
#include "worker_pool.h"

namespace qel {

// Serving: every worker is ready on `endpoint`.
void reportServing(const std::string& endpoint, int workers);
void reportStopped();
// The intake has closed; the requests taken in are being answered.
void reportStopping();
void reportReloadStarted();
// A reload that began `seconds` ago ended; `generation` serves, when it went well.
void reportReloaded(const ReloadOutcome& outcome, std::uint64_t generation, int workers,
                    double seconds);
void reportCutOff(const Admission::CutOff& cut);
void reportSweep(std::size_t forgotten);

} // namespace qel
