// The dry run (-n): one pass that starts no command and changes nothing, and says for every
// entry it looks at what a real pass would do with it, and why.
#pragma once

#include "job/claim.h"
#include "job/process_job.h"
#include "scan/walk.h"
#include "schedule/scheduler.h"
#include "state/state_file.h"

// The dry run over the source folder `source_folder` (absolute; "" when its path is not known:
// the working folder), with the work folder `work` when -p was given (else null). It is the walk
// of a pass, told what it makes of every entry, and the readiness test of a pass, one attempt of
// it for each file the walk takes, one settle time after the walk. Prints one line per entry.
// `state` holds what the state file (-c) says that a run would take of it, or is null.
void dry_run(const WalkSettings& walk, const JobSettings& job, const ScheduleSettings& schedule,
             WorkFolder* work, const std::string& source_folder,
             const StateEntries* state = nullptr);

// The line the dry run prints for `full_path` (as given; masked and shortened here) and `verdict`.
std::string dry_line(Verdict verdict, const std::string& full_path);
