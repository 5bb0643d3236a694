// The event loop of the files in hand.
#include "schedule/scheduler.h"

#include <algorithm>

#include "log/console.h"
#include "schedule/readiness.h"

namespace {

// What a file in hand takes, about: its path is kept in its names (four forms) and in the set of
// paths in hand.
std::uint64_t bytes_in_hand(const std::string& full_path) {
  return 5 * full_path.size() + sizeof(InHand);
}

// What a file remembered by -u takes, about.
std::uint64_t bytes_ended(const std::string& full_path) {
  return full_path.size() + sizeof(JobEnded) + 64;
}

// Forgets what -u remembers of the file at `at`.
void forget_ended(Scheduler* scheduler, std::map<std::string, JobEnded>::iterator at) {
  scheduler->ended_bytes -= bytes_ended(at->first);
  scheduler->ended.erase(at);
}

// Keeps what -u remembers within MAX_ENDED and MAX_ENDED_BYTES: the oldest eighth goes at once,
// so that one look over the files serves many that come after it. Said once per run.
void bound_ended(Scheduler* scheduler) {
  auto& ended = scheduler->ended;
  if (ended.size() <= MAX_ENDED && scheduler->ended_bytes <= MAX_ENDED_BYTES) {
    return;
  }
  if (first_time(&scheduler->memory.said, "ended")) {
    say("Warning: Too many ended jobs to remember (-u); the oldest are forgotten\n");
  }
  std::vector<std::uint64_t> orders;
  orders.reserve(ended.size());
  for (const auto& entry : ended) {
    orders.push_back(entry.second.order);
  }
  const std::size_t gone = std::max<std::size_t>(1, orders.size() / 8);
  std::nth_element(orders.begin(), orders.begin() + static_cast<std::ptrdiff_t>(gone - 1),
                   orders.end());
  const std::uint64_t last_gone = orders[gone - 1];
  for (auto at = ended.begin(); at != ended.end();) {
    auto next = std::next(at);
    if (at->second.order <= last_gone) {
      forget_ended(scheduler, at);
    }
    at = next;
  }
}

// Puts a claimed file back where it was found, or forgets a claim whose file is gone (erased, or
// moved into the error folder). Every way out of a job comes here, so that no file stays in the
// work folder: a stop, a file passed over, a command that did not start, a folder lost.
void put_back(Scheduler* scheduler, InHand* file) {
  if (scheduler->work != nullptr) {
    // Our own arrival in a watched folder wakes no pass: the file runs again at the next regular
    // one, not at once and again and again (-w).
    PathStatus there;
    if (file->claim.on && query_entry(file->claim.sub, file->name, &there)) {
      note_own_arrival(file->names.full_path);
    }
    settle_claim(scheduler->work, *file->folder, file->name, file->names.full_path,
                 &scheduler->memory.said, &file->claim);
  }
}

void let_go(Scheduler* scheduler, std::size_t index) {
  InHand& file = *scheduler->hand[index];
  if (file.begun && !file.counted) {
    count_job(&scheduler->counts, JobResult::left);
  }
  put_back(scheduler, &file);
  if (file.retrying) {
    --scheduler->retrying;
  }
  close_file(&file.held);
  close_file(&file.output);
  close_file(&file.pipe);
  scheduler->hand_bytes -= bytes_in_hand(file.names.full_path);
  scheduler->paths.erase(file.names.full_path);
  scheduler->hand.erase(scheduler->hand.begin() + static_cast<std::ptrdiff_t>(index));
}

// True while a command may start.
bool slot_free(const Scheduler& scheduler) {
  return scheduler.running < scheduler.settings.jobs;
}

// True when a file whose next try is due may go on to it: waiting files hold no slot, or the one
// slot is free of every other file.
bool retry_may_start(const Scheduler& scheduler) {
  return scheduler.settings.waiting_apart ||
         static_cast<int>(scheduler.hand.size()) - scheduler.retrying < scheduler.settings.jobs;
}

// When the next readiness attempt of a file is due: after the settle time.
std::int64_t settle_deadline(const Scheduler& scheduler) {
  return monotonic_ms() + static_cast<std::int64_t>(scheduler.settings.settle_seconds) * 1000;
}

// With -u: remembers the file of a job that ended, in its folder, as it is now.
void remember_ended(Scheduler* scheduler, const InHand& file) {
  PathStatus now;
  if (scheduler->settings.unchanged_once && query_status(*file.folder, file.name, &now)) {
    auto at = scheduler->ended.find(file.names.full_path);
    if (at != scheduler->ended.end()) {
      forget_ended(scheduler, at);
    }
    scheduler->ended[file.names.full_path] =
        JobEnded{now.id, now.size, now.modified, scheduler->pass, ++scheduler->ended_count};
    scheduler->ended_bytes += bytes_ended(file.names.full_path);
    bound_ended(scheduler);
  }
}

// Ends the job of `file` with `result` and counts its outcome; a job left for the next run is
// counted when it is let go.
void end_and_count(Scheduler* scheduler, InHand* file, int result) {
  if (end_job(file->job, result, scheduler->job, &scheduler->memory)) {
    file->counted = true;
    count_job(&scheduler->counts, file->asked_ms >= 0 ? JobResult::stopped
                                  : result == 0       ? JobResult::done
                                                      : JobResult::failed);
  }
}

// Starts the command of a file found ready. False when the file is done with already.
bool start_job(Scheduler* scheduler, InHand* file) {
  const JobSettings& settings = scheduler->job;
  stop_waiting(&scheduler->counts, file->names.full_path);
  ReadyFile ready = ready_file(file->folder, file->name, file->last);
  JobNames run_names = file->names;
  if (scheduler->work != nullptr) {
    // Moved into the work folder at the last moment (after readiness, -u and the in-hand rules),
    // from the folder the walk entered: the command then reads the file that was tested, however
    // the names on the way to it are changed meanwhile.
    const std::string& full = file->names.full_path;
    const std::string origin = full.substr(0, full.size() - file->name.size() - 1);
    ClaimResult claimed = claim_file(scheduler->work, *file->folder, origin, file->name,
                                     file->last.id, &scheduler->memory.said, &file->claim);
    if (claimed == ClaimResult::replaced) {
      put_back(scheduler, file);
      say_once(&scheduler->memory.said,
               "Warning: File was replaced during its job, left in place: '%s'\n", full);
    }
    if (claimed != ClaimResult::claimed) {
      return false;
    }
    ready.path = file->claim.path;
    ready.claimed = true;
    // @1@ and @4@ (and their variables) lead into the work folder, so that the command neither
    // reads nor writes through a name in the shared folder; @2@, @3@, @5@ are bare names as ever.
    run_names = claimed_names(file->names, file->claim);
  }
  if (!begin_job(ready, file->names, run_names, settings, &scheduler->memory, &file->job)) {
    return false;
  }
  file->begun = true;
  if (file->job.command.empty()) {
    end_and_count(scheduler, file, 0);
    put_back(scheduler, file);
    remember_ended(scheduler, *file);
    return false;
  }
  // With one slot the command writes to our output as it goes; with more, each job's output is
  // collected and comes as one block, so that the lines of two commands never mix. Output that
  // cannot be collected goes straight to ours.
  FileHandle into;
  if (scheduler->settings.jobs > 1 && create_scratch_file(&file->output)) {
    // The command writes into a pipe that the event loop reads, so that what is kept stays within
    // OUTPUT_KEPT_BYTES however much it writes; a limit on the file size would kill the command,
    // and a file cut back afterwards would fill the disk meanwhile. Where the platform has no such
    // pipe, the command writes into the file and only the first bytes are shown.
    FileHandle write_end;
    into = open_output_pipe(&file->pipe, &write_end) ? write_end : file->output;
  }
  bool started = start_command(file->job.command, placeholder_variables(file->job.run_names),
                               *file->folder, into, &file->command);
  if (into.value != file->output.value) {
    close_file(&into);  // the command holds its own copy
  }
  if (!started) {
    end_and_count(scheduler, file, COMMAND_NOT_STARTED);
    put_back(scheduler, file);
    remember_ended(scheduler, *file);
    return false;
  }
  file->started_ms = monotonic_ms();
  ++scheduler->running;
  return true;
}

// Moves what arrived in the pipe of `file` into its collected output, keeping at most
// OUTPUT_KEPT_BYTES; the pipe is closed at its end. A bounded amount per call, so that a command
// writing without pause cannot hold up the loop.
void collect_output(InHand* file) {
  char buffer[64 * 1024];
  for (int round = 0; round < 16 && file->pipe.value >= 0; ++round) {
    std::int64_t got = read_available(file->pipe, buffer, sizeof buffer);
    if (got < 0) {
      return;
    }
    if (got == 0) {
      close_file(&file->pipe);
      return;
    }
    std::uint64_t keep = std::min(OUTPUT_KEPT_BYTES - file->kept, static_cast<std::uint64_t>(got));
    if (keep > 0 && write_file(file->output, buffer, static_cast<std::size_t>(keep))) {
      file->kept += keep;
    }
    file->cut = file->cut || keep < static_cast<std::uint64_t>(got);
  }
}

// Reads and drops what processes left behind by ended jobs write, closing each pipe at its end.
void drain_leftovers(Scheduler* scheduler) {
  auto& pipes = scheduler->leftover_outputs;
  char buffer[64 * 1024];
  for (auto at = pipes.begin(); at != pipes.end();) {
    std::int64_t got = read_available(*at, buffer, sizeof buffer);
    if (got == 0) {
      close_file(&*at);
      at = pipes.erase(at);
    } else {
      ++at;
    }
  }
}

// Takes the rest of the output of `file`, whose command ended; a pipe still held by a process it
// left behind is kept open (and drained) rather than closed under that process.
void end_output(Scheduler* scheduler, InHand* file) {
  collect_output(file);
  if (file->pipe.value >= 0) {
    auto& pipes = scheduler->leftover_outputs;
    if (pipes.size() >= MAX_LEFTOVER_OUTPUTS) {
      close_file(&pipes.front());
      pipes.erase(pipes.begin());
    }
    pipes.push_back(file->pipe);
    file->pipe = FileHandle{};
  }
}

// Shows the collected output of `file` as one block, and says when some of it was left out.
void print_output(const InHand& file) {
  bool cut = false;
  print_scratch_file(file.output, OUTPUT_KEPT_BYTES, &cut);
  if (cut || file.cut) {
    say("Spoolex: Output of '%s' cut after 1 MB\n", file.job.full_path_shown.c_str());
  }
}

// True when the failed job of `file` is tried again (-b) rather than handled as failed.
bool may_retry(const Scheduler& scheduler, const InHand& file) {
  PathStatus still;
  return file.tries < scheduler.settings.retries && scheduler.retrying < MAX_WAITING &&
         !left_for_next_run(file.job) && query_status(*file.folder, file.job.file.path, &still);
}

// Reports the failed try of `file` (result `result`) and lets it wait for its next one, in the
// folder it was found in, holding no slot: each wait twice the one before, from the pause on.
void retry_later(Scheduler* scheduler, InHand* file, int result) {
  report_failure(file->job, result, scheduler->job);
  const int first = std::min(scheduler->settings.first_retry_seconds, MAX_RETRY_WAIT_SECONDS);
  file->retry_wait_seconds =
      file->tries == 0 ? first : std::min(file->retry_wait_seconds, MAX_RETRY_WAIT_SECONDS / 2) * 2;
  ++file->tries;
  say("Spoolex: Job of '%s' tried again in %d Sek\n", file->job.full_path_shown.c_str(),
      file->retry_wait_seconds);
  put_back(scheduler, file);
  close_file(&file->held);
  close_file(&file->output);
  file->kept = 0;
  file->cut = false;
  file->asked_ms = -1;
  file->ready = false;
  file->early = false;
  query_status(*file->folder, file->name, &file->last);
  file->retrying = true;
  ++scheduler->retrying;
  file->due_ms = monotonic_ms() + std::int64_t{file->retry_wait_seconds} * 1000;
}

// Ends the job of `file`, whose command gave `result` (ended by `signal`, 0 when it exited), in
// its folder. True when the file stays in hand for another try.
bool finish(Scheduler* scheduler, InHand* file, int result, int signal) {
  --scheduler->running;
  // Held to the command's end only: a file still open when it is erased lingers on some file
  // systems (FUSE keeps it as a hidden file), and so would the folder it was claimed into.
  close_file(&file->held);
  // The command's output comes as one block just before the result of its job.
  if (file->output.value >= 0) {
    print_output(*file);
  }
  if (file->asked_ms >= 0) {
    // A command stopped at its time limit failed, whatever it returned when asked to end.
    say("Spoolex: Job of '%s' stopped after %d Sek\n", file->job.full_path_shown.c_str(),
        scheduler->settings.time_limit_seconds);
    result = 1;
  }
  file->job.asked_to_end = file->asked_ms >= 0;
  file->job.ended_by_signal = signal;
  if (result != 0 && may_retry(*scheduler, *file)) {
    retry_later(scheduler, file, result);
    return true;
  }
  end_and_count(scheduler, file, result);
  put_back(scheduler, file);
  remember_ended(scheduler, *file);
  return false;
}

// The moment the next step of the time limit of a running command is due; -1 when none is.
std::int64_t limit_due(const ScheduleSettings& settings, const InHand& file) {
  if (settings.time_limit_seconds <= 0 || file.command.forced) {
    return -1;
  }
  if (file.asked_ms < 0) {
    return file.started_ms + static_cast<std::int64_t>(settings.time_limit_seconds) * 1000;
  }
  return file.asked_ms + static_cast<std::int64_t>(STOP_GRACE_SECONDS) * 1000;
}

// Applies the time limit to the running command of `file`: asked to end when the limit has
// passed, ended by force when it is still there after the grace time.
void enforce_limit(const ScheduleSettings& settings, InHand* file) {
  std::int64_t due = limit_due(settings, *file);
  std::int64_t now = monotonic_ms();
  if (due < 0 || now < due) {
    return;
  }
  if (file->asked_ms < 0) {
    file->asked_ms = now;
  }
  // Asked once; ended by force once the grace time has passed too.
  stop_command(&file->command, now >= file->asked_ms + STOP_GRACE_SECONDS * 1000);
}

// Says once, when a stop request is first seen while commands run, how many it waits for.
void note_stop(Scheduler* scheduler) {
  if (scheduler->stop_seen || !stop_requested()) {
    return;
  }
  scheduler->stop_seen = true;
  if (scheduler->running > 0) {
    say("Spoolex: Stop requested, waiting for %d running jobs\n", scheduler->running);
  }
}

// Makes the readiness attempt that is due for `file`, in its folder, and starts its command when
// it is ready. False when the file can be let go.
bool attempt(Scheduler* scheduler, InHand* file) {
  const bool apart = scheduler->settings.waiting_apart;
  if (file->retrying) {
    file->retrying = false;
    --scheduler->retrying;
    file->attempts = 0;
    // A file that changed since its failed try is a new job: it starts again at its first try,
    // ready one settle time after this look. Else it is ready now as it was then.
    PathStatus now;
    if (!query_status(*file->folder, file->name, &now) || now.id != file->last.id || now.size != file->last.size ||
        now.modified != file->last.modified) {
      file->tries = 0;
      file->last = now;
      file->due_ms = settle_deadline(*scheduler);
      return true;
    }
  }
  if (file->early) {
    // A change was seen: the file is ready one settle time after it, compared with how it is now,
    // never on a look closer to the change than that.
    file->early = false;
    PathStatus now;
    if (query_status(*file->folder, file->name, &now)) {
      file->last = now;
    }
    file->due_ms = settle_deadline(*scheduler);
    return true;
  }
  ++file->attempts;
  ++scheduler->attempts_made;
  // Opened before the test and kept, when the file is ready, to the end of its command (a claim
  // moves it, the descriptor stays): a write lease that its owner took between the test and the
  // command's open would hold that open up. One taken before makes the file not ready yet.
  const bool holding = !stop_requested() && slot_free(*scheduler) &&
                       (!scheduler->settings.hold_files ||
                        hold_file(*file->folder, file->name, file->last.is_link && file->last.link_trusted,
                                  file->last.id, &file->held) == FileResult::done);
  PathStatus now;
  Readiness readiness = ready_attempt(*file->folder, file->name, file->names.full_path, file->last, apart,
                                      &scheduler->memory.said, &now);
  if (readiness == Readiness::ready) {
    file->last = now;
    // A stop requested during the attempt starts no command. A ready file without a free slot
    // waits for one, and is looked at once more just before its start.
    file->ready = !stop_requested() && !slot_free(*scheduler);
    if (holding && !file->ready && !stop_requested()) {
      return start_job(scheduler, file);
    }
    if (file->ready || stop_requested()) {
      close_file(&file->held);
      return file->ready;
    }
    readiness = Readiness::not_yet;
  }
  close_file(&file->held);
  file->ready = false;
  if (readiness != Readiness::not_yet || file->attempts >= READY_ATTEMPTS) {
    return false;
  }
  // Ready one settle time after the last change; else the size of the first look must stay.
  if (apart) {
    file->last = now;
  }
  file->due_ms = settle_deadline(*scheduler);
  return true;
}

// True when a step of the file `file`, which does not run, is due.
bool step_due(const Scheduler& scheduler, const InHand& file, std::int64_t now) {
  if (file.retrying) {
    return now >= file.due_ms && retry_may_start(scheduler);
  }
  return file.ready ? slot_free(scheduler) : now >= file.due_ms;
}

// Takes every step that is due, each in its file's folder.
void advance(Scheduler* scheduler) {
  note_stop(scheduler);
  drain_leftovers(scheduler);
  auto& hand = scheduler->hand;
  for (std::size_t i = 0; i < hand.size();) {
    InHand& file = *hand[i];
    int result = 0;
    int signal = 0;
    bool ended = false;
    if (file.running()) {
      collect_output(&file);
      ended = command_ended(&file.command, &result, &signal);
      if (ended) {
        end_output(scheduler, &file);
      } else {
        enforce_limit(scheduler->settings, &file);
        ++i;
        continue;
      }
    } else if (stop_requested()) {
      let_go(scheduler, i);  // a file still settling is let go: a stop starts no new command
      continue;
    } else if (!step_due(*scheduler, file, monotonic_ms())) {
      ++i;
      continue;
    }
    const bool keep = ended ? finish(scheduler, &file, result, signal) : attempt(scheduler, &file);
    if (keep) {
      ++i;
    } else {
      let_go(scheduler, i);
    }
  }
  monitor_tick(scheduler->monitor, &scheduler->counts, scheduler->running);
}

// Waits until the next step may be due, at most until `deadline_ms`; with `changes`, a change in
// a watched folder ends the wait too.
void wait_for_next(const Scheduler& scheduler, std::int64_t deadline_ms, bool changes) {
  std::int64_t next = std::min(deadline_ms, monitor_due(scheduler.monitor));
  std::vector<RunningCommand> running;
  std::vector<FileHandle> outputs = scheduler.leftover_outputs;
  for (const auto& file : scheduler.hand) {
    if (file->pipe.value >= 0) {
      outputs.push_back(file->pipe);
    }
    if (file->running()) {
      running.push_back(file->command);
      std::int64_t due = limit_due(scheduler.settings, *file);
      if (due >= 0) {
        next = std::min(next, due);
      }
    } else if (file->retrying) {
      if (retry_may_start(scheduler)) {
        next = std::min(next, file->due_ms);
      }
    } else if (!file->ready || slot_free(scheduler)) {
      next = std::min(next, file->ready ? 0 : file->due_ms);
    }
  }
  std::int64_t now = monotonic_ms();
  if (next > now) {
    wait_for_commands(running, outputs, next - now, changes);
  }
}

}  // namespace

namespace {

// True when the waiting files leave room for one more that takes `bytes` (MAX_WAITING,
// MAX_HAND_BYTES), making it where needed: the earliest taken waiting file that failed an attempt
// is let go, to be found again by a later pass.
bool make_room(Scheduler* scheduler, std::uint64_t bytes) {
  auto full = [&] {
    return static_cast<int>(scheduler->hand.size()) - scheduler->running - scheduler->retrying >=
               MAX_WAITING ||
           scheduler->hand_bytes + bytes > MAX_HAND_BYTES;
  };
  while (full()) {
    if (scheduler->no_room_since == scheduler->attempts_made) {
      return false;
    }
    std::size_t at = 0;
    auto& hand = scheduler->hand;
    while (at < hand.size() && (hand[at]->attempts == 0 || hand[at]->running() || hand[at]->ready ||
                                hand[at]->retrying)) {
      ++at;
    }
    if (at == hand.size()) {
      scheduler->no_room_since = scheduler->attempts_made;
      return false;
    }
    let_go(scheduler, at);
  }
  return true;
}

}  // namespace

void wait_for_slot(Scheduler* scheduler) {
  for (;;) {
    advance(scheduler);
    // Apart from the running commands, a file waits only for room among the waiting files (made
    // where a waiting file has failed an attempt): the walk goes on as soon as there is some, not
    // a pause later.
    if (stop_requested() || (scheduler->settings.waiting_apart
                                 ? make_room(scheduler, 0)
                                 : static_cast<int>(scheduler->hand.size()) - scheduler->retrying <
                                       scheduler->settings.jobs)) {
      return;
    }
    wait_for_next(*scheduler, monotonic_ms() + 60000, false);
  }
}

bool is_in_hand(const Scheduler& scheduler, const std::string& full_path) {
  return scheduler.paths.count(full_path) != 0;
}

bool is_in_hand(Scheduler* scheduler, const std::string& full_path, const PathStatus& now) {
  if (!is_in_hand(*scheduler, full_path)) {
    return false;
  }
  for (std::size_t i = 0; scheduler->retrying > 0 && i < scheduler->hand.size(); ++i) {
    InHand* file = scheduler->hand[i].get();
    const PathStatus& then = file->last;
    if (file->retrying && file->names.full_path == full_path &&
        (now.id != then.id || now.size != then.size || now.modified != then.modified)) {
      file->due_ms = monotonic_ms();
    }
  }
  return true;
}

bool look_again(Scheduler* scheduler, const std::string& full_path) {
  if (scheduler->paths.count(full_path) == 0) {
    return false;
  }
  bool found = false;
  const std::int64_t now = monotonic_ms();
  for (const auto& file : scheduler->hand) {
    if (file->names.full_path == full_path) {
      found = true;
      if (!file->running() && !file->ready && !file->retrying && file->due_ms > now) {
        file->due_ms = now;
        file->early = true;
      }
    }
  }
  return found;
}

void take_in_hand(Scheduler* scheduler, const std::shared_ptr<const Folder>& folder,
                  const std::string& name, const PathStatus& first, const JobNames& names) {
  if (stop_requested()) {
    return;
  }
  if (scheduler->settings.unchanged_once) {
    auto ended = scheduler->ended.find(names.full_path);
    if (ended != scheduler->ended.end()) {
      JobEnded& last = ended->second;
      last.seen = scheduler->pass;
      if (last.id == first.id && last.size == first.size && last.modified == first.modified) {
        return;
      }
      forget_ended(scheduler, ended);
    }
  }
  if (scheduler->settings.waiting_apart && !make_room(scheduler, bytes_in_hand(names.full_path))) {
    return;
  }
  auto file = std::make_unique<InHand>();
  file->name = name;
  file->folder = folder;
  file->last = first;
  file->names = names;
  file->due_ms = settle_deadline(*scheduler);
  scheduler->paths.insert(names.full_path);
  scheduler->hand_bytes += bytes_in_hand(names.full_path);
  scheduler->hand.push_back(std::move(file));
  count_waiting(&scheduler->counts, names.full_path, scheduler->pass);
  // Its first step may be due at once (no settle time).
  advance(scheduler);
}

void end_pass(Scheduler* scheduler) {
  for (auto at = scheduler->ended.begin(); at != scheduler->ended.end();) {
    auto next = std::next(at);
    if (at->second.seen < scheduler->pass) {
      forget_ended(scheduler, at);
    }
    at = next;
  }
  ++scheduler->pass;
}

bool run_jobs_for(Scheduler* scheduler, std::int64_t ms, const std::function<bool()>& woken) {
  const std::int64_t end = monotonic_ms() + ms;
  while (!stop_requested()) {
    advance(scheduler);
    if (woken && woken()) {
      return true;
    }
    if (monotonic_ms() >= end) {
      return true;
    }
    wait_for_next(*scheduler, end, static_cast<bool>(woken));
  }
  return false;
}

void finish_jobs(Scheduler* scheduler) {
  while (!scheduler->hand.empty()) {
    advance(scheduler);
    if (!scheduler->hand.empty()) {
      wait_for_next(*scheduler, monotonic_ms() + 60000, false);
    }
  }
}
