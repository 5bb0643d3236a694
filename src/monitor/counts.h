// What the scheduler counts for the service manager and the metrics file: jobs by result, files
// waiting, passes. One record per run, updated by the scheduler and the run loop, read by the
// monitor.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>

#include "platform/clock.h"

// How a job ended. Its value indexes RunCounts::ended.
enum class JobResult : int {
  done = 0,     // its command succeeded (or there was none to run)
  failed = 1,   // its command failed or could not start
  stopped = 2,  // its command was stopped at its time limit (-k)
  left = 3,     // a stop, or a folder lost, left it for the next run
};
constexpr int JOB_RESULTS = 4;

// Most files remembered as waiting; beyond it new ones are not counted.
constexpr std::size_t MAX_COUNTED_WAITING = 100000;

// A matching file taken in hand whose command has not started.
struct Waiting {
  std::int64_t since_ms = 0;  // monotonic: when it was first taken in hand
  std::uint64_t seen = 0;     // the last pass that took it
};

struct RunCounts {
  std::uint64_t ended[JOB_RESULTS] = {};
  std::int64_t last_success_ms = 0;  // wall clock, milliseconds since 1970; 0 before the first
  std::uint64_t passes = 0;          // passes ended
  std::int64_t pass_started_ms = 0;  // monotonic
  std::int64_t last_pass_ms = 0;     // how long the last pass took
  LocalTime last_pass_end;           // when it ended, for the status line
  std::map<std::string, Waiting> waiting;  // by full path
  // The jobs whose command runs, by full path: since when (monotonic), and the name as shown.
  std::map<std::string, std::pair<std::int64_t, std::string>> running;
  std::uint64_t kept = 0;  // failed files kept in place (their error copy failed), each once
  bool changed = true;     // something to tell since the monitor last looked
};

// Milliseconds since 1970 on the wall clock.
std::int64_t wall_clock_ms();

// Counts a job that ended with `result`.
void count_job(RunCounts* counts, JobResult result);

// A matching file with this full path was taken in hand in pass `pass` (see Scheduler::pass).
void count_waiting(RunCounts* counts, const std::string& full_path, std::uint64_t pass);

// The file with this full path waits no longer: its job begins (or it cannot have one).
void stop_waiting(RunCounts* counts, const std::string& full_path);

// The command of the job of the file with this full path started; `name` is its name as the
// service manager's status shows it.
void count_running(RunCounts* counts, const std::string& full_path, const std::string& name);

// ... and ended.
void stop_running(RunCounts* counts, const std::string& full_path);

// A pass begins.
void count_pass_begin(RunCounts* counts);

// Pass `pass` ended: files that it did not take and that are not in hand (`in_hand`, full paths)
// wait no longer.
void count_pass_end(RunCounts* counts, std::uint64_t pass,
                    const std::unordered_set<std::string>& in_hand);
