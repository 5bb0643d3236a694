// Win32 change watch: ReadDirectoryChangesW on the source folder, which covers its whole tree.
#include "platform/watch.h"

#include <cwchar>

#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"
#include "platform/win_paths.h"

namespace {

// Change notification of the source folder: one overlapped read of its changes at a time.
struct Watch {
  HANDLE folder = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool recursive = false;
  std::wstring path;  // plain absolute path of the watched folder
  // Full paths (as full_path gives them) whose next change is our own arrival: left out once.
  std::vector<std::wstring> own_arrivals;
  alignas(DWORD) char buffer[64 * 1024];
  // The source folder's parent, watched for the source folder's name (`name`) on the same event,
  // so that a source folder removed and made again (or moved back) is seen at once.
  HANDLE parent = INVALID_HANDLE_VALUE;
  OVERLAPPED parent_overlapped{};
  std::wstring name;
  alignas(DWORD) char parent_buffer[16 * 1024];
};
Watch watch;

// True, and forgets it, when `full` was noted as our own arrival.
bool own_arrival(const std::wstring& full) {
  for (auto at = watch.own_arrivals.begin(); at != watch.own_arrivals.end(); ++at) {
    if (_wcsicmp(at->c_str(), full.c_str()) == 0) {  // names on Windows ignore case
      watch.own_arrivals.erase(at);
      return true;
    }
  }
  return false;
}

bool arm_watch() {
  ZeroMemory(&watch.overlapped, sizeof watch.overlapped);
  watch.overlapped.hEvent = watch.event;
  return ReadDirectoryChangesW(watch.folder, watch.buffer, sizeof watch.buffer, watch.recursive,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                   FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE,
                               nullptr, &watch.overlapped, nullptr) != 0;
}

// True while the watched folder is the one at the source folder's path: not removed, and not
// another one made or moved there since.
bool still_the_source_folder() {
  BY_HANDLE_FILE_INFORMATION held;
  BY_HANDLE_FILE_INFORMATION there;
  if (!GetFileInformationByHandle(watch.folder, &held) || held.nNumberOfLinks == 0) {
    return false;
  }
  FILE_STANDARD_INFO standard;
  if (GetFileInformationByHandleEx(watch.folder, FileStandardInfo, &standard, sizeof standard) &&
      standard.DeletePending) {
    return false;
  }
  HANDLE now = CreateFileW(long_form(watch.path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (now == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool same = GetFileInformationByHandle(now, &there) &&
                    there.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                    there.nFileIndexHigh == held.nFileIndexHigh &&
                    there.nFileIndexLow == held.nFileIndexLow;
  CloseHandle(now);
  return same;
}

bool arm_parent_watch() {
  ZeroMemory(&watch.parent_overlapped, sizeof watch.parent_overlapped);
  watch.parent_overlapped.hEvent = watch.event;
  return ReadDirectoryChangesW(watch.parent, watch.parent_buffer, sizeof watch.parent_buffer, FALSE,
                               FILE_NOTIFY_CHANGE_DIR_NAME, nullptr, &watch.parent_overlapped,
                               nullptr) != 0;
}

// Starts watching the parent of the source folder, once; a drive root has none.
void start_parent_watch() {
  const std::size_t last = watch.path.find_last_of(L'\\');
  if (watch.parent != INVALID_HANDLE_VALUE || last == std::wstring::npos ||
      last + 1 >= watch.path.size()) {
    return;
  }
  watch.name = watch.path.substr(last + 1);
  std::wstring parent = watch.path.substr(0, last);
  if (parent.size() == 2 && parent[1] == L':') {
    parent += L'\\';
  }
  watch.parent =
      CreateFileW(long_form(parent).c_str(), FILE_LIST_DIRECTORY, SHARE_ALL, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (watch.parent != INVALID_HANDLE_VALUE && !arm_parent_watch()) {
    CloseHandle(watch.parent);
    watch.parent = INVALID_HANDLE_VALUE;
  }
}

// True when the parent's watch reported a change of the source folder's name (or lost some);
// watches on.
bool source_folder_renamed() {
  DWORD bytes = 0;
  if (watch.parent == INVALID_HANDLE_VALUE ||
      (!GetOverlappedResult(watch.parent, &watch.parent_overlapped, &bytes, FALSE) &&
       GetLastError() == ERROR_IO_INCOMPLETE)) {
    return false;
  }
  bool named = bytes == 0;
  for (DWORD at = 0; bytes > 0;) {
    const FILE_NOTIFY_INFORMATION* entry =
        reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.parent_buffer + at);
    const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
    named = named || _wcsicmp(name.c_str(), watch.name.c_str()) == 0;
    if (entry->NextEntryOffset == 0) {
      break;
    }
    at += entry->NextEntryOffset;
  }
  if (!arm_parent_watch()) {
    CloseHandle(watch.parent);
    watch.parent = INVALID_HANDLE_VALUE;
  }
  return named;
}

void stop_watch() {
  if (watch.folder != INVALID_HANDLE_VALUE) {
    CancelIo(watch.folder);
    CloseHandle(watch.folder);
    watch.folder = INVALID_HANDLE_VALUE;
  }
}

}  // namespace

HANDLE watch_event() {
  return watch.folder != INVALID_HANDLE_VALUE || watch.parent != INVALID_HANDLE_VALUE ? watch.event
                                                                                      : nullptr;
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
  start_parent_watch();
  return true;
}

bool watch_folder(const Folder&, const std::string& relative, std::string* reason) {
  // The source folder's watch covers its whole tree. One that ended with its folder, or that
  // still holds a folder removed meanwhile (which reports nothing more), starts again when a
  // pass enters the folder made anew.
  if (relative.empty() && !watch.path.empty() &&
      (watch.folder == INVALID_HANDLE_VALUE || !still_the_source_folder())) {
    return start_watching(watch.recursive, reason);
  }
  return true;
}

void watch_for_return(const std::string& /*path*/) {
  // The parent's watch (start_parent_watch) reports the source folder's return.
}

void drop_unwalked_watches() {
  // One watch covers the whole tree here: nothing is held per folder.
}

void note_own_arrival(const std::string& path) {
  if (watch.folder == INVALID_HANDLE_VALUE) {
    return;
  }
  if (watch.own_arrivals.size() >= 4096) {
    watch.own_arrivals.clear();
  }
  watch.own_arrivals.push_back(full_path(path));
}

void before_own_probe() {}

void after_own_probe(const Folder&, const std::string&, bool) {}

void read_changes(std::vector<FolderChange>* changes) {
  if (watch_event() == nullptr) {
    return;
  }
  // Reset before the reads are looked at: one that completes meanwhile sets the event again.
  ResetEvent(watch.event);
  if (source_folder_renamed()) {
    FolderChange returned;
    returned.returned = true;
    changes->push_back(returned);
  }
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
    change.folder = last == std::wstring::npos ? std::string() : narrow(relative.substr(0, last));
    const std::wstring full = watch.path + L"\\" + relative;
    DWORD attributes = GetFileAttributesW(long_form(full).c_str());
    change.is_folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!(entry->Action == FILE_ACTION_ADDED || entry->Action == FILE_ACTION_RENAMED_NEW_NAME) ||
        !own_arrival(full)) {
      changes->push_back(change);
    }
    if (entry->NextEntryOffset == 0) {
      break;
    }
    at += entry->NextEntryOffset;
  }
  if (!arm_watch()) {
    stop_watch();
    FolderChange lost;
    lost.overflow = true;
    changes->push_back(lost);
  }
}
