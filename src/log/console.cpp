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

namespace {

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 when the byte there starts none.
std::size_t sequence_length(const std::string& text, std::size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char low = 0x80;   // range of the second byte, which excludes overlong forms and
  unsigned char high = 0xBF;  // surrogates
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (at + length > text.size()) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[at + i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
      return 0;
    }
  }
  return length;
}

// True for the characters that terminals and log readers take as controls or line ends.
bool is_hidden_control(const std::string& text, std::size_t at, std::size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data()) + at;
  if (length == 2) {
    return bytes[0] == 0xC2 && bytes[1] <= 0x9F;  // U+0080 to U+009F
  }
  if (length != 3 || bytes[0] != 0xE2) {
    return false;
  }
  if (bytes[1] == 0x80) {
    return bytes[2] >= 0xA8 && bytes[2] <= 0xAE;  // U+2028, U+2029, U+202A to U+202E
  }
  return bytes[1] == 0x81 && bytes[2] >= 0xA6 && bytes[2] <= 0xA9;  // U+2066 to U+2069
}

}  // namespace

std::string printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      shown += (byte < 32 || byte == 127) ? '?' : text[at];
      ++at;
      continue;
    }
    std::size_t length = sequence_length(text, at);
    if (length == 0) {
      // A byte outside any valid sequence: a raw C1 control is hidden, anything else stays.
      shown += byte <= 0x9F ? '?' : text[at];
      ++at;
    } else if (is_hidden_control(text, at, length)) {
      shown += '?';
      at += length;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}

bool first_time(SaidOnce* said, const std::string& key) {
  return said->keys.insert(key).second;
}

void say_once(SaidOnce* said, const char* message, const std::string& path) {
  std::string key = std::string(message) + '\0' + path;
  if (said->keys.count(key) != 0) {
    return;
  }
  // The plain keys of first_time and the messages themselves are few, fixed by the program: only
  // paths are bounded.
  if (said->keys.size() >= MAX_SAID_ONCE) {
    if (first_time(said, message)) {
      say("Warning: Further warnings of this kind are left out\n");
    }
    return;
  }
  said->keys.insert(std::move(key));
  say(message, printable(path).c_str());
}
