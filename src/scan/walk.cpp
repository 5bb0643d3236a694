// The folder walk: a sorted snapshot of each folder, depth first.
#include "scan/walk.h"

#include <algorithm>
#include <cstring>

#include "job/done_file.h"
#include "log/console.h"
#include "match/wildcard.h"
#include "scan/changes.h"

int compare_names(const char* a, const char* b) {
  // strcmp compares as unsigned char, and a name that is a prefix of another ends first.
  return std::strcmp(a, b);
}

std::vector<std::uint32_t> list_folder(const WalkSettings& settings, const Folder& folder,
                                       FolderListing* listing) {
  if (!list_entries(folder, listing)) {
    return {};
  }
  // Only entries that can lead to an action are sorted: a plain file whose name does not match
  // and a folder that is not walked are passed over wherever they stand, so leaving them out of
  // the sort changes nothing but its cost. Kinds that the listing does not know stay in.
  const char* pattern = settings.pattern.c_str();
  std::vector<std::uint32_t> order;
  for (std::uint32_t i = 0; i < listing->size(); ++i) {
    const char* name = listing->name(i);
    EntryHint hint = listing->hints[i];
    if (hint == EntryHint::folder && (!settings.recursive || name[0] == '.')) {
      continue;
    }
    if (hint == EntryHint::file && !match_name(pattern, name)) {
      continue;
    }
    order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [listing](std::uint32_t a, std::uint32_t b) {
    return compare_names(listing->name(a), listing->name(b)) < 0;
  });
  return order;
}

namespace {

// What one walk needs at every level.
struct Walk {
  const WalkSettings& settings;
  const WalkContext& context;
  SaidOnce* said;
  bool descend;  // sub-folders are walked too (with -r); a look at one folder's entries is not
};

// The full path of `name` in `folder`, for messages.
std::string full_path_of(const Folder& folder, const std::string& name) {
  return folder.path + PATH_SEPARATOR + name;
}

// The path of `name` from the source folder, in the folder at `relative` from it.
std::string relative_of(const std::string& relative, const std::string& name) {
  return relative.empty() ? name : relative + PATH_SEPARATOR + name;
}

// Hands the matching entry `name` of `here`, not a folder, whose status is `status`, on. Names that
// can never be handed to a command are passed over before any settle time, each with a warning once
// per run, and so is a file still in hand.
void take_file(const Walk& walk, const std::shared_ptr<const Folder>& here, const std::string& name,
               const PathStatus& status) {
  JobNames names;
  if (!derive_job_names(*here, name, &names)) {
    say("Warning: Folder not readable, file skipped: '%s'\n", printable(name).c_str());
    return;
  }
  // With -f a done file is never a job, and a file waits for its done file before any test.
  if (const auto& done = walk.context.job.done_template) {
    DoneCheck check = check_done_file(*here, *done, names, status.modified, status.owner);
    if (check == DoneCheck::too_long) {
      say_once(walk.said, "Warning: Name of the done file too long, file skipped: '%s'\n",
               names.full_path);
    }
    if (check != DoneCheck::ready) {
      return;
    }
  }
  // A name that could break out of the quotes around a placeholder is never put into the text of
  // a command.
  if (walk.context.job.names_in_text && is_unsafe_path(names.full_path)) {
    say_once(walk.said, "Warning: Unsafe file name skipped: '%s'\n", names.full_path);
    return;
  }
  // We would reach the file through a path the commands read as another file or a device, so it
  // is neither run nor copied nor erased, whatever the template.
  if (name_unopenable(name, false)) {
    say_once(walk.said, "Warning: Name that commands cannot open, file skipped: '%s'\n",
             names.full_path);
    return;
  }
  // A FIFO or device may never end, and reading it may block forever.
  if (!status.is_regular) {
    say_once(walk.said, "Warning: Not a regular file, skipped: '%s'\n", names.full_path);
    return;
  }
  // A link planted by one user must not make us read another user's file.
  if (status.is_link && !status.link_trusted) {
    say_once(walk.said, "Warning: Link to another user's file skipped: '%s'\n", names.full_path);
    return;
  }
  // A claimed link would still be opened by its path, which leads wherever its owner points it
  // meanwhile: with a work folder only the file itself is ever moved.
  if (status.is_link && walk.context.claiming) {
    say_once(walk.said, "Warning: Link not claimed, passed over: '%s'\n", names.full_path);
    return;
  }
  if (!walk.context.in_hand(names.full_path, status)) {
    walk.context.found(here, name, status, names);
  }
}

void walk_level(const Walk& walk, int depth, const std::shared_ptr<const Folder>& here,
                const std::string& relative);

// Walks the sub-folder `name` of `here`, at `depth` levels below the source folder. A sub-folder
// that cannot be opened is skipped, with a warning when the reason is its depth or a lack of
// descriptors.
void walk_sub_folder(const Walk& walk, const Folder& here, const std::string& name, int depth,
                     const std::string& relative) {
  const char* too_deep = "Warning: Folder not entered (too deep): '%s'\n";
  // What is below it would be reached through a path the commands read as another folder.
  if (name_unopenable(name, true)) {
    say_once(walk.said, "Warning: Name that commands cannot open, folder not entered: '%s'\n",
             full_path_of(here, name));
    return;
  }
  if (depth > MAX_WALK_DEPTH) {
    say_once(walk.said, too_deep, full_path_of(here, name));
    return;
  }
  Folder opened;
  EnterResult entered = open_sub_folder(here, name, &opened);
  if (entered != EnterResult::entered) {
    if (entered == EnterResult::no_handles) {
      say_once(walk.said, "Warning: Folder not entered (no descriptors left): '%s'\n",
               full_path_of(here, name));
    }
    return;
  }
  // The path from the source folder serves the change watch only: without it, a deep tree's
  // levels would hold it beside each folder's own path, doubling what they take.
  walk_level(walk, depth, share_folder(&opened),
             walk.settings.wake_on_change ? relative_of(relative, name) : std::string());
}

// Walks the folder `here`, `depth` levels below the source folder at `relative` from it.
void walk_level(const Walk& walk, int depth, const std::shared_ptr<const Folder>& here,
                const std::string& relative) {
  const WalkSettings& settings = walk.settings;
  // Watched before it is listed, so that nothing arriving after the listing goes unseen.
  if (settings.wake_on_change) {
    watch_entered_folder(*here, relative, walk.said);
  }
  FolderListing listing;
  std::vector<std::uint32_t> order = list_folder(settings, *here, &listing);
  for (std::uint32_t index : order) {
    // Each entry waits for a free slot, so that with one slot everything the walk sees comes after
    // the end of the job before.
    walk.context.before_entry();
    if (stop_requested()) {
      return;
    }
    const char* name = listing.name(index);
    EntryHint hint = listing.hints[index];
    // A folder known from the listing is opened without a status query.
    if (hint == EntryHint::folder) {
      if (walk.descend) {
        walk_sub_folder(walk, *here, name, depth + 1, relative);
      }
      continue;
    }
    PathStatus status;
    if (!query_status(*here, name, &status)) {
      continue;
    }
    if (status.is_folder) {
      // Links to folders are not followed: a link may lead back to an ancestor.
      if (walk.descend && settings.recursive && name[0] != '.' && !status.is_link) {
        walk_sub_folder(walk, *here, name, depth + 1, relative);
      }
      continue;
    }
    // A plain file known from the listing was matched already.
    if (hint != EntryHint::file && !match_name(settings.pattern.c_str(), name)) {
      continue;
    }
    take_file(walk, here, name, status);
  }
}

}  // namespace

void walk_folder(const WalkSettings& walk, const WalkContext& context, Folder* source) {
  walk_level(Walk{walk, context, context.said, true}, 0, share_folder(source), "");
}

void look_at_folder(const WalkSettings& settings, const WalkContext& context,
                    const std::string& source_folder, const std::string& relative, bool whole) {
  std::shared_ptr<const Folder> here;
  Folder opened;
  if (!open_folder(source_folder, &opened)) {
    return;
  }
  here = share_folder(&opened);
  // Opened one part at a time by the walk's rules: no link, no folder the walk passes over.
  int depth = 0;
  for (std::size_t at = 0; at < relative.size();) {
    std::size_t end = relative.find(PATH_SEPARATOR, at);
    end = end == std::string::npos ? relative.size() : end;
    const std::string part = relative.substr(at, end - at);
    at = end + 1;
    ++depth;
    if (part.empty() || part[0] == '.' || depth > MAX_WALK_DEPTH ||
        open_sub_folder(*here, part, &opened) != EnterResult::entered) {
      return;
    }
    here = share_folder(&opened);
  }
  walk_level(Walk{settings, context, context.said, whole}, depth, here, relative);
}
