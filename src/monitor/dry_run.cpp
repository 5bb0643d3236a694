// The dry run: a walk with the rules of scan/walk.cpp and the readiness test, that acts on
// nothing.
#include "monitor/dry_run.h"

#include <algorithm>
#include <cstring>

#include "job/done_file.h"
#include "log/console.h"
#include "match/wildcard.h"

namespace {

// What is said for each DryReason, in its order. A new reason is one more row here and one more
// value there.
const char* const REASON_TEXTS[] = {
    "would run",
    "folder walked",
    "not matching",
    "folder passed over (its name starts with a dot)",
    "folder passed over (too deep)",
    "folder passed over (a link, not followed)",
    "folder passed over (-r not given)",
    "folder passed over (no access)",
    "folder passed over (a name commands cannot open)",
    "unsafe name, passed over",
    "name commands cannot open, passed over",
    "not a regular file, passed over",
    "link to another user's file, not followed",
    "no access, passed over",
    "held by a writer or not settled, waits",
    "in hand elsewhere (claimed into the work folder)",
    "done file, passed over",
    "no done file yet, waits",
    "ended before, unchanged",
    "folder passed over (no descriptors left)",
};
static_assert(sizeof REASON_TEXTS / sizeof REASON_TEXTS[0] ==
                  static_cast<std::size_t>(DryReason::no_descriptors) + 1,
              "one text per reason");

struct DryWalk {
  const WalkSettings& walk;
  const JobSettings& job;
  const StateEntries* state;
};

void say_reason(DryReason reason, const std::string& full_path) {
  say("%s", dry_line(reason, full_path).c_str());
}

// A matching entry that is not a folder, as take_file and one readiness attempt see it.
DryReason file_reason(const DryWalk& dry, const Folder& folder, const std::string& name,
                      const PathStatus& status) {
  JobNames names;
  if (!derive_job_names(folder, name, &names)) {
    return DryReason::no_access;
  }
  if (dry.job.done_template) {
    DoneCheck check =
        check_done_file(folder, *dry.job.done_template, names, status.modified, status.owner);
    if (check != DoneCheck::ready) {
      return check == DoneCheck::done_file ? DryReason::done_file : DryReason::no_done_file;
    }
  }
  if (dry.job.names_in_text && is_unsafe_path(names.full_path)) {
    return DryReason::unsafe_name;
  }
  if (name_unopenable(name, false)) {
    return DryReason::unopenable;
  }
  if (!status.is_regular) {
    return DryReason::not_regular;
  }
  if (status.is_link && !status.link_trusted) {
    return DryReason::foreign_link;
  }
  // One probe, without the settle time before it: what it finds now, not what it would later.
  bool wrote = false;
  Probe probe = probe_file(folder, name, status.is_link && status.link_trusted, status.id, &wrote);
  if (probe == Probe::no_access) {
    return DryReason::no_access;
  }
  PathStatus now;
  if (probe != Probe::free || !query_status(folder, name, &now) || now.size != status.size ||
      !(now.id == status.id)) {
    return DryReason::not_ready;
  }
  return DryReason::taken;
}

// Says what the state file holds of a file that a run would take or wait for: that it ended
// before, or when its next try is due. False when it holds nothing of it as it is now.
bool said_from_state(const DryWalk& dry, const std::string& full_path, const PathStatus& status) {
  auto at = dry.state == nullptr ? StateEntries::const_iterator{} : dry.state->find(full_path);
  if (dry.state == nullptr || at == dry.state->end() || !same_as_entry(at->second, status)) {
    return false;
  }
  if (!at->second.waiting) {
    say_reason(DryReason::ended_before, full_path);
    return true;
  }
  LocalTime due;
  local_time_at(at->second.due, &due);
  say("Dry run: waits for try %d at %04d-%02d-%02d %02d:%02d:%02d: '%s'\n", at->second.tries + 1,
      due.year, due.month, due.day, due.hour, due.minute, due.second, printable(full_path).c_str());
  return true;
}

void dry_level(const DryWalk& dry, const Folder& folder, int depth);

// A folder entry of `folder`, as walk_level and walk_sub_folder see it.
void dry_folder(const DryWalk& dry, const Folder& folder, const std::string& name,
                const PathStatus& status, const std::string& full_path, int depth) {
  DryReason reason = DryReason::walked;
  if (!dry.walk.recursive) {
    reason = DryReason::not_recursive;
  } else if (name[0] == '.') {
    reason = DryReason::dot_folder;
  } else if (status.is_link) {
    reason = DryReason::folder_link;
  } else if (name_unopenable(name, true)) {
    reason = DryReason::folder_no_open;
  } else if (depth + 1 > MAX_WALK_DEPTH) {
    reason = DryReason::too_deep;
  }
  if (reason != DryReason::walked) {
    say_reason(reason, full_path);
    return;
  }
  Folder opened;
  EnterResult entered = open_sub_folder(folder, name, &opened);
  if (entered != EnterResult::entered) {
    say_reason(entered == EnterResult::no_handles ? DryReason::no_descriptors
                                                  : DryReason::folder_no_access,
               full_path);
  } else {
    say_reason(DryReason::walked, full_path);
    dry_level(dry, opened, depth + 1);
  }
  close_folder(&opened);
}

void dry_level(const DryWalk& dry, const Folder& folder, int depth) {
  FolderListing listing;
  list_entries(folder, &listing);
  std::vector<std::uint32_t> order;
  for (std::uint32_t i = 0; i < listing.size(); ++i) {
    const char* name = listing.name(i);
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
      order.push_back(i);
    }
  }
  std::sort(order.begin(), order.end(), [&listing](std::uint32_t a, std::uint32_t b) {
    return compare_names(listing.name(a), listing.name(b)) < 0;
  });
  for (std::uint32_t index : order) {
    const std::string name = listing.name(index);
    const std::string full_path = folder.path + PATH_SEPARATOR + name;
    PathStatus status;
    if (!query_status(folder, name, &status)) {
      continue;  // gone since the listing
    }
    if (status.is_folder) {
      dry_folder(dry, folder, name, status, full_path, depth);
    } else if (!match_name(dry.walk.pattern.c_str(), name.c_str())) {
      say_reason(DryReason::not_matching, full_path);
    } else {
      const DryReason reason = file_reason(dry, folder, name, status);
      if ((reason != DryReason::taken && reason != DryReason::not_ready) ||
          !said_from_state(dry, full_path, status)) {
        say_reason(reason, full_path);
      }
    }
  }
}

}  // namespace

std::string dry_line(DryReason reason, const std::string& full_path) {
  return std::string("Dry run: ") + REASON_TEXTS[static_cast<int>(reason)] + ": '" +
         printable(full_path) + "'\n";
}

void dry_run(const WalkSettings& walk, const JobSettings& job, const WorkFolder* work,
             const std::string& source_folder, const StateEntries* state) {
  Folder source;
  if (open_folder(source_folder.empty() ? "." : source_folder, &source)) {
    source.path = source_folder;
    dry_level(DryWalk{walk, job, state}, source, 0);
  }
  close_folder(&source);
  if (work != nullptr) {
    for (const std::string& path : claimed_paths(*work)) {
      say_reason(DryReason::claimed, path);
    }
  }
}
