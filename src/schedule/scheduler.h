// The scheduler: every matching file the walk finds is handed to it, and it takes the file
// through its readiness attempts, its command and its outcome. One event loop on the program's
// one thread drives every file in hand, so that the working folder, the run log and the console
// keep a single owner. With one slot (-j 1) this is the plain one-file-after-the-other run, and the
// command writes straight to our standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job/job_names.h"
#include "job/process_job.h"
#include "platform/platform.h"

// Readiness attempts per matching file and pass.
constexpr int READY_ATTEMPTS = 10;

// Most files in hand at once (-j). Each holds a descriptor for its folder and one for its
// collected output, and Windows waits for at most 64 objects in one call.
constexpr int MAX_JOBS = 64;

// What the command line says about scheduling: read-only once the run has started.
struct ScheduleSettings {
  int settle_seconds = 1;  // -g: wait before each readiness attempt, >= 0
  int jobs = 1;            // -j: files in hand at once, 1 to MAX_JOBS
};

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
  FileHandle output;       // the command's collected output (with more than one slot)

  bool running() const { return command.process != -1; }
};

// The files in hand and what the jobs of the run remember.
struct Scheduler {
  const ScheduleSettings& settings;
  const JobSettings& job;
  JobMemory memory;
  std::vector<std::unique_ptr<InHand>> hand;  // at most settings.jobs, in the order taken
};

// Lets the jobs in hand go on until a slot is free. Returns at once on a stop request. False when
// the way back to the working folder was lost.
bool wait_for_slot(Scheduler* scheduler);

// True while the file with this full path is in hand: it is not taken again until its outcome is
// complete.
bool is_in_hand(const Scheduler& scheduler, const std::string& full_path);

// Takes the matching file `name` of the working folder in hand (a slot must be free, see
// wait_for_slot), whose status query gave `first` and whose placeholder values are `names`. Its
// first readiness attempt is due after the settle time. Nothing is taken once a stop was
// requested. False when the way back to the working folder was lost.
bool take_in_hand(Scheduler* scheduler, const std::string& name, const PathStatus& first,
                  const JobNames& names);

// Lets the jobs in hand (if any) go on for `seconds` seconds, or until a stop is requested, or
// until `woken` (when given) says that a change arrived: the pause between passes. False when the
// time was cut short by a stop request.
bool run_jobs_for(Scheduler* scheduler, std::int64_t seconds,
                  const std::function<bool()>& woken = nullptr);

// Lets the jobs in hand go on until none is left. On a stop request files that wait for their
// readiness are let go at once, and running commands are waited for.
void finish_jobs(Scheduler* scheduler);
