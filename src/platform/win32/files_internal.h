// Helpers that the Win32 file functions share (files.cpp, probe.cpp, scratch.cpp, status.cpp,
// write_folders.cpp). Not for callers outside src/platform/win32.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"
#include "platform/win_paths.h"

inline std::uint64_t join_size(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

inline FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileId id;
  id.device = info.dwVolumeSerialNumber;
  id.index = join_size(info.nFileIndexHigh, info.nFileIndexLow);
  return id;
}

// `path` (UTF-8, relative to `at` or absolute) as the file functions take it.
inline std::wstring file_path(const Folder& at, const std::string& path) {
  return long_form(full_path(at, path));
}

// `name` in the folder that `folder` holds, as the file functions take it: joined as it is, never
// read as a path.
inline std::wstring name_in(const Folder& folder, const std::string& name) {
  std::wstring plain = folder.path.empty() ? working_folder() : widen(folder.path);
  if (plain.back() != L'\\') {
    plain += L'\\';
  }
  return long_form(plain + widen(name));
}
