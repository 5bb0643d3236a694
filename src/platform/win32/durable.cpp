// Win32 durable files: a file opened without sharing as the lock, appending handles that let the
// file be renamed over, FlushFileBuffers.
#include "platform/durable.h"

#include "platform/win32/files_internal.h"

namespace {

// Opens `name` of `folder` as itself (a reparse point is never written through), created where
// it is missing.
HANDLE open_plain(const Folder& folder, const std::string& name, DWORD access, DWORD sharing) {
  HANDLE handle = CreateFileW(name_in(folder, name).c_str(), access, sharing, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return handle;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      is_reparse(info.dwFileAttributes)) {
    CloseHandle(handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

LockResult lock_file(const Folder& folder, const std::string& name, FileHandle* lock) {
  // Opened without sharing: a second opener gets a sharing violation until this handle closes.
  HANDLE handle = open_plain(folder, name, GENERIC_READ | GENERIC_WRITE, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? LockResult::busy : LockResult::failed;
  }
  lock->value = reinterpret_cast<std::intptr_t>(handle);
  return LockResult::locked;
}

FileResult open_for_appending(const Folder& folder, const std::string& name, FileHandle* file) {
  HANDLE handle = open_plain(folder, name, FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (handle == INVALID_HANDLE_VALUE) {
    return FileResult::failed;
  }
  file->value = reinterpret_cast<std::intptr_t>(handle);
  return FileResult::done;
}

bool sync_file(FileHandle file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file.value)) != 0;
}

bool sync_folder(const Folder&) {
  return true;
}
