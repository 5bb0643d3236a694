// The POSIX wait, the program's one: a poll over the wake pipe, change notification and the
// commands' output pipes. A command's end and a stop request write to the wake pipe.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/processes_internal.h"
#include "platform/posix/shared_state.h"
#include "platform/processes.h"
#include "platform/signals.h"

int wake_pipe[2] = {-1, -1};

namespace {

void on_child_ended(int) {
  wake_up();
}

}  // namespace

bool prepare_waiting() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe[0] = wake_pipe[1] = -1;
    return false;
  }
  static bool child_handler = false;
  if (!child_handler) {
    struct sigaction action {};
    action.sa_handler = on_child_ended;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    child_handler = sigaction(SIGCHLD, &action, nullptr) == 0;
  }
  return true;
}

void wake_up() {
  if (wake_pipe[1] >= 0) {
    int saved = errno;
    char byte = 0;
    ssize_t ignored = write(wake_pipe[1], &byte, 1);  // a full pipe wakes the waiter just as well
    (void)ignored;
    errno = saved;
  }
}

Woken wait_for_commands(const std::vector<RunningCommand>& running,
                        const std::vector<FileHandle>& outputs, std::int64_t timeout_ms,
                        bool changes) {
  Woken woken;
  // The pipe first: a stop request that comes after the look below writes to it. After a stop
  // request only the commands are waited for: their end still writes to the pipe.
  if (timeout_ms <= 0 || !prepare_waiting() || (stop_requested() && running.empty())) {
    woken.stop = stop_requested();
    return woken;
  }
  std::vector<struct pollfd> waits{{wake_pipe[0], POLLIN, 0}};
  // Changes stay queued for the one who reads them; polling for them otherwise would never wait.
  const bool watched = changes && watch_descriptor() >= 0;
  if (watched) {
    waits.push_back({watch_descriptor(), POLLIN, 0});
  }
  for (FileHandle output : outputs) {
    waits.push_back({static_cast<int>(output.value), POLLIN, 0});
  }
  int timeout = timeout_ms > 60000 ? 60000 : static_cast<int>(timeout_ms);
  // The end of what a stopped command started is no signal of ours: it is looked for often.
  for (const RunningCommand& command : running) {
    if (command.shell_ended && timeout > 50) {
      timeout = 50;
    }
  }
  if (poll(waits.data(), waits.size(), timeout) <= 0) {
    woken.stop = stop_requested();
    return woken;
  }
  if ((waits[0].revents & POLLIN) != 0) {
    char drained[64];
    while (read(wake_pipe[0], drained, sizeof drained) > 0) {
    }
    // The stop handler and a command's end write to the same pipe.
    woken.command = !running.empty();
  }
  woken.stop = stop_requested();
  woken.change = watched && waits[1].revents != 0;
  for (std::size_t i = watched ? 2 : 1; i < waits.size(); ++i) {
    woken.output = woken.output || waits[i].revents != 0;
  }
  return woken;
}
