// The scheduler: every matching file the walk finds is offered to it, and it takes the file
// through its readiness attempts, its command and its outcome, by the rules of settle times,
// attempts, slots, time limits, tries and stops. What it acts on goes through its Host, so that
// the rules can be tried on a manual clock. One loop on the program's one thread drives every
// file in hand, so that the run log and the console keep a single owner. With one slot (-j 1) this
// is the plain one-file-after-the-other run, and the command writes straight to our standard
// output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "monitor/monitor.h"
#include "schedule/host.h"
#include "state/state_file.h"

// Readiness attempts per matching file and pass.
constexpr int READY_ATTEMPTS = 10;

// Most files in hand at once (-j). Each holds a descriptor for its folder and one for its
// collected output, and Windows waits for at most 64 objects in one call.
constexpr int MAX_JOBS = 64;

// Most files waiting for their readiness at once, when they are tracked apart from the running
// commands (those waiting for their next try, -b, not counted). Beyond that a file found gets the
// place of the earliest waiting file that has already failed an attempt, which waits for a later
// pass; with none such, the walk waits until there is room. So files that are never ready cannot
// keep a newer file from its settle time, and no file waits a pause for room.
constexpr int MAX_WAITING = 4096;

// Most bytes that the files in hand may take, as counted by bytes_in_hand: with long paths the
// count above would not bound the memory they take.
constexpr std::uint64_t MAX_HAND_BYTES = 16 * 1024 * 1024;

// Files that failed a try (-b) are held apart from those above, within a budget of their own, so
// that failing files never take the room of new ones: most files and bytes, counted alike. A job
// that fails beyond it is not tried again.
constexpr int MAX_RETRYING = 4096;
constexpr std::uint64_t MAX_RETRY_BYTES = 16 * 1024 * 1024;

// Most files whose job ended that -u remembers, and most bytes they may take (as counted by
// bytes_ended); beyond either the oldest are forgotten, and run again when they are next found.
constexpr std::size_t MAX_ENDED = 100000;
constexpr std::uint64_t MAX_ENDED_BYTES = 16 * 1024 * 1024;

// Most bytes of a job's collected output (-j above 1) that are kept and shown; the rest is left
// out, so that a command cannot fill the disk with it.
constexpr std::uint64_t OUTPUT_KEPT_BYTES = 1024 * 1024;

// Pipes of ended jobs still held by processes they left behind: read and dropped until those
// close them. Beyond this many the oldest is closed (its writers then get a broken pipe).
constexpr std::size_t MAX_LEFTOVER_OUTPUTS = 64;

// How long a command asked to end may take before it is ended by force.
constexpr int STOP_GRACE_SECONDS = 5;

// The longest wait before a failed job's next try (-b).
constexpr int MAX_RETRY_WAIT_SECONDS = 3600;

// What the command line says about scheduling: read-only once the run has started.
struct ScheduleSettings {
  int settle_seconds = 1;       // -g: wait before each readiness attempt, >= 0
  int jobs = 1;                 // -j: commands at once, 1 to MAX_JOBS
  int time_limit_seconds = 0;   // -k: a job's command is stopped after this; 0 for no limit
  bool unchanged_once = false;  // -u: a file whose job ended runs again only after a change
  int retries = 0;              // -b: a failed job is tried this many times more
  int first_retry_seconds = 1;  // the wait before the first of them: the pause (-s)
  // With -j above 1 or -w: files waiting for their readiness hold no slot, and a file is ready one
  // settle time after its last change. Otherwise a waiting file holds the one slot and must keep
  // the size of the walk's first look.
  bool waiting_apart = false;
  // A ready file is held open to its command's end, against write leases. Not on a network file
  // system: no lease can be taken there, and FUSE keeps a file erased just after its last close as
  // a hidden file (the close and the erase may cross), which would keep its claim folder.
  bool hold_files = true;
  // Most folders that files waiting for their readiness may hold open (beyond it a file found in
  // another folder waits for a later pass): well below the run's descriptor limit. Files waiting
  // for their next try hold none.
  int held_folders = MAX_WAITING;
};

// A failed file that stayed in place because its copy into the error folder failed: as it was
// then, and when its job may run again. It waits as a failed try of -b does, each wait twice the
// one before, so that a missing or full error folder does not make it run at every pass.
struct KeptFile {
  FileId id;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  int wait_seconds = 0;
  std::int64_t due_ms = 0;
  std::uint64_t seen = 0;  // the last pass that found it (or ended its job)
};

// A file whose job ended and that was still there: as it was then (-u).
struct JobEnded {
  FileId id;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::uint64_t seen = 0;   // the last pass that found it (or ended its job); NOT_SEEN when read
                            // from the state file and not found since
  std::uint64_t order = 0;  // when it was remembered: the lowest is forgotten first
};

constexpr std::uint64_t NOT_SEEN = ~0ull;

// One readiness attempt of `file` on `host` as a pass makes it, `may_start` telling whether its
// command could start now: the host's test against its last status (with waiting_apart of the
// same time of change too), the file held open from before it where files are held and one may
// start. `holding` tells whether a ready file may start: it is held, or files are not held. `now`
// receives its status.
Readiness test_readiness(Host* host, const ScheduleSettings& settings, InHand* file, bool may_start,
                         PathStatus* now, bool* holding);

class Scheduler {
 public:
  Scheduler(const ScheduleSettings& settings, Host* host) : settings_(settings), host_(*host) {}
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // True while the file with this full path is in hand: it is not offered again until its
  // outcome is complete.
  bool in_hand(const std::string& full_path) const { return paths_.count(full_path) != 0; }

  // The same for the walk, which found the file with the status `now`: a file that waits for its
  // next try (-b) and has changed since its failed try has that try at once, as its first (not
  // one that waits claimed: the file under its name is another).
  bool in_hand(const std::string& full_path, const PathStatus& now);

  // Takes every step that is due: readiness attempts, starts, ends, time limits, tries, and on a
  // stop request the letting go of the files that wait for their readiness.
  void advance();

  // True when a file may be offered now: with one slot shared by waiting and running files, when
  // it is free; with waiting_apart when there is room among the waiting files (MAX_WAITING),
  // made where a waiting file has failed an attempt.
  bool has_room();

  // When the next step may be due, at most `deadline_ms`; `running` receives the files whose
  // commands run (their end or output may come sooner).
  std::int64_t next_due(std::int64_t deadline_ms, std::vector<const InHand*>* running) const;

  // True when no file is in hand.
  bool idle() const { return hand_.empty(); }

  // Takes note of the end of the passes (a stop, or a single pass done): the monitor says so.
  void note_finishing() { monitor_tick(monitor_, &counts_, running_); }

  // Takes the matching file `name` of `folder` in hand (when has_room), whose status query
  // gave `first` and whose placeholder values are `names`. Its first readiness attempt is due
  // after the settle time. Nothing is taken once a stop was requested, nor, with -u, a file
  // whose job ended and that has not changed since, nor a file beyond MAX_WAITING.
  void offer(const std::shared_ptr<const Folder>& folder, const std::string& name,
             const PathStatus& first, const JobNames& names);

  // Asks for an early readiness attempt of the waiting file with this full path (a change was
  // seen). True when it is in hand.
  bool look_again(const std::string& full_path);

  // Ends a pass: with -u, what is remembered of files that the pass did not find is dropped (not
  // on a stop, which may have cut the pass short).
  void end_pass();

  // Keeps what a restart must know in `state` (-c), and takes what it kept before: with -u the
  // files that ended, with -b those that wait for their next try, which keep their tries and
  // due times when they are found unchanged. Records of the other kind are forgotten. Before
  // the first pass.
  void use_state(StateFile* state);

  // True when a second stop request ended running commands.
  bool ended_commands() const { return ending_ms_ >= 0; }

  // What the run reports (the monitor, the metrics file).
  RunCounts* counts() { return &counts_; }
  void set_monitor(Monitor* monitor) { monitor_ = monitor; }
  int running() const { return running_; }
  std::uint64_t pass() const { return pass_; }
  const std::unordered_set<std::string>& paths() const { return paths_; }
  const std::vector<std::unique_ptr<InHand>>& hand() const { return hand_; }

 private:
  bool slot_free() const { return running_ < settings_.jobs; }
  bool retry_may_start() const;
  bool step_due(const InHand& file, std::int64_t now) const;
  std::int64_t settle_deadline() { return host_.now_ms() + settings_.settle_seconds * 1000LL; }
  std::int64_t limit_due(const InHand& file) const;
  bool attempt(InHand* file);
  bool start(InHand* file);
  bool finish_job(InHand* file, int result, int signal);
  void retry_later(InHand* file, int result);
  void enforce_limit(InHand* file);
  void end_and_count(InHand* file, int result);
  void remember_ended(const InHand& file, int result);
  void forget_ended(std::map<std::string, JobEnded>::iterator at, bool kept = true);
  bool take_restored(const std::shared_ptr<const Folder>& folder, const std::string& name,
                     const PathStatus& first, const JobNames& names);
  void bound_ended();
  void let_go(std::size_t index);
  bool make_room(std::uint64_t bytes, const Folder* folder);
  void hold(const Folder* folder, int change);
  void note_stop();
  void end_commands();
  void remember_kept(InHand* file);

  const ScheduleSettings& settings_;
  Host& host_;
  std::vector<std::unique_ptr<InHand>> hand_;  // in the order taken: at most settings.jobs, or
                                               // with waiting_apart that many running and at
                                               // most MAX_WAITING waiting
  std::unordered_set<std::string> paths_;      // the full paths of the files in hand
  int running_ = 0;                            // how many of them run their command
  int retrying_ = 0;                           // how many wait for their next try (-b)
  int retried_ = 0;                            // how many failed a try: the retry budget
  int retried_running_ = 0;                    // ... and run their command again
  std::uint64_t retried_bytes_ = 0;            // what those take, as bytes_in_hand counts it
  std::map<const Folder*, int> folders_;       // folders held by files in hand, with their count
  bool stop_seen_ = false;                     // the stop request was taken note of
  std::int64_t ending_ms_ = -1;                // when a second request asked the commands to end
  bool ending_forced_ = false;                 // ... and when they were ended by force
  std::map<std::string, KeptFile> kept_;       // by full path
  bool ended_full_said_ = false;               // the warning that -u forgets was said
  std::uint64_t pass_ = 0;                     // passes ended
  std::map<std::string, JobEnded> ended_;      // by full path, with -u
  std::uint64_t ended_bytes_ = 0;              // what `ended_` takes, as bytes_ended counts it
  std::uint64_t ended_count_ = 0;              // files remembered so far, for JobEnded::order
  std::uint64_t hand_bytes_ = 0;               // what the other files in hand take
  std::uint64_t attempts_made_ = 0;            // readiness attempts of the run so far
  std::uint64_t no_room_since_ = ~0ull;        // attempts_made_ when no waiting file could give
                                               // way last; none can before the next attempt
  StateFile* state_ = nullptr;                 // -c: null without one
  StateEntries restored_;                      // files waiting for a try when the state file
                                               // was read, not yet found (-b -c)
  RunCounts counts_;                           // for the monitor
  Monitor* monitor_ = nullptr;                 // null without one
};
