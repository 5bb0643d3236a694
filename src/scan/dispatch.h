// Several files in hand at once (-j): each goes through its own readiness attempts, command and
// outcome, driven by one event loop on the program's one thread, so that the working folder, the
// run log and the console keep a single owner.
#pragma once

#include <cstdint>
#include <string>

#include "job/job_names.h"
#include "job/process_job.h"
#include "platform/platform.h"

struct WalkSettings;

// True while the file with this full path is in hand: it is not taken again until its outcome is
// complete.
bool is_in_hand(const std::string& full_path);

// Takes the matching file `name` of the working folder in hand, whose first status query of the
// pass gave `first` and whose placeholder values are `names`, as soon as a slot is free; the
// jobs in hand go on meanwhile. Nothing is taken once a stop was requested. Returns false when
// the way back to the working folder was lost.
bool take_in_hand(const std::string& name, const PathStatus& first, const JobNames& names,
                  const WalkSettings& walk, const JobSettings& job);

// Lets the jobs in hand (if any) go on for `seconds` seconds, or until a stop is requested, or
// until `woken` (when given) says that a change arrived: the pause between passes. Returns false
// when the time was cut short by a stop request.
bool run_jobs_for(std::int64_t seconds, const WalkSettings& walk, const JobSettings& job,
                  bool (*woken)(const WalkSettings&) = nullptr);

// Lets the jobs in hand go on until none is left. On a stop request files that wait for their
// readiness are let go at once, and running commands are waited for.
void finish_jobs(const WalkSettings& walk, const JobSettings& job);
