// The readiness test of one attempt.
#include "schedule/readiness.h"

Readiness ready_attempt(const Folder& folder, const std::string& name, const std::string& full_path,
                        const PathStatus& before, bool same_time, SaidOnce* said, PathStatus* now) {
  bool wrote = false;
  before_own_probe();
  // Only the file looked at before, and through a link only where that was a trusted one.
  Probe probe = probe_file(folder, name, before.is_link && before.link_trusted, before.id, &wrote);
  after_own_probe(folder, name, wrote);
  // A writer may give its file our access only once it is complete (a copy made 0600, then
  // opened up): only a file unchanged for a settle time is truly out of our reach.
  if (probe == Probe::no_access) {
    if (!query_status(folder, name, now) || now->id != before.id || now->size != before.size ||
        now->modified != before.modified) {
      return Readiness::not_yet;
    }
    say_once(said, "Warning: No access to file, passed over: '%s'\n", full_path);
    return Readiness::no_access;
  }
  if (writer_check_refused() && first_time(said, "lease")) {
    say("Warning: Cannot check for writers still holding files (no permission for leases); "
        "only the size test applies\n");
  }
  PathStatus& status = *now;
  if (!query_status(folder, name, &status)) {
    // Once per path: files made and gone again within a settle time come by the thousand.
    say_once(said, "Warning: File not readable anymore: '%s'\n", full_path, name);
    return Readiness::gone;
  }
  // A file swapped in under the name is not the one looked at before.
  // Only a regular file is ever handed to a command: its identity includes its kind.
  if (probe == Probe::free && status.is_regular && status.size == before.size &&
      status.id == before.id && (!same_time || status.modified == before.modified)) {
    return Readiness::ready;
  }
  return Readiness::not_yet;
}
