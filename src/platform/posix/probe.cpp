// The POSIX readiness probe: whether another process still writes a file, told by an open for
// writing and a read lease, and the hold on a file while its job runs.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/posix/files_internal.h"

namespace {

#ifdef F_SETLEASE
void on_lease_broken(int) {}
#endif

// Set once a lease was refused because we neither own the file nor hold CAP_LEASE.
bool lease_refused = false;

// True when another process holds the file of `fd` (open for reading) open for writing. A read
// lease is refused with EAGAIN exactly then (our own descriptors for writing are closed by now);
// where no lease can be had for another reason (not the owner, a file system without leases, not
// a regular file) nothing is known and the plain test decides.
bool writer_holds(int fd) {
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
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  if (errno == EACCES || errno == EPERM) {
    lease_refused = true;
  }
  return errno == EAGAIN;
#else
  (void)fd;
  return false;
#endif
}

// The same for `path` of `at`, opened for it.
bool held_by_writer(int at, const std::string& path, int extra_flags) {
  int fd = openat(at, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra_flags);
  if (fd < 0) {
    return false;
  }
  const bool busy = writer_holds(fd);
  close(fd);
  return busy;
}

// True where an open descriptor can be opened again through /proc/self/fd. Asked once: the
// answer does not change while the program runs, and each test would otherwise ask again.
bool reopen_by_descriptor() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

bool is_file(int fd, const FileId& expected) {
  struct stat info;
  FileId id;
  return status_of(fd, &info, &id) && id == expected;
}

}  // namespace

Probe probe_file(const Folder& folder, const std::string& path, bool follow_link,
                 const FileId& expected, bool* wrote) {
  *wrote = false;
  const int at = descriptor_of(folder);
  // The name is only looked up (O_PATH opens nothing), and what it leads to must be the file
  // tested: then that very file is opened through the descriptor, so that a link another user
  // swaps in meanwhile is never opened through, not even a trusted one swapped for another.
  // Without /proc the name is opened again, as a link only where `follow_link`.
  int found = openat(at, path.c_str(), O_PATH | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW));
  if (found < 0) {
    return Probe::held;
  }
  if (!is_file(found, expected)) {
    close(found);
    return Probe::held;  // another file has the name now: not the one being tested
  }
  char by_descriptor[40];
  std::snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", found);
  const std::string same = reopen_by_descriptor() ? by_descriptor : path;
  // No O_CREAT: a file that vanished must stay gone. O_NONBLOCK: a FIFO without a reader or a
  // device must not hold up the walk; such an entry is simply not ready.
  const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  const int reopen = same == path ? flags : O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = openat(at, same.c_str(), O_WRONLY | O_APPEND | reopen);
  *wrote = fd >= 0;
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = openat(at, same.c_str(), O_RDONLY | reopen);
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
  held = held || held_by_writer(at, same, same == path && !follow_link ? O_NOFOLLOW : 0);
  close(found);
  return held ? Probe::held : Probe::free;
}

ProbeHold probe_and_hold(const Folder& folder, const std::string& path, bool follow_link,
                         const FileId& expected, bool hold, PathStatus* status, FileHandle* held) {
  ProbeHold result;
  if (follow_link) {
    // Through a link the name is looked up first, and only the file expected opened.
    result.held = hold && hold_file(folder, path, true, expected, held) == FileResult::done;
    result.probe = probe_file(folder, path, true, expected, &result.wrote);
    result.found = query_status(folder, path, status);
    return result;
  }
  // For reading, so that the lease below can be asked for on the same descriptor, which is then
  // the hold; never through a link. Opening for reading has no effect on a plain file, and
  // O_NONBLOCK none on a FIFO or a device either (with O_NOCTTY): what is not the file expected
  // is closed at once. On a file with another's lease the open fails at once (EWOULDBLOCK).
  const int fd = openat(descriptor_of(folder), path.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat info;
  FileId id;
  if (fd < 0 || !status_of(fd, &info, &id)) {
    result.probe = fd < 0 && (errno == EACCES || errno == EPERM) ? Probe::no_access : Probe::held;
    if (fd >= 0) {
      close(fd);
    }
    result.found = query_status(folder, path, status);
    return result;
  }
  result.found = true;
  *status = PathStatus{};
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->size = status->is_folder ? 0 : static_cast<std::uint64_t>(info.st_size);
  status->id = id;
  status->permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
  status->modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  const bool free = id == expected && status->is_regular && !writer_holds(fd);
  result.probe = free ? Probe::free : Probe::held;
  if (free && hold) {
    held->value = fd;
    result.held = true;
  } else {
    close(fd);
  }
  return result;
}

bool writer_check_refused() {
  return lease_refused;
}

FileResult hold_file(const Folder& folder, const std::string& path, bool follow_link,
                     const FileId& expected, FileHandle* held) {
  // As in the probe, the name is only looked up, and the file opened through that descriptor once
  // it is the file expected: a link swapped in meanwhile is never opened through. The open does
  // not wait: on a file with another's lease it fails with EWOULDBLOCK.
  int found = openat(descriptor_of(folder), path.c_str(),
                     O_PATH | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW));
  if (found < 0) {
    return errno == ENOENT ? FileResult::missing : FileResult::failed;
  }
  if (!is_file(found, expected)) {
    close(found);
    return FileResult::replaced;
  }
  char by_descriptor[40];
  std::snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", found);
  const bool proc = reopen_by_descriptor();
  FileResult opened =
      open_for_reading(folder, proc ? by_descriptor : path, proc || follow_link, expected, held);
  close(found);
  return opened;
}
