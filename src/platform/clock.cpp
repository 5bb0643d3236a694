// The parts of the clock that are the same on every platform, built on primitives.h.
#include "platform/clock.h"

#include <cstdint>
#include <ctime>

#include "platform/primitives.h"

bool local_time_now(LocalTime* now) {
  std::tm parts{};
  if (!local_time_parts(std::time(nullptr), &parts)) {
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
