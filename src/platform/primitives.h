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
