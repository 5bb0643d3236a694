// POSIX stop requests: SIGTERM, SIGHUP and SIGINT set the stop flag and wake a waiting loop;
// SIGINT also ends the running commands' work.
#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

#include "platform/posix/shared_state.h"

namespace {

volatile sig_atomic_t stop_count = 0;
volatile sig_atomic_t interrupted = 0;

void on_stop_signal(int sig) {
  if (stop_count < 2) {
    stop_count = stop_count + 1;
  }
  // The user asked twice while a command runs: do not wait for it any longer, nor let it run on.
  if (stop_count >= 2 && commands_running > 0) {
    signal_commands(SIGKILL);
    _exit(1);
  }
  // Each command has a process group of its own, which a terminal's Ctrl+C does not reach. A
  // service manager's SIGTERM (or a hang-up) is meant for us alone: the commands run out.
  if (sig == SIGINT) {
    interrupted = 1;
    signal_commands(SIGINT);
  }
  if (stop_count >= 2) {
    interrupted = 1;
  }
  wake_up();
}

// A reader that went away costs the write its data (EPIPE), not the program its life. A handler
// rather than SIG_IGN, which the commands would inherit.
void on_broken_pipe(int) {}

}  // namespace

void install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a sleep must end when a request arrives
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = on_broken_pipe;
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

bool stop_requested() {
  return stop_count > 0;
}

bool interrupt_requested() {
  return interrupted != 0;
}
