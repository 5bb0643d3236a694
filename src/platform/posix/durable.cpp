// POSIX durable files: flock locks, appending descriptors, fsync and fdatasync.
#include "platform/durable.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/posix/files_internal.h"

namespace {

int open_plain(const Folder& folder, const std::string& name, int flags) {
  return openat(descriptor_of(folder), name.c_str(),
                flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
}

}  // namespace

LockResult lock_file(const Folder& folder, const std::string& name, FileHandle* lock) {
  int fd = open_plain(folder, name, O_RDWR);
  if (fd < 0) {
    return LockResult::failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? LockResult::busy : LockResult::failed;
  }
  lock->value = fd;
  return LockResult::locked;
}

FileResult open_for_appending(const Folder& folder, const std::string& name, FileHandle* file) {
  int fd = open_plain(folder, name, O_WRONLY | O_APPEND);
  if (fd < 0) {
    return errno == ELOOP ? FileResult::replaced : FileResult::failed;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return FileResult::replaced;
  }
  file->value = fd;
  return FileResult::done;
}

bool sync_file(FileHandle file) {
#if defined(__APPLE__)
  return fsync(fd_of(file)) == 0;
#else
  return fdatasync(fd_of(file)) == 0;
#endif
}

bool sync_folder(const Folder& folder) {
  const int fd = descriptor_of(folder);
  return fd < 0 || fsync(fd) == 0;
}
