// The settings taken from the command line: filled once at start-up, read-only afterwards. Each
// part below gets the part of them it needs.
#pragma once

#include <optional>
#include <string>

#include "job/process_job.h"
#include "scan/walk.h"
#include "schedule/scheduler.h"

struct RunSettings {
  WalkSettings walk;                        // the pattern, -r, -w
  ScheduleSettings schedule;                // -g, -j
  JobSettings job;                          // the command template, -o, -t, -e, -E
  bool looping = false;                     // -l
  int wait_seconds = 1;                     // -s: pause between passes, at least 1
  std::string start_folder;                 // working folder at start
  std::string source_folder;                // absolute folder every pass starts in
  bool claiming = false;                    // -p given
  std::string work_folder;                  // -p: as given
  std::optional<std::string> metrics_path;  // -m: as given
  bool dry_run = false;                     // -n
  std::optional<std::string> state_path;    // -c: as given
};
