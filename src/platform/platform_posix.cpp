// POSIX implementation of the platform services (Linux and other Unix systems).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

extern char** environ;

const char PATH_SEPARATOR = '/';
const char* const QUOTE_BREAKERS = "\"$`\\";

namespace {

volatile sig_atomic_t stop_count = 0;
volatile sig_atomic_t command_running = 0;

void on_stop_signal(int) {
  if (stop_count < 2) {
    stop_count = stop_count + 1;
  }
  // The user asked twice while a command runs: do not wait for it any longer.
  if (stop_count >= 2 && command_running) {
    _exit(1);
  }
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

bool query_status(const std::string& path, PathStatus* status) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return false;
  }
  status->is_link = S_ISLNK(info.st_mode);
  if (status->is_link && stat(path.c_str(), &info) != 0) {
    return false;
  }
  status->is_folder = S_ISDIR(info.st_mode);
  status->size = status->is_folder ? 0 : static_cast<std::uint64_t>(info.st_size);
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

bool enter_sub_folder(const std::string& name) {
  // O_NOFOLLOW makes the open fail on a symbolic link, so the check and the change cannot be
  // separated by another program swapping the folder for a link.
  int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  if (fchdir(fd) != 0) {
    close(fd);
    return false;
  }
  drop_entered_folder();
  entered_folder = fd;
  return true;
}

bool mark_working_folder(FolderMark* mark) {
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
  } else {
    busy = errno == EAGAIN;
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
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  close(fd);
  // Unlike Windows, an open never fails because a writer still holds the file: ask for a lease.
  return !held_by_writer(path);
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

int run_command(const std::string& command) {
  // posix_spawn rather than system(): system() blocks SIGINT and SIGQUIT in the caller while the
  // command runs, which would hide a stop request. The child keeps our process group, working
  // folder, environment and standard streams; handled signals return to their defaults in it.
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  command_running = 1;
  int error =
      posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (error != 0) {
    command_running = 0;
    return 127;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  command_running = 0;
  if (waited < 0) {
    return 127;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 127;
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
