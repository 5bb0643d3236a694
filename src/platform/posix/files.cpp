// POSIX files: every open refuses links it may not follow and never waits on a FIFO or device,
// and our own writes are kept out of change notification.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/shared_state.h"
#include "platform/primitives.h"

const char* const LINE_END = "\n";

namespace {

// The rule of the kernel's protected_symlinks: a link may be followed when its owner owns what it
// leads to, or is the user we run as. Links of root's (/dev/stdout, /etc/alternatives) are the
// system's own and may be followed too: no dropper can make one.
bool link_is_trusted(uid_t link_owner, uid_t target_owner) {
  return link_owner == target_owner || link_owner == geteuid() || link_owner == 0;
}

#ifdef F_SETLEASE
void on_lease_broken(int) {}
#endif

// Set once a lease was refused because we neither own the file nor hold CAP_LEASE.
bool lease_refused = false;

// True when another process holds `path` open for writing. A read lease is refused with EAGAIN
// exactly then (our own descriptors are closed by now); where no lease can be had for another
// reason (not the owner, a file system without leases, not a regular file) nothing is known and
// the plain test decides.
bool held_by_writer(const std::string& path, int extra_flags) {
#ifdef F_SETLEASE
  // A writer that opens the file while we hold the lease breaks it, and the kernel tells us with
  // SIGIO, whose default action ends the process. A handler (unlike SIG_IGN) is not passed on to
  // the commands we start.
  static const bool caught = [] {
    struct sigaction action {};
    action.sa_handler = on_lease_broken;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGIO, &action, nullptr) == 0;
  }();
  if (!caught) {
    return false;
  }
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra_flags);
  if (fd < 0) {
    return false;
  }
  bool busy = false;
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN) {
    busy = true;
  } else if (errno == EACCES || errno == EPERM) {
    lease_refused = true;
  }
  close(fd);
  return busy;
#else
  (void)path;
  (void)extra_flags;
  return false;
#endif
}

// fstatat with the file's birth time, which `birth` receives where the system gives it (statx),
// else 0.
int status_at(int at, const char* path, int flags, struct stat* info, std::int64_t* birth) {
  *birth = 0;
#if defined(__linux__) && defined(STATX_BTIME)
  struct statx extended;
  if (statx(at, path, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    *info = {};
    info->st_mode = extended.stx_mode;
    info->st_uid = extended.stx_uid;
    info->st_gid = extended.stx_gid;
    info->st_size = static_cast<off_t>(extended.stx_size);
    info->st_blocks = static_cast<blkcnt_t>(extended.stx_blocks);
    info->st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
    info->st_ino = extended.stx_ino;
    info->st_mtim.tv_sec = extended.stx_mtime.tv_sec;
    info->st_mtim.tv_nsec = extended.stx_mtime.tv_nsec;
    if ((extended.stx_mask & STATX_BTIME) != 0) {
      *birth = static_cast<std::int64_t>(extended.stx_btime.tv_sec) * 1000000000 +
               extended.stx_btime.tv_nsec;
    }
    return 0;
  }
  // Older kernels, and sandboxes that refuse the call: the plain query.
  if (errno != ENOSYS && errno != EPERM) {
    return -1;
  }
#endif
  return fstatat(at, path, info, flags);
}

// The identity of the file whose status is `info`.
FileId id_of(const struct stat& info, std::int64_t birth) {
  FileId id;
  id.device = static_cast<std::uint64_t>(info.st_dev);
  id.index = static_cast<std::uint64_t>(info.st_ino);
  id.kind = static_cast<std::uint32_t>(info.st_mode & S_IFMT);
  id.birth = birth;
  return id;
}

// The status and identity of the open `fd`.
bool status_of(int fd, struct stat* info, FileId* id) {
  std::int64_t birth = 0;
  if (status_at(fd, "", AT_EMPTY_PATH, info, &birth) != 0) {
    return false;
  }
  *id = id_of(*info, birth);
  return true;
}

// True when `fd` is the file `expected`.
bool is_file(int fd, const FileId& expected) {
  struct stat info;
  FileId id;
  return status_of(fd, &info, &id) && id == expected;
}

int fd_of(FileHandle file) {
  return static_cast<int>(file.value);
}

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

// Opens the entry `name` of the folder `at` with `flags` (O_NOFOLLOW added). Where the entry is a
// link, its own status and text are read through one descriptor of the link itself, its text
// resolved by the same rules, and what it leads to kept only when the link may be followed. A
// link is never followed to create a file.
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

// Opens the folder `path` (relative to the folder `at`, or absolute) one part at a time.
int open_folder_path(int at, const std::string& path, int* links) {
  const bool absolute = !path.empty() && path[0] == '/';
  int folder = openat(absolute ? AT_FDCWD : at, absolute ? "/" : ".", FOLDER_FLAGS);
  for (std::size_t begin = 0; folder >= 0 && begin < path.size();) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) {
      end = path.size();
    }
    const std::string part = path.substr(begin, end - begin);
    begin = end + 1;
    if (part.empty() || part == ".") {
      continue;
    }
    int next = open_entry(folder, part, FOLDER_FLAGS, 0, links);
    close_quietly(folder);
    folder = next;
  }
  return folder;
}

int folder_fd(const WriteFolder& folder) {
  return folder.handles.empty() ? -1 : static_cast<int>(folder.handles[0]);
}

// Tells the change watch about our write of `name` in `folder`.
void note_own_write_in(const WriteFolder& folder, const std::string& name) {
  note_own_write(folder.path.empty() || folder.path.back() == '/' ? folder.path + name
                                                                  : folder.path + '/' + name);
}

}  // namespace

bool query_status(const std::string& path, PathStatus* status) {
  struct stat info;
  std::int64_t birth = 0;
  if (status_at(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, &info, &birth) != 0) {
    return false;
  }
  status->is_link = S_ISLNK(info.st_mode);
  uid_t link_owner = info.st_uid;
  if (status->is_link && status_at(AT_FDCWD, path.c_str(), 0, &info, &birth) != 0) {
    return false;
  }
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->link_trusted = status->is_link && link_is_trusted(link_owner, info.st_uid);
  status->size = status->is_folder ? 0 : static_cast<std::uint64_t>(info.st_size);
  status->id = id_of(info, birth);
  status->permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
  status->modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

Probe probe_file(const std::string& path, bool follow_link, const FileId& expected, bool* wrote) {
  *wrote = false;
  // The name is only looked up (O_PATH opens nothing), and what it leads to must be the file
  // tested: then that very file is opened through the descriptor, so that a link another user
  // swaps in meanwhile is never opened through, not even a trusted one swapped for another.
  // Without /proc the name is opened again, as a link only where `follow_link`.
  int found = open(path.c_str(), O_PATH | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW));
  if (found < 0) {
    return Probe::held;
  }
  if (!is_file(found, expected)) {
    close(found);
    return Probe::held;  // another file has the name now: not the one being tested
  }
  char by_descriptor[40];
  std::snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", found);
  const std::string same = access("/proc/self/fd", X_OK) == 0 ? by_descriptor : path;
  // No O_CREAT: a file that vanished must stay gone. O_NONBLOCK: a FIFO without a reader or a
  // device must not hold up the walk; such an entry is simply not ready.
  const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  const int reopen = same == path ? flags : O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(same.c_str(), O_WRONLY | O_APPEND | reopen);
  *wrote = fd >= 0;
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = open(same.c_str(), O_RDONLY | reopen);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
      close(found);
      return Probe::no_access;
    }
  }
  bool held = fd < 0 || !is_file(fd, expected);
  if (fd >= 0) {
    close(fd);
  }
  // Unlike Windows, an open never fails because a writer still holds the file: ask for a lease.
  held = held || held_by_writer(same, same == path && !follow_link ? O_NOFOLLOW : 0);
  close(found);
  return held ? Probe::held : Probe::free;
}

bool writer_check_refused() {
  return lease_refused;
}

FileResult open_for_reading(const std::string& path, bool follow_link, const FileId& expected,
                            FileHandle* file) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!follow_link) {
    flags |= O_NOFOLLOW;
  }
  int fd = open(path.c_str(), flags);
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

FileResult hold_file(const std::string& path, bool follow_link, const FileId& expected,
                     FileHandle* held) {
  // As in the probe, the name is only looked up, and the file opened through that descriptor once
  // it is the file expected: a link swapped in meanwhile is never opened through. The open does
  // not wait: on a file with another's lease it fails with EWOULDBLOCK.
  int found = open(path.c_str(), O_PATH | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW));
  if (found < 0) {
    return errno == ENOENT ? FileResult::missing : FileResult::failed;
  }
  if (!is_file(found, expected)) {
    close(found);
    return FileResult::replaced;
  }
  char by_descriptor[40];
  std::snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", found);
  const bool proc = access("/proc/self/fd", X_OK) == 0;
  FileResult opened =
      open_for_reading(proc ? by_descriptor : path, proc || follow_link, expected, held);
  close(found);
  return opened;
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

FileResult delete_if_same(const std::string& path, const FileId& expected) {
  // POSIX has no unlink of a given file: the look and the unlink are one step apart, a window of
  // microseconds against the whole job that the look protects.
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? FileResult::missing : FileResult::failed;
  }
  if (static_cast<std::uint64_t>(info.st_dev) != expected.device ||
      static_cast<std::uint64_t>(info.st_ino) != expected.index) {
    // A trusted link to the file is removed itself; its target is never touched.
    struct stat target;
    if (!S_ISLNK(info.st_mode) || stat(path.c_str(), &target) != 0 ||
        static_cast<std::uint64_t>(target.st_dev) != expected.device ||
        static_cast<std::uint64_t>(target.st_ino) != expected.index) {
      return FileResult::replaced;
    }
  }
  return unlink(path.c_str()) == 0 ? FileResult::done : FileResult::failed;
}

bool create_scratch_file(FileHandle* file) {
  const char* folder = getenv("TMPDIR");
  if (folder == nullptr || folder[0] == '\0') {
    folder = "/tmp";
  }
  int fd = -1;
#ifdef O_TMPFILE
  fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    std::string path = std::string(folder) + "/hotbatch-XXXXXX";
    fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    unlink(path.c_str());
  }
  file->value = fd;
  return true;
}

bool rewind_file(FileHandle file) {
  return lseek(fd_of(file), 0, SEEK_SET) == 0;
}

FileHandle standard_output_file() {
  FileHandle out;
  out.value = STDOUT_FILENO;
  return out;
}

FileResult open_write_folder(const std::string& folder, WriteFolder* opened) {
  int links = 0;
  int fd = open_folder_path(AT_FDCWD, folder, &links);
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
  opened->path = folder;
  opened->id.device = static_cast<std::uint64_t>(info.st_dev);
  opened->id.index = static_cast<std::uint64_t>(info.st_ino);
  return FileResult::done;
}

FileResult open_folder_strictly(const std::string& path, WriteFolder* opened) {
  if (path.empty() || path[0] != '/') {
    return FileResult::failed;
  }
  int fd = open("/", FOLDER_FLAGS);
  for (std::size_t begin = 1; fd >= 0 && begin < path.size();) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) {
      end = path.size();
    }
    const std::string part = path.substr(begin, end - begin);
    begin = end + 1;
    if (part.empty() || part == ".") {
      continue;
    }
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

void close_write_folder(WriteFolder* folder) {
  for (std::intptr_t fd : folder->handles) {
    close(static_cast<int>(fd));
  }
  folder->handles.clear();
}

bool query_entry(const WriteFolder& folder, const std::string& name, PathStatus* status) {
  struct stat info;
  if (fstatat(folder_fd(folder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  *status = PathStatus{};
  status->is_link = S_ISLNK(info.st_mode);
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->size = static_cast<std::uint64_t>(info.st_size);
  status->id = id_of(info, 0);
  return true;
}

FileResult create_new_file(const WriteFolder& folder, const std::string& name,
                           std::uint32_t permissions, FileHandle* file) {
  int fd = openat(folder_fd(folder), name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                  static_cast<mode_t>(permissions & 0777));
  if (fd < 0) {
    return errno == EEXIST ? FileResult::exists : FileResult::failed;
  }
  file->value = fd;
  return FileResult::done;
}

FileResult publish_file(const WriteFolder& folder, const std::string& temp, const std::string& name,
                        bool replace) {
  note_own_write_in(folder, name);
  const int at = folder_fd(folder);
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

bool delete_file(const WriteFolder& folder, const std::string& name) {
  return unlinkat(folder_fd(folder), name.c_str(), 0) == 0;
}

bool append_to_file(const WriteFolder& folder, const std::string& name, const std::string& text) {
  note_own_write_in(folder, name);
  // O_NONBLOCK: a FIFO planted under the log's name must not hold us up. Without a reader it
  // cannot be opened; with one, an entry that does not fit fails instead of waiting.
  int links = 0;
  int fd =
      open_entry(folder_fd(folder), name,
                 O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_CREAT, 0666, &links);
  if (fd < 0) {
    return false;
  }
  FileHandle file;
  file.value = fd;
  bool ok = write_file(file, text.data(), text.size());
  return close_file(&file) && ok;
}

bool append_to_file(const std::string& path, const std::string& text) {
  const std::size_t slash = path.rfind('/');
  WriteFolder folder;
  if (open_write_folder(slash == std::string::npos ? "" : path.substr(0, slash + 1), &folder) !=
      FileResult::done) {
    return false;
  }
  bool ok = append_to_file(folder, path.substr(slash + 1), text);
  close_write_folder(&folder);
  return ok;
}

bool next_data(FileHandle file, std::uint64_t from, std::uint64_t* start, std::uint64_t* end) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) {
    return false;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  *start = size;
  if (from >= size) {
    return false;
  }
  off_t data = from;
  off_t hole = info.st_size;
#ifdef SEEK_DATA
  data = lseek(fd_of(file), static_cast<off_t>(from), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) {
      return false;  // only a hole follows
    }
    data = static_cast<off_t>(from);  // no hole search here: all of it counts as data
  } else {
    hole = lseek(fd_of(file), data, SEEK_HOLE);
    if (hole < 0) {
      hole = info.st_size;
    }
  }
#endif
  if (lseek(fd_of(file), data, SEEK_SET) != data) {
    return false;
  }
  *start = static_cast<std::uint64_t>(data);
  *end = static_cast<std::uint64_t>(hole);
  return true;
}

bool seek_file(FileHandle file, std::uint64_t offset) {
  return lseek(fd_of(file), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool resize_file(FileHandle file, std::uint64_t size) {
  return ftruncate(fd_of(file), static_cast<off_t>(size)) == 0;
}

bool stored_size(FileHandle file, std::uint64_t* bytes) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) {
    return false;
  }
  *bytes = static_cast<std::uint64_t>(info.st_blocks) * 512;
  return true;
}

bool space_of(const std::string& folder, std::uint64_t* free_bytes, std::uint64_t* total_bytes) {
  struct statvfs info;
  if (statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) {
    return false;
  }
  *free_bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  *total_bytes = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
  return true;
}

FolderRef folder_ref(const WriteFolder& folder) {
  return FolderRef{folder.handles.empty() ? -1 : folder.handles.back(), folder.path};
}

FileResult move_entry(const FolderRef& from, const std::string& name, const FolderRef& to,
                      const std::string& to_name) {
  const int at = static_cast<int>(from.handle);
  const int into = static_cast<int>(to.handle);
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

FileResult create_private_folder(const WriteFolder& in, const std::string& name,
                                 WriteFolder* opened) {
  if (mkdirat(folder_fd(in), name.c_str(), 0700) != 0) {
    return errno == EEXIST ? FileResult::exists : FileResult::failed;
  }
  int fd = openat(folder_fd(in), name.c_str(), FOLDER_FLAGS);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    unlinkat(folder_fd(in), name.c_str(), AT_REMOVEDIR);
    return FileResult::failed;
  }
  opened->handles.assign(1, fd);
  opened->path = in.path + "/" + name;
  opened->id.device = static_cast<std::uint64_t>(info.st_dev);
  opened->id.index = static_cast<std::uint64_t>(info.st_ino);
  return FileResult::done;
}

bool remove_empty_folder(const WriteFolder& in, const std::string& name) {
  return unlinkat(folder_fd(in), name.c_str(), AT_REMOVEDIR) == 0;
}

bool may_write(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool is_private_folder(const std::string& path) {
  struct stat info;
  return !path.empty() && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool name_unopenable(const std::string&, bool) {
  return false;
}

bool read_entry(const WriteFolder& folder, const std::string& name, std::size_t limit,
                std::string* text) {
  int fd = openat(folder_fd(folder), name.c_str(),
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
