// The folder walk: a sorted snapshot of each folder, depth first, and the readiness test that
// decides when a matching file is complete.
#include "scan/walk.h"

#include <algorithm>
#include <cstring>

#include "app/run_settings.h"
#include "job/process_job.h"
#include "log/console.h"
#include "match/wildcard.h"

int compare_names(const std::string& a, const std::string& b) {
  // std::string compares chars, which are signed here; names sort as unsigned bytes.
  std::size_t common = std::min(a.size(), b.size());
  int order = std::memcmp(a.data(), b.data(), common);
  if (order != 0) {
    return order;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::vector<FolderEntry> list_folder() {
  std::vector<FolderEntry> entries;
  if (!list_working_folder(&entries)) {
    return {};
  }
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
    return compare_names(a.name, b.name) < 0;
  });
  return entries;
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

// Walks the sub-folder `name` and comes back to the exact folder we are in, whatever happens to
// the paths meanwhile. A sub-folder that cannot be entered, or whose parent cannot be marked for
// the way back, is skipped.
void walk_sub_folder(const std::string& name) {
  FolderMark mark;
  if (!mark_working_folder(&mark)) {
    return;
  }
  if (enter_sub_folder(name)) {
    walk_folder();
    return_to_mark(mark);
  }
  release_mark(&mark);
}

}  // namespace

void walk_folder() {
  std::vector<FolderEntry> entries = list_folder();
  for (const FolderEntry& entry : entries) {
    if (stop_requested()) {
      return;
    }
    PathStatus status;
    if (!query_status(entry.name, &status)) {
      continue;
    }
    if (status.is_folder) {
      // Links to folders are not followed: a link may lead back to an ancestor.
      if (settings.recursive && entry.name[0] != '.' && !status.is_link) {
        walk_sub_folder(entry.name);
      }
      continue;
    }
    if (!match_name(settings.pattern.c_str(), entry.name.c_str())) {
      continue;
    }
    if (file_is_ready(entry.name, status.size)) {
      process_job(entry.name);
    }
  }
}
