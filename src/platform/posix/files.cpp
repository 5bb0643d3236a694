// POSIX files: every open refuses links it may not follow and never waits on a FIFO or device,
// and our own writes are kept out of change notification.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "platform/posix/files_internal.h"
#include "platform/posix/shared_state.h"

const char* const LINE_END = "\n";

namespace {

// Does what `publish_file` does without replacing, for file systems without hard links: an atomic
// rename that refuses an existing name where the kernel offers one, otherwise a look before the
// rename, which leaves a short window.
FileResult rename_without_replacing(int folder, const char* temp, const char* name) {
#if defined(__linux__) && defined(SYS_renameat2)
  if (syscall(SYS_renameat2, folder, temp, folder, name, 1u) == 0) {
    return FileResult::done;
  }
  if (errno == EEXIST) {
    return FileResult::exists;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return FileResult::failed;
  }
#endif
  struct stat info;
  if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    return FileResult::exists;
  }
  return renameat(folder, temp, folder, name) == 0 ? FileResult::done : FileResult::failed;
}

// Tells the change watch about our write of `name` in `folder`.
void note_own_write_in(const Folder& folder, const std::string& name) {
  note_own_write(folder.path.empty() || folder.path.back() == '/' ? folder.path + name
                                                                  : folder.path + '/' + name);
}

}  // namespace

FileResult open_for_reading(const Folder& at, const std::string& path, bool follow_link,
                            const FileId& expected, FileHandle* file) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!follow_link) {
    flags |= O_NOFOLLOW;
  }
  int fd = openat(descriptor_of(at), path.c_str(), flags);
  if (fd < 0) {
    if (errno == ENOENT) {
      return FileResult::missing;
    }
    return errno == ELOOP ? FileResult::replaced : FileResult::failed;
  }
  struct stat info;
  FileId id;
  if (!status_of(fd, &info, &id)) {
    close(fd);
    return FileResult::failed;
  }
  if (!S_ISREG(info.st_mode) || id != expected) {
    close(fd);
    return FileResult::replaced;
  }
  // Reads block from here on; the descriptor names a plain file, so they never wait on a writer.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file->value = fd;
  return FileResult::done;
}

std::int64_t read_file(FileHandle file, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = read(fd_of(file), buffer, size);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

std::int64_t write_some(FileHandle file, const char* data, std::size_t size) {
  for (;;) {
    ssize_t put = write(fd_of(file), data, size);
    if (put >= 0 || errno != EINTR) {
      return put;
    }
  }
}

bool close_file(FileHandle* file) {
  if (file->value < 0) {
    return true;
  }
  int fd = fd_of(*file);
  file->value = -1;
  return close(fd) == 0;
}

FileResult delete_if_same(const Folder& folder, const std::string& path, const FileId& expected) {
  const int at = descriptor_of(folder);
  // POSIX has no unlink of a given file: the look and the unlink are one step apart, a window of
  // microseconds against the whole job that the look protects.
  struct stat info;
  if (fstatat(at, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? FileResult::missing : FileResult::failed;
  }
  if (static_cast<std::uint64_t>(info.st_dev) != expected.device ||
      static_cast<std::uint64_t>(info.st_ino) != expected.index) {
    // A trusted link to the file is removed itself; its target is never touched.
    struct stat target;
    if (!S_ISLNK(info.st_mode) || fstatat(at, path.c_str(), &target, 0) != 0 ||
        static_cast<std::uint64_t>(target.st_dev) != expected.device ||
        static_cast<std::uint64_t>(target.st_ino) != expected.index) {
      return FileResult::replaced;
    }
  }
  return unlinkat(at, path.c_str(), 0) == 0 ? FileResult::done : FileResult::failed;
}

FileResult create_new_file(const Folder& folder, const std::string& name, std::uint32_t permissions,
                           FileHandle* file) {
  int fd = openat(descriptor_of(folder), name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                  static_cast<mode_t>(permissions & 0777));
  if (fd < 0) {
    return errno == EEXIST ? FileResult::exists : FileResult::failed;
  }
  file->value = fd;
  return FileResult::done;
}

FileResult publish_file(const Folder& folder, const std::string& temp, const std::string& name,
                        bool replace) {
  note_own_write_in(folder, name);
  const int at = descriptor_of(folder);
  if (replace) {
    // rename replaces a link itself, never what it leads to.
    return renameat(at, temp.c_str(), at, name.c_str()) == 0 ? FileResult::done
                                                             : FileResult::failed;
  }
  // A hard link never replaces an existing name, a planted link included; then the temporary
  // name goes.
  if (linkat(at, temp.c_str(), at, name.c_str(), 0) == 0) {
    unlinkat(at, temp.c_str(), 0);
    return FileResult::done;
  }
  if (errno == EEXIST) {
    return FileResult::exists;
  }
  if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EXDEV ||
      errno == EMLINK) {
    return rename_without_replacing(at, temp.c_str(), name.c_str());
  }
  return FileResult::failed;
}

bool delete_file(const Folder& folder, const std::string& name) {
  return unlinkat(descriptor_of(folder), name.c_str(), 0) == 0;
}

namespace {

// append_to_file for the entry `name` of the open `folder`.
bool append_to_entry(const Folder& folder, const std::string& name, const std::string& text) {
  note_own_write_in(folder, name);
  // O_NONBLOCK: a FIFO planted under the log's name must not hold us up. Without a reader it
  // cannot be opened; with one, an entry that does not fit fails instead of waiting.
  int links = 0;
  int fd =
      open_entry(descriptor_of(folder), name,
                 O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_CREAT, 0666, &links);
  if (fd < 0) {
    return false;
  }
  FileHandle file;
  file.value = fd;
  bool ok = write_file(file, text.data(), text.size());
  return close_file(&file) && ok;
}

}  // namespace

bool append_to_file(const Folder& at, const std::string& path, const std::string& text) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos && !at.handles.empty()) {
    return append_to_entry(at, path, text);
  }
  Folder folder;
  if (open_write_folder(at, slash == std::string::npos ? "" : path.substr(0, slash + 1), &folder) !=
      FileResult::done) {
    return false;
  }
  bool ok = append_to_entry(folder, path.substr(slash + 1), text);
  close_folder(&folder);
  return ok;
}

FileResult move_entry(const Folder& from, const std::string& name, const Folder& to,
                      const std::string& to_name) {
  const int at = descriptor_of(from);
  const int into = descriptor_of(to);
#if defined(__linux__) && defined(SYS_renameat2)
  if (syscall(SYS_renameat2, at, name.c_str(), into, to_name.c_str(), 1u) == 0) {
    return FileResult::done;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno == EEXIST   ? FileResult::exists
           : errno == ENOENT ? FileResult::missing
           : errno == EXDEV  ? FileResult::elsewhere
                             : FileResult::failed;
  }
#endif
  // Without an atomic refusal of an existing name: a look first, which leaves a short window.
  struct stat info;
  if (fstatat(into, to_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    return FileResult::exists;
  }
  if (renameat(at, name.c_str(), into, to_name.c_str()) == 0) {
    return FileResult::done;
  }
  return errno == ENOENT  ? FileResult::missing
         : errno == EXDEV ? FileResult::elsewhere
                          : FileResult::failed;
}

bool read_entry(const Folder& folder, const std::string& name, std::size_t limit,
                std::string* text) {
  int fd = openat(descriptor_of(folder), name.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  text->clear();
  char buffer[4096];
  while (ok && text->size() < limit) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text->append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return ok && text->size() <= limit;
}
