// The parts of the file functions that are the same on every platform, built on primitives.h.
#include "platform/files.h"

#include <cstdio>

#include "platform/primitives.h"

bool write_file(FileHandle file, const char* data, std::size_t size) {
  while (size > 0) {
    std::int64_t put = write_some(file, data, size);
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool print_scratch_file(FileHandle file, std::uint64_t limit, bool* cut) {
  *cut = false;
  // Our own lines must reach the stream before the command's output.
  std::fflush(stdout);
  if (!rewind_file(file)) {
    return false;
  }
  // The command's bytes go out as it wrote them, as they would have without collecting them.
  FileHandle out = standard_output_file();
  char buffer[64 * 1024];
  for (;;) {
    std::size_t wanted = limit < sizeof buffer ? static_cast<std::size_t>(limit) : sizeof buffer;
    // One byte more than the limit tells whether anything was left out.
    std::int64_t got = read_file(file, buffer, wanted > 0 ? wanted : 1);
    if (got <= 0) {
      return got == 0;
    }
    if (wanted == 0) {
      *cut = true;
      return true;
    }
    if (!write_file(out, buffer, static_cast<std::size_t>(got))) {
      return false;
    }
    limit -= static_cast<std::uint64_t>(got);
  }
}
