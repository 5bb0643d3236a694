// Win32 scratch files for the output of commands, and the position, size and runs of data of
// open files, which printing that output and copying files need.
#include "platform/files.h"
#include "platform/primitives.h"
#include "platform/win32/files_internal.h"

bool create_scratch_file(FileHandle* file) {
  wchar_t folder[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  wchar_t name[MAX_PATH];
  if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"hbt", 0, name) == 0) {
    return false;
  }
  // The name goes with the last handle, the command's copies included.
  HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DeleteFileW(name);
    return false;
  }
  file->value = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool rewind_file(FileHandle file) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN) != 0;
}

FileHandle standard_output_file() {
  FileHandle out;
  out.value = reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
  return out;
}

bool next_data(FileHandle file, std::uint64_t from, std::uint64_t* start, std::uint64_t* end) {
  // Copies of files with holes are written whole here: the rest of the file is one run of data.
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(file), &size)) {
    return false;
  }
  *start = static_cast<std::uint64_t>(size.QuadPart);
  if (from >= *start || !seek_file(file, from)) {
    return false;
  }
  *end = *start;
  *start = from;
  return true;
}

bool seek_file(FileHandle file, std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle_of(file), to, nullptr, FILE_BEGIN) != 0;
}

bool resize_file(FileHandle file, std::uint64_t size) {
  return seek_file(file, size) && SetEndOfFile(handle_of(file)) != 0;
}

bool stored_size(FileHandle file, std::uint64_t* bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(file), &size)) {
    return false;
  }
  *bytes = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool space_of(const Folder& folder, std::uint64_t* free_bytes, std::uint64_t* total_bytes) {
  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  if (!GetDiskFreeSpaceExW(file_path(folder, ".").c_str(), &available, &total, nullptr)) {
    return false;
  }
  *free_bytes = available.QuadPart;
  *total_bytes = total.QuadPart;
  return true;
}
