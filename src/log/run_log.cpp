// Time stamps and the run log.
#include "log/run_log.h"

#include <cstdio>

#include "log/console.h"
#include "platform/platform.h"

namespace {
// Month names are English whatever the locale says.
const char* const MONTHS = "JanFebMarAprMayJunJulAugSepOctNovDec";
}  // namespace

std::string format_timestamp(const LocalTime& time) {
  int month = (time.month >= 1 && time.month <= 12) ? time.month - 1 : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %02d %02d:%02d:%02d %04d", MONTHS + 3 * month, time.day,
                time.hour, time.minute, time.second, time.year);
  return text;
}

std::string timestamp_now() {
  LocalTime now;
  local_time_now(&now);
  return format_timestamp(now);
}

LogResult write_log(const Folder& at, const std::optional<std::string>& log_path,
                    const std::string& text) {
  if (!log_path) {
    return LogNotConfigured;
  }
  const std::string& path = *log_path;
  // The entry goes out in one write, with the platform's line ends.
  std::string entry;
  entry.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\n') {
      entry += LINE_END;
    } else {
      entry += c;
    }
  }
  entry += LINE_END;
  // Opened and closed for every entry, so that other programs may read, move or delete the log
  // between entries. A link to it, or to a folder on the way, is followed only when its owner owns
  // what it leads to, so that a planted link cannot make us append to someone else's file; the
  // folders are opened one by one and the log through them, so a swap after the check is no way in.
  if (!append_to_file(at, path, entry)) {
    say("Spoolex: Unable to write Log '%s'!\n", path.c_str());
    return LogFailed;
  }
  return LogWritten;
}
