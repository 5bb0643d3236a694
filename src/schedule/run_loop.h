// The run's one loop: it takes every step of the files in hand that is due, feeds the walk's files
// to the scheduler while there is room, and otherwise waits on the host until the next thing is
// due: a step, the pause's end, a change (-w) or a stop. Passes, the pause between them and the
// looks at changes all run on the host's clock.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "scan/walk.h"
#include "schedule/host.h"
#include "schedule/scheduler.h"

// Where the loop's files come from: the passes over the source folder and, with -w, the looks at
// the folders where changes arrived. A run walks its folders; a test lists names.
class Feed {
 public:
  virtual ~Feed() = default;
  // Begins a pass: false when there is nothing to walk now (the source folder is missing).
  virtual bool begin_pass() = 0;
  // The next entry of the walk under way (a pass, or looks): false at its end. Only one taken
  // (Verdict::taken) may become a job.
  virtual bool next(WalkEntry* entry) = 0;
  // A pass ended: walked to its end (`whole`), or cut short by a stop.
  virtual void end_pass(bool whole) = 0;
  // Takes the changes that arrived (-w): true when they ask for looks, which next() then walks,
  // or (`full_pass` set) for a whole pass at once.
  virtual bool changes(bool* full_pass) = 0;
};

// What the command line says about passes: read-only once the run has started.
struct LoopSettings {
  bool looping = false;         // -l: passes go on until a stop
  int pause_seconds = 1;        // -s: from the end of a pass to the start of the next
  bool wake_on_change = false;  // -w with -l: changes are looked at during the pause
};

constexpr std::int64_t NEVER = std::numeric_limits<std::int64_t>::max();

// Where RunLoop::run returns, besides the end of the run.
enum class Until : int {
  end = 0,       // the run's end, or the time given
  pass_end = 1,  // ... or the end of a pass
};

class RunLoop {
 public:
  RunLoop(const LoopSettings& settings, Host* host, Scheduler* scheduler, Feed* feed)
      : settings_(settings), host_(*host), scheduler_(*scheduler), feed_(*feed) {}

  // Runs the passes (one, or with -l until a stop), then lets the files in hand end. True at the
  // run's end; false when the host's clock reached `until_ms` first, or (with Until::pass_end) a
  // pass ended: a later call goes on.
  bool run(std::int64_t until_ms = NEVER, Until until = Until::end);

  // A whole pass at once, as when changes were lost (-w): unless one is under way or the run ends.
  void pass_now();

  // No more passes: the files in hand end, and the run with them.
  void finish();

 private:
  enum class Phase : int { starting, passing, pausing, finishing, ended };
  void begin_pass();
  void end_pass(bool whole);
  void after_pass();
  bool feed_one();

  const LoopSettings& settings_;
  Host& host_;
  Scheduler& scheduler_;
  Feed& feed_;
  Phase phase_ = Phase::starting;
  bool walking_ = false;        // a walk is under way: the pass's, or with -w the looks'
  std::int64_t pause_end_ = 0;  // when the pause ends (host's clock)
  std::vector<const InHand*> running_;
};
