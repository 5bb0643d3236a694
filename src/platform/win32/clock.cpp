// Win32 clock primitives: the C runtime's local time and the tick count.
#include "platform/clock.h"

#include "platform/primitives.h"
#include "platform/win32/shared_state.h"

bool local_time_parts(std::time_t seconds, std::tm* parts) {
  // The C runtime's local time honours a TZ variable (POSIX form, such as "EST5EDT") and
  // otherwise follows the system's time zone.
  _tzset();
  const std::tm* local = std::localtime(&seconds);
  if (local == nullptr) {
    return false;
  }
  *parts = *local;
  return true;
}

std::int64_t monotonic_ms() {
  return static_cast<std::int64_t>(GetTickCount64());
}
