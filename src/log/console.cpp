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

// The characters shown as '?': the C1 controls, the line and paragraph separators, every format
// character (Unicode's category Cf: invisible, some reorder what follows them on the line), and
// the look-alikes of '/', which would make a name look like a path that leaves its folder.
struct CodeRange {
  char32_t first, last;
};
constexpr CodeRange HIDDEN[] = {
    {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
    {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2044, 0x2044},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0x2215, 0x2215},   {0x2571, 0x2571},
    {0x27CB, 0x27CB},   {0x29F8, 0x29F8},   {0x2F03, 0x2F03},   {0xFEFF, 0xFEFF},
    {0xFF0F, 0xFF0F},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

// True for the well-formed sequence of `length` bytes at `at` when it encodes one of HIDDEN.
bool is_hidden_control(const std::string& text, std::size_t at, std::size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data()) + at;
  char32_t code = bytes[0] & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    code = (code << 6) | (bytes[i] & 0x3F);
  }
  for (const CodeRange& range : HIDDEN) {
    if (code >= range.first && code <= range.last) {
      return true;
    }
  }
  return false;
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

namespace {

// FNV-1a over `text`, 64 bits.
std::uint64_t hash_of(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char byte : text) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
  }
  return hash;
}

// True for a byte that continues a UTF-8 sequence.
bool continues(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::string shortened(const std::string& shown) {
  if (shown.size() <= MAX_SHOWN_PATH) {
    return shown;
  }
  const char* const gap = "...";
  std::size_t head = (MAX_SHOWN_PATH - 3) / 2;
  std::size_t tail = shown.size() - (MAX_SHOWN_PATH - 3 - head);
  while (head > 0 && continues(shown[head])) {
    --head;
  }
  while (tail < shown.size() && continues(shown[tail])) {
    ++tail;
  }
  return shown.substr(0, head) + gap + shown.substr(tail);
}

bool first_time(SaidOnce* said, const std::string& key) {
  return said->keys.insert(hash_of(key)).second;
}

void say_once(SaidOnce* said, const char* message, const std::string& path) {
  say_once(said, message, path, path);
}

void say_once(SaidOnce* said, const char* message, const std::string& path,
              const std::string& shown) {
  const std::uint64_t key = hash_of(std::string(message) + '\0' + path);
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
  said->keys.insert(key);
  say(message, shortened(printable(shown)).c_str());
}
