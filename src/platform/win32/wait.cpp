// The Win32 wait, the program's one: on the commands' processes and the change event, in slices
// short enough that a stop request is seen at once.
#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "platform/processes.h"
#include "platform/signals.h"
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
    } else if (command.process != -1 && handles.size() < MAXIMUM_WAIT_OBJECTS) {
      handles.push_back(reinterpret_cast<HANDLE>(command.process));
    }
  }
  // A stop request that arrives during the wait ends it, so that the caller can say at once what
  // it waits for; after that only the commands are waited for.
  const bool stop_before = stop_requested();
  for (;;) {
    woken.stop = stop_requested();
    if (woken.stop && (running.empty() || !stop_before)) {
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
    const DWORD fired =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, slice);
    if (fired != WAIT_TIMEOUT) {
      const bool change = handles[0] == change_event && fired == WAIT_OBJECT_0;
      woken.change = change;
      woken.command = !change;
      return woken;
    }
  }
}
