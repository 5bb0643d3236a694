// The readiness test of one attempt.
#include "schedule/readiness.h"

bool still_the_file(bool free, const PathStatus& now, const PathStatus& before, bool same_time) {
  // A file swapped in under the name is not the one looked at before.
  // Only a regular file is ever handed to a command: its identity includes its kind.
  return free && now.is_regular && now.id == before.id && now.size == before.size &&
         (!same_time || now.modified == before.modified);
}

Readiness ready_attempt(const Folder& folder, const std::string& name, const std::string& full_path,
                        const PathStatus& before, bool same_time, SaidOnce* said, PathStatus* now,
                        bool hold, FileHandle* held_file, bool* held) {
  before_own_probe();
  // Only the file looked at before, and through a link only where that was a trusted one.
  PathStatus& status = *now;
  ProbeHold probe = probe_and_hold(folder, name, before.is_link && before.link_trusted, before.id,
                                   hold, &status, held_file);
  *held = probe.held;
  after_own_probe(folder, name, probe.wrote);
  // A writer may give its file our access only once it is complete (a copy made 0600, then
  // opened up): only a file unchanged for a settle time is truly out of our reach.
  if (probe.probe == Probe::no_access) {
    if (!probe.found || status.id != before.id || status.size != before.size ||
        status.modified != before.modified) {
      return Readiness::not_yet;
    }
    say_once(said, "Warning: No access to file, passed over: '%s'\n", full_path);
    return Readiness::no_access;
  }
  if (writer_check_refused() && first_time(said, "lease")) {
    say("Warning: Cannot check for writers still holding files (no permission for leases); "
        "only the size test applies\n");
  }
  if (!probe.found) {
    // Once per path: files made and gone again within a settle time come by the thousand.
    say_once(said, "Warning: File not readable anymore: '%s'\n", full_path, name);
    return Readiness::gone;
  }
  return still_the_file(probe.probe == Probe::free, status, before, same_time) ? Readiness::ready
                                                                                : Readiness::not_yet;
}
