// The run's one loop.
#include "schedule/run_loop.h"

#include <algorithm>

void RunLoop::pass_now() {
  if (phase_ == Phase::starting || phase_ == Phase::pausing) {
    begin_pass();
  }
}

void RunLoop::finish() {
  if (phase_ != Phase::ended && phase_ != Phase::finishing) {
    phase_ = Phase::finishing;
    walking_ = false;
    scheduler_.note_finishing();
  }
}

void RunLoop::begin_pass() {
  phase_ = Phase::passing;
  walking_ = feed_.begin_pass();
  if (!walking_) {
    after_pass();  // nothing to walk: the pass finds nothing, and is not counted
    return;
  }
  count_pass_begin(scheduler_.counts());
}

void RunLoop::end_pass(bool whole) {
  walking_ = false;
  feed_.end_pass(whole);
  count_pass_end(scheduler_.counts(), scheduler_.pass(), scheduler_.paths());
  scheduler_.end_pass();
  after_pass();
}

void RunLoop::after_pass() {
  if (!settings_.looping || host_.stop_requested()) {
    finish();
    return;
  }
  phase_ = Phase::pausing;
  pause_end_ = host_.now_ms() + std::int64_t{settings_.pause_seconds} * 1000;
}

// Offers the next file of the walk under way, when there is room for it: true when the loop is
// to go on at once (a file was taken, or the walk ended), false when it waits for room.
bool RunLoop::feed_one() {
  if (!scheduler_.has_room()) {
    return false;
  }
  WalkEntry entry;
  if (!feed_.next(&entry)) {
    walking_ = false;
    return true;
  }
  // Only a file taken may become a job; one in hand is not offered again until its outcome is
  // complete.
  if (entry.verdict == Verdict::taken && !scheduler_.in_hand(entry.names.full_path, entry.status)) {
    scheduler_.offer(entry.folder, entry.name, entry.status, entry.names);
  }
  return true;
}

bool RunLoop::run(std::int64_t until_ms, Until until) {
  for (;;) {
    // Every step that is due first: with one slot the job before has ended before the walk goes
    // on, so that everything it sees comes after it.
    scheduler_.advance();
    const bool stop = host_.stop_requested();
    bool changes = false;
    std::int64_t deadline = host_.now_ms() + 60000;
    if (walking_ && !stop) {
      // A pass's walk, or the looks: an entry at a time, as there is room.
      if (feed_one()) {
        continue;
      }
    } else {
      switch (phase_) {
        case Phase::starting:
          begin_pass();
          continue;
        case Phase::passing:
          // The walk is over: with one slot the pass ends with its last job, with more once there
          // is room for the next pass's files. A stop cuts it short.
          if (stop || scheduler_.has_room()) {
            end_pass(!stop);
            if (until == Until::pass_end) {
              return false;
            }
            continue;
          }
          break;
        case Phase::pausing:
          if (stop) {
            finish();
            continue;
          }
          if (settings_.wake_on_change) {
            bool full_pass = false;
            walking_ = feed_.changes(&full_pass);
            if (full_pass) {
              begin_pass();
              continue;
            }
            if (walking_) {
              continue;
            }
            changes = true;
          }
          if (host_.now_ms() >= pause_end_) {
            begin_pass();
            continue;
          }
          deadline = pause_end_;
          break;
        case Phase::finishing:
          if (scheduler_.idle()) {
            phase_ = Phase::ended;
            return true;
          }
          break;
        case Phase::ended:
          return true;
      }
    }
    if (host_.now_ms() >= until_ms) {
      return false;
    }
    const std::int64_t next = scheduler_.next_due(std::min(deadline, until_ms), &running_);
    if (next > host_.now_ms()) {
      host_.wait(next, running_, changes);
    }
  }
}
