// Folders: listing an open folder, opening its sub-folders as a walk does, and the working folder
// of start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

// The character that joins a folder and a name: '/' on POSIX systems, '\' on Windows.
extern const char PATH_SEPARATOR;

// What a listing already tells about an entry without a status query. `unknown` means the
// caller must ask query_status.
enum class EntryHint : std::uint8_t { unknown = 0, file = 1, folder = 2, link = 3 };

// The entries of one folder, packed: a million names cost little more than the names themselves.
struct FolderListing {
  std::string names;                   // every name followed by its terminating '\0'
  std::vector<std::uint32_t> offsets;  // where each name starts in `names`
  std::vector<EntryHint> hints;        // one per name

  std::size_t size() const { return offsets.size(); }
  const char* name(std::size_t i) const { return names.data() + offsets[i]; }
  void add(const char* name, EntryHint hint) {
    offsets.push_back(static_cast<std::uint32_t>(names.size()));
    names.append(name);
    names.push_back('\0');
    hints.push_back(hint);
  }
};

// Adds every entry of the open `folder` ("." and ".." included) in the order the system reports
// them. A folder is listed once after it was opened. Returns false when the folder cannot be
// listed; the listing may then hold what was read before the failure, and the caller treats the
// folder as empty.
bool list_entries(const Folder& folder, FolderListing* listing);

// The current working folder as an absolute path. Returns false when it cannot be read.
bool get_working_folder(std::string* folder);

// True when `path` is absolute ("/x"; on Windows "C:\x" or "\\server\share").
bool is_absolute_path(const std::string& path);

// True when the folder `path` is on a file system that other machines may write to: NFS,
// SMB/CIFS, FUSE (sshfs and the like) and other network file systems; on Windows a remote drive
// or a UNC path. There, changes made elsewhere reach no change watch and no writer check.
bool on_network_file_system(const std::string& path);

// Changes the working folder: at start-up only. Returns false (and leaves it unchanged) on failure.
bool change_working_folder(const std::string& folder);

// Opens the folder `path` (absolute, or from the working folder) as changing into it would: links
// on the way and the folder itself followed. False when it is no folder or cannot be opened.
bool open_folder(const std::string& path, Folder* opened);

// Results of open_sub_folder.
enum class EnterResult : int {
  entered = 0,
  refused = 1,     // not a folder, a link, no permission, gone
  no_handles = 2,  // the process has no descriptor or handle left
};

// Opens the sub-folder `name` of `parent` as a walk enters it: a symbolic link or reparse point is
// refused, so that every descent of a walk ends, and the folder is held from the check on, so that
// it cannot be swapped for a link afterwards. Its path is the parent's joined with `name`.
EnterResult open_sub_folder(const Folder& parent, const std::string& name, Folder* opened);
