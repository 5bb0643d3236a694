// POSIX commands: /bin/sh -c through posix_spawn, and a wait that a command's end, a stop request
// or a change in a watched folder ends at once.
#include "platform/processes.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/shared_state.h"
#include "platform/signals.h"

extern char** environ;

const char* const QUOTE_BREAKERS = "\"$`\\";

volatile sig_atomic_t commands_running = 0;

namespace {

// A pipe that wakes wait_for_commands: a byte is written to it when a command ends or a stop is
// requested. -1 until commands are started without waiting.
int wake_pipe[2] = {-1, -1};

void on_child_ended(int) {
  wake_up();
}

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

void wake_up() {
  if (wake_pipe[1] >= 0) {
    int saved = errno;
    char byte = 0;
    ssize_t ignored = write(wake_pipe[1], &byte, 1);  // a full pipe wakes the waiter just as well
    (void)ignored;
    errno = saved;
  }
}

std::uint32_t process_number() {
  return static_cast<std::uint32_t>(getpid());
}

bool commands_can_start_here() {
  return true;
}

int run_command(const std::string& command) {
  // posix_spawn rather than system(): system() blocks SIGINT and SIGQUIT in the caller while the
  // command runs, which would hide a stop request. The child keeps our process group, working
  // folder, environment and standard streams; handled signals return to their defaults in it.
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  commands_running = commands_running + 1;
  int error =
      posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (error != 0) {
    commands_running = commands_running - 1;
    return 127;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  commands_running = commands_running - 1;
  return waited < 0 ? 127 : result_of(status);
}

bool start_command(const std::string& command, const FolderMark& folder, FileHandle output,
                   RunningCommand* running) {
  if (!prepare_waiting(true) || folder.handle < 0) {
    return false;
  }
  const int folder_fd = static_cast<int>(folder.handle);
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
  ok = ok && add_folder_change(&actions, folder_fd) == 0;
  // Without a folder change in the spawn, the child gets ours for the moment of its start; the
  // walk is single-threaded, so nothing else sees it.
  int back = -1;
  if (ok && !SPAWN_CHANGES_FOLDER) {
    back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = back >= 0 && fchdir(folder_fd) == 0;
  }
  pid_t child = -1;
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  if (ok) {
    commands_running = commands_running + 1;
    ok = posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                     environ) == 0;
    if (!ok) {
      commands_running = commands_running - 1;
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
  commands_running = commands_running - 1;
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
