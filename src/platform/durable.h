// Durable files: a lock that keeps a second process away, appending to a file kept open, and
// flushing what was written to the device, so that a power cut loses nothing that was reported
// written.
#pragma once

#include <string>

#include "platform/files.h"

// Results of lock_file.
enum class LockResult : int {
  locked = 0,  // ours until the handle is closed (or the process ends)
  busy = 1,    // another process holds it
  failed = 2,  // it cannot be created or opened
};

// Creates the file `name` of `folder` where it is missing (never through a link) and takes an
// exclusive lock on it without waiting, held through `lock` until that is closed. The lock file
// is never deleted: a process that deleted it could let a third one lock a new file of the name
// while a second still holds the old one.
LockResult lock_file(const Folder& folder, const std::string& name, FileHandle* lock);

// Opens the plain file `name` of `folder` for appending, created where it is missing (never
// through a link). On Windows it may still be renamed over or deleted while open.
FileResult open_for_appending(const Folder& folder, const std::string& name, FileHandle* file);

// Writes what was written to `file` through to its device. False when that failed.
bool sync_file(FileHandle file);

// Writes the entries of `folder` (a rename into it) through to its device. Windows has no such
// call for folders, and its renames are journalled by the file system: true there.
bool sync_folder(const Folder& folder);
