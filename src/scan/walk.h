// One pass over the folder tree: sorted listing and recursion; the files it finds go to the
// driver's sink.
#pragma once

#include <cstdint>
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

// What a walk needs besides its settings.
struct WalkRules {
  const JobSettings& job;    // -f and the placeholders in the command: which names are jobs
  bool claiming = false;     // -p: links are never claimed
  SaidOnce* said = nullptr;  // for the change watch's warnings
  // Every entry is told (the dry run): also those a pass leaves out unseen, plain files that do
  // not match and folders it does not walk.
  bool every_entry = false;
};

// One entry a walk looked at, and what it made of it.
struct WalkEntry {
  Verdict verdict = Verdict::taken;
  std::string full_path;                 // as found: the folder's path and the name
  std::string name;                      // its name in its folder
  std::shared_ptr<const Folder> folder;  // its folder: the one to act in for a file taken
  PathStatus status;                     // a file taken: its status when the walk looked
  JobNames names;                        // ... and its placeholder values
};

// Byte order of names: unsigned bytes, a prefix first. Negative, zero or positive.
int compare_names(const char* a, const char* b);

// Lists the open `folder` into `listing` and returns, sorted with compare_names, the entries a
// pass must look at (plain files whose names do not match, and folders that are not walked, are
// left out unless `every_entry`; "." and ".." always); empty when the folder cannot be listed.
std::vector<std::uint32_t> list_folder(const WalkSettings& settings, const Folder& folder,
                                       FolderListing* listing, bool every_entry = false);

// A walk, one entry at a time: a stack of open folders, each with its sorted listing and the
// place reached in it, depth first. A pass and the dry run are the same walk: the pass acts on the
// files taken and warns of some other verdicts (warn_of), the dry run tells each.
class WalkCursor {
 public:
  WalkCursor() = default;  // a walk that has ended
  // A walk of the open folder `top` (taken over), `depth` levels below the source folder at
  // `relative` from it; sub-folders too with `descend` (-r; a pass over the source folder).
  WalkCursor(const WalkSettings& settings, const WalkRules& rules, Folder* top, int depth,
             const std::string& relative, bool descend);
  WalkCursor(WalkCursor&&) = default;
  WalkCursor& operator=(WalkCursor&&) = default;

  // The next entry with a verdict: false at the walk's end. What is not a folder or a file, a
  // plain file a pass need not look at, and an entry gone since the listing are passed over.
  bool next(WalkEntry* entry);

  bool ended() const { return levels_.empty(); }

 private:
  struct Level {
    std::shared_ptr<const Folder> folder;
    FolderListing listing;
    std::vector<std::uint32_t> order;
    std::size_t at = 0;
    int depth = 0;
    std::string relative;  // with -w only: its path from the source folder
  };
  void enter(std::shared_ptr<const Folder> folder, int depth, std::string relative);
  bool sub_folder(const std::string& name, bool is_link, WalkEntry* entry);

  const WalkSettings* settings_ = nullptr;
  const WalkRules* rules_ = nullptr;
  bool descend_ = false;
  std::vector<Level> levels_;
};

// The warning a pass says of an entry passed over, where its verdict has one (the warnings about
// single paths once per run).
void warn_of(const WalkEntry& entry, SaidOnce* said);

// Opens the source folder (`source_folder`, absolute; "" for the working folder) by its path for
// a pass over its tree: false when it cannot be opened now (the pass finds nothing).
bool walk_source(const WalkSettings& settings, const WalkRules& rules,
                 const std::string& source_folder, WalkCursor* cursor);

// Opens the folder at `relative` from the source folder (`source_folder`, absolute) for a look as
// a pass would take it: with `whole` (a new folder, with -r) its sub-folders are walked too. It is
// opened one part at a time by the walk's rules (no links, no folder whose name starts with a dot,
// at most MAX_WALK_DEPTH levels); false when it cannot be reached so (left to the regular pass).
bool look_at_folder(const WalkSettings& settings, const WalkRules& rules,
                    const std::string& source_folder, const std::string& relative, bool whole,
                    WalkCursor* cursor);
