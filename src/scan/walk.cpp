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
Verdict classify_file(const WalkRules& context, const Folder& here, const std::string& name,
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

}  // namespace

void warn_of(const WalkEntry& entry, SaidOnce* said) {
  const char* once = nullptr;
  switch (entry.verdict) {
    case Verdict::no_access:
      say("Warning: Folder not readable, file skipped: '%s'\n", printable(entry.name).c_str());
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
  say_once(said, once, entry.full_path);
}

WalkCursor::WalkCursor(const WalkSettings& settings, const WalkRules& rules, Folder* top, int depth,
                       const std::string& relative, bool descend)
    : settings_(&settings), rules_(&rules), descend_(descend) {
  enter(share_folder(top), depth, relative);
}

void WalkCursor::enter(std::shared_ptr<const Folder> folder, int depth, std::string relative) {
  // Watched before it is listed, so that nothing arriving after the listing goes unseen.
  if (settings_->wake_on_change) {
    watch_entered_folder(*folder, relative, rules_->said);
  }
  Level level;
  level.order = list_folder(*settings_, *folder, &level.listing, rules_->every_entry);
  level.folder = std::move(folder);
  level.depth = depth;
  level.relative = std::move(relative);
  levels_.push_back(std::move(level));
}

// The folder entry `name` of the innermost level (a link to one with `is_link`), entered when the
// walk's rules let it: -r given, no name starting with a dot, no link (it may lead back to an
// ancestor), a name commands can open, not too deep. True when it has a verdict to tell.
bool WalkCursor::sub_folder(const std::string& name, bool is_link, WalkEntry* entry) {
  if (!descend_) {
    return false;
  }
  const Level& here = levels_.back();
  const int depth = here.depth + 1;
  entry->full_path = full_path_of(*here.folder, name);
  entry->name = name;
  entry->folder = here.folder;
  // What is below a name commands cannot open would be reached through a path the commands read
  // as another folder.
  entry->verdict = !settings_->recursive         ? Verdict::not_recursive
                   : name[0] == '.'              ? Verdict::dot_folder
                   : is_link                     ? Verdict::folder_link
                   : name_unopenable(name, true) ? Verdict::folder_no_open
                   : depth > MAX_WALK_DEPTH      ? Verdict::too_deep
                                                 : Verdict::walked;
  if (entry->verdict != Verdict::walked) {
    return true;
  }
  Folder opened;
  const EnterResult entered = open_sub_folder(*here.folder, name, &opened);
  if (entered != EnterResult::entered) {
    entry->verdict =
        entered == EnterResult::no_handles ? Verdict::no_descriptors : Verdict::folder_no_access;
    return true;
  }
  // The path from the source folder serves the change watch only: without it, a deep tree's
  // levels would hold it beside each folder's own path, doubling what they take.
  std::string relative =
      settings_->wake_on_change ? relative_of(here.relative, name) : std::string();
  enter(share_folder(&opened), depth, std::move(relative));
  return true;
}

bool WalkCursor::next(WalkEntry* entry) {
  while (!levels_.empty()) {
    Level& here = levels_.back();
    if (here.at == here.order.size()) {
      levels_.pop_back();
      continue;
    }
    const std::uint32_t index = here.order[here.at++];
    const std::string name = here.listing.name(index);
    const EntryHint hint = here.listing.hints[index];
    // A folder known from the listing is opened without a status query.
    if (hint == EntryHint::folder) {
      if (sub_folder(name, false, entry)) {
        return true;
      }
      continue;
    }
    PathStatus status;
    if (!query_status(*here.folder, name, &status)) {
      continue;
    }
    if (status.is_folder) {
      if (sub_folder(name, status.is_link, entry)) {
        return true;
      }
      continue;
    }
    entry->name = name;
    entry->folder = here.folder;
    // A plain file known from the listing was matched already, unless every entry is looked at.
    if ((rules_->every_entry || hint != EntryHint::file) &&
        !match_name(settings_->pattern.c_str(), name.c_str())) {
      entry->verdict = Verdict::not_matching;
      entry->full_path = full_path_of(*here.folder, name);
      return true;
    }
    entry->verdict = classify_file(*rules_, *here.folder, name, status, &entry->names);
    entry->full_path = entry->verdict == Verdict::no_access ? full_path_of(*here.folder, name)
                                                            : entry->names.full_path;
    entry->status = status;
    return true;
  }
  return false;
}

bool walk_source(const WalkSettings& settings, const WalkRules& rules,
                 const std::string& source_folder, WalkCursor* cursor) {
  Folder source;
  if (!open_folder(source_folder.empty() ? "." : source_folder, &source)) {
    close_folder(&source);
    *cursor = WalkCursor();
    return false;
  }
  source.path =
      source_folder;  // without one, every file is passed over as in a folder not readable
  *cursor = WalkCursor(settings, rules, &source, 0, "", true);
  return true;
}

bool look_at_folder(const WalkSettings& settings, const WalkRules& rules,
                    const std::string& source_folder, const std::string& relative, bool whole,
                    WalkCursor* cursor) {
  Folder here;
  if (!open_folder(source_folder, &here)) {
    return false;
  }
  // Opened one part at a time by the walk's rules: no link, no folder the walk passes over.
  int depth = 0;
  for (std::size_t at = 0; at < relative.size();) {
    std::size_t end = relative.find(PATH_SEPARATOR, at);
    end = end == std::string::npos ? relative.size() : end;
    const std::string part = relative.substr(at, end - at);
    at = end + 1;
    ++depth;
    Folder opened;
    if (part.empty() || part[0] == '.' || depth > MAX_WALK_DEPTH ||
        open_sub_folder(here, part, &opened) != EnterResult::entered) {
      close_folder(&here);
      return false;
    }
    close_folder(&here);
    here = std::move(opened);
  }
  *cursor = WalkCursor(settings, rules, &here, depth, relative, whole);
  return true;
}
