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
  const std::size_t name_dot = name.rfind('.');
  names.base_no_last_ext =
      name_dot == std::string::npos || name_dot == 0 ? name : name.substr(0, name_dot);
  return names;
}

// Keeps a mark on every byte that came from a value: a placeholder is looked for only among the
// template's own bytes, which stay side by side where an empty value took one away. `complete`
// turns false when a placeholder was found but did not fit.
std::string reference_expand(const std::string& text, const JobNames& names, std::size_t capacity,
                             bool* complete) {
  const std::string* values[5] = {&names.full_path, &names.base, &names.extension,
                                  &names.full_path_no_ext, &names.base_no_last_ext};
  std::string expanded = text;
  std::vector<bool> inserted(text.size(), false);
  *complete = true;
  for (int i = 0; i < 5; ++i) {
    const std::string token = "@" + std::to_string(i + 1) + "@";
    std::size_t at = std::string::npos;
    for (std::size_t p = 0; p + 3 <= expanded.size() && at == std::string::npos; ++p) {
      if (!inserted[p] && !inserted[p + 1] && !inserted[p + 2] &&
          expanded.compare(p, 3, token) == 0) {
        at = p;
      }
    }
    if (at == std::string::npos) {
      continue;
    }
    if (expanded.size() - 3 + values[i]->size() + 1 > capacity) {
      *complete = false;
      continue;
    }
    expanded.replace(at, 3, *values[i]);
    inserted.erase(inserted.begin() + at, inserted.begin() + at + 3);
    inserted.insert(inserted.begin() + at, values[i]->size(), true);
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
      names.full_path_no_ext != expected.full_path_no_ext ||
      names.base_no_last_ext != expected.base_no_last_ext) {
    std::abort();
  }
  bool complete = false;
  bool expected_complete = false;
  if (expand_placeholders(text, names, capacity, &complete) !=
          reference_expand(text, names, capacity, &expected_complete) ||
      complete != expected_complete) {
    std::abort();
  }
  if (is_unsafe_path(names.full_path) != reference_unsafe(names.full_path)) {
    std::abort();
  }
  return 0;
}
