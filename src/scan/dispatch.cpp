// The event loop of the files in hand.
#include "scan/dispatch.h"

#include <algorithm>
#include <memory>
#include <unordered_set>
#include <vector>

#include "log/console.h"
#include "scan/walk.h"

namespace {

// One file in hand, from its taking to its outcome.
struct InHand {
  std::string name;  // bare name in `folder`
  std::string full_path;
  FolderMark folder;  // the file's folder, for every step of its job
  PathStatus first;   // its status when the walk found it
  JobNames names;
  int attempts = 0;         // readiness attempts made
  std::int64_t due_ms = 0;  // when the next attempt is due
  bool running = false;     // its command runs
  Job job;
  RunningCommand command;
  FileHandle output;  // the command's collected output
};

std::vector<std::unique_ptr<InHand>> hand;  // in the order taken
std::unordered_set<std::string> hand_paths;

void let_go(std::size_t index) {
  InHand& file = *hand[index];
  close_file(&file.output);
  release_mark(&file.folder);
  hand_paths.erase(file.full_path);
  hand.erase(hand.begin() + static_cast<std::ptrdiff_t>(index));
}

// Starts the command of a file found ready. False when the file is done with already.
bool start_job(InHand* file, const JobSettings& settings) {
  ReadyFile ready{file->name, file->first.id, file->first.is_link, file->first.permissions};
  if (!begin_job(ready, file->names, settings, &file->job)) {
    return false;
  }
  if (file->job.command.empty()) {
    end_job(file->job, 0, settings);
    return false;
  }
  // Output that cannot be collected goes straight to ours, as with one job at a time.
  if (!create_scratch_file(&file->output)) {
    file->output = FileHandle{};
  }
  if (!start_command(file->job.command, file->folder, file->output, &file->command)) {
    end_job(file->job, 127, settings);  // as for an interpreter that cannot be started
    return false;
  }
  file->running = true;
  return true;
}

// Takes the next step of `file`, in its folder, when one is due. False when its job is over and
// it can be let go.
bool step(InHand* file, std::int64_t now, const WalkSettings& walk, const JobSettings& settings) {
  if (file->running) {
    int result = 0;
    if (!command_ended(&file->command, &result)) {
      return true;
    }
    // The command's output comes as one block just before the result of its job.
    if (file->output.value >= 0) {
      print_scratch_file(file->output);
    }
    end_job(file->job, result, settings);
    return false;
  }
  if (stop_requested()) {
    return false;  // a file still settling is let go, as with one job at a time
  }
  if (now < file->due_ms) {
    return true;
  }
  ++file->attempts;
  Readiness readiness = ready_attempt(file->name, file->first);
  if (readiness == Readiness::ready) {
    // A stop requested during the attempt starts no command.
    return !stop_requested() && start_job(file, settings);
  }
  if (readiness == Readiness::gone || file->attempts >= READY_ATTEMPTS) {
    return false;
  }
  file->due_ms = now + static_cast<std::int64_t>(walk.settle_seconds) * 1000;
  return true;
}

// Takes every step that is due, each in its file's folder, and comes back to the working
// folder. Returns false when the way back was lost.
bool advance(const WalkSettings& walk, const JobSettings& settings) {
  if (hand.empty()) {
    return true;
  }
  FolderMark home;
  if (!mark_working_folder(&home)) {
    return false;
  }
  bool home_kept = true;
  for (std::size_t i = 0; i < hand.size();) {
    InHand& file = *hand[i];
    bool due = file.running || stop_requested() || monotonic_ms() >= file.due_ms;
    if (!due) {
      ++i;
      continue;
    }
    bool keep = false;
    if (return_to_mark(file.folder)) {
      keep = step(&file, monotonic_ms(), walk, settings);
    } else if (file.running) {
      // Its folder cannot be entered any more: the command still ends, and nothing else can be
      // done for its job.
      int result = 0;
      keep = !command_ended(&file.command, &result);
    }
    if (keep) {
      ++i;
    } else {
      let_go(i);
    }
    if (!return_to_mark(home)) {
      home_kept = false;
      break;
    }
  }
  release_mark(&home);
  return home_kept;
}

// Waits until the next step may be due, at most until `deadline_ms`.
void wait_for_next(std::int64_t deadline_ms) {
  std::int64_t next = deadline_ms;
  std::vector<RunningCommand> running;
  for (const auto& file : hand) {
    if (file->running) {
      running.push_back(file->command);
    } else {
      next = std::min(next, file->due_ms);
    }
  }
  std::int64_t now = monotonic_ms();
  if (next > now) {
    wait_for_commands(running, next - now);
  }
}

}  // namespace

bool is_in_hand(const std::string& full_path) {
  return hand_paths.count(full_path) != 0;
}

bool take_in_hand(const std::string& name, const PathStatus& first, const JobNames& names,
                  const WalkSettings& walk, const JobSettings& job) {
  for (;;) {
    if (!advance(walk, job)) {
      return false;
    }
    if (stop_requested()) {
      return true;
    }
    if (static_cast<int>(hand.size()) < walk.jobs) {
      break;
    }
    wait_for_next(monotonic_ms() + 60000);
  }
  auto file = std::make_unique<InHand>();
  if (!mark_working_folder(&file->folder)) {
    return true;  // no descriptor left: the file waits for a later pass
  }
  file->name = name;
  file->full_path = names.full_path;
  file->first = first;
  file->names = names;
  file->due_ms = monotonic_ms() + static_cast<std::int64_t>(walk.settle_seconds) * 1000;
  hand_paths.insert(file->full_path);
  hand.push_back(std::move(file));
  // Its first step may be due at once (no settle time).
  return advance(walk, job);
}

bool run_jobs_for(std::int64_t seconds, const WalkSettings& walk, const JobSettings& job,
                  bool (*woken)(const WalkSettings&)) {
  const std::int64_t end = monotonic_ms() + seconds * 1000;
  while (!stop_requested()) {
    advance(walk, job);
    if (woken != nullptr && woken(walk)) {
      return true;
    }
    std::int64_t now = monotonic_ms();
    if (now >= end) {
      return true;
    }
    wait_for_next(end);
  }
  return false;
}

void finish_jobs(const WalkSettings& walk, const JobSettings& job) {
  while (!hand.empty()) {
    advance(walk, job);
    if (!hand.empty()) {
      wait_for_next(monotonic_ms() + 60000);
    }
  }
}
