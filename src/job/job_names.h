// The four placeholder values of one file and the expansion of templates with them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"

// Bytes for the command template, the expanded command and the expanded success-file path,
// terminator included: the longest such text is COMMAND_CAPACITY - 1 bytes.
constexpr std::size_t COMMAND_CAPACITY = 2048;

struct JobNames {
  std::string full_path;         // @1@: working folder, separator, name
  std::string base;              // @2@: name up to its first '.'
  std::string extension;         // @3@: name after its first '.'
  std::string full_path_no_ext;  // @4@: full_path without its last extension
  std::string base_no_last_ext;  // @5@: name without its last extension, no path
};

// Where the last extension of the bare `name` starts (its dot), or name.size() when it has none:
// a dot in first position starts no extension.
std::size_t last_extension_at(const std::string& name);

// Builds the values for `name` in `folder`.
JobNames make_job_names(const std::string& folder, const std::string& name);

// Builds the values for `name` in the open `folder`. Returns false when its path is not known.
bool derive_job_names(const Folder& folder, const std::string& name, JobNames* names);

// Replaces the first occurrence of each placeholder, "@1@" to "@5@" in this order, in the
// template's own text (never inside an inserted value). A replacement whose result would not fit
// `capacity` bytes with its terminator is not made and leaves the placeholder in place; then
// `complete`, when given, is set to false (else to true).
std::string expand_placeholders(const std::string& text, const JobNames& names,
                                std::size_t capacity, bool* complete = nullptr);

// True when `text` holds a placeholder, "@1@" to "@5@": a name is then put into the command's
// text, where the command interpreter reads it.
bool has_placeholder(const std::string& text);

// The placeholders that `text` holds more than once, in their order "@1@" to "@5@". Only the
// first of each is replaced; the others stay as text.
std::vector<std::string> repeated_placeholders(const std::string& text);

// The environment entries HOTBATCH_1 to HOTBATCH_5 ("NAME=value") with the whole placeholder
// values: a shell never reads a variable's value as code, so every name is safe there.
std::vector<std::string> placeholder_variables(const JobNames& names);

// True when `path` holds one of `breakers` (bytes that break out of double quotes), a control
// byte, or two or more `variable_mark` (the interpreter expands "%NAME%" inside quotes; '\0' for
// none).
bool is_unsafe_name(const std::string& path, const char* breakers, char variable_mark);

// is_unsafe_name for this platform's command interpreter: a path that no placeholder in the
// command's text may hold.
bool is_unsafe_path(const std::string& path);
