// The smallest per-platform pieces that the shared files (clock.cpp, files.cpp) build on, one
// definition each in posix/ and win32/. Not for callers outside src/platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/files.h"

// Writes up to `size` bytes of `data` (size > 0). Returns the count written, or -1 on an error.
std::int64_t write_some(FileHandle file, const char* data, std::size_t size);

// Moves the position of `file` back to its start.
bool rewind_file(FileHandle file);

// The process's standard output, for writing bytes past the C runtime's buffer.
FileHandle standard_output_file();

// The local time of `seconds`, the time zone setting of the environment read afresh.
bool local_time_parts(std::time_t seconds, std::tm* parts);

// Sleeps up to `ms` milliseconds (at most SLEEP_SLICE_MS).
void sleep_slice_ms(std::int64_t ms);

// The longest sleep between two looks for a stop request. A POSIX sleep ends when the stop
// signal arrives, so a slice only delays a request that came just before it; on Windows the
// console handler runs on a thread of its own and ends no sleep, so a slice is the delay.
extern const std::int64_t SLEEP_SLICE_MS;
