// Change notification for the pause between passes.
#include "scan/changes.h"

#include <string>
#include <vector>

#include "job/done_file.h"
#include "job/process_job.h"
#include "match/wildcard.h"
#include "platform/platform.h"
#include "scan/walk.h"

namespace {

// Said once per run, whatever the reason: polling goes on either way.
void warn_unwatched(const std::string& reason, SaidOnce* said) {
  if (first_time(said, "watch")) {
    say("Warning: Cannot wake on change (%s); polling only\n", printable(reason).c_str());
  }
}

// The watches held keep working; only the folders without one wait for the regular pass.
void warn_some_unwatched(const std::string& reason, SaidOnce* said) {
  if (first_time(said, "watch some")) {
    say("Warning: Cannot watch every folder (%s); those are found by the regular pass\n",
        printable(reason).c_str());
  }
}

// With -f, the arrival of a done file is what makes its file ready.
bool is_done_file_name(const JobSettings& job, const std::string& name) {
  return job.done_template &&
         fits_done_file(*job.done_template, std::string(1, PATH_SEPARATOR) + name);
}

}  // namespace

bool start_change_watch(const WalkSettings& walk, SaidOnce* said) {
  std::string reason;
  if (!start_watching(walk.recursive, &reason)) {
    warn_unwatched(reason, said);
    return false;
  }
  return true;
}

void watch_entered_folder(const Folder& folder, const std::string& relative, SaidOnce* said) {
  std::string reason;
  if (!watch_folder(folder, relative, &reason)) {
    warn_some_unwatched(reason, said);
  }
}

void plan_looks(const WalkSettings& walk, const JobSettings& job,
                const std::vector<FolderChange>& changes, Looks* looks) {
  for (const FolderChange& change : changes) {
    if (change.overflow || change.returned) {
      looks->full_pass = true;
      continue;
    }
    // Our own temporary files come and go with every copy and success file.
    if (change.name.empty() || change.name.rfind(TEMPORARY_PREFIX, 0) == 0) {
      continue;
    }
    if (change.is_folder) {
      // The walk skips folders whose names start with a dot, so a new one wakes nothing.
      if (walk.recursive && change.name[0] != '.') {
        looks->folders[change.folder.empty() ? change.name
                                             : change.folder + PATH_SEPARATOR + change.name] = true;
      }
    } else if (match_name(walk.pattern.c_str(), change.name.c_str()) ||
               is_done_file_name(job, change.name)) {
      looks->folders.emplace(change.folder, false);  // a walk of it asked for already stays
    }
  }
  if (looks->folders.size() > MAX_LOOKS) {
    looks->folders.clear();
    looks->full_pass = true;
  }
}

void take_changes(const WalkSettings& walk, const JobSettings& job,
                  const std::string& source_folder,
                  const std::function<bool(const std::string& full_path)>& look_again,
                  Looks* looks) {
  std::vector<FolderChange> changes;
  read_changes(&changes);
  std::vector<FolderChange> new_ones;
  for (FolderChange& change : changes) {
    const bool in_hand =
        !change.is_folder && !change.name.empty() &&
        match_name(walk.pattern.c_str(), change.name.c_str()) &&
        look_again(
            source_folder + PATH_SEPARATOR +
            (change.folder.empty() ? change.name : change.folder + PATH_SEPARATOR + change.name));
    if (!in_hand) {
      new_ones.push_back(std::move(change));
    }
  }
  plan_looks(walk, job, new_ones, looks);
}
