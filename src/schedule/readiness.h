// The readiness test: when a matching file is complete and may be handed to its command.
#pragma once

#include <string>

#include "log/console.h"
#include "platform/platform.h"

// Results of ready_attempt.
enum class Readiness : int { ready = 0, not_yet = 1, gone = 2 };

// One attempt of the readiness test for the matching file `name` of the working folder, whose
// status query of the pass gave `first`: ready when it is still the same file, of the same size,
// and no writer holds it. A file that is gone is reported. Warnings said once go to `said`.
Readiness ready_attempt(const std::string& name, const PathStatus& first, SaidOnce* said);
