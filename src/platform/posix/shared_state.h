// State that several POSIX platform files share, with the few functions that touch it. Each
// item says who needs it; everything else stays private to its file.
#pragma once

#include <fcntl.h>
#include <signal.h>

#include <cstdint>
#include <string>

#include "platform/files.h"

// Commands started and not yet seen to end: counted in processes.cpp, read by the stop handler
// in signals.cpp, which ends the program at a second request only while a command runs.
extern volatile sig_atomic_t commands_running;

// Sends `sig` to the process group of every command that runs (processes.cpp); safe in a signal
// handler. The stop handler passes a Ctrl+C on, as the terminal would have done when the commands
// shared our group, and ends them at a second request.
void signal_commands(int sig);

// Wakes wait_for_commands (processes.cpp) through its pipe; safe in a signal handler. The stop
// handler (signals.cpp) calls it, so that a request ends the wait at once.
void wake_up();

// The inotify descriptor of change notification (watch.cpp); -1 when nothing is watched.
// wait_for_commands polls it, and the file functions below keep our own writes out of it.
int watch_descriptor();

// Notes that we are about to write `path` ourselves (publish_file and append_to_file in
// files.cpp), so that our own write never wakes a pass.
void note_own_write(const std::string& path);

// The descriptor that the *at calls take for `folder` (every platform file): the working folder's
// for Folder{}.
inline int descriptor_of(const Folder& folder) {
  return folder.handles.empty() ? AT_FDCWD : static_cast<int>(folder.handles.back());
}
