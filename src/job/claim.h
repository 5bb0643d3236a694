// The work folder (-p): each ready file is moved into a sub-folder of its own there before its
// job, so that the command reads what was tested, and put back or erased after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/job_names.h"
#include "log/console.h"
#include "platform/platform.h"

// The work folder of the run, open for its whole length.
struct WorkFolder {
  Folder folder;  // its path is absolute
  std::uint32_t counter = 0;
};

// One claimed file: record `<id>.from` and sub-folder `<id>` in the work folder.
struct Claim {
  bool on = false;   // the file is (or was) in the sub-folder
  std::string id;    // the sub-folder's name
  Folder sub;        // the sub-folder, open
  std::string path;  // the claimed file's absolute path
};

// Results of claim_file.
enum class ClaimResult : int {
  claimed = 0,
  gone = 1,       // the file is no longer there (another process took it): passed over silently
  elsewhere = 2,  // the work folder is on another file system: the file stays, with a warning
  replaced = 3,   // what arrived is not the file tested: put back, with a warning
  failed = 4,     // no sub-folder or record could be made: the file stays, with a warning
};

// Checks and opens the work folder `path` (absolute): a real folder, ours, writable by nobody
// else. False when it is not usable.
bool open_work_folder(const std::string& path, WorkFolder* work);

// Puts back every file claimed by a run that did not finish, and removes its record and
// sub-folder. A file whose folder is gone stays, with its record, for a later start.
void recover_claims(WorkFolder* work, SaidOnce* said);

// Moves `name` of the walk's folder `from` (absolute path `origin`, for the record) into a new
// sub-folder of `work`, and checks that what arrived is `expected`: a plain file, never a link.
ClaimResult claim_file(WorkFolder* work, const Folder& from, const std::string& origin,
                       const std::string& name, const FileId& expected, SaidOnce* said,
                       Claim* claim);

// The placeholder values of the claimed file: @1@ and @4@ in its sub-folder, the rest as `names`.
JobNames claimed_names(const JobNames& names, const Claim& claim);

// Ends `claim`: a file still in its sub-folder goes back to `from` under `name` (a free numbered
// name when that is taken, with a warning once; `stored`, when given, receives the name it got),
// then the record and the sub-folder go. A sub-folder in which the command left files of its own
// stays.
void settle_claim(WorkFolder* work, const Folder& from, const std::string& name,
                  const std::string& full_path, SaidOnce* said, Claim* claim,
                  std::string* stored = nullptr);

// The full paths of the files claimed into `work` (by this run or another), as their records
// name them; nothing is changed.
std::vector<std::string> claimed_paths(const WorkFolder& work);
