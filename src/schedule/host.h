// The host: everything the scheduler acts on outside its own rules, the files and their jobs'
// commands, the clock and the one wait. The program runs on RealHost (real_host.h); the
// scheduler's tests on a fake one with a manual clock, an in-memory tree and scripted commands.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "job/claim.h"
#include "job/job_names.h"
#include "job/process_job.h"
#include "platform/platform.h"
#include "schedule/readiness.h"

// Where a file in hand is on its way from its taking to its outcome.
enum class Stage : std::uint8_t {
  settling = 0,  // waits for its next readiness attempt (InHand::due_ms)
  ready = 1,     // found ready, waits for a free slot
  running = 2,   // its command runs
  stopping = 3,  // its command was asked to end at its time limit (-k), and runs still
  retrying = 4,  // its job failed and waits for its next try (-b, InHand::due_ms), holding no slot
};

// What the host keeps of one file's job, from its start to its outcome; the scheduler never
// looks inside.
struct JobState {
  Claim claim;             // with -p: the file in the work folder, from its start to its outcome
  FileHandle held;         // the file, open from its last readiness test to its command's end
  RunningCommand command;  // its command, while that runs
  FileHandle output;       // the command's collected output (with more than one slot)
  FileHandle pipe;         // where that output arrives, where the platform has such pipes
  std::uint64_t kept = 0;  // bytes taken from `pipe` into `output`
  bool cut = false;        // more came than OUTPUT_KEPT_BYTES
  FileId folder_id;        // its folder's, while it waits for its next try without it
};

// One file in hand, from its taking to its outcome.
struct InHand {
  std::string name;                      // bare name in `folder`
  std::shared_ptr<const Folder> folder;  // the file's folder, for every step of its job (shared
                                         // by the files of one folder; none while it waits for
                                         // its next try)
  PathStatus last;  // its status at the last readiness attempt; at first, when the walk found it
  JobNames names;
  Stage stage = Stage::settling;
  int attempts = 0;             // readiness attempts made
  std::int64_t due_ms = 0;      // when the next attempt (or try) is due
  bool early = false;           // a change was seen: the next step takes its status as the one to
                                // compare with one settle time later (no attempt counted)
  std::int64_t started_ms = 0;  // when its command started
  std::int64_t asked_ms = -1;   // when its command was asked to end (-k); -1 while it was not
  bool forced = false;          // ... and ended by force after the grace time
  bool begun = false;           // its job began (its start was announced)
  bool counted = false;         // its outcome was counted (RunCounts)
  int tries = 0;                // failed tries of its job so far (-b)
  bool kept = false;            // its job failed and its file stayed, its error copy having failed
  bool kept_before = false;     // ... and so it had in an earlier job, and has not changed since
  int retry_wait_seconds = 0;   // the wait before its last try
  bool retried = false;         // it failed a try: counted in the retry budget (MAX_RETRYING)
  bool away = false;            // it waits for its next try away from its folder (claimed, -p):
                                // what the walk finds under its name is another file
  bool keep_ended = false;      // its file stayed after its job ended (its archive move failed):
                                // it is not run again until it changes, even without -u
  Job job;                      // what its job is, once begun
  JobState state;               // the host's

  bool running() const { return stage == Stage::running || stage == Stage::stopping; }
};

// Results of Host::start.
enum class Started : int {
  running = 0,      // its command runs
  no_command = 1,   // there was nothing to run: the job ended at once with status 0
  passed_over = 2,  // the file is done with (gone, replaced, claimed elsewhere, a name too long)
  not_started = 3,  // its command could not be started
};

class Host {
 public:
  virtual ~Host() = default;

  // The monotonic clock, in milliseconds.
  virtual std::int64_t now_ms() = 0;

  // The wall clock, in seconds since 1970 (UTC): for what must outlive the run (-c).
  virtual std::int64_t wall_seconds() = 0;

  // True once a stop was requested.
  virtual bool stop_requested() = 0;

  // True once a stop was requested that wants out now (an interrupt, a second request): commands
  // that it ends leave their jobs for the next run.
  virtual bool interrupt_requested() { return false; }

  // True once a second stop was requested: the running commands are to end, after a short grace.
  virtual bool second_stop_requested() { return false; }

  // The status of `file` now, by `path` (its name, or where its job moved it) in its folder.
  virtual bool status_of(const InHand& file, const std::string& path, PathStatus* now) = 0;

  // One readiness attempt of `file` (see ready_attempt), against `file.last` (with `same_time`
  // of the same time of change too). With `hold`, the file is held open from before the test
  // (see hold_file) and stays so when it is ready; `held` tells whether it could be.
  virtual Readiness test(InHand* file, bool hold, bool same_time, PathStatus* now, bool* held) = 0;

  // Closes what test held open, when the file is not started now.
  virtual void drop_hold(InHand* file) = 0;

  // Starts the job of the ready `file`: claims it (-p), announces it and starts its command,
  // its output collected apart when `collect`.
  virtual Started start(InHand* file, bool collect) = 0;

  // True once the command of `file` has ended: `result` and `signal` as command_ended gives them.
  // What it wrote meanwhile is collected, and shown as one block at its end.
  virtual bool ended(InHand* file, int* result, int* signal) = 0;

  // Asks the command of `file` to end, by force with `forced`.
  virtual void stop(InHand* file, bool forced) = 0;

  // True when the job of `file`, whose try failed, may be tried again: it is not left for the
  // next run, and the file is still there.
  virtual bool may_try_again(const InHand& file) = 0;

  // Reports the failed try of `file` (status `result`) and puts its file back, for its next try.
  virtual void failed_try(InHand* file, int result) = 0;

  // Handles the outcome of the job of `file`, whose command gave `result`, and puts a claimed
  // file back: true when it was handled (and is counted), false when it is left for the next run.
  // Sets `file.kept` when the failed file stays in place because its error copy failed.
  virtual bool finish(InHand* file, int result) = 0;

  // Releases the folder of `file`, which waits for its next try (`hold` false), or opens it
  // again as the walk entered it, for that try: false when it cannot be.
  virtual bool hold_folder(InHand* file, bool hold) = 0;

  // Lets `file` go: whatever its job holds is released, a claimed file put back.
  virtual void release(InHand* file) = 0;

  // Waits until `until_ms`, or until a command of `files` may have ended or written output, a
  // stop is requested, or (with `changes`) a change in a watched folder arrives.
  virtual void wait(std::int64_t until_ms, const std::vector<const InHand*>& files,
                    bool changes) = 0;
};
