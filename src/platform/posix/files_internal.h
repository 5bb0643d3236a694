// Helpers that the POSIX file functions share (files.cpp, probe.cpp, scratch.cpp, status.cpp,
// write_folders.cpp). Not for callers outside src/platform/posix.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "platform/files.h"
#include "platform/posix/shared_state.h"

// The rule of the kernel's protected_symlinks: a link may be followed when its owner owns what it
// leads to, or is the user we run as. Links of root's (/dev/stdout, /etc/alternatives) are the
// system's own and may be followed too: no dropper can make one.
inline bool link_is_trusted(uid_t link_owner, uid_t target_owner) {
  return link_owner == target_owner || link_owner == geteuid() || link_owner == 0;
}

inline int fd_of(FileHandle file) {
  return static_cast<int>(file.value);
}

// The status and identity of the open `fd` (status.cpp).
bool status_of(int fd, struct stat* info, FileId* id);

// Opens the entry `name` of the folder `at` with `flags` (O_NOFOLLOW added). Where the entry is a
// link, its own status and text are read through one descriptor of the link itself, its text
// resolved by the same rules, and what it leads to kept only when the link may be followed. A
// link is never followed to create a file (write_folders.cpp).
int open_entry(int at, const std::string& name, int flags, mode_t mode, int* links);
