// The parts of the clock that are the same on every platform, built on primitives.h.
#include "platform/clock.h"

#include <cstdint>
#include <ctime>

#include "platform/primitives.h"
#include "platform/signals.h"

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

bool sleep_seconds(std::int64_t seconds) {
  // Slept in slices, so that a stop request ends the pause within a fraction of a second.
  std::int64_t left_ms = seconds > 0 ? seconds : 0;
  left_ms = left_ms > INT64_MAX / 1000 ? INT64_MAX : left_ms * 1000;
  while (left_ms > 0) {
    if (stop_requested()) {
      return false;
    }
    std::int64_t slice = left_ms < SLEEP_SLICE_MS ? left_ms : SLEEP_SLICE_MS;
    sleep_slice_ms(slice);
    left_ms -= slice;
  }
  return !stop_requested();
}
