// POSIX implementation of the platform services (Linux and other Unix systems).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "platform/platform.h"

extern char** environ;

const int COMMAND_NOT_STARTED = 127;
const char PATH_SEPARATOR = '/';
const char* const QUOTE_BREAKERS = "\"$`\\";
const char* const LINE_END = "\n";

namespace {

volatile sig_atomic_t stop_count = 0;
volatile sig_atomic_t command_running = 0;  // commands started and not yet seen to end

// A pipe that wakes wait_for_commands: a byte is written to it when a command ends or a stop is
// requested. -1 until commands are started without waiting.
int wake_pipe[2] = {-1, -1};

void wake_up() {
  if (wake_pipe[1] >= 0) {
    int saved = errno;
    char byte = 0;
    ssize_t ignored = write(wake_pipe[1], &byte, 1);  // a full pipe wakes the waiter just as well
    (void)ignored;
    errno = saved;
  }
}

void on_stop_signal(int) {
  if (stop_count < 2) {
    stop_count = stop_count + 1;
  }
  // The user asked twice while a command runs: do not wait for it any longer.
  if (stop_count >= 2 && command_running > 0) {
    _exit(1);
  }
  wake_up();
}

void on_child_ended(int) {
  wake_up();
}

EntryHint hint_of(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryHint::file;
    case DT_DIR:
      return EntryHint::folder;
    case DT_LNK:
      return EntryHint::link;
    default:
      return EntryHint::unknown;
  }
}

// The working folder as entered by enter_sub_folder, kept open for the listing that follows at
// once, so that a walk opens each folder once; -1 when there is none. Any other change of the
// working folder drops it.
int entered_folder = -1;

void drop_entered_folder() {
  if (entered_folder >= 0) {
    close(entered_folder);
    entered_folder = -1;
  }
}

// The inotify instance of change notification; -1 when nothing is watched.
int watch_fd = -1;

// A name in a folder, the folder known by its device and inode.
using NamedEntry = std::tuple<std::uint64_t, std::uint64_t, std::string>;

// The folder of each watch, and the names we wrote ourselves in watched folders.
std::map<int, std::pair<std::uint64_t, std::uint64_t>> watched_folders;
std::set<NamedEntry> own_writes;

// `name` in `folder` ("" for the working folder, else ending in '/'). False when the folder cannot
// be examined.
bool entry_in(const std::string& folder, const std::string& name, NamedEntry* entry) {
  struct stat info;
  if (stat(folder.empty() ? "." : folder.c_str(), &info) != 0) {
    return false;
  }
  *entry = NamedEntry{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino), name};
  return true;
}

// What a watched folder reports: a file closed after writing, moved in or created, and a
// folder made or moved in.
constexpr std::uint32_t WATCHED_CHANGES = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;

// Changes read from the watch but not yet taken by read_changes.
std::vector<FolderChange> pending_changes;

// Reads every change that has arrived into pending_changes, leaving out what we wrote ourselves
// and, when `probe` is given, the one close of our own readiness probe of that file.
void take_events(const NamedEntry* probe) {
  if (watch_fd < 0) {
    return;
  }
  bool probe_seen = probe == nullptr;
  alignas(struct inotify_event) char buffer[16 * 1024];
  for (;;) {
    ssize_t got = read(watch_fd, buffer, sizeof buffer);
    if (got <= 0) {
      return;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      FolderChange change;
      change.overflow = (event->mask & IN_Q_OVERFLOW) != 0;
      if (!change.overflow && (event->mask & WATCHED_CHANGES) == 0) {
        continue;  // a watch that ended with its folder, and the like
      }
      if (event->len > 0) {
        change.name = event->name;
      }
      auto folder = watched_folders.find(event->wd);
      if (!change.overflow && folder != watched_folders.end()) {
        NamedEntry entry{folder->second.first, folder->second.second, change.name};
        if (!probe_seen && (event->mask & IN_CLOSE_WRITE) != 0 && entry == *probe) {
          probe_seen = true;
          continue;
        }
        if (own_writes.count(entry) != 0) {
          continue;
        }
      }
      change.is_folder = (event->mask & IN_ISDIR) != 0;
      pending_changes.push_back(std::move(change));
    }
  }
}

// Notes that we are about to write `path` ourselves.
void note_own_write(const std::string& path) {
  std::size_t slash = path.rfind('/');
  NamedEntry entry;
  if (watch_fd >= 0 && entry_in(slash == std::string::npos ? "" : path.substr(0, slash + 1),
                                path.substr(slash == std::string::npos ? 0 : slash + 1), &entry)) {
    // Bounded: a name forgotten costs at most one early pass.
    if (own_writes.size() >= 4096) {
      own_writes.clear();
    }
    own_writes.insert(entry);
  }
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv, argv + argc);
}

bool write_standard_output(const char* text, std::size_t size) {
  bool ok = std::fwrite(text, 1, size, stdout) == size;
  return std::fflush(stdout) == 0 && ok;
}

bool list_working_folder(FolderListing* listing) {
  int fd = entered_folder;
  entered_folder = -1;
  if (fd < 0) {
    fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
  }
  bool ok = true;
#ifdef __linux__
  // Read straight from the kernel in large blocks: no status query of the folder, few calls.
  alignas(dirent64) static char buffer[64 * 1024];
  for (;;) {
    ssize_t got = getdents64(fd, buffer, sizeof buffer);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
      listing->add(entry->d_name, hint_of(entry->d_type));
      at += entry->d_reclen;
    }
  }
  close(fd);
#else
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    close(fd);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (entry == nullptr) {
      ok = (errno == 0);
      break;
    }
    listing->add(entry->d_name, hint_of(entry->d_type));
  }
  closedir(folder);
#endif
  return ok;
}

namespace {

// The rule of the kernel's protected_symlinks: a link may be followed when its owner owns what it
// leads to, or is the user we run as. Links of root's (/dev/stdout, /etc/alternatives) are the
// system's own and may be followed too: no dropper can make one.
bool link_is_trusted(uid_t link_owner, uid_t target_owner) {
  return link_owner == target_owner || link_owner == geteuid() || link_owner == 0;
}

}  // namespace

bool query_status(const std::string& path, PathStatus* status) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return false;
  }
  status->is_link = S_ISLNK(info.st_mode);
  uid_t link_owner = info.st_uid;
  if (status->is_link && stat(path.c_str(), &info) != 0) {
    return false;
  }
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->link_trusted = status->is_link && link_is_trusted(link_owner, info.st_uid);
  status->size = status->is_folder ? 0 : static_cast<std::uint64_t>(info.st_size);
  status->id.device = static_cast<std::uint64_t>(info.st_dev);
  status->id.index = static_cast<std::uint64_t>(info.st_ino);
  status->permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
  status->modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

bool get_working_folder(std::string* folder) {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      folder->assign(buffer.data());
      return true;
    }
    if (errno != ERANGE || buffer.size() > (1u << 24)) {
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool change_working_folder(const std::string& folder) {
  if (chdir(folder.c_str()) != 0) {
    return false;
  }
  drop_entered_folder();
  return true;
}

EnterResult enter_sub_folder(const std::string& name) {
  // O_NOFOLLOW makes the open fail on a symbolic link, so the check and the change cannot be
  // separated by another program swapping the folder for a link.
  int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == EMFILE || errno == ENFILE ? EnterResult::no_handles : EnterResult::refused;
  }
  if (fchdir(fd) != 0) {
    close(fd);
    return EnterResult::refused;
  }
  drop_entered_folder();
  entered_folder = fd;
  return EnterResult::entered;
}

bool mark_working_folder(FolderMark* mark) {
  // The walk's folder stays open in `entered_folder` only until it is listed, so a mark is a
  // descriptor of its own.
  mark->handle = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return mark->handle >= 0;
}

bool return_to_mark(const FolderMark& mark) {
  if (mark.handle < 0 || fchdir(mark.handle) != 0) {
    return false;
  }
  drop_entered_folder();
  return true;
}

void release_mark(FolderMark* mark) {
  if (mark->handle >= 0) {
    close(mark->handle);
    mark->handle = -1;
  }
}

namespace {

#ifdef F_SETLEASE
void on_lease_broken(int) {}
#endif

// Set once a lease was refused because we neither own the file nor hold CAP_LEASE.
bool lease_refused = false;

// True when another process holds `path` open for writing. A read lease is refused with EAGAIN
// exactly then (our own descriptors are closed by now); where no lease can be had for another
// reason (not the owner, a file system without leases, not a regular file) nothing is known and
// the plain test decides.
bool held_by_writer(const std::string& path) {
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
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
  return false;
#endif
}

}  // namespace

bool try_open_for_append(const std::string& path) {
  // No O_CREAT: a file that vanished must stay gone. O_NONBLOCK: a FIFO without a reader or a
  // device must not hold up the walk; such an entry is simply not ready.
  // The probe opens the file for writing, so its close is reported like a writer's. With
  // changes watched, what came before is taken first, and then that one close is left out
  // (a writer's close at the very same moment is merged with it, and polling finds that file).
  NamedEntry entry;
  bool watched = watch_fd >= 0 && entry_in("", path, &entry);
  if (watched) {
    take_events(nullptr);
  }
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  close(fd);
  if (watched) {
    take_events(&entry);
  }
  // Unlike Windows, an open never fails because a writer still holds the file: ask for a lease.
  return !held_by_writer(path);
}

bool writer_check_refused() {
  return lease_refused;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first;
  struct stat second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) {
    return false;
  }
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool delete_file(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

namespace {

int fd_of(FileHandle file) {
  return static_cast<int>(file.value);
}

// Does what `publish_file` does without replacing, for file systems without hard links: an atomic
// rename that refuses an existing name where the kernel offers one, otherwise a look before the
// rename, which leaves a short window.
FileResult rename_without_replacing(const std::string& temp, const std::string& path) {
#if defined(__linux__) && defined(SYS_renameat2)
  if (syscall(SYS_renameat2, AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), 1u) == 0) {
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
  if (lstat(path.c_str(), &info) == 0) {
    return FileResult::exists;
  }
  return rename(temp.c_str(), path.c_str()) == 0 ? FileResult::done : FileResult::failed;
}

}  // namespace

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
  if (fstat(fd, &info) != 0) {
    close(fd);
    return FileResult::failed;
  }
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_dev) != expected.device ||
      static_cast<std::uint64_t>(info.st_ino) != expected.index) {
    close(fd);
    return FileResult::replaced;
  }
  // Reads block from here on; the descriptor names a plain file, so they never wait on a writer.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file->value = fd;
  return FileResult::done;
}

FileResult create_new_file(const std::string& path, std::uint32_t permissions, FileHandle* file) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                static_cast<mode_t>(permissions & 0777));
  if (fd < 0) {
    return errno == EEXIST ? FileResult::exists : FileResult::failed;
  }
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

bool write_file(FileHandle file, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = write(fd_of(file), data, size);
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool close_file(FileHandle* file) {
  if (file->value < 0) {
    return true;
  }
  int fd = fd_of(*file);
  file->value = -1;
  return close(fd) == 0;
}

FileResult publish_file(const std::string& temp, const std::string& path, bool replace) {
  note_own_write(path);
  if (replace) {
    // rename replaces a link itself, never what it leads to.
    return rename(temp.c_str(), path.c_str()) == 0 ? FileResult::done : FileResult::failed;
  }
  // A hard link never replaces an existing name, a planted link included; then the temporary
  // name goes.
  if (link(temp.c_str(), path.c_str()) == 0) {
    unlink(temp.c_str());
    return FileResult::done;
  }
  if (errno == EEXIST) {
    return FileResult::exists;
  }
  if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EXDEV ||
      errno == EMLINK) {
    return rename_without_replacing(temp, path);
  }
  return FileResult::failed;
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

bool folder_links_trusted(const std::string& folder) {
  // Each part of the path in turn: "a", "a/b", "a/b/c" (or "/a", "/a/b" ...).
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    std::string part = folder.substr(0, end);
    struct stat info;
    if (!part.empty() && lstat(part.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      PathStatus status;
      if (!query_status(part, &status) || !status.link_trusted) {
        return false;
      }
    }
    if (end == std::string::npos) {
      return true;
    }
  }
}

bool append_to_file(const std::string& path, const std::string& text) {
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && !folder_links_trusted(path.substr(0, slash))) {
    return false;
  }
  note_own_write(path);
  // O_NONBLOCK: a FIFO planted under the log's name must not hold us up. Without a reader it
  // cannot be opened; with one, an entry that does not fit fails instead of waiting.
  const int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(path.c_str(), flags | O_CREAT | O_NOFOLLOW, 0666);
  if (fd < 0 && errno == ELOOP) {
    // A link: followed only when its owner owns what it leads to, and then only to that file.
    PathStatus status;
    if (!query_status(path, &status) || !status.link_trusted) {
      return false;
    }
    fd = open(path.c_str(), flags);
    struct stat info;
    if (fd >= 0 &&
        (fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_dev) != status.id.device ||
         static_cast<std::uint64_t>(info.st_ino) != status.id.index)) {
      close(fd);
      return false;
    }
  }
  if (fd < 0) {
    return false;
  }
  FileHandle file;
  file.value = fd;
  bool ok = write_file(file, text.data(), text.size());
  return close_file(&file) && ok;
}

std::uint32_t process_number() {
  return static_cast<std::uint32_t>(getpid());
}

bool commands_can_start_here() {
  return true;
}

bool local_time_now(LocalTime* now) {
  time_t seconds = time(nullptr);
  struct tm parts;
  tzset();
  if (localtime_r(&seconds, &parts) == nullptr) {
    return false;
  }
  now->year = parts.tm_year + 1900;
  now->month = parts.tm_mon + 1;
  now->day = parts.tm_mday;
  now->hour = parts.tm_hour;
  now->minute = parts.tm_min;
  now->second = parts.tm_sec;
  now->weekday = parts.tm_wday;
  return true;
}

namespace {

// What run_command returns for a wait status.
int result_of(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 127;
}

}  // namespace

int run_command(const std::string& command) {
  // posix_spawn rather than system(): system() blocks SIGINT and SIGQUIT in the caller while the
  // command runs, which would hide a stop request. The child keeps our process group, working
  // folder, environment and standard streams; handled signals return to their defaults in it.
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  command_running = command_running + 1;
  int error =
      posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (error != 0) {
    command_running = command_running - 1;
    return 127;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  command_running = command_running - 1;
  return waited < 0 ? 127 : result_of(status);
}

namespace {

// Creates the wake pipe once; with `for_children`, also the handler that feeds it when a command
// ends (only commands started without waiting need it).
bool prepare_waiting(bool for_children) {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe[0] = wake_pipe[1] = -1;
    return false;
  }
  static bool child_handler = false;
  if (for_children && !child_handler) {
    struct sigaction action {};
    action.sa_handler = on_child_ended;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    child_handler = sigaction(SIGCHLD, &action, nullptr) == 0;
  }
  return true;
}

// posix_spawn_file_actions_addfchdir_np came with glibc 2.29.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
constexpr bool SPAWN_CHANGES_FOLDER = true;
int add_folder_change(posix_spawn_file_actions_t* actions, int folder) {
  return posix_spawn_file_actions_addfchdir_np(actions, folder);
}
#else
constexpr bool SPAWN_CHANGES_FOLDER = false;
int add_folder_change(posix_spawn_file_actions_t*, int) {
  return 0;
}
#endif

}  // namespace

bool start_command(const std::string& command, const FolderMark& folder, FileHandle output,
                   RunningCommand* running) {
  if (!prepare_waiting(true) || folder.handle < 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    return false;
  }
  bool ok = true;
  if (output.value >= 0) {
    int fd = static_cast<int>(output.value);
    ok = posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO) == 0;
  }
  ok = ok && add_folder_change(&actions, folder.handle) == 0;
  // Without a folder change in the spawn, the child gets ours for the moment of its start; the
  // walk is single-threaded, so nothing else sees it.
  int back = -1;
  if (ok && !SPAWN_CHANGES_FOLDER) {
    back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = back >= 0 && fchdir(folder.handle) == 0;
  }
  pid_t child = -1;
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  if (ok) {
    command_running = command_running + 1;
    ok = posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                     environ) == 0;
    if (!ok) {
      command_running = command_running - 1;
    }
  }
  if (back >= 0) {
    if (fchdir(back) == 0) {
      drop_entered_folder();
    }
    close(back);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (ok) {
    running->process = child;
  }
  return ok;
}

bool command_ended(RunningCommand* running, int* result) {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(static_cast<pid_t>(running->process), &status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) {
    return false;
  }
  command_running = command_running - 1;
  running->process = -1;
  *result = waited < 0 ? 127 : result_of(status);
  return true;
}

void wait_for_commands(const std::vector<RunningCommand>& running, std::int64_t timeout_ms,
                       bool changes) {
  // After a stop request only the commands are waited for: their end still writes to the pipe.
  if ((stop_requested() && running.empty()) || timeout_ms <= 0 || !prepare_waiting(false)) {
    return;
  }
  struct pollfd waits[2] = {{wake_pipe[0], POLLIN, 0}, {watch_fd, POLLIN, 0}};
  int timeout = timeout_ms > 60000 ? 60000 : static_cast<int>(timeout_ms);
  // A stop request that came before the pipe existed was seen above; any later one writes to it.
  // Changes stay queued for the one who reads them; polling for them otherwise would never wait.
  nfds_t count = changes && watch_fd >= 0 ? 2 : 1;
  if (poll(waits, count, timeout) > 0 && (waits[0].revents & POLLIN) != 0) {
    char drained[64];
    while (read(wake_pipe[0], drained, sizeof drained) > 0) {
    }
  }
}

namespace {

std::string watch_failure(int error) {
  if (error == ENOSPC) {
    return "the limit of inotify watches is reached, see fs.inotify.max_user_watches";
  }
  if (error == EMFILE) {
    return "the limit of inotify instances is reached, see fs.inotify.max_user_instances";
  }
  return std::strerror(error);
}

}  // namespace

bool start_watching(bool, std::string* reason) {
  if (watch_fd < 0) {
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0) {
      *reason = watch_failure(errno);
      return false;
    }
  }
  return watch_working_folder(reason);
}

bool watch_working_folder(std::string* reason) {
  if (watch_fd < 0) {
    return true;
  }
  // A folder watched already keeps its watch; one that goes loses it with it.
  int watch = inotify_add_watch(watch_fd, ".", WATCHED_CHANGES | IN_ONLYDIR);
  if (watch < 0) {
    *reason = watch_failure(errno);
    return false;
  }
  struct stat info;
  if (stat(".", &info) == 0) {
    watched_folders[watch] = {static_cast<std::uint64_t>(info.st_dev),
                              static_cast<std::uint64_t>(info.st_ino)};
  }
  return true;
}

void read_changes(std::vector<FolderChange>* changes) {
  take_events(nullptr);
  changes->insert(changes->end(), std::make_move_iterator(pending_changes.begin()),
                  std::make_move_iterator(pending_changes.end()));
  pending_changes.clear();
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

bool print_scratch_file(FileHandle file) {
  std::fflush(stdout);
  int fd = static_cast<int>(file.value);
  if (lseek(fd, 0, SEEK_SET) != 0) {
    return false;
  }
  char buffer[64 * 1024];
  for (;;) {
    std::int64_t got = read_file(file, buffer, sizeof buffer);
    if (got <= 0) {
      return got == 0;
    }
    FileHandle out;
    out.value = STDOUT_FILENO;
    if (!write_file(out, buffer, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

std::int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a sleep must end when a request arrives
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() {
  return stop_count > 0;
}

bool sleep_seconds(std::int64_t seconds) {
  // Slept in slices, so that a request arriving just before a slice starts still ends the pause
  // within a fraction of a second; a request during a slice interrupts it at once.
  constexpr long SLICE_MS = 250;
  std::int64_t left_ms = seconds > 0 ? seconds * 1000 : 0;
  if (seconds > INT64_MAX / 1000) {
    left_ms = INT64_MAX;
  }
  while (left_ms > 0) {
    if (stop_requested()) {
      return false;
    }
    long slice = left_ms < SLICE_MS ? static_cast<long>(left_ms) : SLICE_MS;
    struct timespec wanted = {slice / 1000, (slice % 1000) * 1000000L};
    nanosleep(&wanted, nullptr);
    left_ms -= slice;
  }
  return !stop_requested();
}
