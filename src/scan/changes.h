// Wake on change (-w): what arrives during the pause between passes is looked at at once, in the
// folder where it arrived. The regular pass after the pause stays the full walk and the safety
// net; notification only shortens waits.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "log/console.h"
#include "platform/platform.h"

struct WalkSettings;
struct JobSettings;

// Most folders one batch of changes is looked at in; beyond that a full pass is as cheap.
constexpr std::size_t MAX_LOOKS = 4096;

// What a batch of changes asks for.
struct Looks {
  // Folders to look at, by path from the source folder ("" for that one): true for a folder that
  // is new and is walked whole, false for one whose own entries alone are looked at.
  std::map<std::string, bool> folders;
  bool full_pass = false;  // changes were lost, or the source folder is back: a pass at once
};

// Starts watching the working folder (the source folder). Says one warning with the reason and
// returns false when the system cannot watch it; the run then polls only.
bool start_change_watch(const WalkSettings& walk, SaidOnce* said);

// Watches the open `folder` too, as the walk enters it; `relative` is its path from the source
// folder. A failure is said once per run; the watches held keep working.
void watch_entered_folder(const Folder& folder, const std::string& relative, SaidOnce* said);

// Adds to `looks` what `changes` ask for: a matching name closed after writing, moved in or
// created (with -f a done file too) asks for a look at its folder; with -r a new folder for a
// walk of it; lost changes or the source folder's return for a full pass.
void plan_looks(const WalkSettings& walk, const JobSettings& job,
                const std::vector<FolderChange>& changes, Looks* looks);

// Takes the changes that arrived since the last call into `looks`. A change of a file in hand asks
// `look_again` for an early look at the file instead (true when it is in hand); `source_folder` is
// the absolute path its full path starts with.
void take_changes(const WalkSettings& walk, const JobSettings& job,
                  const std::string& source_folder,
                  const std::function<bool(const std::string& full_path)>& look_again,
                  Looks* looks);
