// Folders: the working folder, listing it, entering sub-folders and coming back by mark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A folder that enter_sub_folder opened, handed on to list_working_folder, so that a walk opens
// each folder once.
struct OpenFolder {
  std::intptr_t handle = -1;  // -1: none (and always on Windows)
};

// Adds every entry of the current working folder ("." and ".." included) in the order the
// system reports them. `entered`, when given and open, is the working folder as enter_sub_folder
// opened it: it is listed and closed. Returns false when the folder cannot be listed; the listing
// may then hold what was read before the failure, and the caller treats the folder as empty.
bool list_working_folder(FolderListing* listing, OpenFolder* entered = nullptr);

// The current working folder as an absolute path. Returns false when it cannot be read.
bool get_working_folder(std::string* folder);

// True when `path` is absolute ("/x"; on Windows "C:\x" or "\\server\share").
bool is_absolute_path(const std::string& path);

// True when the folder `path` is on a file system that other machines may write to: NFS,
// SMB/CIFS, FUSE (sshfs and the like) and other network file systems; on Windows a remote drive
// or a UNC path. There, changes made elsewhere reach no change watch and no writer check.
bool on_network_file_system(const std::string& path);

// Changes the working folder. Returns false (and leaves it unchanged) on failure.
bool change_working_folder(const std::string& folder);

// Results of enter_sub_folder.
enum class EnterResult : int {
  entered = 0,
  refused = 1,     // not a folder, a link, no permission, gone: stays put
  no_handles = 2,  // the process has no descriptor or handle left: stays put
};

// Enters the sub-folder `name` of the working folder. Refuses a symbolic link or reparse point,
// so that every descent of a walk ends. `entered`, when given, receives the folder opened for
// entering it, for list_working_folder.
EnterResult enter_sub_folder(const std::string& name, OpenFolder* entered = nullptr);

// A way back to a folder that does not depend on its path staying valid or short.
struct FolderMark {
  std::intptr_t handle = -1;  // the open folder (a descriptor or a HANDLE); -1 when none
  std::string path;           // the absolute path, where the platform returns by path
};

// Records the current working folder in `mark`. Returns false when it cannot be recorded; the
// caller must then not leave the folder.
bool mark_working_folder(FolderMark* mark);

// Makes the marked folder the working folder again. Returns false on failure.
bool return_to_mark(const FolderMark& mark);

// Releases what `mark` holds. Safe to call twice.
void release_mark(FolderMark* mark);
