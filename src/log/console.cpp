// Console output, flushed message by message.
#include "log/console.h"

#include <cstdarg>
#include <cstdio>

void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stdout, format, arguments);
  va_end(arguments);
  std::fflush(stdout);
}

std::string printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      c = '?';
    }
  }
  return shown;
}
