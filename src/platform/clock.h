// Clock: the local time for time stamps and a clock for intervals.
#pragma once

#include <cstdint>

struct LocalTime {
  int year = 1970;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
  int hour = 0;   // 0 to 23
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 is Sunday
};

// The current local time (the time zone setting of the environment honoured).
bool local_time_now(LocalTime* now);

// The local time of `seconds` since 1970 (UTC), as local_time_now.
bool local_time_at(std::int64_t seconds, LocalTime* at);

// Seconds since 1970 (UTC) on the wall clock, which may be set back: for times that must outlive
// the process, never for intervals.
std::int64_t wall_clock_seconds();

// Milliseconds on a clock that never goes back.
std::int64_t monotonic_ms();
