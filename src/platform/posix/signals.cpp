// POSIX stop requests: SIGINT and SIGTERM set the stop flag and wake a waiting loop.
#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

#include "platform/posix/shared_state.h"

namespace {

volatile sig_atomic_t stop_count = 0;

void on_stop_signal(int sig) {
  if (stop_count < 2) {
    stop_count = stop_count + 1;
  }
  // The user asked twice while a command runs: do not wait for it any longer, nor let it run on.
  if (stop_count >= 2 && commands_running > 0) {
    signal_commands(SIGKILL);
    _exit(1);
  }
  // Each command has a process group of its own, which a terminal's Ctrl+C does not reach.
  if (sig == SIGINT) {
    signal_commands(SIGINT);
  }
  wake_up();
}

}  // namespace

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
