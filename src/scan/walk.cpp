// The folder walk: a sorted snapshot of each folder, depth first, and the readiness test that
// decides when a matching file is complete.
#include "scan/walk.h"

#include <algorithm>
#include <cstring>

#include "app/run_settings.h"
#include "job/process_job.h"
#include "log/console.h"
#include "match/wildcard.h"

int compare_names(const char* a, const char* b) {
  // strcmp compares as unsigned char, and a name that is a prefix of another ends first.
  return std::strcmp(a, b);
}

std::vector<std::uint32_t> list_folder(FolderListing* listing) {
  if (!list_working_folder(listing)) {
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

bool file_is_ready(const std::string& name, std::uint64_t size0) {
  for (int attempt = 0; attempt < READY_ATTEMPTS; ++attempt) {
    if (!sleep_seconds(settings.settle_seconds)) {
      return false;
    }
    bool openable = try_open_for_append(name);
    PathStatus status;
    if (!query_status(name, &status)) {
      say("Warning: File not readable anymore: '%s'\n", printable(name).c_str());
      return false;
    }
    // The size is compared with the first look of this pass, not the previous attempt: a file
    // that grew since then waits for the next pass.
    if (openable && status.size == size0) {
      return true;
    }
  }
  return false;
}

namespace {

// The way back to the folder being walked, taken at its first sub-folder and kept for the others
// until the walk of the folder ends.
struct WayBack {
  FolderMark mark;
  bool taken = false;
  ~WayBack() {
    if (taken) {
      release_mark(&mark);
    }
  }
};

// Walks the sub-folder `name` and comes back to the exact folder we are in, whatever happens to
// the paths meanwhile. A sub-folder that cannot be entered, or whose parent cannot be marked for
// the way back, is skipped. Returns false when the way back failed: the caller is then in an
// unknown folder and must not act on its own listing any longer.
bool walk_sub_folder(const std::string& name, WayBack* back) {
  if (!back->taken) {
    back->taken = mark_working_folder(&back->mark);
    if (!back->taken) {
      return true;
    }
  }
  if (enter_sub_folder(name) != EnterResult::entered) {
    return true;
  }
  walk_folder();
  return return_to_mark(back->mark);
}

}  // namespace

void walk_folder() {
  FolderListing listing;
  std::vector<std::uint32_t> order = list_folder(&listing);
  WayBack back;
  for (std::uint32_t index : order) {
    if (stop_requested()) {
      return;
    }
    const char* name = listing.name(index);
    EntryHint hint = listing.hints[index];
    // A folder known from the listing is entered without a status query.
    if (hint == EntryHint::folder) {
      if (!walk_sub_folder(name, &back)) {
        return;
      }
      continue;
    }
    PathStatus status;
    if (!query_status(name, &status)) {
      continue;
    }
    if (status.is_folder) {
      // Links to folders are not followed: a link may lead back to an ancestor.
      if (settings.recursive && name[0] != '.' && !status.is_link &&
          !walk_sub_folder(name, &back)) {
        return;
      }
      continue;
    }
    // A plain file known from the listing was matched already.
    if (hint != EntryHint::file && !match_name(settings.pattern.c_str(), name)) {
      continue;
    }
    // A stop requested during the last attempt starts no further file.
    if (file_is_ready(name, status.size) && !stop_requested()) {
      process_job(name);
    }
  }
}
