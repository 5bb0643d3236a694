// Win32 files, reached through the long form of their absolute paths (no length limit). Reparse
// points are opened as themselves and never written through.
#include "platform/files.h"

#include <string>

#include "platform/primitives.h"
#include "platform/wide_text.h"
#include "platform/win32/files_internal.h"
#include "platform/win_paths.h"

const char* const LINE_END = "\r\n";

namespace {

FileResult result_of_error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FileResult::missing;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileResult::exists;
    default:
      return FileResult::failed;
  }
}

// Appends to the file `full` opened as itself: a reparse point there is never written through.
bool append_to(const std::wstring& full, const std::string& text) {
  HANDLE handle =
      CreateFileW(full.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool ok = true;
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info;
    ok = GetFileInformationByHandle(handle, &info) && !is_reparse(info.dwFileAttributes) &&
         !name_is_reparse(full);
  }
  if (ok) {
    FileHandle file;
    file.value = reinterpret_cast<std::intptr_t>(handle);
    ok = write_file(file, text.data(), text.size());
  }
  ok = CloseHandle(handle) != 0 && ok;
  return ok;
}

}  // namespace

FileResult open_for_reading(const Folder& at, const std::string& path, bool follow_link,
                            const FileId& expected, FileHandle* file) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  if (!follow_link) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  std::wstring full = file_path(at, path);
  HANDLE handle =
      CreateFileW(full.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return result_of_error(GetLastError());
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    CloseHandle(handle);
    return FileResult::failed;
  }
  bool link = (is_reparse(info.dwFileAttributes) || name_is_reparse(full)) && is_link_point(handle);
  if ((!follow_link && link) || id_of(info) != expected) {
    CloseHandle(handle);
    return FileResult::replaced;
  }
  file->value = reinterpret_cast<std::intptr_t>(handle);
  return FileResult::done;
}

std::int64_t read_file(FileHandle file, char* buffer, std::size_t size) {
  DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(handle_of(file), buffer, chunk, &got, nullptr)) {
    return -1;
  }
  return got;
}

std::int64_t write_some(FileHandle file, const char* data, std::size_t size) {
  DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD written = 0;
  if (!WriteFile(handle_of(file), data, chunk, &written, nullptr)) {
    return -1;
  }
  return written;
}

bool close_file(FileHandle* file) {
  if (file->value == -1) {
    return true;
  }
  bool ok = CloseHandle(handle_of(*file)) != 0;
  file->value = -1;
  return ok;
}

FileResult delete_if_same(const Folder& at, const std::string& path, const FileId& expected) {
  // The name is opened as it is, checked and deleted through one handle: no other file can take
  // the name in between.
  HANDLE handle = CreateFileW(file_path(at, path).c_str(), DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FileResult result = result_of_error(GetLastError());
    return result == FileResult::missing ? result : FileResult::failed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  FileResult result = FileResult::failed;
  if (GetFileInformationByHandle(handle, &info)) {
    if (id_of(info) != expected || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      result = FileResult::replaced;
    } else {
      FILE_DISPOSITION_INFO disposition;
      disposition.DeleteFile = TRUE;
      if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                     sizeof disposition)) {
        result = FileResult::done;
      }
    }
  }
  // The file goes when its last handle closes, which is this one unless another program holds
  // it with delete sharing.
  CloseHandle(handle);
  return result;
}

FileResult create_new_file(const Folder& folder, const std::string& name,
                           std::uint32_t /*permissions*/, FileHandle* file) {
  // CREATE_NEW fails on any existing name, a link included, and never follows one. Delete
  // sharing lets the finished file be renamed before it is closed.
  HANDLE handle = CreateFileW(name_in(folder, name).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return result_of_error(GetLastError());
  }
  file->value = reinterpret_cast<std::intptr_t>(handle);
  return FileResult::done;
}

FileResult publish_file(const Folder& folder, const std::string& temp, const std::string& name,
                        bool replace) {
  // A rename replaces a link of the name itself, never what it leads to.
  if (MoveFileExW(name_in(folder, temp).c_str(), name_in(folder, name).c_str(),
                  replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return FileResult::done;
  }
  return result_of_error(GetLastError());
}

bool delete_file(const Folder& folder, const std::string& name) {
  return DeleteFileW(name_in(folder, name).c_str()) != 0;
}

bool append_to_file(const Folder& at, const std::string& path, const std::string& text) {
  // A log given as a device name (NUL, CON) means the device, as it does everywhere in Windows,
  // not a file that nobody could delete.
  std::wstring plain = full_path(at, path);
  std::wstring device = device_name(plain);
  if (!device.empty()) {
    return append_to(L"\\\\.\\" + device, text);
  }
  if (path.find_first_of("\\/") == std::string::npos && !at.handles.empty()) {
    return append_to(name_in(at, path), text);
  }
  Folder folder;
  if (open_write_folder(narrow(parent_of(plain)), &folder) != FileResult::done) {
    return false;
  }
  std::size_t last = plain.find_last_of(L'\\');
  bool ok = append_to(name_in(folder, narrow(plain.substr(last + 1))), text);
  close_folder(&folder);
  return ok;
}

FileResult move_entry(const Folder& from, const std::string& name, const Folder& to,
                      const std::string& to_name) {
  // By path: Win32 renames relative to no folder handle. The folders are held open without delete
  // sharing, so neither can be swapped while they are held.
  if (MoveFileExW(name_in(from, name).c_str(), name_in(to, to_name).c_str(), 0)) {
    return FileResult::done;
  }
  const DWORD error = GetLastError();
  return error == ERROR_NOT_SAME_DEVICE ? FileResult::elsewhere : result_of_error(error);
}

bool read_entry(const Folder& folder, const std::string& name, std::size_t limit,
                std::string* text) {
  const std::wstring full = name_in(folder, name);
  HANDLE file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // is_link_point reads a reparse tag: it answers only for what is a reparse point at all.
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) != 0 &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            !((is_reparse(info.dwFileAttributes) || name_is_reparse(full)) && is_link_point(file));
  text->clear();
  char buffer[4096];
  while (ok && text->size() < limit) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) {
      break;
    }
    text->append(buffer, got);
  }
  CloseHandle(file);
  return ok && text->size() <= limit;
}
