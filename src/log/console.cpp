// Console output, flushed message by message.
#include "log/console.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

void say(const char* format, ...) {
  // Formatted first, then written in one piece, so that a console shows the text as characters.
  char small[512];
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    write_standard_output(small, static_cast<std::size_t>(length));
  } else {
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(&large[0], large.size(), format, again);
    write_standard_output(large.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
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
