// The rules of the files in hand: settle times, readiness attempts, slots, time limits, tries and
// stops. Everything they act on goes through the host.
#include "schedule/scheduler.h"

#include <algorithm>

#include "log/console.h"

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

// True when `now` is the file `then` recorded (a status, a kept or an ended file), unchanged.
template <typename Recorded>
bool same_file(const PathStatus& now, const Recorded& then) {
  return now.id == then.id && now.size == then.size && now.modified == then.modified;
}

}  // namespace

Readiness test_readiness(Host* host, const ScheduleSettings& settings, InHand* file, bool may_start,
                         PathStatus* now, bool* holding) {
  bool held = false;
  const Readiness readiness =
      host->test(file, may_start && settings.hold_files, settings.waiting_apart, now, &held);
  *holding = may_start && (!settings.hold_files || held);
  return readiness;
}

// Forgets a file that -u remembers; with `kept`, in the state file too.
void Scheduler::forget_ended(std::map<std::string, JobEnded>::iterator at, bool kept) {
  if (kept && state_ != nullptr) {
    state_forget(state_, at->first);
  }
  ended_bytes_ -= bytes_ended(at->first);
  ended_.erase(at);
}

// Keeps what -u remembers within MAX_ENDED and MAX_ENDED_BYTES: the oldest eighth goes at once,
// so that one look over the files serves many that come after it. Said once per run.
void Scheduler::bound_ended() {
  if (ended_.size() <= MAX_ENDED && ended_bytes_ <= MAX_ENDED_BYTES) {
    return;
  }
  if (!ended_full_said_) {
    ended_full_said_ = true;
    say("Warning: Too many ended jobs to remember (-u); the oldest are forgotten\n");
  }
  std::vector<std::uint64_t> orders;
  orders.reserve(ended_.size());
  for (const auto& entry : ended_) {
    orders.push_back(entry.second.order);
  }
  const std::size_t gone = std::max<std::size_t>(1, orders.size() / 8);
  std::nth_element(orders.begin(), orders.begin() + static_cast<std::ptrdiff_t>(gone - 1),
                   orders.end());
  const std::uint64_t last_gone = orders[gone - 1];
  for (auto at = ended_.begin(); at != ended_.end();) {
    auto next = std::next(at);
    if (at->second.order <= last_gone) {
      forget_ended(at);
    }
    at = next;
  }
}

// Every way out of the hand comes here, so that nothing a job holds stays behind: a stop, a file
// passed over, a command that did not start, an outcome.
void Scheduler::let_go(std::size_t index) {
  InHand& file = *hand_[index];
  if (file.begun && !file.counted) {
    count_job(&counts_, JobResult::left);
  }
  host_.release(&file);
  if (file.stage == Stage::retrying) {
    --retrying_;
  }
  hold(file.folder.get(), -1);
  if (file.retried) {
    --retried_;
    retried_bytes_ -= bytes_in_hand(file.names.full_path);
  } else {
    hand_bytes_ -= bytes_in_hand(file.names.full_path);
  }
  paths_.erase(file.names.full_path);
  hand_.erase(hand_.begin() + static_cast<std::ptrdiff_t>(index));
}

// Counts a file in hand that holds `folder` (`change` 1), or one that no longer does (-1).
void Scheduler::hold(const Folder* folder, int change) {
  if (folder != nullptr && (folders_[folder] += change) <= 0) {
    folders_.erase(folder);
  }
}

// True when a file whose next try is due may go on to it: waiting files hold no slot, or the one
// slot is free of every other file.
bool Scheduler::retry_may_start() const {
  return settings_.waiting_apart || static_cast<int>(hand_.size()) - retrying_ < settings_.jobs;
}

// With -u, or when its file had to stay (keep_ended): remembers the file of a job that ended with
// `result`, in its folder, as it is now (with -u in the state file too). Else the state file
// forgets it: its tries are over.
void Scheduler::remember_ended(const InHand& file, int result) {
  PathStatus now;
  // By its name now: a claimed file may have gone back under a numbered one.
  const std::string& found = file.names.full_path;
  const std::string path = found.substr(0, found.rfind(PATH_SEPARATOR) + 1) + file.name;
  if ((settings_.unchanged_once || file.keep_ended) && host_.status_of(file, file.name, &now)) {
    auto at = ended_.find(path);
    if (at != ended_.end()) {
      forget_ended(at, false);
    }
    ended_[path] = JobEnded{now.id, now.size, now.modified, pass_, ++ended_count_};
    ended_bytes_ += bytes_ended(path);
    bound_ended();
  }
  if (state_ == nullptr) {
    return;
  }
  if (path != found) {
    state_forget(state_, found);
  }
  if (settings_.unchanged_once && ended_.count(path) != 0) {
    state_ended(state_, path, now, result);
  } else {
    state_forget(state_, path);
  }
}

// Ends the job of `file` with `result` and counts its outcome; a job left for the next run is
// counted when it is let go.
void Scheduler::end_and_count(InHand* file, int result) {
  if (host_.finish(file, result)) {
    file->counted = true;
    // A kept file that failed again, unchanged, is the failure counted when it was first kept.
    if (file->kept && file->kept_before) {
      return;
    }
    count_job(&counts_, file->asked_ms >= 0 ? JobResult::stopped
                        : result == 0       ? JobResult::done
                                            : JobResult::failed);
    counts_.kept += file->kept ? 1 : 0;
  }
}

// Remembers the file of `file`, whose job ended, when it was kept in place: it runs again only
// once its wait is over, or when it changed. Forgotten once its job ends otherwise.
void Scheduler::remember_kept(InHand* file) {
  auto at = kept_.find(file->names.full_path);
  PathStatus now;
  if (!file->kept || !host_.status_of(*file, file->name, &now)) {
    if (at != kept_.end()) {
      kept_.erase(at);
    }
    return;
  }
  if (at == kept_.end() && kept_.size() >= MAX_ENDED) {
    return;  // beyond the bound it runs at every pass, as it did
  }
  KeptFile& kept = kept_[file->names.full_path];
  const int first = std::min(settings_.first_retry_seconds, MAX_RETRY_WAIT_SECONDS);
  kept.wait_seconds = file->kept_before && kept.wait_seconds > 0
                          ? std::min(kept.wait_seconds, MAX_RETRY_WAIT_SECONDS / 2) * 2
                          : first;
  kept.id = now.id;
  kept.size = now.size;
  kept.modified = now.modified;
  kept.due_ms = host_.now_ms() + std::int64_t{kept.wait_seconds} * 1000;
  kept.seen = pass_;
}

// Starts the job of a file found ready. False when the file is done with already.
bool Scheduler::start(InHand* file) {
  stop_waiting(&counts_, file->names.full_path);
  switch (host_.start(file, settings_.jobs > 1)) {
    case Started::running:
      file->begun = true;
      file->stage = Stage::running;
      file->started_ms = host_.now_ms();
      ++running_;
      retried_running_ += file->retried ? 1 : 0;
      count_running(&counts_, file->names.full_path, printable(file->name));
      return true;
    case Started::no_command:
      file->begun = true;
      end_and_count(file, 0);
      remember_ended(*file, 0);
      return false;
    case Started::not_started:
      file->begun = true;
      end_and_count(file, COMMAND_NOT_STARTED);
      remember_ended(*file, COMMAND_NOT_STARTED);
      return false;
    case Started::passed_over:
      break;
  }
  return false;
}

// Reports the failed try of `file` (result `result`) and lets it wait for its next one, in the
// folder it was found in, holding no slot: each wait twice the one before, from the pause on.
void Scheduler::retry_later(InHand* file, int result) {
  const int first = std::min(settings_.first_retry_seconds, MAX_RETRY_WAIT_SECONDS);
  file->retry_wait_seconds =
      file->tries == 0 ? first : std::min(file->retry_wait_seconds, MAX_RETRY_WAIT_SECONDS / 2) * 2;
  ++file->tries;
  host_.failed_try(file, result);
  say("Spoolex: Job of '%s' tried again in %d Sek\n", file->job.full_path_shown.c_str(),
      file->retry_wait_seconds);
  file->asked_ms = -1;
  file->early = false;
  host_.status_of(*file, file->name, &file->last);
  file->stage = Stage::retrying;
  ++retrying_;
  if (!file->retried) {
    file->retried = true;
    ++retried_;
    hand_bytes_ -= bytes_in_hand(file->names.full_path);
    retried_bytes_ += bytes_in_hand(file->names.full_path);
  }
  // Its folder is opened again when its try comes: thousands of failing files in as many folders
  // must not use up the descriptors.
  hold(file->folder.get(), -1);
  host_.hold_folder(file, false);
  file->due_ms = host_.now_ms() + std::int64_t{file->retry_wait_seconds} * 1000;
  if (state_ != nullptr) {
    state_waiting(state_, file->names.full_path, file->last, file->tries, file->retry_wait_seconds,
                  host_.wall_seconds() + file->retry_wait_seconds);
  }
}

// Ends the job of `file`, whose command gave `result` (ended by `signal`, 0 when it exited), in
// its folder. True when the file stays in hand for another try.
bool Scheduler::finish_job(InHand* file, int result, int signal) {
  --running_;
  retried_running_ -= file->retried ? 1 : 0;
  stop_running(&counts_, file->names.full_path);
  if (file->asked_ms >= 0) {
    // A command stopped at its time limit failed, whatever it returned when asked to end.
    say("Spoolex: Job of '%s' stopped after %d Sek\n", file->job.full_path_shown.c_str(),
        settings_.time_limit_seconds);
    result = 1;
  }
  file->job.asked_to_end = file->asked_ms >= 0;
  file->job.ended_by_signal = signal;
  file->job.stop_seen = host_.stop_requested();
  file->job.interrupted = host_.interrupt_requested();
  file->job.time_limit_seconds = settings_.time_limit_seconds;
  file->job.try_number = file->tries + 1;
  file->job.tries_allowed = settings_.retries + 1;
  const bool budget =
      file->retried || (retried_ < MAX_RETRYING &&
                        retried_bytes_ + bytes_in_hand(file->names.full_path) <= MAX_RETRY_BYTES);
  if (result != 0 && file->tries < settings_.retries && budget && host_.may_try_again(*file)) {
    retry_later(file, result);
    return true;
  }
  end_and_count(file, result);
  remember_ended(*file, result);
  remember_kept(file);
  return false;
}

// The moment the next step of the time limit of a running command is due; -1 when none is.
std::int64_t Scheduler::limit_due(const InHand& file) const {
  if (settings_.time_limit_seconds <= 0 || file.forced) {
    return -1;
  }
  if (file.asked_ms < 0) {
    return file.started_ms + static_cast<std::int64_t>(settings_.time_limit_seconds) * 1000;
  }
  return file.asked_ms + static_cast<std::int64_t>(STOP_GRACE_SECONDS) * 1000;
}

// Applies the time limit to the running command of `file`: asked to end when the limit has
// passed, ended by force when it is still there after the grace time.
void Scheduler::enforce_limit(InHand* file) {
  std::int64_t due = limit_due(*file);
  std::int64_t now = host_.now_ms();
  if (due < 0 || now < due) {
    return;
  }
  if (file->asked_ms < 0) {
    file->asked_ms = now;
    file->stage = Stage::stopping;
  }
  // Asked once; ended by force once the grace time has passed too.
  file->forced = now >= file->asked_ms + STOP_GRACE_SECONDS * 1000;
  host_.stop(file, file->forced);
}

// Says once, when a stop request is first seen while commands run, how many it waits for.
void Scheduler::note_stop() {
  if (!stop_seen_ && host_.stop_requested()) {
    stop_seen_ = true;
    if (running_ > 0) {
      say("Spoolex: Stop requested, waiting for %d running jobs\n", running_);
    }
  }
  end_commands();
}

// At a second stop request, asks every running command (its whole tree) to end, says so once, and
// ends them by force once the grace time has passed: so that the commands can clean up, as at
// their time limit, and their jobs are left for the next run.
void Scheduler::end_commands() {
  if (ending_forced_ || !host_.second_stop_requested()) {
    return;
  }
  const std::int64_t now = host_.now_ms();
  bool forced = false;
  if (ending_ms_ < 0) {
    if (running_ == 0) {
      return;
    }
    ending_ms_ = now;
    say("Spoolex: Second stop request, ending %d running jobs\n", running_);
  } else if (now >= ending_ms_ + std::int64_t{STOP_GRACE_SECONDS} * 1000) {
    forced = true;
    ending_forced_ = true;
  } else {
    return;
  }
  for (const auto& file : hand_) {
    if (file->running() && !file->forced) {
      file->forced = forced;
      host_.stop(file.get(), forced);
    }
  }
}

// Makes the readiness attempt that is due for `file`, in its folder, and starts its command when
// it is ready. False when the file can be let go.
bool Scheduler::attempt(InHand* file) {
  const bool apart = settings_.waiting_apart;
  if (file->stage == Stage::retrying) {
    file->stage = Stage::settling;
    --retrying_;
    file->attempts = 0;
    if (!host_.hold_folder(file, true)) {
      return false;
    }
    hold(file->folder.get(), 1);
    // A file that changed since its failed try is a new job: it starts again at its first try,
    // ready one settle time after this look. Else it is ready now as it was then.
    PathStatus now;
    if (!host_.status_of(*file, file->name, &now) || !same_file(now, file->last)) {
      file->tries = 0;
      if (state_ != nullptr) {
        state_forget(state_, file->names.full_path);
      }
      file->last = now;
      file->due_ms = settle_deadline();
      return true;
    }
  }
  if (file->early) {
    // A change was seen: the file is ready one settle time after it, compared with how it is now,
    // never on a look closer to the change than that.
    file->early = false;
    PathStatus now;
    if (host_.status_of(*file, file->name, &now)) {
      file->last = now;
    }
    file->due_ms = settle_deadline();
    return true;
  }
  ++file->attempts;
  ++attempts_made_;
  // Held open from before the test to the end of its command when it is ready (see hold_file):
  // one that cannot be held is not ready yet.
  const bool may_start = !host_.stop_requested() && slot_free();
  bool holding = false;
  PathStatus now;
  Readiness readiness = test_readiness(&host_, settings_, file, may_start, &now, &holding);
  if (readiness == Readiness::ready) {
    file->last = now;
    // A stop requested during the attempt starts no command. A ready file without a free slot
    // waits for one, and is looked at once more just before its start.
    const bool stopped = host_.stop_requested();
    const bool waits = !stopped && !slot_free();
    file->stage = waits ? Stage::ready : Stage::settling;
    if (holding && !waits && !stopped) {
      return start(file);
    }
    if (waits || stopped) {
      host_.drop_hold(file);
      return waits;
    }
    readiness = Readiness::not_yet;
  }
  host_.drop_hold(file);
  file->stage = Stage::settling;
  if (readiness != Readiness::not_yet || file->attempts >= READY_ATTEMPTS) {
    return false;
  }
  // Ready one settle time after the last change; else the size of the first look must stay.
  if (apart) {
    file->last = now;
  }
  file->due_ms = settle_deadline();
  return true;
}

// True when a step of the file `file`, which does not run, is due.
bool Scheduler::step_due(const InHand& file, std::int64_t now) const {
  switch (file.stage) {
    case Stage::retrying:
      return now >= file.due_ms && retry_may_start();
    case Stage::ready:
      return slot_free();
    default:
      return now >= file.due_ms;
  }
}

// Takes every step that is due, each in its file's folder.
void Scheduler::advance() {
  note_stop();
  for (std::size_t i = 0; i < hand_.size();) {
    InHand& file = *hand_[i];
    bool keep = false;
    if (file.running()) {
      int result = 0;
      int signal = 0;
      if (!host_.ended(&file, &result, &signal)) {
        enforce_limit(&file);
        ++i;
        continue;
      }
      keep = finish_job(&file, result, signal);
    } else if (host_.stop_requested()) {
      let_go(i);  // a file still settling is let go: a stop starts no new command
      continue;
    } else if (!step_due(file, host_.now_ms())) {
      ++i;
      continue;
    } else {
      keep = attempt(&file);
    }
    if (keep) {
      ++i;
    } else {
      let_go(i);
    }
  }
  monitor_tick(monitor_, &counts_, running_);
}

std::int64_t Scheduler::next_due(std::int64_t deadline_ms,
                                 std::vector<const InHand*>* running) const {
  std::int64_t next = std::min(deadline_ms, monitor_due(monitor_));
  if (ending_ms_ >= 0 && !ending_forced_) {
    next = std::min(next, ending_ms_ + std::int64_t{STOP_GRACE_SECONDS} * 1000);
  }
  running->clear();
  for (const auto& file : hand_) {
    if (file->running()) {
      running->push_back(file.get());
      std::int64_t due = limit_due(*file);
      if (due >= 0) {
        next = std::min(next, due);
      }
    } else if (file->stage == Stage::retrying) {
      if (retry_may_start()) {
        next = std::min(next, file->due_ms);
      }
    } else if (file->stage != Stage::ready || slot_free()) {
      next = std::min(next, file->stage == Stage::ready ? 0 : file->due_ms);
    }
  }
  return next;
}

// True when the waiting files leave room for one more that takes `bytes` (MAX_WAITING,
// MAX_HAND_BYTES) in `folder` (held_folders; null: any folder held already), making it where
// needed: the earliest taken waiting file that failed an attempt is let go, to be found again by a
// later pass. Files that failed a try have a budget of their own and take none of this room.
bool Scheduler::make_room(std::uint64_t bytes, const Folder* folder) {
  auto full = [&] {
    return static_cast<int>(hand_.size()) - running_ - (retried_ - retried_running_) >=
               MAX_WAITING ||
           hand_bytes_ + bytes > MAX_HAND_BYTES ||
           (folder != nullptr && folders_.count(folder) == 0 &&
            static_cast<int>(folders_.size()) >= settings_.held_folders);
  };
  while (full()) {
    if (no_room_since_ == attempts_made_) {
      return false;
    }
    std::size_t at = 0;
    while (at < hand_.size() && (hand_[at]->attempts == 0 || hand_[at]->retried ||
                                 hand_[at]->stage != Stage::settling)) {
      ++at;
    }
    if (at == hand_.size()) {
      no_room_since_ = attempts_made_;
      return false;
    }
    let_go(at);
  }
  return true;
}

bool Scheduler::has_room() {
  // Apart from the running commands, a file waits only for room among the waiting files (made
  // where a waiting file has failed an attempt): the walk goes on as soon as there is some, not
  // a pause later.
  return settings_.waiting_apart ? make_room(0, nullptr)
                                 : static_cast<int>(hand_.size()) - retrying_ < settings_.jobs;
}

bool Scheduler::in_hand(const std::string& full_path, const PathStatus& now) {
  if (!in_hand(full_path)) {
    return false;
  }
  for (std::size_t i = 0; retrying_ > 0 && i < hand_.size(); ++i) {
    InHand* file = hand_[i].get();
    if (file->stage == Stage::retrying && !file->away && file->names.full_path == full_path &&
        !same_file(now, file->last)) {
      file->due_ms = host_.now_ms();
    }
  }
  return true;
}

bool Scheduler::look_again(const std::string& full_path) {
  if (!in_hand(full_path)) {
    return false;
  }
  bool found = false;
  const std::int64_t now = host_.now_ms();
  for (const auto& file : hand_) {
    if (file->names.full_path == full_path) {
      found = true;
      if (file->stage == Stage::settling && file->due_ms > now) {
        file->due_ms = now;
        file->early = true;
      }
    }
  }
  return found;
}

// Takes the file that the state file says waits for its next try, when it is unchanged: it
// keeps its tries and its due time. True when it was taken.
bool Scheduler::take_restored(const std::shared_ptr<const Folder>& folder, const std::string& name,
                              const PathStatus& first, const JobNames& names) {
  auto at = restored_.find(names.full_path);
  if (at == restored_.end()) {
    return false;
  }
  const StateEntry entry = at->second;
  restored_.erase(at);
  if (!same_as_entry(entry, first) || retrying_ >= MAX_WAITING) {
    state_forget(state_, names.full_path);  // a new job: its tries begin anew
    return false;
  }
  auto file = std::make_unique<InHand>();
  file->name = name;
  file->folder = folder;
  file->last = first;
  file->names = names;
  file->stage = Stage::retrying;
  file->tries = entry.tries;
  file->retry_wait_seconds = entry.wait_seconds;
  // A wall clock set back meanwhile delays the try by no more than the longest wait.
  const std::int64_t wait =
      std::clamp<std::int64_t>(entry.due - host_.wall_seconds(), 0, MAX_RETRY_WAIT_SECONDS);
  file->due_ms = host_.now_ms() + wait * 1000;
  ++retrying_;
  paths_.insert(names.full_path);
  hand_bytes_ += bytes_in_hand(names.full_path);
  hand_.push_back(std::move(file));
  return true;
}

void Scheduler::use_state(StateFile* state) {
  state_ = state;
  std::vector<std::string> other;
  for (const auto& [path, entry] : state->entries) {
    if (entry.waiting && settings_.retries > 0) {
      restored_[path] = entry;
    } else if (!entry.waiting && settings_.unchanged_once) {
      ended_[path] = JobEnded{entry.id, entry.size, entry.modified, NOT_SEEN, entry.order};
      ended_count_ = std::max(ended_count_, entry.order);
      ended_bytes_ += bytes_ended(path);
    } else {
      other.push_back(path);
    }
  }
  for (const std::string& path : other) {
    state_forget(state, path);
  }
  bound_ended();
}

void Scheduler::offer(const std::shared_ptr<const Folder>& folder, const std::string& name,
                      const PathStatus& first, const JobNames& names) {
  if (host_.stop_requested()) {
    return;
  }
  if (!restored_.empty() && take_restored(folder, name, first, names)) {
    return;
  }
  // A kept file waits out its wait, unless it changed.
  bool kept_before = false;
  auto kept = kept_.find(names.full_path);
  if (kept != kept_.end()) {
    KeptFile& last = kept->second;
    last.seen = pass_;
    if (same_file(first, last)) {
      if (host_.now_ms() < last.due_ms) {
        return;
      }
      kept_before = true;
    } else {
      kept_.erase(kept);
    }
  }
  // Without -u only files whose job ended and that had to stay are remembered.
  if (settings_.unchanged_once || !ended_.empty()) {
    auto ended = ended_.find(names.full_path);
    if (ended != ended_.end()) {
      JobEnded& last = ended->second;
      last.seen = pass_;
      if (same_file(first, last)) {
        return;
      }
      forget_ended(ended);
    }
  }
  if (settings_.waiting_apart && !make_room(bytes_in_hand(names.full_path), folder.get())) {
    return;
  }
  hold(folder.get(), 1);
  auto file = std::make_unique<InHand>();
  file->name = name;
  file->folder = folder;
  file->last = first;
  file->names = names;
  file->due_ms = settle_deadline();
  file->kept_before = kept_before;
  paths_.insert(names.full_path);
  hand_bytes_ += bytes_in_hand(names.full_path);
  hand_.push_back(std::move(file));
  count_waiting(&counts_, names.full_path, pass_);
  // Its first step may be due at once (no settle time).
  advance();
}

void Scheduler::end_pass() {
  if (host_.stop_requested()) {
    ++pass_;
    return;
  }
  // What waited for a try when the state file was read, and was not found, is gone.
  for (const auto& entry : restored_) {
    state_forget(state_, entry.first);
  }
  restored_.clear();
  for (auto at = ended_.begin(); at != ended_.end();) {
    auto next = std::next(at);
    if (at->second.seen < pass_ || at->second.seen == NOT_SEEN) {
      forget_ended(at);
    }
    at = next;
  }
  for (auto at = kept_.begin(); at != kept_.end();) {
    at = at->second.seen < pass_ && !in_hand(at->first) ? kept_.erase(at) : std::next(at);
  }
  ++pass_;
}
