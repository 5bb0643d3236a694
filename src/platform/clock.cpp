// The parts of the clock that are the same on every platform, built on primitives.h.
#include "platform/clock.h"

#include <cstdint>
#include <ctime>

#include "platform/primitives.h"

bool local_time_now(LocalTime* now) {
  return local_time_at(wall_clock_seconds(), now);
}

std::int64_t wall_clock_seconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

bool local_time_at(std::int64_t seconds, LocalTime* now) {
  std::tm parts{};
  if (!local_time_parts(static_cast<std::time_t>(seconds), &parts)) {
    return false;
  }
  now->year = parts.tm_year + 1900;
  now->month = parts.tm_mon + 1;
  now->day = parts.tm_mday;
  now->hour = parts.tm_hour;
  now->minute = parts.tm_min;
  now->second = parts.tm_sec;
  now->weekday = parts.tm_wday;
  return true;
}
