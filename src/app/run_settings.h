// The process-wide settings taken from the command line: filled once at start-up, read-only
// afterwards.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Bytes for the command template, the expanded command and the expanded success-file path,
// terminator included: the longest such text is COMMAND_CAPACITY - 1 bytes.
constexpr std::size_t COMMAND_CAPACITY = 2048;

struct RunSettings {
  std::optional<std::string> log_path;              // -o: run log
  std::optional<std::string> success_log_template;  // -t: per-job success file
  std::optional<std::string> error_folder;          // -e: copies of failed files
  bool recursive = false;                           // -r
  bool looping = false;                             // -l
  bool erase_after_run = false;                     // -E
  int wait_seconds = 1;                             // -s: pause between passes, at least 1
  int settle_seconds = 1;                           // -g: wait before each readiness attempt, >= 0
  std::string pattern;                              // first operand
  std::string command_template;                     // second operand, at most 2047 bytes
  std::string start_folder;                         // working folder at start
  std::string source_folder;                        // absolute folder every pass starts in
};

// The one settings record of the process.
extern RunSettings settings;
