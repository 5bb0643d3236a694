// The event loop of the files in hand.
#include "scan/dispatch.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "log/console.h"
#include "scan/walk.h"

namespace {

// One file in hand, from its taking to its outcome.
struct InHand {
  std::string name;   // bare name in `folder`
  FolderMark folder;  // the file's folder, for every step of its job
  PathStatus first;   // its status when the walk found it
  JobNames names;
  int attempts = 0;         // readiness attempts made
  std::int64_t due_ms = 0;  // when the next attempt is due
  Job job;
  RunningCommand command;  // its command, while that runs
  FileHandle output;       // the command's collected output

  bool running() const { return command.process != -1; }
};

// At most MAX_JOBS, in the order taken.
std::vector<std::unique_ptr<InHand>> hand;

void let_go(std::size_t index) {
  InHand& file = *hand[index];
  close_file(&file.output);
  release_mark(&file.folder);
  hand.erase(hand.begin() + static_cast<std::ptrdiff_t>(index));
}

// When the next readiness attempt of a file is due: after the settle time.
std::int64_t settle_deadline(const WalkSettings& walk) {
  return monotonic_ms() + static_cast<std::int64_t>(walk.settle_seconds) * 1000;
}

// Starts the command of a file found ready. False when the file is done with already.
bool start_job(InHand* file, const JobSettings& settings) {
  ReadyFile ready = ready_file(file->name, file->first);
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
  return true;
}

// Ends the job of `file`, whose command gave `result`, in its folder.
void finish(InHand* file, int result, const JobSettings& settings) {
  // The command's output comes as one block just before the result of its job.
  if (file->output.value >= 0) {
    print_scratch_file(file->output);
  }
  end_job(file->job, result, settings);
}

// Makes the readiness attempt that is due for `file`, in its folder, and starts its command when
// it is ready. False when the file can be let go.
bool attempt(InHand* file, const WalkSettings& walk, const JobSettings& settings) {
  ++file->attempts;
  Readiness readiness = ready_attempt(file->name, file->first);
  if (readiness == Readiness::ready) {
    // A stop requested during the attempt starts no command.
    return !stop_requested() && start_job(file, settings);
  }
  if (readiness == Readiness::gone || file->attempts >= READY_ATTEMPTS) {
    return false;
  }
  file->due_ms = settle_deadline(walk);
  return true;
}

// Takes every step that is due, each in its file's folder, and comes back to the working
// folder. A file whose command still runs, or whose next attempt is not due, costs no change of
// folder. Returns false when the way back was lost.
bool advance(const WalkSettings& walk, const JobSettings& settings) {
  FolderMark home;
  bool marked = false;
  bool home_kept = true;
  for (std::size_t i = 0; i < hand.size();) {
    InHand& file = *hand[i];
    int result = 0;
    bool ended = false;
    if (file.running()) {
      ended = command_ended(&file.command, &result);
      if (!ended) {
        ++i;
        continue;
      }
    } else if (stop_requested()) {
      let_go(i);  // a file still settling is let go, as with one job at a time
      continue;
    } else if (monotonic_ms() < file.due_ms) {
      ++i;
      continue;
    }
    if (!marked) {
      marked = mark_working_folder(&home);
      if (!marked) {
        return false;
      }
    }
    bool keep = false;
    if (return_to_mark(file.folder)) {
      if (ended) {
        finish(&file, result, settings);
      } else {
        keep = attempt(&file, walk, settings);
      }
    } else if (ended && file.output.value >= 0) {
      // Its folder cannot be entered any more (the command may have removed it): no outcome can
      // be handled there, but what the command said is not lost.
      print_scratch_file(file.output);
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
  if (marked) {
    release_mark(&home);
  }
  return home_kept;
}

// Waits until the next step may be due, at most until `deadline_ms`; with `changes`, a change in
// a watched folder ends the wait too.
void wait_for_next(std::int64_t deadline_ms, bool changes) {
  std::int64_t next = deadline_ms;
  std::vector<RunningCommand> running;
  for (const auto& file : hand) {
    if (file->running()) {
      running.push_back(file->command);
    } else {
      next = std::min(next, file->due_ms);
    }
  }
  std::int64_t now = monotonic_ms();
  if (next > now) {
    wait_for_commands(running, next - now, changes);
  }
}

}  // namespace

bool is_in_hand(const std::string& full_path) {
  return std::any_of(hand.begin(), hand.end(), [&full_path](const std::unique_ptr<InHand>& file) {
    return file->names.full_path == full_path;
  });
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
    wait_for_next(monotonic_ms() + 60000, false);
  }
  auto file = std::make_unique<InHand>();
  if (!mark_working_folder(&file->folder)) {
    return true;  // no descriptor left: the file waits for a later pass
  }
  file->name = name;
  file->first = first;
  file->names = names;
  file->due_ms = settle_deadline(walk);
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
    wait_for_next(end, woken != nullptr);
  }
  return false;
}

void finish_jobs(const WalkSettings& walk, const JobSettings& job) {
  while (!hand.empty()) {
    advance(walk, job);
    if (!hand.empty()) {
      wait_for_next(monotonic_ms() + 60000, false);
    }
  }
}
