// The dry run (-n): one pass that starts no command and changes nothing, and says for every
// entry it looks at what a real pass would do with it, and why.
#pragma once

#include "job/claim.h"
#include "job/process_job.h"
#include "scan/walk.h"
#include "state/state_file.h"

// What a real pass would do with an entry. Each has one row in the table of dry_run.cpp.
enum class DryReason : int {
  taken = 0,         // its command would run
  walked,            // a folder that the walk enters
  not_matching,      // the pattern does not match the name
  dot_folder,        // a folder whose name starts with a dot
  too_deep,          // a folder below MAX_WALK_DEPTH levels
  folder_link,       // a link to a folder, never followed
  not_recursive,     // a folder, and -r was not given
  folder_no_access,  // a folder that cannot be entered
  folder_no_open,    // a folder whose name commands cannot open (Windows)
  unsafe_name,       // its path could break out of the quotes in the command
  unopenable,        // a name commands cannot open (Windows)
  not_regular,       // a FIFO, device or socket
  foreign_link,      // a link to another user's file
  no_access,         // it may not be opened
  not_ready,         // a writer holds it or it changed during the look
  claimed,           // claimed into the work folder, by this or another run
  done_file,         // shaped like a done file (-f): never a job of its own
  no_done_file,      // its done file (-f) is not there yet, or its name would not fit
  ended_before,      // its job ended in an earlier run and it is unchanged (-u -c)
  no_descriptors,    // a folder that no descriptor was left for
};

// The dry run over the source folder `source_folder` (absolute; "" when its path is not known:
// the working folder), with the work folder `work` when -p was given (else null). Prints one line
// per entry. `state` holds what the state file (-c) says that a run would take of it, or is null.
void dry_run(const WalkSettings& walk, const JobSettings& job, const WorkFolder* work,
             const std::string& source_folder, const StateEntries* state = nullptr);

// The line the dry run prints for `full_path` (as given; masked here) and `reason`.
std::string dry_line(DryReason reason, const std::string& full_path);
