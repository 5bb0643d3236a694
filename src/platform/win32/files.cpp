// Win32 files, reached through the long form of their absolute paths (no length limit). Reparse
// points are opened as themselves and never written through.
#include "platform/files.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/primitives.h"
#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"
#include "platform/win_paths.h"

// After <windows.h> (shared_state.h), on which it builds.
#include <aclapi.h>

const char* const LINE_END = "\r\n";

namespace {

std::uint64_t join_size(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileId id;
  id.device = info.dwVolumeSerialNumber;
  id.index = join_size(info.nFileIndexHigh, info.nFileIndexLow);
  return id;
}

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

// `path` (UTF-8, relative to the working folder or absolute) as the file functions take it.
std::wstring file_path(const std::string& path) {
  return long_form(full_path(path));
}

// `name` in the folder that `folder` holds, as the file functions take it.
std::wstring name_in(const WriteFolder& folder, const std::string& name) {
  std::wstring plain = widen(folder.path);
  if (plain.back() != L'\\') {
    plain += L'\\';
  }
  return long_form(plain + widen(name));
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

bool is_link_point(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return true;  // unknown: the safe reading
  }
  return !is_reparse(tag.FileAttributes) || IsReparseTagNameSurrogate(tag.ReparseTag) != 0;
}

bool name_is_reparse(const std::wstring& full) {
  DWORD attributes = GetFileAttributesW(full.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && is_reparse(attributes);
}

bool query_status(const std::string& path, PathStatus* status) {
  std::wstring full = file_path(path);
  HANDLE own = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (own == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(own, &info) != 0;
  bool link =
      ok && (is_reparse(info.dwFileAttributes) || name_is_reparse(full)) && is_link_point(own);
  bool disk = GetFileType(own) == FILE_TYPE_DISK;
  CloseHandle(own);
  if (!ok) {
    return false;
  }
  if (link) {
    // The attributes above are the link's own: ask the target, which must exist.
    HANDLE target = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
      return false;
    }
    ok = GetFileInformationByHandle(target, &info) != 0;
    disk = GetFileType(target) == FILE_TYPE_DISK;
    CloseHandle(target);
    if (!ok) {
      return false;
    }
  }
  status->is_link = link;
  status->link_trusted = false;  // reparse points to files are never followed
  status->is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status->is_regular = !status->is_folder && disk;
  status->size = status->is_folder ? 0 : join_size(info.nFileSizeHigh, info.nFileSizeLow);
  status->id = id_of(info);
  status->permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  status->modified = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

Probe probe_file(const std::string& path, bool, const FileId&, bool* wrote) {
  *wrote = false;  // the change watch here reports no close
  std::wstring full = file_path(path);
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

bool writer_check_refused() {
  return false;
}

FileResult open_for_reading(const std::string& path, bool follow_link, const FileId& expected,
                            FileHandle* file) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  if (!follow_link) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  std::wstring full = file_path(path);
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

FileResult hold_file(const std::string&, bool, const FileId&, FileHandle* held) {
  *held = FileHandle{};
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

FileResult delete_if_same(const std::string& path, const FileId& expected) {
  // The name is opened as it is, checked and deleted through one handle: no other file can take
  // the name in between.
  HANDLE handle = CreateFileW(file_path(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
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

FileResult open_write_folder(const std::string& folder, WriteFolder* opened) {
  // Win32 offers no general way to create, rename or delete a file relative to a folder handle,
  // so the files are written by path. What makes that path safe is this: every folder on it,
  // from the root down, is opened as itself (a reparse point not followed), refused when it is a
  // link or junction, and held open without delete sharing until the write is done. Renaming,
  // removing or replacing a folder needs delete access to it, which that sharing denies, so the
  // path leads through the folders checked for as long as they are held.
  const std::wstring plain = full_path(folder);
  const std::size_t root = root_length(plain);
  // The root with its separator ("C:\\"), then each folder below it.
  std::vector<std::wstring> parts{plain.substr(0, root) + L'\\'};
  for (std::size_t end = root + 1; end < plain.size(); ++end) {
    end = plain.find(L'\\', end);
    if (end == std::wstring::npos) {
      end = plain.size();
    }
    parts.push_back(plain.substr(0, end));
  }
  opened->handles.clear();
  BY_HANDLE_FILE_INFORMATION info;
  for (const std::wstring& part : parts) {
    std::wstring full = long_form(part);
    HANDLE held = CreateFileW(full.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FileResult result = FileResult::done;
    if (held == INVALID_HANDLE_VALUE) {
      result = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? FileResult::missing
                   : FileResult::failed;
    } else {
      opened->handles.push_back(reinterpret_cast<std::intptr_t>(held));
      // A root is no link anyone could plant (Wine shows its drive roots as links).
      const bool at_root = &part == &parts[0];
      if (!GetFileInformationByHandle(held, &info) ||
          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        result = FileResult::failed;
      } else if (!at_root && (is_reparse(info.dwFileAttributes) || name_is_reparse(full)) &&
                 is_link_point(held)) {
        result = FileResult::replaced;
      }
    }
    if (result != FileResult::done) {
      close_write_folder(opened);
      return result;
    }
  }
  opened->path = narrow(plain);
  opened->id = id_of(info);
  return FileResult::done;
}

FileResult open_folder_strictly(const std::string& path, WriteFolder* opened) {
  // The full path would resolve a ".." before the folders are opened: it is refused here. Every
  // folder on the way is then opened as itself and refused as a link or junction, as the walk
  // refuses them.
  for (std::size_t begin = 0; begin <= path.size();) {
    std::size_t end = path.find_first_of("/\\", begin);
    if (end == std::string::npos) {
      end = path.size();
    }
    if (path.compare(begin, end - begin, "..") == 0) {
      return FileResult::replaced;
    }
    begin = end + 1;
  }
  return open_write_folder(path, opened);
}

void close_write_folder(WriteFolder* folder) {
  for (std::intptr_t handle : folder->handles) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }
  folder->handles.clear();
}

bool query_entry(const WriteFolder& folder, const std::string& name, PathStatus* status) {
  return query_status(narrow(name_in(folder, name)), status);
}

FileResult create_new_file(const WriteFolder& folder, const std::string& name,
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

FileResult publish_file(const WriteFolder& folder, const std::string& temp, const std::string& name,
                        bool replace) {
  // A rename replaces a link of the name itself, never what it leads to.
  if (MoveFileExW(name_in(folder, temp).c_str(), name_in(folder, name).c_str(),
                  replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return FileResult::done;
  }
  return result_of_error(GetLastError());
}

bool delete_file(const WriteFolder& folder, const std::string& name) {
  return DeleteFileW(name_in(folder, name).c_str()) != 0;
}

bool append_to_file(const WriteFolder& folder, const std::string& name, const std::string& text) {
  return append_to(name_in(folder, name), text);
}

bool append_to_file(const std::string& path, const std::string& text) {
  // A log given as a device name (NUL, CON) means the device, as it does everywhere in Windows,
  // not a file that nobody could delete.
  std::wstring plain = full_path(path);
  std::wstring device = device_name(plain);
  if (!device.empty()) {
    return append_to(L"\\\\.\\" + device, text);
  }
  WriteFolder folder;
  if (open_write_folder(narrow(parent_of(plain)), &folder) != FileResult::done) {
    return false;
  }
  std::size_t at = plain.find_last_of(L'\\');
  bool ok = append_to_file(folder, narrow(plain.substr(at + 1)), text);
  close_write_folder(&folder);
  return ok;
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

bool space_of(const std::string& folder, std::uint64_t* free_bytes, std::uint64_t* total_bytes) {
  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  if (!GetDiskFreeSpaceExW(file_path(folder.empty() ? "." : folder).c_str(), &available, &total,
                           nullptr)) {
    return false;
  }
  *free_bytes = available.QuadPart;
  *total_bytes = total.QuadPart;
  return true;
}

namespace {

// `name` in the folder `folder` names, as the file functions take it.
std::wstring name_at(const FolderRef& folder, const std::string& name) {
  WriteFolder plain;
  plain.path = folder.path;
  return name_in(plain, name);
}

}  // namespace

FolderRef folder_ref(const WriteFolder& folder) {
  return FolderRef{folder.handles.empty() ? -1 : folder.handles.back(), folder.path};
}

FileResult move_entry(const FolderRef& from, const std::string& name, const FolderRef& to,
                      const std::string& to_name) {
  // By path: Win32 renames relative to no folder handle. The folders are held open without delete
  // sharing (open_write_folder, a mark), so neither can be swapped while they are held.
  if (MoveFileExW(name_at(from, name).c_str(), name_at(to, to_name).c_str(), 0)) {
    return FileResult::done;
  }
  const DWORD error = GetLastError();
  return error == ERROR_NOT_SAME_DEVICE ? FileResult::elsewhere : result_of_error(error);
}

FileResult create_private_folder(const WriteFolder& in, const std::string& name,
                                 WriteFolder* opened) {
  if (!CreateDirectoryW(name_in(in, name).c_str(), nullptr)) {
    return GetLastError() == ERROR_ALREADY_EXISTS ? FileResult::exists : FileResult::failed;
  }
  std::string path = in.path;
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) {
    path += '\\';
  }
  return open_write_folder(path + name, opened);
}

bool remove_empty_folder(const WriteFolder& in, const std::string& name) {
  return RemoveDirectoryW(name_in(in, name).c_str()) != 0;
}

bool may_write(const std::string& path) {
  DWORD attributes = GetFileAttributesW(long_form(full_path(path)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                                                   (attributes & FILE_ATTRIBUTE_READONLY) == 0);
}

namespace {

// A security identifier held by value.
using Sid = std::vector<unsigned char>;

Sid sid_of(PSID sid) {
  const unsigned char* at = static_cast<const unsigned char*>(sid);
  return Sid(at, at + GetLengthSid(sid));
}

Sid well_known(WELL_KNOWN_SID_TYPE type) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  Sid sid(size);
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
    return Sid();
  }
  sid.resize(size);
  return sid;
}

// The user this process runs as, and whether its token is elevated. False when not known.
bool own_user(Sid* user, bool* elevated) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  if (ok) {
    *user = sid_of(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }
  TOKEN_ELEVATION elevation{};
  DWORD got = 0;
  *elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) &&
              elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return ok;
}

// Any right that changes the folder, what is in it or who may do so.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// True when the folder open as `handle` is owned by `user` (or by the Administrators group, for an
// elevated run) and its access list lets nobody else write: only `user`, the system account, the
// Administrators group (who can take any folder) and, for what we create in it, its creator.
// Entries that only pass on to what is created count too: our claims are made in it.
bool owned_and_closed(HANDLE handle, const Sid& user, bool elevated) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const Sid admins = well_known(WinBuiltinAdministratorsSid);
  const Sid trusted[] = {user, admins, well_known(WinLocalSystemSid),
                         well_known(WinCreatorOwnerSid)};
  const Sid owned_by = owner != nullptr ? sid_of(owner) : Sid();
  // No access list at all lets everyone in.
  bool ok = dacl != nullptr && (owned_by == user || (elevated && owned_by == admins));
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) {
      ok = false;
      break;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;  // takes rights away only
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      ok = false;  // a kind of entry not read here: not known to be closed
      break;
    }
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & WRITE_RIGHTS) == 0) {
      continue;
    }
    const Sid who = sid_of(const_cast<DWORD*>(&allowed->SidStart));
    ok = std::find(std::begin(trusted), std::end(trusted), who) != std::end(trusted);
  }
  LocalFree(descriptor);
  return ok;
}

}  // namespace

bool is_private_folder(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  HANDLE folder = CreateFileW(file_path(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  Sid user;
  bool elevated = false;
  const bool ok = GetFileInformationByHandle(folder, &info) &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                  own_user(&user, &elevated) && owned_and_closed(folder, user, elevated);
  CloseHandle(folder);
  return ok;
}

bool name_unopenable(const std::string& name, bool folder) {
  return unopenable_name(widen(name), folder);
}

bool read_entry(const WriteFolder& folder, const std::string& name, std::size_t limit,
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
