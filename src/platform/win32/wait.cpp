// The Win32 wait, the program's one: on the commands' processes and the change event, in slices
// short enough that a stop request is seen at once.
#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "platform/processes.h"
#include "platform/signals.h"
#include "platform/wait_list.h"
#include "platform/win32/shared_state.h"

Woken wait_for_commands(const std::vector<RunningCommand>& running, const std::vector<FileHandle>&,
                        std::int64_t timeout_ms, bool changes) {
  Woken woken;
  // Woken by an ended command, a change in the watched folder (only for a caller that reads
  // changes: the event stays set until then), or at the latest after a slice, so that a stop
  // request is seen within a fraction of a second.
  std::vector<HANDLE> handles;
  HANDLE change_event = watch_event();
  if (changes && change_event != nullptr) {
    handles.push_back(change_event);
  }
  std::int64_t end = monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (const RunningCommand& command : running) {
    if (command.shell_ended) {
      // Its handle stays signalled; the end of what it started is looked for often instead.
      end = std::min(end, monotonic_ms() + 50);
    } else if (command.process != -1) {
      handles.push_back(reinterpret_cast<HANDLE>(command.process));
    }
  }
  const auto groups = wait_groups(handles.size(), MAXIMUM_WAIT_OBJECTS);
  // A stop request the caller may not have seen yet (one that came during the wait, or after its
  // last look) ends the wait, so that it can say at once what it waits for; after that only the
  // commands are waited for, and a second request, which asks them to end.
  for (;;) {
    if (commands_to_end()) {
      // A service's interrupt: what a console would have told the commands, their jobs do.
      for (const RunningCommand& command : running) {
        if (command.tree != -1) {
          TerminateJobObject(reinterpret_cast<HANDLE>(command.tree), 1);
        } else if (command.process != -1) {
          TerminateProcess(reinterpret_cast<HANDLE>(command.process), 1);
        }
      }
    }
    woken.stop = stop_requested();
    if (woken.stop && (stop_request_unwoken() || running.empty())) {
      return woken;
    }
    std::int64_t left = end - monotonic_ms();
    if (left <= 0) {
      return woken;
    }
    DWORD slice = left < 100 ? static_cast<DWORD>(left) : 100;
    if (handles.empty()) {
      Sleep(slice);
      continue;
    }
    // The system waits for at most 64 handles at once: the groups beyond the first are looked at
    // without waiting, then the first is waited for.
    DWORD fired = WAIT_TIMEOUT;
    for (std::size_t g = groups.size(); g-- > 0 && fired == WAIT_TIMEOUT;) {
      const DWORD count = static_cast<DWORD>(groups[g].second - groups[g].first);
      fired = WaitForMultipleObjects(count, handles.data() + groups[g].first, FALSE,
                                     g == 0 ? slice : 0);
      if (fired != WAIT_TIMEOUT && g > 0) {
        fired = WAIT_OBJECT_0 + 1;  // a command's handle
      }
    }
    if (fired != WAIT_TIMEOUT) {
      const bool change = handles[0] == change_event && fired == WAIT_OBJECT_0;
      woken.change = change;
      woken.command = !change;
      return woken;
    }
  }
}
