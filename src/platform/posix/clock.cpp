// POSIX clock primitives: local time and a monotonic clock.
#include "platform/clock.h"

#include <time.h>

#include "platform/primitives.h"

bool local_time_parts(std::time_t seconds, std::tm* parts) {
  tzset();
  return localtime_r(&seconds, parts) != nullptr;
}

std::int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
