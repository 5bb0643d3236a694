// Win32 implementation of the platform services (an 8-bit code-page console program: A functions).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

const char PATH_SEPARATOR = '\\';
// Windows names cannot hold '"' or control bytes, so a placeholder in double quotes is safe for
// every real file; '%' still expands inside quotes, which the README warns about.
const char* const QUOTE_BREAKERS = "\"";

namespace {

// Written by the console control handler, which Windows runs on a thread of its own.
std::atomic<int> stop_count{0};
std::atomic<bool> command_running{false};

BOOL WINAPI on_console_event(DWORD event) {
  int count = stop_count.fetch_add(1) + 1;
  // The user asked twice while a command runs: do not wait for it any longer.
  if (count >= 2 && command_running.load()) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process as soon as this handler returns. Holding the handler gives the
    // main thread the few seconds the system allows to finish its job and exit by itself.
    Sleep(4000);
  }
  return TRUE;
}

bool is_link(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

EntryHint hint_of(DWORD attributes) {
  if (is_link(attributes)) {
    return EntryHint::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryHint::folder : EntryHint::file;
}

std::uint64_t join_size(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Opens `path` only to read its attributes; reparse points are followed unless `own_entry`.
HANDLE open_for_attributes(const std::string& path, bool own_entry) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // needed to open a folder
  if (own_entry) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     flags, nullptr);
}

// The command interpreter by its full path, so that a "cmd.exe" lying in the hot folder (the
// working folder while a command runs) is never the one started.
std::string interpreter_path() {
  const char* comspec = std::getenv("COMSPEC");
  if (comspec != nullptr && comspec[0] != '\0' && comspec[1] == ':' && comspec[2] == '\\') {
    return comspec;
  }
  char system_folder[MAX_PATH];
  UINT length = GetSystemDirectoryA(system_folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return "C:\\Windows\\System32\\cmd.exe";
  }
  return std::string(system_folder, length) + "\\cmd.exe";
}

}  // namespace

bool list_working_folder(FolderListing* listing) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA("*", &found);
  if (search == INVALID_HANDLE_VALUE) {
    // A drive root has no "." or "..", so an empty one reports that nothing was found.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  do {
    listing->add(found.cFileName, hint_of(found.dwFileAttributes));
  } while (FindNextFileA(search, &found));
  bool ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return ok;
}

bool query_status(const std::string& path, PathStatus* status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  status->is_link = is_link(data.dwFileAttributes);
  if (status->is_link) {
    // The attributes above are the link's own: ask the target, which must exist.
    HANDLE target = open_for_attributes(path, false);
    if (target == INVALID_HANDLE_VALUE) {
      return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(target, &info) != 0;
    CloseHandle(target);
    if (!ok) {
      return false;
    }
    data.dwFileAttributes = info.dwFileAttributes;
    data.nFileSizeHigh = info.nFileSizeHigh;
    data.nFileSizeLow = info.nFileSizeLow;
  }
  status->is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status->size = status->is_folder ? 0 : join_size(data.nFileSizeHigh, data.nFileSizeLow);
  return true;
}

bool get_working_folder(std::string* folder) {
  DWORD needed = GetCurrentDirectoryA(0, nullptr);
  // The folder may change between the two calls; a second round then gets the new size.
  for (int round = 0; round < 3 && needed > 0; ++round) {
    std::string buffer(needed, '\0');
    DWORD length = GetCurrentDirectoryA(needed, &buffer[0]);
    if (length == 0) {
      return false;
    }
    if (length < needed) {
      buffer.resize(length);
      *folder = buffer;
      return true;
    }
    needed = length;
  }
  return false;
}

bool change_working_folder(const std::string& folder) {
  // An empty name is no folder (the call itself would treat it inconsistently across versions).
  return !folder.empty() && SetCurrentDirectoryA(folder.c_str()) != 0;
}

bool enter_sub_folder(const std::string& name) {
  // The folder is held open without delete sharing while it is checked and entered, so it can
  // neither be renamed nor replaced by a junction in between.
  HANDLE held = open_for_attributes(name, true);
  if (held == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(held, &info) != 0 &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            !is_link(info.dwFileAttributes);
  if (ok) {
    ok = SetCurrentDirectoryA(name.c_str()) != 0;
  }
  CloseHandle(held);
  return ok;
}

bool mark_working_folder(FolderMark* mark) {
  // No descriptor for folders here: the way back is the absolute path. Windows does not let
  // another program rename or remove the working folder or its parents while we are in it.
  mark->handle = -1;
  return get_working_folder(&mark->path);
}

bool return_to_mark(const FolderMark& mark) {
  return change_working_folder(mark.path);
}

void release_mark(FolderMark* mark) {
  mark->path.clear();
  mark->handle = -1;
}

bool try_open_for_append(const std::string& path) {
  // OPEN_EXISTING: a file that vanished must stay gone. Sharing for readers and writers only, so
  // that a writer holding the file without write sharing makes the attempt fail.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // A device name (CON, NUL, COM1...) opens too, but is no file to process. A read-only file
  // is never ready, whatever rights the user has (Wine run by root opens it all the same).
  BY_HANDLE_FILE_INFORMATION info;
  bool ready = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
               (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  CloseHandle(file);
  return ready;
}

bool same_file(const std::string& a, const std::string& b) {
  HANDLE first = open_for_attributes(a, false);
  if (first == INVALID_HANDLE_VALUE) {
    return false;
  }
  HANDLE second = open_for_attributes(b, false);
  if (second == INVALID_HANDLE_VALUE) {
    CloseHandle(first);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION one;
  BY_HANDLE_FILE_INFORMATION other;
  bool same =
      GetFileInformationByHandle(first, &one) && GetFileInformationByHandle(second, &other) &&
      one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
      one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
  CloseHandle(second);
  CloseHandle(first);
  return same;
}

bool delete_file(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
}

bool local_time_now(LocalTime* now) {
  // The C runtime's local time honours a TZ variable (Windows form, such as "EST5EDT") and
  // otherwise follows the system's time zone.
  _tzset();
  std::time_t seconds = std::time(nullptr);
  const std::tm* parts = std::localtime(&seconds);
  if (parts == nullptr) {
    return false;
  }
  now->year = parts->tm_year + 1900;
  now->month = parts->tm_mon + 1;
  now->day = parts->tm_mday;
  now->hour = parts->tm_hour;
  now->minute = parts->tm_min;
  now->second = parts->tm_sec;
  now->weekday = parts->tm_wday;
  return true;
}

int run_command(const std::string& command) {
  // cmd.exe /s /c "..." drops exactly the outer pair of quotes and runs the rest as typed, so a
  // command that begins with a quoted program path keeps its quotes (system() would lose them).
  std::string program = interpreter_path();
  std::string line = "\"" + program + "\" /s /c \"" + command + "\"";

  // Our own lines must reach the stream before the command's output.
  std::fflush(stdout);
  std::fflush(stderr);

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child;
  ZeroMemory(&child, sizeof child);
  command_running.store(true);
  // The child inherits the console, the standard handles, the working folder and the
  // environment; Ctrl+C reaches it as it reaches any program started from a console.
  if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &child)) {
    command_running.store(false);
    return 9009;  // what cmd.exe itself reports for a program it cannot start
  }
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(child.hProcess, &code)) {
    code = 1;
  }
  CloseHandle(child.hProcess);
  command_running.store(false);
  // Codes such as 0xC000013A (ended by Ctrl+C) become negative here: still failures.
  return static_cast<int>(code);
}

void install_stop_handler() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() {
  return stop_count.load() > 0;
}

bool sleep_seconds(std::int64_t seconds) {
  // Slept in short slices, so that a stop request ends the pause within a fraction of a second.
  constexpr DWORD SLICE_MS = 100;
  std::int64_t left_ms = seconds > 0 ? seconds * 1000 : 0;
  if (seconds > INT64_MAX / 1000) {
    left_ms = INT64_MAX;
  }
  while (left_ms > 0) {
    if (stop_requested()) {
      return false;
    }
    DWORD slice = left_ms < SLICE_MS ? static_cast<DWORD>(left_ms) : SLICE_MS;
    Sleep(slice);
    left_ms -= slice;
  }
  return !stop_requested();
}
