// POSIX arguments and standard output: bytes as they are, UTF-8 in and out.
#include "platform/console.h"

#include <cstdio>

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv, argv + argc);
}

bool write_standard_output(const char* text, std::size_t size) {
  bool ok = std::fwrite(text, 1, size, stdout) == size;
  return std::fflush(stdout) == 0 && ok;
}
