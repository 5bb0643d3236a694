// State that several POSIX platform files share, with the few functions that touch it. Each
// item says who needs it; everything else stays private to its file.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>
#include <tuple>

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

// Closes the folder that enter_sub_folder left open for the listing that follows (folders.cpp).
// Any change of the working folder must drop it, start_command's (processes.cpp) included.
void drop_entered_folder();

// The inotify descriptor of change notification (watch.cpp); -1 when nothing is watched.
// wait_for_commands polls it, and the file functions below keep our own writes out of it.
extern int watch_fd;

// A name in a folder, the folder known by its device and inode.
using NamedEntry = std::tuple<std::uint64_t, std::uint64_t, std::string>;

// `name` in `folder` ("" for the working folder, else ending in '/'). False when the folder cannot
// be examined.
bool entry_in(const std::string& folder, const std::string& name, NamedEntry* entry);

// Reads every change that has arrived, leaving out what we wrote ourselves and, when `probe` is
// given, the one close of our own readiness probe of that file (files.cpp).
void take_events(const NamedEntry* probe);

// Notes that we are about to write `path` ourselves (publish_file and append_to_file in
// files.cpp), so that our own write never wakes a pass.
void note_own_write(const std::string& path);
