// POSIX write folders: a folder is opened one part at a time, a link on the way followed only
// when it may be, and held as a descriptor that every write in it goes through.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <string>

#include "platform/files.h"
#include "platform/posix/files_internal.h"

namespace {

// Folders on the way are opened only to be passed through and written in: O_PATH needs no read
// permission, as a path would not.
#ifdef O_PATH
constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// Links followed in one resolution before it counts as a loop, as the kernel counts them.
constexpr int MAX_LINKS = 40;

// Closes `fd` keeping errno, which the caller reports.
void close_quietly(int fd) {
  int error = errno;
  close(fd);
  errno = error;
}

// True when `folder` is in /proc, whose links (/proc/self, /proc/self/fd/1) only the kernel makes
// and only the kernel can follow: their text ("pipe:[42]") names no path.
bool in_proc(int folder) {
#ifdef __linux__
  struct statfs info;
  return fstatfs(folder, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
#else
  (void)folder;
  return false;
#endif
}

int open_folder_path(int at, const std::string& path, int* links);

}  // namespace

int open_entry(int at, const std::string& name, int flags, mode_t mode, int* links) {
  int fd = openat(at, name.c_str(), flags | O_NOFOLLOW, mode);
  // O_NOFOLLOW refuses a link with ELOOP; together with O_PATH and O_DIRECTORY, with ENOTDIR.
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) {
    return fd;
  }
  const int refusal = errno;
  struct stat link;
  if (fstatat(at, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
    errno = refusal;
    return -1;
  }
  if (++*links > MAX_LINKS) {
    errno = ELOOP;
    return -1;
  }
  flags &= ~(O_CREAT | O_EXCL);
  if (in_proc(at)) {
    fd = openat(at, name.c_str(), flags & ~O_NOFOLLOW);
  } else {
    char text[PATH_MAX];
    ssize_t length = -1;
#ifdef O_PATH
    // The status and the text of one link: a link swapped in meanwhile is not read instead.
    int own = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (own >= 0 && fstat(own, &link) == 0 && S_ISLNK(link.st_mode)) {
      length = readlinkat(own, "", text, sizeof text);
    }
    if (own >= 0) {
      close(own);
    }
#else
    length = readlinkat(at, name.c_str(), text, sizeof text);
#endif
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
      errno = ELOOP;
      return -1;
    }
    const std::string target(text, static_cast<std::size_t>(length));
    const std::size_t slash = target.rfind('/');
    const std::string last = slash == std::string::npos ? target : target.substr(slash + 1);
    int folder =
        open_folder_path(at, slash == std::string::npos ? "" : target.substr(0, slash + 1), links);
    if (folder < 0) {
      return -1;
    }
    fd = open_entry(folder, last.empty() ? "." : last, flags, 0, links);
    close_quietly(folder);
  }
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !link_is_trusted(link.st_uid, info.st_uid))) {
    close(fd);
    errno = ELOOP;
    return -1;
  }
  return fd;
}

namespace {

// The next part of `path` from `*begin` on, empty and "." parts passed over; false at its end.
bool next_part(const std::string& path, std::size_t* begin, std::string* part) {
  while (*begin < path.size()) {
    std::size_t end = path.find('/', *begin);
    if (end == std::string::npos) {
      end = path.size();
    }
    *part = path.substr(*begin, end - *begin);
    *begin = end + 1;
    if (!part->empty() && *part != ".") {
      return true;
    }
  }
  return false;
}

// Opens the folder `path` (relative to the folder `at`, or absolute) one part at a time.
int open_folder_path(int at, const std::string& path, int* links) {
  const bool absolute = !path.empty() && path[0] == '/';
  int folder = openat(absolute ? AT_FDCWD : at, absolute ? "/" : ".", FOLDER_FLAGS);
  std::size_t begin = 0;
  for (std::string part; folder >= 0 && next_part(path, &begin, &part);) {
    int next = open_entry(folder, part, FOLDER_FLAGS, 0, links);
    close_quietly(folder);
    folder = next;
  }
  return folder;
}

}  // namespace

FileResult open_write_folder(const Folder& at, const std::string& folder, Folder* opened) {
  int links = 0;
  int fd = open_folder_path(descriptor_of(at), folder, &links);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    const int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    return error == ENOENT  ? FileResult::missing
           : error == ELOOP ? FileResult::replaced
                            : FileResult::failed;
  }
  opened->handles.assign(1, fd);
  opened->path = path_in(at, folder);
  opened->id.device = static_cast<std::uint64_t>(info.st_dev);
  opened->id.index = static_cast<std::uint64_t>(info.st_ino);
  return FileResult::done;
}

FileResult open_folder_strictly(const std::string& path, Folder* opened) {
  if (path.empty() || path[0] != '/') {
    return FileResult::failed;
  }
  int fd = open("/", FOLDER_FLAGS);
  std::size_t begin = 1;
  for (std::string part; fd >= 0 && next_part(path, &begin, &part);) {
    if (part == "..") {
      close(fd);
      return FileResult::replaced;
    }
    // O_NOFOLLOW with O_PATH and O_DIRECTORY refuses a link with ELOOP or ENOTDIR.
    int next = openat(fd, part.c_str(), FOLDER_FLAGS);
    close_quietly(fd);
    fd = next;
  }
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
    const int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    return error == ENOENT                      ? FileResult::missing
           : error == ELOOP || error == ENOTDIR ? FileResult::replaced
                                                : FileResult::failed;
  }
  opened->handles.assign(1, fd);
  opened->path = path;
  opened->id.device = static_cast<std::uint64_t>(info.st_dev);
  opened->id.index = static_cast<std::uint64_t>(info.st_ino);
  return FileResult::done;
}

FileResult create_private_folder(const Folder& in, const std::string& name, Folder* opened) {
  if (mkdirat(descriptor_of(in), name.c_str(), 0700) != 0) {
    return errno == EEXIST ? FileResult::exists : FileResult::failed;
  }
  int fd = openat(descriptor_of(in), name.c_str(), FOLDER_FLAGS);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    unlinkat(descriptor_of(in), name.c_str(), AT_REMOVEDIR);
    return FileResult::failed;
  }
  opened->handles.assign(1, fd);
  opened->path = in.path + "/" + name;
  opened->id.device = static_cast<std::uint64_t>(info.st_dev);
  opened->id.index = static_cast<std::uint64_t>(info.st_ino);
  return FileResult::done;
}

bool remove_empty_folder(const Folder& in, const std::string& name) {
  return unlinkat(descriptor_of(in), name.c_str(), AT_REMOVEDIR) == 0;
}
