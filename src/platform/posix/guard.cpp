// The POSIX guard: a process of our own that ends every command we started as soon as we end,
// however we end. On Windows the job object of each command (win32/process_tree.cpp) does that.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/posix/processes_internal.h"
#include "platform/posix/shared_state.h"

namespace {

// The process groups of the commands that run, for the stop handler, which may pass a request on
// to them, and for the guard, which ends them when we are gone; 0 marks a free place. Each
// command's group has the number of its shell. The guard shares the page (see prepare_commands),
// so it needs no word from us while we run.
constexpr int MAX_GROUPS = 256;
volatile sig_atomic_t own_groups[MAX_GROUPS];
volatile sig_atomic_t* command_groups = own_groups;

// The guard: a process of our own, in a process group of its own, that ends every command we
// started (and everything in the run's cgroup) as soon as we end, whatever ends us, kill -9
// included: it learns of our end from the pipe we hold, which the kernel closes with us, and
// finds the commands' groups in the page it shares with us.
struct GuardState {
  bool tried = false;  // start_guard ran
  int pipe = -1;       // our end of the pipe, never written
};
GuardState guard_state;

[[noreturn]] void run_guard(int from_us) {
  setpgid(0, 0);
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3 && null >= 0; ++fd) {
    dup2(null, fd);
  }
  // Nothing else of ours is kept open: a pipe a test or a service manager reads to its end must
  // not wait for the guard.
  std::vector<int> inherited;
  if (DIR* open_files = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(open_files)) {
      int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
      if (fd > 2 && fd != from_us && fd != own_cgroup_fd() && fd != dirfd(open_files)) {
        inherited.push_back(fd);
      }
    }
    closedir(open_files);
  }
  for (int fd : inherited) {
    close(fd);
  }
  // Nothing is ever written: the read ends when we do.
  for (char byte;;) {
    ssize_t got = read(from_us, &byte, 1);
    if (got == 0 || (got < 0 && errno != EINTR)) {
      break;
    }
  }
  signal_commands(SIGKILL);
  clear_run_cgroups();
  _exit(0);
}

}  // namespace

void note_group(pid_t group, bool running) {
  for (int i = 0; i < MAX_GROUPS; ++i) {
    volatile sig_atomic_t& place = command_groups[i];
    if (running ? place == 0 : place == group) {
      place = running ? group : 0;
      return;
    }
  }
}

void share_groups() {
  void* page =
      mmap(nullptr, sizeof own_groups, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page != MAP_FAILED) {
    command_groups = static_cast<volatile sig_atomic_t*>(page);
  }
}

void start_guard() {
  if (guard_state.tried) {
    return;
  }
  guard_state.tried = true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return;
  }
  pid_t guard = fork();
  if (guard == 0) {
    run_guard(fds[0]);
  }
  close(fds[0]);
  if (guard < 0) {
    close(fds[1]);
    return;
  }
  guard_state.pipe = fds[1];
}

void signal_commands(int sig) {
  for (int i = 0; i < MAX_GROUPS; ++i) {
    if (command_groups[i] != 0) {
      kill(-static_cast<pid_t>(command_groups[i]), sig);
    }
  }
}
