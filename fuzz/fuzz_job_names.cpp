// Fuzz target of the placeholder values and the template expansion: memory safety on any input
// and exact agreement with a plain reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "job/job_names.h"

namespace {

JobNames reference_names(const std::string& folder, const std::string& name) {
  JobNames names;
  names.full_path = folder + "/" + name;
  const std::size_t first_dot = name.find('.');
  names.base = name.substr(0, first_dot);
  names.extension = first_dot == std::string::npos ? "" : name.substr(first_dot + 1);
  // The last dot after the last separator, but never the first character.
  const std::size_t dot = names.full_path.rfind('.');
  const std::size_t slash = names.full_path.rfind('/');
  const bool cut =
      dot != std::string::npos && dot >= 1 && (slash == std::string::npos || dot > slash);
  names.full_path_no_ext = cut ? names.full_path.substr(0, dot) : names.full_path;
  return names;
}

// Works on positions of the template: a placeholder is the first occurrence that does not overlap
// one already replaced, so inserted values are never searched.
std::string reference_expand(const std::string& text, const JobNames& names, std::size_t capacity) {
  const std::string* values[4] = {&names.full_path, &names.base, &names.extension,
                                  &names.full_path_no_ext};
  std::vector<std::pair<std::size_t, const std::string*>> replaced;  // template position, value
  std::size_t length = text.size();
  for (int i = 0; i < 4; ++i) {
    const std::string token = "@" + std::to_string(i + 1) + "@";
    std::size_t at = text.find(token);
    for (;;) {
      bool overlaps = false;
      for (const auto& done : replaced) {
        overlaps =
            overlaps || (at != std::string::npos && at < done.first + 3 && done.first < at + 3);
      }
      if (!overlaps) {
        break;
      }
      at = text.find(token, at + 1);
    }
    if (at == std::string::npos || length - 3 + values[i]->size() + 1 > capacity) {
      continue;
    }
    replaced.emplace_back(at, values[i]);
    length = length - 3 + values[i]->size();
  }
  std::string expanded;
  for (std::size_t at = 0; at < text.size();) {
    const std::string* value = nullptr;
    for (const auto& done : replaced) {
      if (done.first == at) {
        value = done.second;
      }
    }
    if (value != nullptr) {
      expanded += *value;
      at += 3;
    } else {
      expanded += text[at++];
    }
  }
  return expanded;
}

bool reference_unsafe(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 32 || c == 127 || c == '"' || c == '$' || c == '`' || c == '\\') {
      return true;
    }
  }
  return false;
}

// Takes the text up to the next zero byte (or the end) and steps past it.
std::string next_field(const char** at, const char* end) {
  const char* stop =
      static_cast<const char*>(std::memchr(*at, 0, static_cast<std::size_t>(end - *at)));
  if (stop == nullptr) {
    stop = end;
  }
  std::string field(*at, stop);
  *at = stop == end ? end : stop + 1;
  return field;
}

}  // namespace

// Input: two bytes of capacity, then folder, name and template separated by zero bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::size_t capacity = (data[0] | (data[1] << 8)) % 4200;
  const char* at = reinterpret_cast<const char*>(data) + 2;
  const char* end = reinterpret_cast<const char*>(data) + size;
  const std::string folder = next_field(&at, end);
  const std::string name = next_field(&at, end);
  const std::string text = next_field(&at, end);

  const JobNames names = make_job_names(folder, name);
  const JobNames expected = reference_names(folder, name);
  if (names.full_path != expected.full_path || names.base != expected.base ||
      names.extension != expected.extension ||
      names.full_path_no_ext != expected.full_path_no_ext) {
    std::abort();
  }
  if (expand_placeholders(text, names, capacity) != reference_expand(text, names, capacity)) {
    std::abort();
  }
  if (is_unsafe_path(names.full_path) != reference_unsafe(names.full_path)) {
    std::abort();
  }
  return 0;
}
