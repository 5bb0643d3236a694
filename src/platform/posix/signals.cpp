// POSIX stop requests: SIGTERM, SIGHUP and SIGINT set the stop flag and wake a waiting loop;
// SIGINT also ends the running commands' work.
#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

#include "platform/posix/shared_state.h"

namespace {

volatile sig_atomic_t stop_count = 0;
volatile sig_atomic_t interrupted = 0;

// Said by the handler itself at a third request, which ends the program at once.
const char THIRD_STOP_LINE[] = "Spoolex: Third stop request, commands ended at once\n";

void on_stop_signal(int sig) {
  if (stop_count < 3) {
    stop_count = stop_count + 1;
  }
  // The loop ends the commands at a second request, and says so; at a third while one runs the
  // user has waited long enough (or the loop is stuck): end them and the program now.
  if (stop_count >= 3 && commands_running > 0) {
    ssize_t written = write(STDOUT_FILENO, THIRD_STOP_LINE, sizeof THIRD_STOP_LINE - 1);
    static_cast<void>(written);
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

bool second_stop_requested() {
  return stop_count >= 2;
}

bool interrupt_requested() {
  return interrupted != 0;
}
