// Time stamps and the run log.
#include "log/run_log.h"

#include <cstdio>

#include "app/run_settings.h"
#include "log/console.h"

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

LogResult write_log(const std::string& text) {
  if (!settings.log_path) {
    return LogNotConfigured;
  }
  const std::string& path = *settings.log_path;
  // Opened and closed for every entry, so that other programs may read, move or delete the log
  // between entries.
  std::FILE* log = std::fopen(path.c_str(), "a");
  bool ok = log != nullptr;
  if (ok) {
    // A full disk shows up in the write, the flush or the close; any of them fails the entry.
    ok = std::fprintf(log, "%s\n", text.c_str()) >= 0;
    ok = std::fflush(log) == 0 && ok;
    ok = std::fclose(log) == 0 && ok;
  }
  if (!ok) {
    say("Spoolex: Unable to write Log '%s'!\n", path.c_str());
    return LogFailed;
  }
  return LogWritten;
}
