// The four placeholder values of one file and the expansion of templates with them.
#pragma once

#include <cstddef>
#include <string>

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

// Builds the values for `name` in the current working folder. Returns false when the working
// folder cannot be read.
bool derive_job_names(const std::string& name, JobNames* names);

// Replaces the first occurrence of each placeholder, "@1@" to "@5@" in this order, in the
// template's own text (never inside an inserted value). A replacement whose result would not fit
// `capacity` bytes with its terminator is not made and leaves the placeholder in place; then
// `complete`, when given, is set to false (else to true).
std::string expand_placeholders(const std::string& text, const JobNames& names,
                                std::size_t capacity, bool* complete = nullptr);

// True when the path holds a byte that breaks out of double quotes for the command interpreter
// or a control byte.
bool is_unsafe_path(const std::string& path);
