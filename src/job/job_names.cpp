// Placeholder values of a file and template expansion.
#include "job/job_names.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr int PLACEHOLDER_COUNT = 5;
const char* const PLACEHOLDERS[PLACEHOLDER_COUNT] = {"@1@", "@2@", "@3@", "@4@", "@5@"};

// A piece of the text being expanded: either the template's own text, which may still hold
// placeholders, or a value inserted for one, which is never searched.
struct Piece {
  std::string text;
  bool inserted;
};

// Replaces the first occurrence of `token` in the template's own pieces with `value`, unless the
// whole text would then need more than `capacity` bytes with its terminator. Returns false only
// when the token was found but did not fit.
bool replace_first(std::vector<Piece>* pieces, std::size_t* length, std::size_t capacity,
                   const std::string& token, const std::string& value) {
  for (std::size_t i = 0; i < pieces->size(); ++i) {
    Piece& piece = (*pieces)[i];
    if (piece.inserted) {
      continue;
    }
    std::size_t at = piece.text.find(token);
    if (at == std::string::npos) {
      continue;
    }
    std::size_t new_length = *length - token.size() + value.size();
    if (new_length + 1 > capacity) {
      return false;
    }
    *length = new_length;
    if (value.empty()) {
      // Nothing is inserted, so the template's text on both sides stays one text, as if the
      // placeholder had never been there.
      piece.text.erase(at, token.size());
      return true;
    }
    Piece after{piece.text.substr(at + token.size()), false};
    piece.text.resize(at);
    pieces->insert(pieces->begin() + static_cast<std::ptrdiff_t>(i) + 1,
                   {Piece{value, true}, std::move(after)});
    return true;
  }
  return true;
}

}  // namespace

std::size_t last_extension_at(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

JobNames make_job_names(const std::string& folder, const std::string& name) {
  JobNames names;
  names.full_path = folder + PATH_SEPARATOR + name;

  std::size_t dot = name.find('.');
  names.base = name.substr(0, dot);
  names.extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);

  names.base_no_last_ext = name.substr(0, last_extension_at(name));

  // The last extension is cut from the whole path, looking back no further than the last
  // separator (a dot in a folder name stays) and never at the first character.
  names.full_path_no_ext = names.full_path;
  for (std::size_t i = names.full_path.size(); i-- > 1;) {
    char c = names.full_path[i];
    if (c == '.') {
      names.full_path_no_ext.resize(i);
      break;
    }
    if (c == PATH_SEPARATOR) {
      break;
    }
  }
  return names;
}

bool derive_job_names(const Folder& folder, const std::string& name, JobNames* names) {
  if (folder.path.empty()) {
    return false;
  }
  *names = make_job_names(folder.path, name);
  return true;
}

std::string expand_placeholders(const std::string& text, const JobNames& names,
                                std::size_t capacity, bool* complete) {
  const std::string* values[PLACEHOLDER_COUNT] = {&names.full_path, &names.base, &names.extension,
                                                  &names.full_path_no_ext, &names.base_no_last_ext};
  std::vector<Piece> pieces{Piece{text, false}};
  std::size_t length = text.size();
  bool all_made = true;
  for (int i = 0; i < PLACEHOLDER_COUNT; ++i) {
    all_made = replace_first(&pieces, &length, capacity, PLACEHOLDERS[i], *values[i]) && all_made;
  }
  if (complete != nullptr) {
    *complete = all_made;
  }
  std::string expanded;
  expanded.reserve(length);
  for (const Piece& piece : pieces) {
    expanded += piece.text;
  }
  return expanded;
}

bool has_placeholder(const std::string& text) {
  for (const char* placeholder : PLACEHOLDERS) {
    if (text.find(placeholder) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> repeated_placeholders(const std::string& text) {
  std::vector<std::string> repeated;
  for (const char* placeholder : PLACEHOLDERS) {
    const std::size_t first = text.find(placeholder);
    if (first != std::string::npos &&
        text.find(placeholder, first + std::strlen(placeholder)) != std::string::npos) {
      repeated.push_back(placeholder);
    }
  }
  return repeated;
}

std::vector<std::string> placeholder_variables(const JobNames& names) {
  return {"HOTBATCH_1=" + names.full_path, "HOTBATCH_2=" + names.base,
          "HOTBATCH_3=" + names.extension, "HOTBATCH_4=" + names.full_path_no_ext,
          "HOTBATCH_5=" + names.base_no_last_ext};
}

bool is_unsafe_name(const std::string& path, const char* breakers, char variable_mark) {
  int marks = 0;
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127 || std::strchr(breakers, c) != nullptr) {
      return true;
    }
    // One mark alone expands nothing; two may enclose a variable's name.
    if (variable_mark != '\0' && c == variable_mark && ++marks >= 2) {
      return true;
    }
  }
  return false;
}

bool is_unsafe_path(const std::string& path) {
  return is_unsafe_name(path, QUOTE_BREAKERS, VARIABLE_MARK);
}
