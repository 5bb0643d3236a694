// The dry run: the walk of a pass and the readiness test of a pass, acting on nothing.
#include "monitor/dry_run.h"

#include <memory>
#include <utility>
#include <vector>

#include "log/console.h"
#include "schedule/real_host.h"

namespace {

// What is said for each Verdict, in its order. A new verdict is one more row here and one more
// value there.
const char* const VERDICT_TEXTS[] = {
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
    "name of its done file too long, passed over",
    "link not claimed, passed over",
    "gone before its test",
    "ended before, unchanged",
    "folder passed over (no descriptors left)",
};
static_assert(sizeof VERDICT_TEXTS / sizeof VERDICT_TEXTS[0] ==
                  static_cast<std::size_t>(Verdict::no_descriptors) + 1,
              "one text per verdict");

// One line of the dry run, said once the files taken have had their test.
struct DryLine {
  Verdict verdict;
  std::string full_path;
  std::unique_ptr<InHand> file;  // a file taken: its test decides the verdict
};

// Says what the state file holds of a file that a run would take or wait for: that it ended
// before, or when its next try is due. False when it holds nothing of it as it is now.
bool said_from_state(const StateEntries* state, const std::string& full_path,
                     const PathStatus& status) {
  auto at = state == nullptr ? StateEntries::const_iterator{} : state->find(full_path);
  if (state == nullptr || at == state->end() || !same_as_entry(at->second, status)) {
    return false;
  }
  if (!at->second.waiting) {
    say("%s", dry_line(Verdict::ended_before, full_path).c_str());
    return true;
  }
  LocalTime due;
  local_time_at(at->second.due, &due);
  say("Dry run: waits for try %d at %04d-%02d-%02d %02d:%02d:%02d: '%s'\n", at->second.tries + 1,
      due.year, due.month, due.day, due.hour, due.minute, due.second,
      shortened(printable(full_path)).c_str());
  return true;
}

}  // namespace

std::string dry_line(Verdict verdict, const std::string& full_path) {
  return std::string("Dry run: ") + VERDICT_TEXTS[static_cast<int>(verdict)] + ": '" +
         shortened(printable(full_path)) + "'\n";
}

void dry_run(const WalkSettings& walk, const JobSettings& job, const ScheduleSettings& schedule,
             WorkFolder* work, const std::string& source_folder, const StateEntries* state) {
  RealHost host(job, work);
  std::vector<DryLine> lines;
  WalkSettings settings = walk;
  settings.wake_on_change = false;  // nothing is watched: there is no pause to end
  const WalkRules rules{job, work != nullptr, &host.memory()->said, true};
  WalkCursor cursor;
  walk_source(settings, rules, source_folder, &cursor);
  WalkEntry entry;
  while (cursor.next(&entry)) {
    std::unique_ptr<InHand> file;
    if (entry.verdict == Verdict::taken) {
      file = std::make_unique<InHand>();
      file->name = entry.name;
      file->folder = entry.folder;
      file->last = entry.status;
      file->names = entry.names;
    }
    lines.push_back(DryLine{entry.verdict, entry.full_path, std::move(file)});
  }
  // Each file taken gets the first attempt a pass gives it, one settle time after it was found.
  const std::int64_t due = host.now_ms() + std::int64_t{schedule.settle_seconds} * 1000;
  while (host.now_ms() < due && !stop_requested()) {
    host.wait(due, {}, false);
  }
  for (DryLine& line : lines) {
    if (line.file) {
      PathStatus now;
      bool holding = false;
      const Readiness readiness =
          test_readiness(&host, schedule, line.file.get(), true, &now, &holding);
      host.drop_hold(line.file.get());
      line.verdict = readiness == Readiness::ready ? (holding ? Verdict::taken : Verdict::not_ready)
                     : readiness == Readiness::gone      ? Verdict::gone
                     : readiness == Readiness::no_access ? Verdict::no_access
                                                         : Verdict::not_ready;
      if ((line.verdict == Verdict::taken || line.verdict == Verdict::not_ready) &&
          said_from_state(state, line.full_path, line.file->last)) {
        continue;
      }
    }
    say("%s", dry_line(line.verdict, line.full_path).c_str());
  }
  if (work != nullptr) {
    for (const std::string& path : claimed_paths(*work)) {
      say("%s", dry_line(Verdict::claimed, path).c_str());
    }
  }
}
