// Time stamps and the append-only run log.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// 'Mmm DD hh:mm:ss YYYY' for the given time.
std::string format_timestamp(const LocalTime& time);

// The current local time as 'Mmm DD hh:mm:ss YYYY'.
std::string timestamp_now();

// Results of write_log.
enum LogResult : int {
  LogWritten = 0,        // the entry is in the log
  LogNotConfigured = 1,  // no -o: nothing done
  LogFailed = 2          // the log could not be opened or written; a message was printed
};

// Appends `text` and a line feed to the run log `log_path` (resolved against the working folder);
// nothing when there is none.
LogResult write_log(const Folder& at, const std::optional<std::string>& log_path,
                    const std::string& text);
