// Files: status queries, opening, reading, writing, publishing and deleting files, appending to a
// log, scratch files for a command's output, and the readiness probe of a file being written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The line end of text files the program writes: "\n" on POSIX systems, "\r\n" on Windows.
extern const char* const LINE_END;

// Identity of a file on its device: unchanged when the file is renamed, different for another
// file that takes its name, even one that gets the index number of a deleted file (ext4 reuses
// them at once). The kind and the birth time are compared where both sides know them.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  std::uint32_t kind = 0;  // the file's type bits (POSIX S_IFMT); 0 where not known
  std::int64_t birth = 0;  // its birth time in nanoseconds where the system gives it; else 0
  bool operator==(const FileId& other) const {
    return device == other.device && index == other.index &&
           (kind == 0 || other.kind == 0 || kind == other.kind) &&
           (birth == 0 || other.birth == 0 || birth == other.birth);
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

struct PathStatus {
  bool is_folder = false;   // what the path finally names, links followed
  bool is_link = false;     // the entry itself is a symbolic link (or, on Windows, a reparse point)
  bool is_regular = false;  // what the path finally names is a plain file (no FIFO, socket, device)
  // For a link: it may be followed, because its owner owns what it leads to, is the user we run
  // as, or is the administrator (the rule of the kernel's protected_symlinks, applied everywhere).
  // Never on Windows, where reparse points to files are not followed at all.
  bool link_trusted = false;
  std::uint64_t size = 0;         // bytes; 0 for folders
  FileId id;                      // of what the path finally names
  std::uint32_t permissions = 0;  // permission bits (such as 0644) where the platform has them
  std::int64_t modified = 0;      // time of the last change of the content, in the platform's units
  std::int64_t owner = -1;        // the owner's user number (POSIX); -1 where not known
};

// True when a file of `owner` may vouch for a file of `file_owner` (a done file for its file):
// the same user, the user we run as, or the administrator. Also where the owner is not known.
bool owner_may_vouch(std::int64_t owner, std::int64_t file_owner);

// An open folder, which every call below that takes one with a name or path acts in: a relative
// path is taken from the folder, an absolute one as it is. What is done there then depends neither
// on the folder's path staying valid or short nor on the program's working folder, which it never
// changes after start-up. On POSIX systems `handles` holds the folder's descriptor; on Windows the
// handles held so that the folder (and for a folder opened for writing, every folder from the root
// down) can be neither renamed nor replaced while we act in it, calls going by `path`. `Folder{}`
// holds nothing and stands for the working folder.
struct Folder {
  std::vector<std::intptr_t> handles;
  std::string path;  // absolute, or as given where it was opened from the working folder (POSIX)
  FileId id;         // where the opening looked (folders opened for writing); else unset
};

// Releases what a folder holds. Safe to call twice.
void close_folder(Folder* folder);

// `folder`, taken over, shared by those that act in it (the files found there): released with the
// last of them.
inline std::shared_ptr<const Folder> share_folder(Folder* folder) {
  std::shared_ptr<const Folder> shared(new Folder(std::move(*folder)), [](const Folder* held) {
    close_folder(const_cast<Folder*>(held));
    delete held;
  });
  *folder = Folder{};
  return shared;
}

// The path of `path` in `folder`: `path` itself when it is absolute or the folder is the working
// folder.
std::string path_in(const Folder& folder, const std::string& path);

// Reads the status of `path` in `at` without opening the file. Returns false when the path does not
// exist (a dangling link included) or cannot be examined.
bool query_status(const Folder& at, const std::string& path, PathStatus* status);
inline bool query_status(const std::string& path, PathStatus* status) {
  return query_status(Folder{}, path, status);
}

// Results of probe_file.
enum class Probe : int {
  free = 0,       // no writer holds the file, as far as can be seen
  held = 1,       // a writer holds it, it is gone, or it is no plain file
  no_access = 2,  // we may not open it: on POSIX systems not even for reading; on Windows a
                  // refusal for access (a writer shows as a sharing violation instead)
};

// The readiness probe: opens the existing file `path` of `at` for appending (never creating it,
// never waiting on a FIFO or device) and closes it at once without writing. On POSIX systems a file
// we may read but not write is opened for reading instead: the open for writing only ever looked
// for writers, and the lease below finds them better. A link is opened through only with
// `follow_link`, and a file other than `expected` counts as held (POSIX). `wrote` tells whether it
// was opened for writing (see before_own_probe).
Probe probe_file(const Folder& at, const std::string& path, bool follow_link,
                 const FileId& expected, bool* wrote);

// True once a check for writers was refused for lack of permission (on Linux a read lease, which
// needs the file's owner or CAP_LEASE); from then on only the size test applies to such files.
// Never true for a refusal that means a writer holds the file.
bool writer_check_refused();

// An open file of the functions below; -1 when none.
struct FileHandle {
  std::intptr_t value = -1;
};

// What probe_and_hold found.
struct ProbeHold {
  Probe probe = Probe::held;
  bool found = false;  // the name names something, whose status was filled in
  bool wrote = false;  // as probe_file's
  bool held = false;   // asked to hold, and the file is held (see hold_file)
};

// The readiness probe (probe_file), the hold (hold_file, with `hold`) and the status query of
// one attempt at once: the status of what `path` names now goes to `status`. Where the platform
// can, and the name is no link, one open serves all three: its descriptor is checked to be the
// file `expected`, a plain file, probed for writers and kept as the hold, and the status is
// read from it. A file that is not free is not held.
ProbeHold probe_and_hold(const Folder& at, const std::string& path, bool follow_link,
                         const FileId& expected, bool hold, PathStatus* status, FileHandle* held);

// Results of the file functions below.
enum class FileResult : int {
  done = 0,
  missing = 1,    // the path names nothing
  exists = 2,     // the name is taken (create_new_file, publish_file without replacing)
  replaced = 3,   // the path names another file than the one expected, or a link not allowed
  failed = 4,     // any other failure
  elsewhere = 5,  // a move between two file systems, which a rename cannot make
};

// Opens the file `path` of `at` for reading. A symbolic link (reparse point) is followed only when
// `follow_link`; the file opened must be `expected`, else `replaced`.
FileResult open_for_reading(const Folder& at, const std::string& path, bool follow_link,
                            const FileId& expected, FileHandle* file);

// Holds the file `path` of `at` (which must be `expected`, opened as by open_for_reading) open for
// reading until the caller closes `held`, so that nobody can take a write lease on it meanwhile:
// a lease taken after the readiness test would stall the command's own open for the system's
// lease-break time. A lease already held makes it fail at once, never wait. On Windows, which
// has no leases, nothing is held (a held file would stand in the way of a command that writes or
// removes it): `done` with no handle.
FileResult hold_file(const Folder& at, const std::string& path, bool follow_link,
                     const FileId& expected, FileHandle* held);

// Reads up to `size` bytes. Returns the count, 0 at the end of the file, -1 on an error.
std::int64_t read_file(FileHandle file, char* buffer, std::size_t size);

// Writes all `size` bytes. Returns false when fewer were stored.
bool write_file(FileHandle file, const char* data, std::size_t size);

// Closes the file (safe for a closed handle). Returns false when stored data may be incomplete.
bool close_file(FileHandle* file);

// Deletes `path` of `at` only while it still names the file `expected`: `done`, `missing`,
// `replaced` (another file has the name now; nothing deleted) or `failed`.
FileResult delete_if_same(const Folder& at, const std::string& path, const FileId& expected);

// Opens `folder` of `at` (relative, or absolute; "" is `at` itself) for writing in, reached so that
// no link on the way was followed unless it may be (see PathStatus::link_trusted): a link swapped
// in after the check changes nothing, since every write goes through what was opened. `done`,
// `missing`, `replaced` (a link on the way that may not be followed; on Windows any link or
// junction) or `failed`.
FileResult open_write_folder(const Folder& at, const std::string& folder, Folder* opened);
inline FileResult open_write_folder(const std::string& folder, Folder* opened) {
  return open_write_folder(Folder{}, folder, opened);
}

// Opens the absolute folder `path` one part at a time as the walk enters folders: no link is
// followed anywhere on the way, trusted or not, and a ".." part is refused. `done`, `missing`,
// `replaced` (a link or a ".." on the way) or `failed`. What is then done through the folder cannot
// be led elsewhere by a link that a user planted on its path.
FileResult open_folder_strictly(const std::string& path, Folder* opened);

// The status of the entry `name` of `folder` itself. For a link only `is_link` is sure: the
// other fields may describe the link or what it leads to. `permissions` is not filled in. False
// when there is no such entry.
bool query_entry(const Folder& folder, const std::string& name, PathStatus* status);

// Creates `name` in `folder` as a new file for writing: never an existing name, never through a
// link. The permission bits are `permissions`, narrowed by the process's file-creation mask.
FileResult create_new_file(const Folder& folder, const std::string& name, std::uint32_t permissions,
                           FileHandle* file);

// Gives the complete file `temp` of `folder` the name `name` there. With `replace`, an existing
// file or link of that name is replaced (never followed); without it an existing name is never
// touched and the result is `exists`. On any result but `done`, `temp` is left as it was.
FileResult publish_file(const Folder& folder, const std::string& temp, const std::string& name,
                        bool replace);

// Deletes the entry `name` of `folder` (a link itself, never what it leads to).
bool delete_file(const Folder& folder, const std::string& name);

// Appends `text` as it is to the file `path` of `at`, created when missing; a folder part of
// `path` is opened as by `open_write_folder`. A symbolic link is followed only when trusted (see
// PathStatus::link_trusted). Only a plain file or a device is written: a FIFO never holds up the
// caller. Returns false when the file cannot be opened or the text not stored completely.
bool append_to_file(const Folder& at, const std::string& path, const std::string& text);

// A new temporary file that has no name (or loses it when closed), open for reading and writing,
// for collecting a command's output.
bool create_scratch_file(FileHandle* file);

// Writes the first `limit` bytes of `file` to standard output; `cut` tells whether more were
// there.
bool print_scratch_file(FileHandle file, std::uint64_t limit, bool* cut);

// The next run of data in `file` at or after `from`: the bytes from `*start` to `*end`, the file
// positioned at `*start`. False when no data follows `from`; `*start` then holds the file's size.
// Where holes cannot be told from data (Windows, some file systems), the rest of the file is data.
bool next_data(FileHandle file, std::uint64_t from, std::uint64_t* start, std::uint64_t* end);

// Moves the position of `file` to `offset`; bytes skipped past the end are written as a hole.
bool seek_file(FileHandle file, std::uint64_t offset);

// Sets the size of `file`; a larger size adds a hole at its end.
bool resize_file(FileHandle file, std::uint64_t size);

// Bytes the open `file` takes on its device: less than its size where it has holes.
bool stored_size(FileHandle file, std::uint64_t* bytes);

// Free bytes (for us) and total bytes of the file system that holds `folder`.
bool space_of(const Folder& folder, std::uint64_t* free_bytes, std::uint64_t* total_bytes);

// Moves the entry `name` of `from` to `to_name` in `to` (a link itself, never what it leads to),
// never replacing an existing entry: `done`, `missing`, `exists`, `elsewhere` (another file
// system) or `failed`. On POSIX systems by the folders' descriptors, so that a folder renamed or
// swapped for a link since it was opened changes nothing; on Windows by path (MoveFileExW without
// replacing), through the folders held open.
FileResult move_entry(const Folder& from, const std::string& name, const Folder& to,
                      const std::string& to_name);

// Creates the folder `name` in `in` for us alone (mode 0700) and opens it: `done`, `exists` or
// `failed`.
FileResult create_private_folder(const Folder& in, const std::string& name, Folder* opened);

// Removes the empty folder `name` of `in`. False when it is not empty or cannot be removed.
bool remove_empty_folder(const Folder& in, const std::string& name);

// True when the existing `path` may be written by the user we run as, as far as its permissions
// (and a read-only file system) tell. On Windows only the read-only attribute of a file is seen.
bool may_write(const std::string& path);

// True when `path` is a real folder (no link), owned by the user we run as and writable by nobody
// else. On Windows the owner may also be the Administrators group when we run elevated, and its
// access list may let only us, the system account and the Administrators group write.
bool is_private_folder(const std::string& path);

// True for an entry `name` of a walked folder that commands could not open by its path: on Windows
// a name ending in a dot or a blank, and for a file a device name (CON, aux.txt, ...). Never on
// POSIX systems.
bool name_unopenable(const std::string& name, bool folder);

// Reads the whole small plain file `name` of `folder` (no link followed), at most `limit` bytes.
bool read_entry(const Folder& folder, const std::string& name, std::size_t limit,
                std::string* text);
