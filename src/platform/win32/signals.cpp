// Win32 stop requests: Ctrl+C, Ctrl+Break and closing the console set the stop flag.
#include "platform/signals.h"

#include "platform/win32/shared_state.h"

namespace {

// Written by the console control handler, which Windows runs on a thread of its own, and by the
// service's control handler (service.cpp).
std::atomic<int> stop_count{0};
// The requests the wait has been ended for (wait.cpp), so that one that comes between a look at
// the flag and the next wait is never missed.
std::atomic<int> stop_count_woken{0};
std::atomic<bool> interrupted{false};
// Set when the service asked for an interrupt: no console delivers it to the commands, so the
// wait ends them (wait.cpp).
std::atomic<bool> ending_commands{false};

BOOL WINAPI on_console_event(DWORD event) {
  interrupted.store(true);
  int count = stop_count.fetch_add(1) + 1;
  // The loop ends the commands at a second request; at a third while one runs, end everything.
  if (count >= 3 && commands_running.load() > 0) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process as soon as this handler returns. Holding the handler gives the
    // main thread the few seconds the system allows to finish its job and exit by itself.
    Sleep(4000);
  }
  return TRUE;
}

}  // namespace

void install_stop_handler() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() {
  return stop_count.load() > 0;
}

bool second_stop_requested() {
  return stop_count.load() >= 2;
}

bool interrupt_requested() {
  // The commands share our console, so every console event reached them as well.
  return interrupted.load();
}

void request_service_stop(bool interrupt) {
  if (interrupt) {
    interrupted.store(true);
    ending_commands.store(true);
  }
  if (stop_count.load() == 0) {
    stop_count.store(1);
  }
}

bool stop_request_unwoken() {
  const int count = stop_count.load();
  return stop_count_woken.exchange(count) != count;
}

bool commands_to_end() {
  return ending_commands.load();
}
