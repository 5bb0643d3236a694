// The Win32 readiness probe: a writer shows as a sharing violation when the file is opened with
// less sharing than the writer holds it with.
#include <string>

#include "platform/files.h"
#include "platform/win32/files_internal.h"

Probe probe_file(const Folder& at, const std::string& path, bool, const FileId&, bool* wrote) {
  *wrote = false;  // the change watch here reports no close
  std::wstring full = file_path(at, path);
  // OPEN_EXISTING: a file that vanished must stay gone. Sharing for readers and writers only, so
  // that a writer holding the file without write sharing makes the attempt fail.
  HANDLE file = CreateFileW(full.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A writer shows as a sharing violation; a refusal for access is the file's rights.
    return GetLastError() == ERROR_ACCESS_DENIED ? Probe::no_access : Probe::held;
  }
  // A device is no file to process. A read-only file is refused as Windows refuses it to a
  // writer, whatever rights the user has (Wine run by root opens it all the same).
  BY_HANDLE_FILE_INFORMATION info;
  bool disk = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!disk) {
    return Probe::held;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Probe::no_access;
  }
  // A writer that shares write access passes the test above. Reading while sharing only reading
  // fails exactly while another handle has write (or delete) access.
  HANDLE reader = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      // Not readable by us, so no sharing can be seen: the size test decides. Unlike a refused
      // lease on Linux this is one file's rights, not the service's, and its job will say more.
      return Probe::free;
    }
    return Probe::held;
  }
  CloseHandle(reader);
  return Probe::free;
}

ProbeHold probe_and_hold(const Folder& at, const std::string& path, bool follow_link,
                         const FileId& expected, bool hold, PathStatus* status, FileHandle* held) {
  ProbeHold result;
  result.held = hold && hold_file(at, path, follow_link, expected, held) == FileResult::done;
  result.probe = probe_file(at, path, follow_link, expected, &result.wrote);
  result.found = query_status(at, path, status);
  return result;
}

bool writer_check_refused() {
  return false;
}

FileResult hold_file(const Folder&, const std::string&, bool, const FileId&, FileHandle* held) {
  *held = FileHandle{};
  return FileResult::done;
}
