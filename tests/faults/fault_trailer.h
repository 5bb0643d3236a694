// The checksum trailer that the test writers append to each file: "\n#sum LENGTH HASH\n", where
// LENGTH and HASH (FNV-1a, 64 bits) describe the body before it.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

inline std::uint64_t fnv1a(const std::string& data) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : data) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  return hash;
}

inline std::string trailer_for(const std::string& body) {
  char text[64];
  std::snprintf(text, sizeof text, "\n#sum %zu %016" PRIx64 "\n", body.size(), fnv1a(body));
  return text;
}

inline std::string with_trailer(const std::string& body) {
  return body + trailer_for(body);
}

// True when the content ends in the trailer of everything before it.
inline bool has_valid_trailer(const std::string& content) {
  const std::size_t mark = content.rfind("\n#sum ");
  return mark != std::string::npos &&
         content.compare(mark, std::string::npos, trailer_for(content.substr(0, mark))) == 0;
}
