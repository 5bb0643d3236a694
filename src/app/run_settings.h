// The settings taken from the command line: filled once at start-up, read-only afterwards. Each
// part below gets the part of them it needs.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

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
  std::string install_name;                 // -i: the service to install
  std::string remove_name;                  // -x: the service to remove
  std::string service_mode_name;            // -z: the service this run is
  // Every option as given, in order (letter, value or nullptr), for the service's command line.
  std::vector<std::pair<int, const char*>> given;
};
