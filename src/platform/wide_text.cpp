// UTF-8 and UTF-16 conversion without the system's code pages, which would lose characters.
#include "platform/wide_text.h"

#include <cstdint>

std::string narrow(const wchar_t* text, std::size_t length) {
  std::string result;
  result.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t code = static_cast<std::uint16_t>(text[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length) {
      std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (code < 0x80) {
      result.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (code >> 6)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (code >> 12)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (code >> 18)));
      result.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return result;
}

std::string narrow(const std::wstring& text) {
  return narrow(text.data(), text.size());
}

std::wstring widen(const char* text, std::size_t length) {
  static const std::uint32_t SMALLEST[5] = {0, 0, 0x80, 0x800, 0x10000};
  std::wstring result;
  result.reserve(length);
  std::size_t i = 0;
  while (i < length) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t size = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      size = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      size = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      size = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      size = 4;
      code = lead & 0x07;
    }
    bool valid = size != 0 && i + size <= length;
    for (std::size_t k = 1; valid && k < size; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid || code < SMALLEST[size] || code > 0x10FFFF) {
      result.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      result.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      result.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      result.push_back(static_cast<wchar_t>(code));
    }
    i += size;
  }
  return result;
}

std::wstring widen(const std::string& text) {
  return widen(text.data(), text.size());
}
