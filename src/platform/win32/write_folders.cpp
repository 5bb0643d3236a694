// Win32 write folders: every folder on the path is opened as itself and held without delete
// sharing, so that what is written there by path goes through the folders checked.
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/wide_text.h"
#include "platform/win32/files_internal.h"
#include "platform/win_paths.h"

FileResult open_write_folder(const Folder& at, const std::string& folder, Folder* opened) {
  // Win32 offers no general way to create, rename or delete a file relative to a folder handle,
  // so the files are written by path. What makes that path safe is this: every folder on it,
  // from the root down, is opened as itself (a reparse point not followed), refused when it is a
  // link or junction, and held open without delete sharing until the write is done. Renaming,
  // removing or replacing a folder needs delete access to it, which that sharing denies, so the
  // path leads through the folders checked for as long as they are held.
  const std::wstring plain = full_path(at, folder);
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
      close_folder(opened);
      return result;
    }
  }
  opened->path = narrow(plain);
  opened->id = id_of(info);
  return FileResult::done;
}

FileResult open_folder_strictly(const std::string& path, Folder* opened) {
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

FileResult create_private_folder(const Folder& in, const std::string& name, Folder* opened) {
  if (!CreateDirectoryW(name_in(in, name).c_str(), nullptr)) {
    return GetLastError() == ERROR_ALREADY_EXISTS ? FileResult::exists : FileResult::failed;
  }
  std::string path = in.path;
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) {
    path += '\\';
  }
  return open_write_folder(path + name, opened);
}

bool remove_empty_folder(const Folder& in, const std::string& name) {
  return RemoveDirectoryW(name_in(in, name).c_str()) != 0;
}
