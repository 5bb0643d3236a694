// One pass over the folder tree: sorted listing and recursion; the files it finds go to the
// driver's sink.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job/process_job.h"
#include "platform/platform.h"

// Folder levels below the source folder that a walk enters. Each level holds its folder's
// descriptor while it is walked, so the deepest walk stays well within the usual limit of 1024.
constexpr int MAX_WALK_DEPTH = 500;

// What the command line says about the walk: read-only once the run has started.
struct WalkSettings {
  std::string pattern;          // first operand
  bool recursive = false;       // -r
  bool wake_on_change = false;  // -w with -l: every folder walked is watched for changes
};

// What a walk makes of one entry it looks at: a pass acts on `taken` and `walked` and warns of some
// of the others; the dry run says every one. Each has one text in the dry run's table.
enum class Verdict : int {
  taken = 0,           // a matching file that may become a job
  walked,              // a folder that the walk enters
  not_matching,        // the pattern does not match the name
  dot_folder,          // a folder whose name starts with a dot
  too_deep,            // a folder below MAX_WALK_DEPTH levels
  folder_link,         // a link to a folder, never followed
  not_recursive,       // a folder, and -r was not given
  folder_no_access,    // a folder that cannot be entered
  folder_no_open,      // a folder whose name commands cannot open (Windows)
  unsafe_name,         // its path could break out of the quotes in the command
  unopenable,          // a name commands cannot open (Windows)
  not_regular,         // a FIFO, device or socket
  foreign_link,        // a link to another user's file
  no_access,           // it may not be opened, or its folder not read
  not_ready,           // a writer holds it or it changed during the look
  claimed,             // claimed into the work folder, by this or another run
  done_file,           // shaped like a done file (-f): never a job of its own
  no_done_file,        // its done file (-f) is not there yet
  done_name_too_long,  // the name of its done file (-f) would not fit
  link_not_claimed,    // a link, which a work folder (-p) never takes
  gone,                // gone before its readiness test
  ended_before,        // its job ended in an earlier run and it is unchanged (-u -c)
  no_descriptors,      // a folder that no descriptor was left for
};

// Where a walk hands what it finds, and what it needs besides its settings.
struct WalkContext {
  const JobSettings& job;  // -f and the placeholders in the command: which names are jobs
  bool claiming = false;   // -p: links are never claimed
  SaidOnce* said = nullptr;
  // Called before each entry: with one slot, the walk goes on only once the job before it ended.
  std::function<void()> before_entry;
  // True when the file with this full path, found with this status, is in hand already.
  std::function<bool(const std::string& full_path, const PathStatus& now)> in_hand;
  // A matching file that may become a job: `name` of `folder`, found with this status, and its
  // placeholder values.
  std::function<void(const std::shared_ptr<const Folder>& folder, const std::string& name,
                     const PathStatus& status, const JobNames& names)>
      found;
  // When set, the walk tells it what it makes of every entry it looks at, instead of warning, and
  // looks at every entry (the dry run): also those a pass leaves out unseen, plain files that do
  // not match and folders it does not walk. A `taken` file goes to `found` as ever.
  std::function<void(Verdict verdict, const std::string& full_path)> told;
};

// Byte order of names: unsigned bytes, a prefix first. Negative, zero or positive.
int compare_names(const char* a, const char* b);

// Lists the open `folder` into `listing` and returns, sorted with compare_names, the entries a
// pass must look at (plain files whose names do not match, and folders that are not walked, are
// left out unless `every_entry`; "." and ".." always); empty when the folder cannot be listed.
std::vector<std::uint32_t> list_folder(const WalkSettings& settings, const Folder& folder,
                                       FolderListing* listing, bool every_entry = false);

// One pass over the open source folder, which it takes over, recursing when asked: each matching
// file that may be a job goes to `context.found` with its folder; stops early on a stop request.
void walk_folder(const WalkSettings& walk, const WalkContext& context, Folder* source);

// Looks at the folder at `relative` from the source folder (`source_folder`, absolute) as a pass
// would: its matching entries that are not in hand go to `context.found`, in the walk's order; with
// `whole` (a new folder, with -r) its sub-folders are walked too. The folder is opened from the
// source folder one part at a time by the walk's rules (no links, no folder whose name starts with
// a dot, at most MAX_WALK_DEPTH levels); a folder that cannot be reached so is left to the regular
// pass.
void look_at_folder(const WalkSettings& walk, const WalkContext& context,
                    const std::string& source_folder, const std::string& relative, bool whole);
