// Win32 folders. An open folder is its absolute path, held open so that it can be neither renamed
// away nor replaced while we act in it. The working folder of start-up is kept here rather than in
// the system, whose working folder is limited to 259 characters.
#include "platform/folders.h"

#include <cstring>
#include <cwchar>

#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"
#include "platform/win_paths.h"

const char PATH_SEPARATOR = '\\';

namespace {

// The working folder, held open without delete sharing, so that it can be neither renamed nor
// removed while we are in it (as Windows does for a process's own working folder).
struct WorkingFolder {
  std::wstring path;
  HANDLE handle = INVALID_HANDLE_VALUE;
};
WorkingFolder working;

// Opens a folder to hold it: others may read and write in it but not rename or remove it.
HANDLE hold_folder(const std::wstring& plain, bool own_entry) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // needed to open a folder
  if (own_entry) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  return CreateFileW(long_form(plain).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool is_folder_handle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes `plain`, held by `held`, the working folder. The system's own working folder follows
// where it can (for anything that still resolves names there), but nothing here relies on it.
void set_working(const std::wstring& plain, HANDLE held) {
  if (working.handle != INVALID_HANDLE_VALUE) {
    CloseHandle(working.handle);
  }
  working.path = plain;
  working.handle = held;
  if (plain.size() + 2 <= MAX_PATH) {
    SetCurrentDirectoryW(plain.c_str());
  }
}

EntryHint hint_of(DWORD attributes) {
  if (is_reparse(attributes)) {
    return EntryHint::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryHint::folder : EntryHint::file;
}

}  // namespace

const std::wstring& working_folder() {
  if (working.path.empty()) {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring buffer(needed, L'\0');
    DWORD length = needed == 0 ? 0 : GetCurrentDirectoryW(needed, &buffer[0]);
    buffer.resize(length < needed ? length : 0);
    working.path = L"C:\\";  // the base of the line below; kept when the system's is unknown
    if (!buffer.empty()) {
      working.path = absolute_path(buffer, working.path);
    }
  }
  return working.path;
}

std::wstring full_path(const std::string& path) {
  return absolute_path(widen(path), working_folder());
}

std::wstring full_path(const Folder& at, const std::string& path) {
  return at.path.empty() ? full_path(path) : absolute_path(widen(path), widen(at.path));
}

bool list_entries(const Folder& folder, FolderListing* listing) {
  if (folder.path.empty()) {
    return false;
  }
  std::wstring pattern = long_form(widen(folder.path));
  if (pattern.back() != L'\\') {
    pattern += L'\\';
  }
  pattern += L'*';
  WIN32_FIND_DATAW found;
  // Without the short names, in large blocks.
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    // A drive root has no "." or "..", so an empty one reports that nothing was found.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  do {
    listing->add(narrow(found.cFileName, std::wcslen(found.cFileName)).c_str(),
                 hint_of(found.dwFileAttributes));
  } while (FindNextFileW(search, &found));
  bool ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return ok;
}

bool get_working_folder(std::string* folder) {
  *folder = narrow(working_folder());
  return true;
}

bool change_working_folder(const std::string& folder) {
  Folder opened;
  if (!open_folder(folder, &opened)) {
    return false;
  }
  set_working(widen(opened.path), reinterpret_cast<HANDLE>(opened.handles[0]));
  return true;
}

bool open_folder(const std::string& path, Folder* opened) {
  // An empty name is no folder (the system treats it inconsistently across versions).
  if (path.empty()) {
    return false;
  }
  std::wstring plain = full_path(path);
  HANDLE held = hold_folder(plain, false);
  if (held == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!is_folder_handle(held, &info)) {
    CloseHandle(held);
    return false;
  }
  opened->handles.assign(1, reinterpret_cast<std::intptr_t>(held));
  opened->path = narrow(plain);
  return true;
}

EnterResult open_sub_folder(const Folder& parent, const std::string& name, Folder* opened) {
  // The folder is opened as it is (a reparse point not followed) and held from the check on,
  // so it can neither be renamed nor replaced by a junction while we act in it.
  std::wstring plain = full_path(parent, name);
  HANDLE held = hold_folder(plain, true);
  if (held == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    bool exhausted = error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NO_SYSTEM_RESOURCES ||
                     error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY;
    return exhausted ? EnterResult::no_handles : EnterResult::refused;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!is_folder_handle(held, &info) ||
      ((is_reparse(info.dwFileAttributes) || name_is_reparse(long_form(plain))) &&
       is_link_point(held))) {
    CloseHandle(held);
    return EnterResult::refused;
  }
  opened->handles.assign(1, reinterpret_cast<std::intptr_t>(held));
  opened->path = narrow(plain);
  return EnterResult::entered;
}

void close_folder(Folder* folder) {
  for (std::intptr_t handle : folder->handles) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }
  folder->handles.clear();
}

std::string path_in(const Folder& folder, const std::string& path) {
  if (folder.path.empty() || is_absolute_path(path)) {
    return path;
  }
  return path.empty() ? folder.path : narrow(full_path(folder, path));
}

bool is_absolute_path(const std::string& path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  return (path.size() >= 3 && path[1] == ':' && separator(path[2])) ||
         (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}

bool on_network_file_system(const std::string& path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  std::string rest = path;
  // A long-path prefix: "\\?\UNC\server\share" is a share, "\\?\C:\" a drive.
  if (rest.rfind("\\\\?\\", 0) == 0) {
    rest = rest.substr(4);
    if (rest.size() >= 4 && _strnicmp(rest.c_str(), "UNC", 3) == 0 && separator(rest[3])) {
      return true;
    }
  } else if (rest.size() >= 2 && separator(rest[0]) && separator(rest[1])) {
    return true;  // \\server\share
  }
  if (rest.size() < 2 || rest[1] != ':') {
    return false;
  }
  const wchar_t root[] = {static_cast<wchar_t>(rest[0]), L':', L'\\', L'\0'};
  return GetDriveTypeW(root) == DRIVE_REMOTE;
}
