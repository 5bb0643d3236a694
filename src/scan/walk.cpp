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
                                       FolderListing* listing, bool every_entry) {
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
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    if (!every_entry && hint == EntryHint::folder && (!settings.recursive || name[0] == '.')) {
      continue;
    }
    if (!every_entry && hint == EntryHint::file && !match_name(pattern, name)) {
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

// What a pass makes of the matching entry `name` of `here`, not a folder, found with `status`:
// taken, or why it is passed over. Names that can never be handed to a command are passed over
// before any settle time. `names` receives its placeholder values.
Verdict classify_file(const WalkContext& context, const Folder& here, const std::string& name,
                      const PathStatus& status, JobNames* names) {
  if (!derive_job_names(here, name, names)) {
    return Verdict::no_access;
  }
  // With -f a done file is never a job, and a file waits for its done file before any test.
  if (const auto& done = context.job.done_template) {
    switch (check_done_file(here, *done, *names, status.modified, status.owner)) {
      case DoneCheck::ready:
        break;
      case DoneCheck::too_long:
        return Verdict::done_name_too_long;
      case DoneCheck::done_file:
        return Verdict::done_file;
      default:
        return Verdict::no_done_file;
    }
  }
  // A name that could break out of the quotes around a placeholder is never put into the text of
  // a command.
  if (context.job.names_in_text && is_unsafe_path(names->full_path)) {
    return Verdict::unsafe_name;
  }
  // We would reach the file through a path the commands read as another file or a device, so it
  // is neither run nor copied nor erased, whatever the template.
  if (name_unopenable(name, false)) {
    return Verdict::unopenable;
  }
  // A FIFO or device may never end, and reading it may block forever.
  if (!status.is_regular) {
    return Verdict::not_regular;
  }
  // A link planted by one user must not make us read another user's file.
  if (status.is_link && !status.link_trusted) {
    return Verdict::foreign_link;
  }
  // A claimed link would still be opened by its path, which leads wherever its owner points it
  // meanwhile: with a work folder only the file itself is ever moved.
  if (status.is_link && context.claiming) {
    return Verdict::link_not_claimed;
  }
  return Verdict::taken;
}

// Tells the dry run what the walk made of the entry `name` at `full_path`; a pass warns of it
// instead where that is one of the warnings about single paths (once per run).
void tell(const Walk& walk, Verdict verdict, const std::string& full_path,
          const std::string& name) {
  if (walk.context.told) {
    walk.context.told(verdict, full_path);
    return;
  }
  const char* once = nullptr;
  switch (verdict) {
    case Verdict::no_access:
      say("Warning: Folder not readable, file skipped: '%s'\n", printable(name).c_str());
      return;
    case Verdict::done_name_too_long:
      once = "Warning: Name of the done file too long, file skipped: '%s'\n";
      break;
    case Verdict::unsafe_name:
      once = "Warning: Unsafe file name skipped: '%s'\n";
      break;
    case Verdict::unopenable:
      once = "Warning: Name that commands cannot open, file skipped: '%s'\n";
      break;
    case Verdict::not_regular:
      once = "Warning: Not a regular file, skipped: '%s'\n";
      break;
    case Verdict::foreign_link:
      once = "Warning: Link to another user's file skipped: '%s'\n";
      break;
    case Verdict::link_not_claimed:
      once = "Warning: Link not claimed, passed over: '%s'\n";
      break;
    case Verdict::folder_no_open:
      once = "Warning: Name that commands cannot open, folder not entered: '%s'\n";
      break;
    case Verdict::too_deep:
      once = "Warning: Folder not entered (too deep): '%s'\n";
      break;
    case Verdict::no_descriptors:
      once = "Warning: Folder not entered (no descriptors left): '%s'\n";
      break;
    default:
      return;
  }
  say_once(walk.said, once, full_path);
}

// Hands the matching entry `name` of `here`, not a folder, whose status is `status`, on, unless
// it is passed over or still in hand.
void take_file(const Walk& walk, const std::shared_ptr<const Folder>& here, const std::string& name,
               const PathStatus& status) {
  JobNames names;
  Verdict verdict = classify_file(walk.context, *here, name, status, &names);
  if (verdict != Verdict::taken) {
    tell(walk, verdict, verdict == Verdict::no_access ? full_path_of(*here, name) : names.full_path,
         name);
    return;
  }
  if (!walk.context.in_hand(names.full_path, status)) {
    walk.context.found(here, name, status, names);
  }
}

void walk_level(const Walk& walk, int depth, const std::shared_ptr<const Folder>& here,
                const std::string& relative);

// Walks the folder entry `name` of `here` (a link to one with `is_link`), at `depth` levels below
// the source folder, when the walk's rules let it: -r given, no name starting with a dot, no link
// (it may lead back to an ancestor), a name commands can open, not too deep. A sub-folder that
// cannot be opened is passed over, with a warning when the reason is its depth or a lack of
// descriptors.
void walk_sub_folder(const Walk& walk, const Folder& here, const std::string& name, bool is_link,
                     int depth, const std::string& relative) {
  const std::string full_path = full_path_of(here, name);
  // What is below a name commands cannot open would be reached through a path the commands read
  // as another folder.
  const Verdict verdict = !walk.settings.recursive      ? Verdict::not_recursive
                          : name[0] == '.'              ? Verdict::dot_folder
                          : is_link                     ? Verdict::folder_link
                          : name_unopenable(name, true) ? Verdict::folder_no_open
                          : depth > MAX_WALK_DEPTH      ? Verdict::too_deep
                                                        : Verdict::walked;
  if (verdict != Verdict::walked) {
    tell(walk, verdict, full_path, name);
    return;
  }
  Folder opened;
  EnterResult entered = open_sub_folder(here, name, &opened);
  if (entered != EnterResult::entered) {
    tell(walk,
         entered == EnterResult::no_handles ? Verdict::no_descriptors : Verdict::folder_no_access,
         full_path, name);
    return;
  }
  tell(walk, Verdict::walked, full_path, name);
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
  const bool every_entry = static_cast<bool>(walk.context.told);
  std::vector<std::uint32_t> order = list_folder(settings, *here, &listing, every_entry);
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
        walk_sub_folder(walk, *here, name, false, depth + 1, relative);
      }
      continue;
    }
    PathStatus status;
    if (!query_status(*here, name, &status)) {
      continue;
    }
    if (status.is_folder) {
      if (walk.descend) {
        walk_sub_folder(walk, *here, name, status.is_link, depth + 1, relative);
      }
      continue;
    }
    // A plain file known from the listing was matched already, unless every entry is looked at.
    if ((every_entry || hint != EntryHint::file) && !match_name(settings.pattern.c_str(), name)) {
      tell(walk, Verdict::not_matching, full_path_of(*here, name), name);
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
