// Win32 implementation of the platform services. Everything the rest of the program sees is
// UTF-8; this file talks to Windows in UTF-16 (the W functions) and converts at its edge. Files
// are reached through the \\?\ form of their absolute paths, which has no length limit, so the
// working folder is kept here rather than in the system (whose working folder is limited to 259
// characters); commands get it as their current folder where Windows allows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

const int COMMAND_NOT_STARTED = 9009;
const char PATH_SEPARATOR = '\\';
// Windows names cannot hold '"' or control bytes, so a placeholder in double quotes is safe for
// every real file; '%' still expands inside quotes, which the README warns about.
const char* const QUOTE_BREAKERS = "\"";
const char* const LINE_END = "\r\n";

// The C runtime's own parser of the wide command line: the same rules as for the 8-bit one.
struct CrtStartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                              CrtStartupInfo* info);

namespace {

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------------

// UTF-16 to UTF-8. A lone surrogate, which Windows allows in names, is kept as its own 3-byte
// sequence, so that every name read from the system converts back to the same name.
std::string narrow(const wchar_t* text, std::size_t length) {
  std::string result;
  result.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t code = static_cast<std::uint16_t>(text[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length) {
      std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (code < 0x80) {
      result.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (code >> 6)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (code >> 12)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (code >> 18)));
      result.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return result;
}

std::string narrow(const std::wstring& text) {
  return narrow(text.data(), text.size());
}

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::wstring widen(const char* text, std::size_t length) {
  static const std::uint32_t SMALLEST[5] = {0, 0, 0x80, 0x800, 0x10000};
  std::wstring result;
  result.reserve(length);
  std::size_t i = 0;
  while (i < length) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t size = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      size = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      size = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      size = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      size = 4;
      code = lead & 0x07;
    }
    bool valid = size != 0 && i + size <= length;
    for (std::size_t k = 1; valid && k < size; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid || code < SMALLEST[size] || code > 0x10FFFF) {
      result.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      result.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      result.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      result.push_back(static_cast<wchar_t>(code));
    }
    i += size;
  }
  return result;
}

std::wstring widen(const std::string& text) {
  return widen(text.data(), text.size());
}

// ---- Paths and the working folder ----------------------------------------------------------

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Length of the root of an absolute path: 2 for "C:", the length of "\\server\share" for a
// network path, 0 when there is none.
std::size_t root_length(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    return 2;
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    std::size_t server_end = path.find_first_of(L"\\/", 2);
    if (server_end == std::wstring::npos) {
      return path.size();
    }
    std::size_t share_end = path.find_first_of(L"\\/", server_end + 1);
    return share_end == std::wstring::npos ? path.size() : share_end;
  }
  return 0;
}

// The working folder: absolute, without a trailing separator except at a drive root ("C:\"),
// and held open without delete sharing, so that it can be neither renamed nor removed while
// we are in it (as Windows does for a process's own working folder).
std::wstring working;
HANDLE working_handle = INVALID_HANDLE_VALUE;

// `path` made absolute against the working folder, with "." and ".." resolved and every '/'
// turned into '\'. The names are otherwise kept as they are (trailing dots and blanks too).
std::wstring absolute(const std::wstring& given);

const std::wstring& working_folder() {
  if (working.empty()) {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring buffer(needed, L'\0');
    DWORD length = needed == 0 ? 0 : GetCurrentDirectoryW(needed, &buffer[0]);
    buffer.resize(length < needed ? length : 0);
    working = L"C:\\";  // only while the line below resolves the system's folder
    if (!buffer.empty()) {
      working = absolute(buffer);
    }
  }
  return working;
}

std::wstring absolute(const std::wstring& given) {
  std::wstring path = given;
  if (starts_with(path, L"\\\\?\\UNC\\")) {
    path = L"\\\\" + path.substr(8);
  } else if (starts_with(path, L"\\\\?\\")) {
    path = path.substr(4);
  }
  std::wstring joined;
  std::size_t root = root_length(path);
  if (root == 2 && (path.size() == 2 || !is_separator(path[2]))) {
    // "D:name" is relative to that drive's folder; we know only our own drive's.
    const std::wstring& here = working_folder();
    bool same_drive = (here[0] | 0x20) == (path[0] | 0x20) && here[1] == L':';
    joined = (same_drive ? here : path.substr(0, 2)) + L"\\" + path.substr(2);
  } else if (root > 0) {
    joined = path;
  } else if (!path.empty() && is_separator(path[0])) {
    const std::wstring& here = working_folder();
    joined = here.substr(0, root_length(here)) + path;
  } else {
    joined = working_folder() + L"\\" + path;
  }

  root = root_length(joined);
  std::wstring result = joined.substr(0, root);
  for (wchar_t& c : result) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  std::size_t kept = result.size();
  std::size_t at = root;
  while (at < joined.size()) {
    std::size_t end = joined.find_first_of(L"\\/", at);
    if (end == std::wstring::npos) {
      end = joined.size();
    }
    std::wstring part = joined.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == L".") {
      continue;
    }
    if (part == L"..") {
      std::size_t cut = result.rfind(L'\\');
      if (result.size() > kept && cut != std::wstring::npos && cut >= kept) {
        result.resize(cut);
      }
      continue;
    }
    result += L"\\" + part;
  }
  if (result.size() == kept) {
    result += L"\\";  // the root itself
  }
  return result;
}

// A name that Windows reads as a device wherever it stands (NUL, CON, COM1, ...), ignoring an
// extension and trailing blanks, as the system does for ordinary paths: that device's name, or
// nothing.
std::wstring device_name(const std::wstring& path) {
  std::size_t start = path.find_last_of(L'\\');
  start = start == std::wstring::npos ? 0 : start + 1;
  std::wstring stem = path.substr(start, path.find(L'.', start) - start);
  while (!stem.empty() && stem.back() == L' ') {
    stem.pop_back();
  }
  for (wchar_t& c : stem) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - 0x20);
    }
  }
  bool device = stem == L"NUL" || stem == L"CON" || stem == L"PRN" || stem == L"AUX" ||
                stem == L"CONIN$" || stem == L"CONOUT$" ||
                (stem.size() == 4 && (starts_with(stem, L"COM") || starts_with(stem, L"LPT")) &&
                 stem[3] >= L'1' && stem[3] <= L'9');
  return device ? stem : std::wstring();
}

// The form of `plain` (absolute) that the file functions take at any length. A name such as
// "nul.txt" is a file here like any other, as it is for the listing that found it.
std::wstring long_form(const std::wstring& plain) {
  if (starts_with(plain, L"\\\\")) {
    return L"\\\\?\\UNC\\" + plain.substr(2);
  }
  return L"\\\\?\\" + plain;
}

// `path` (UTF-8, relative to the working folder or absolute) as the file functions take it.
std::wstring file_path(const std::string& path) {
  return long_form(absolute(widen(path)));
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a folder to hold it: others may read and write in it but not rename or remove it.
HANDLE open_folder(const std::wstring& plain, bool own_entry) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // needed to open a folder
  if (own_entry) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  return CreateFileW(long_form(plain).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool is_reparse(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the open reparse point stands for another name (a symbolic link, a junction), as
// opposed to one that only changes how a file is stored (deduplicated or cloud files).
bool is_link_point(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return true;  // unknown: the safe reading
  }
  return !is_reparse(tag.FileAttributes) || IsReparseTagNameSurrogate(tag.ReparseTag) != 0;
}

// True when the name itself is a reparse point. Asked by name as well as through the handle:
// Wine opens the target of a link even when told not to, but reports the link in the name's
// attributes.
bool name_is_reparse(const std::wstring& full) {
  DWORD attributes = GetFileAttributesW(full.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && is_reparse(attributes);
}

bool is_folder_handle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes `plain`, held by `held`, the working folder. The system's own working folder follows
// where it can (for anything that still resolves names there), but nothing here relies on it.
void set_working(const std::wstring& plain, HANDLE held) {
  if (working_handle != INVALID_HANDLE_VALUE) {
    CloseHandle(working_handle);
  }
  working = plain;
  working_handle = held;
  if (plain.size() + 2 <= MAX_PATH) {
    SetCurrentDirectoryW(plain.c_str());
  }
}

std::uint64_t join_size(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileId id;
  id.device = info.dwVolumeSerialNumber;
  id.index = join_size(info.nFileIndexHigh, info.nFileIndexLow);
  return id;
}

// The identity of what `path` names (links followed); false when it cannot be opened.
bool identity_of(const std::string& path, FileId* id) {
  HANDLE handle = CreateFileW(file_path(path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (ok) {
    *id = id_of(info);
  }
  return ok;
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

HANDLE handle_of(FileHandle file) {
  return reinterpret_cast<HANDLE>(file.value);
}

// ---- Commands and stopping -----------------------------------------------------------------

// Written by the console control handler, which Windows runs on a thread of its own.
std::atomic<int> stop_count{0};
std::atomic<int> commands_running{0};

BOOL WINAPI on_console_event(DWORD event) {
  int count = stop_count.fetch_add(1) + 1;
  // The user asked twice while a command runs: do not wait for it any longer.
  if (count >= 2 && commands_running.load() > 0) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process as soon as this handler returns. Holding the handler gives the
    // main thread the few seconds the system allows to finish its job and exit by itself.
    Sleep(4000);
  }
  return TRUE;
}

EntryHint hint_of(DWORD attributes) {
  if (is_reparse(attributes)) {
    return EntryHint::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryHint::folder : EntryHint::file;
}

// The command interpreter by its full path, so that a "cmd.exe" lying in the hot folder (the
// working folder while a command runs) is never the one started.
std::wstring interpreter_path() {
  wchar_t comspec[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH);
  if (length > 3 && length < MAX_PATH && comspec[1] == L':' && comspec[2] == L'\\') {
    return std::wstring(comspec, length);
  }
  wchar_t system_folder[MAX_PATH];
  UINT folder_length = GetSystemDirectoryW(system_folder, MAX_PATH);
  if (folder_length == 0 || folder_length >= MAX_PATH) {
    return L"C:\\Windows\\System32\\cmd.exe";
  }
  return std::wstring(system_folder, folder_length) + L"\\cmd.exe";
}

}  // namespace

// ---- Program arguments and console output --------------------------------------------------

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  CrtStartupInfo info{0};
  std::vector<std::string> arguments;
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) >= 0 && wide != nullptr) {
    for (int i = 0; i < count; ++i) {
      arguments.push_back(narrow(wide[i], std::wcslen(wide[i])));
    }
    return arguments;
  }
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
  return arguments;
}

bool write_standard_output(const char* text, std::size_t size) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    // A file or pipe gets the UTF-8 bytes (the C runtime's text mode adds the CR of each line).
    bool ok = std::fwrite(text, 1, size, stdout) == size;
    return std::fflush(stdout) == 0 && ok;
  }
  // A console shows characters, not bytes: every name appears as it is.
  std::fflush(stdout);
  std::wstring wide;
  for (wchar_t c : widen(text, size)) {
    if (c == L'\n') {
      wide.push_back(L'\r');
    }
    wide.push_back(c);
  }
  std::size_t done = 0;
  while (done < wide.size()) {
    DWORD chunk = static_cast<DWORD>(wide.size() - done < 8192 ? wide.size() - done : 8192);
    DWORD written = 0;
    if (!WriteConsoleW(out, wide.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// ---- Folders -------------------------------------------------------------------------------

bool list_working_folder(FolderListing* listing) {
  std::wstring pattern = long_form(working_folder());
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

bool get_working_folder(std::string* folder) {
  *folder = narrow(working_folder());
  return true;
}

bool change_working_folder(const std::string& folder) {
  // An empty name is no folder (the system treats it inconsistently across versions).
  if (folder.empty()) {
    return false;
  }
  std::wstring plain = absolute(widen(folder));
  HANDLE held = open_folder(plain, false);
  if (held == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!is_folder_handle(held, &info)) {
    CloseHandle(held);
    return false;
  }
  set_working(plain, held);
  return true;
}

EnterResult enter_sub_folder(const std::string& name) {
  // The folder is opened as it is (a reparse point not followed) and held from the check on,
  // so it can neither be renamed nor replaced by a junction before it is entered.
  std::wstring plain = absolute(widen(name));
  HANDLE held = open_folder(plain, true);
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
  set_working(plain, held);
  return EnterResult::entered;
}

bool mark_working_folder(FolderMark* mark) {
  // The way back is the absolute path; a handle of our own keeps the folder from being renamed
  // or removed until the mark is released. Windows handle values fit in 32 bits.
  HANDLE held = open_folder(working_folder(), false);
  if (held == INVALID_HANDLE_VALUE) {
    return false;
  }
  mark->handle = static_cast<int>(reinterpret_cast<std::intptr_t>(held));
  mark->path = narrow(working_folder());
  return true;
}

bool return_to_mark(const FolderMark& mark) {
  return change_working_folder(mark.path);
}

void release_mark(FolderMark* mark) {
  if (mark->handle != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(mark->handle)));
  }
  mark->path.clear();
  mark->handle = -1;
}

bool commands_can_start_here() {
  // A process's current folder holds at most MAX_PATH - 2 characters before its trailing
  // separator, and the command interpreter knows no longer ones, whatever the system allows.
  return working_folder().size() + 2 <= MAX_PATH;
}

// ---- Files ---------------------------------------------------------------------------------

bool try_open_for_append(const std::string& path) {
  std::wstring full = file_path(path);
  // OPEN_EXISTING: a file that vanished must stay gone. Sharing for readers and writers only, so
  // that a writer holding the file without write sharing makes the attempt fail.
  HANDLE file = CreateFileW(full.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // A device is no file to process. A read-only file is never ready, whatever rights the user
  // has (Wine run by root opens it all the same).
  BY_HANDLE_FILE_INFORMATION info;
  bool ready = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
               (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  CloseHandle(file);
  if (!ready) {
    return false;
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
      return true;
    }
    return false;
  }
  CloseHandle(reader);
  return true;
}

bool writer_check_refused() {
  return false;
}

bool same_file(const std::string& a, const std::string& b) {
  FileId first;
  FileId second;
  return identity_of(a, &first) && identity_of(b, &second) && first == second;
}

bool delete_file(const std::string& path) {
  return DeleteFileW(file_path(path).c_str()) != 0;
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

FileResult create_new_file(const std::string& path, std::uint32_t /*permissions*/,
                           FileHandle* file) {
  // CREATE_NEW fails on any existing name, a link included, and never follows one. Delete
  // sharing lets the finished file be renamed before it is closed.
  HANDLE handle = CreateFileW(file_path(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return result_of_error(GetLastError());
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

bool write_file(FileHandle file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle_of(file), data, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool close_file(FileHandle* file) {
  if (file->value == -1) {
    return true;
  }
  bool ok = CloseHandle(handle_of(*file)) != 0;
  file->value = -1;
  return ok;
}

FileResult publish_file(const std::string& temp, const std::string& path, bool replace) {
  // A rename replaces a link of the name itself, never what it leads to.
  if (MoveFileExW(file_path(temp).c_str(), file_path(path).c_str(),
                  replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return FileResult::done;
  }
  return result_of_error(GetLastError());
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

namespace {

// True when the name itself is a symbolic link or junction (not merely a reparse point that
// changes how a file is stored, such as a cloud file).
bool name_is_link(const std::wstring& full) {
  if (!name_is_reparse(full)) {
    return false;
  }
  HANDLE own = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (own == INVALID_HANDLE_VALUE) {
    return true;  // unknown: the safe reading
  }
  bool link = is_link_point(own);
  CloseHandle(own);
  return link;
}

// The folder part of the plain absolute path `plain`.
std::wstring parent_of(const std::wstring& plain) {
  std::size_t cut = plain.find_last_of(L'\\');
  std::size_t root = root_length(plain);
  return cut == std::wstring::npos || cut <= root ? plain.substr(0, root) + L"\\"
                                                  : plain.substr(0, cut);
}

bool plain_folder_links_trusted(const std::wstring& plain) {
  // Links are never followed on Windows, so a link anywhere on the way makes the path untrusted.
  std::size_t at = root_length(plain) + 1;
  while (at < plain.size()) {
    std::size_t end = plain.find(L'\\', at);
    if (end == std::wstring::npos) {
      end = plain.size();
    }
    std::wstring part = long_form(plain.substr(0, end));
    if (GetFileAttributesW(part.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return true;  // what does not exist is no link, and neither is anything below it
    }
    if (name_is_link(part)) {
      return false;
    }
    at = end + 1;
  }
  return true;
}

}  // namespace

bool folder_links_trusted(const std::string& folder) {
  return plain_folder_links_trusted(absolute(widen(folder)));
}

bool append_to_file(const std::string& path, const std::string& text) {
  // A log given as a device name (NUL, CON) means the device, as it does everywhere in Windows,
  // not a file that nobody could delete.
  std::wstring plain = absolute(widen(path));
  std::wstring device = device_name(plain);
  std::wstring full = device.empty() ? long_form(plain) : L"\\\\.\\" + device;
  if (device.empty() && !plain_folder_links_trusted(parent_of(plain))) {
    return false;
  }
  HANDLE handle =
      CreateFileW(full.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool ok = true;
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    // A reparse point opened as itself: never written through.
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

std::uint32_t process_number() {
  return GetCurrentProcessId();
}

// ---- Time, commands, stopping --------------------------------------------------------------

bool local_time_now(LocalTime* now) {
  // The C runtime's local time honours a TZ variable (POSIX form, such as "EST5EDT") and
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

namespace {

// Starts `command` through cmd.exe in `folder` (a plain absolute path), its standard output and
// error going to `output` when that is open. The child inherits the console, the standard handles
// and the environment; Ctrl+C reaches it as it reaches any program started from a console.
bool start_interpreter(const std::string& command, const std::wstring& folder, HANDLE output,
                       HANDLE* process) {
  // cmd.exe /s /c "..." drops exactly the outer pair of quotes and runs the rest as typed, so a
  // command that begins with a quoted program path keeps its quotes (system() would lose them).
  // The line is UTF-16, so the interpreter receives every character of every name.
  std::wstring program = interpreter_path();
  std::wstring line = L"\"" + program + L"\" /s /c \"" + widen(command) + L"\"";

  // Our own lines must reach the stream before the command's output.
  std::fflush(stdout);
  std::fflush(stderr);

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  HANDLE inherited = INVALID_HANDLE_VALUE;
  if (output != INVALID_HANDLE_VALUE) {
    // Only this copy of the handle is inheritable, and only for the moment of the start.
    if (!DuplicateHandle(GetCurrentProcess(), output, GetCurrentProcess(), &inherited, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = inherited;
    startup.hStdError = inherited;
  }
  PROCESS_INFORMATION child;
  ZeroMemory(&child, sizeof child);
  // A folder longer than the system takes makes the start fail rather than run elsewhere.
  bool started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                folder.c_str(), &startup, &child) != 0;
  if (inherited != INVALID_HANDLE_VALUE) {
    CloseHandle(inherited);
  }
  if (!started) {
    return false;
  }
  CloseHandle(child.hThread);
  *process = child.hProcess;
  return true;
}

// The exit code of an ended process. Codes such as 0xC000013A (ended by Ctrl+C) become negative
// here: still failures.
int exit_code_of(HANDLE process) {
  DWORD code = 1;
  if (!GetExitCodeProcess(process, &code)) {
    code = 1;
  }
  return static_cast<int>(code);
}

// Change notification of the source folder: one overlapped read of its changes at a time.
struct Watch {
  HANDLE folder = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool recursive = false;
  std::wstring path;  // plain absolute path of the watched folder
  alignas(DWORD) char buffer[64 * 1024];
};
Watch watch;

bool arm_watch() {
  ZeroMemory(&watch.overlapped, sizeof watch.overlapped);
  watch.overlapped.hEvent = watch.event;
  return ReadDirectoryChangesW(watch.folder, watch.buffer, sizeof watch.buffer, watch.recursive,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                   FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE,
                               nullptr, &watch.overlapped, nullptr) != 0;
}

void stop_watch() {
  if (watch.folder != INVALID_HANDLE_VALUE) {
    CancelIo(watch.folder);
    CloseHandle(watch.folder);
    watch.folder = INVALID_HANDLE_VALUE;
  }
}

}  // namespace

int run_command(const std::string& command) {
  HANDLE process = nullptr;
  commands_running.fetch_add(1);
  if (!start_interpreter(command, working_folder(), INVALID_HANDLE_VALUE, &process)) {
    commands_running.fetch_sub(1);
    return 9009;  // what cmd.exe itself reports for a program it cannot start
  }
  WaitForSingleObject(process, INFINITE);
  int code = exit_code_of(process);
  CloseHandle(process);
  commands_running.fetch_sub(1);
  return code;
}

bool start_command(const std::string& command, const FolderMark& folder, FileHandle output,
                   RunningCommand* running) {
  if (folder.path.empty()) {
    return false;
  }
  HANDLE process = nullptr;
  HANDLE into = output.value == -1 ? INVALID_HANDLE_VALUE : handle_of(output);
  commands_running.fetch_add(1);
  if (!start_interpreter(command, widen(folder.path), into, &process)) {
    commands_running.fetch_sub(1);
    return false;
  }
  running->process = reinterpret_cast<std::intptr_t>(process);
  return true;
}

bool command_ended(RunningCommand* running, int* result) {
  HANDLE process = reinterpret_cast<HANDLE>(running->process);
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    return false;
  }
  *result = exit_code_of(process);
  CloseHandle(process);
  running->process = -1;
  commands_running.fetch_sub(1);
  return true;
}

void wait_for_commands(const std::vector<RunningCommand>& running, std::int64_t timeout_ms,
                       bool changes) {
  // Woken by an ended command, a change in the watched folder (only for a caller that reads
  // changes: the event stays set until then), or at the latest after a slice, so that a stop
  // request is seen within a fraction of a second.
  std::vector<HANDLE> handles;
  if (changes && watch.folder != INVALID_HANDLE_VALUE) {
    handles.push_back(watch.event);
  }
  for (const RunningCommand& command : running) {
    if (command.process != -1 && handles.size() < MAXIMUM_WAIT_OBJECTS) {
      handles.push_back(reinterpret_cast<HANDLE>(command.process));
    }
  }
  const std::int64_t end = monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    // After a stop request only the commands are waited for.
    if (stop_requested() && running.empty()) {
      return;
    }
    std::int64_t left = end - monotonic_ms();
    if (left <= 0) {
      return;
    }
    DWORD slice = left < 100 ? static_cast<DWORD>(left) : 100;
    if (handles.empty()) {
      Sleep(slice);
    } else if (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                      slice) != WAIT_TIMEOUT) {
      return;
    }
  }
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

bool print_scratch_file(FileHandle file) {
  std::fflush(stdout);
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN)) {
    return false;
  }
  // The command's bytes go out as it wrote them, as they would have without collecting them.
  FileHandle out;
  out.value = reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
  char buffer[64 * 1024];
  for (;;) {
    std::int64_t got = read_file(file, buffer, sizeof buffer);
    if (got <= 0) {
      return got == 0;
    }
    if (!write_file(out, buffer, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

bool start_watching(bool recursive, std::string* reason) {
  stop_watch();
  if (watch.event == nullptr) {
    watch.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watch.event == nullptr) {
      *reason = "no event object";
      return false;
    }
  }
  watch.path = working_folder();
  watch.recursive = recursive;
  watch.folder =
      CreateFileW(long_form(watch.path).c_str(), FILE_LIST_DIRECTORY, SHARE_ALL, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (watch.folder == INVALID_HANDLE_VALUE) {
    *reason = "the source folder cannot be opened for change notification";
    return false;
  }
  if (!arm_watch()) {
    stop_watch();
    *reason = "change notification is not available here";
    return false;
  }
  return true;
}

bool watch_working_folder(std::string* /*reason*/) {
  return true;  // the source folder's watch covers its whole tree
}

void read_changes(std::vector<FolderChange>* changes) {
  if (watch.folder == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD bytes = 0;
  if (!GetOverlappedResult(watch.folder, &watch.overlapped, &bytes, FALSE)) {
    if (GetLastError() == ERROR_IO_INCOMPLETE) {
      return;  // nothing yet
    }
    bytes = 0;  // lost: anything may have changed
  }
  if (bytes == 0) {
    FolderChange lost;
    lost.overflow = true;
    changes->push_back(lost);
  }
  for (DWORD at = 0; bytes > 0;) {
    const FILE_NOTIFY_INFORMATION* entry =
        reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer + at);
    std::wstring relative(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
    std::size_t last = relative.find_last_of(L'\\');
    FolderChange change;
    change.name = narrow(last == std::wstring::npos ? relative : relative.substr(last + 1));
    DWORD attributes = GetFileAttributesW(long_form(watch.path + L"\\" + relative).c_str());
    change.is_folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    changes->push_back(change);
    if (entry->NextEntryOffset == 0) {
      break;
    }
    at += entry->NextEntryOffset;
  }
  ResetEvent(watch.event);
  if (!arm_watch()) {
    stop_watch();
    FolderChange lost;
    lost.overflow = true;
    changes->push_back(lost);
  }
}

std::int64_t monotonic_ms() {
  return static_cast<std::int64_t>(GetTickCount64());
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
