// Processes: running commands through the system's command interpreter, with or without waiting
// for them, and the number of this process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/folders.h"

// Characters that end or break out of a double-quoted word for the command interpreter. A file
// whose path holds one of them (or a control byte) is never handed to a command.
extern const char* const QUOTE_BREAKERS;

// A number unique to this process, for naming temporary files.
std::uint32_t process_number();

// True when a command can be started with the working folder as its current folder (Windows
// limits the length of that folder; POSIX systems do not).
bool commands_can_start_here();

// Runs `command` through the system's command interpreter in the current working folder, with
// the program's environment and standard streams, and waits for it. Returns its exit status; a
// command killed by signal N gives 128 + N; an interpreter that cannot be started gives a
// non-zero value.
int run_command(const std::string& command);

// A command started by start_command and not yet seen to end.
struct RunningCommand {
  std::intptr_t process = -1;
};

// Starts `command` through the system's command interpreter, as run_command does, but with the
// marked `folder` as its current folder (ours stays as it is) and without waiting for it. When
// `output` is open, the command's standard output and error go into it; otherwise they are ours.
// Returns false when it could not be started.
bool start_command(const std::string& command, const FolderMark& folder, FileHandle output,
                   RunningCommand* running);

// True once the started command has ended; `result` then holds what run_command would have
// returned, and `running` is released.
bool command_ended(RunningCommand* running, int* result);

// Waits until one of the started commands `running` may have ended, a change in a watched folder
// arrives (only with `changes`: the caller reads them), or `timeout_ms` milliseconds have passed,
// whichever comes first. A stop request ends the wait too, unless there are commands to wait for.
void wait_for_commands(const std::vector<RunningCommand>& running, std::int64_t timeout_ms,
                       bool changes);
