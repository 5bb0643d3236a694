// Processes: running commands through the system's command interpreter, with or without waiting
// for them, and the number of this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/folders.h"

// Characters that end or break out of a double-quoted word for the command interpreter. A file
// whose path holds one of them (or a control byte) is never handed to a command.
extern const char* const QUOTE_BREAKERS;

// The character around a variable's name that the command interpreter expands even inside double
// quotes ('%' for cmd.exe); '\0' where there is none.
extern const char VARIABLE_MARK;

// Raises the process's limit of open descriptors to the most it may have (at start-up only); the
// commands started keep the limit we were given. Returns the limit now in force; 0 where there is
// none to speak of (Windows).
std::uint64_t raise_descriptor_limit();

// A number unique to this process, for naming temporary files.
std::uint32_t process_number();

// True while a process numbered `number` (as process_number gives it) runs, or when that cannot
// be told; false only when no such process exists.
bool process_alive(std::uint32_t number);

// When the running process numbered `number` started, as a number that a later process of the same
// number (and, on Linux, a later boot) does not repeat; 0 when that cannot be told.
std::uint64_t process_start(std::uint32_t number);

// Fills `size` bytes at `data` from the system's unpredictable random source. False when it
// has none to give.
bool random_bytes(void* data, std::size_t size);

// True when a command can be started with `folder` as its current folder (Windows limits the
// length of that folder; POSIX systems do not).
bool commands_can_start_in(const Folder& folder);

// What a job's command counts as when the command interpreter cannot be started: 127 on POSIX
// systems, as the shell reports a missing program, and 9009 on Windows, as cmd.exe does.
extern const int COMMAND_NOT_STARTED;

// A command started by start_command and not yet seen to end, with everything it started.
struct RunningCommand {
  std::intptr_t process = -1;  // the interpreter: its process number (and group), or its handle
  std::intptr_t tree = -1;     // what holds all it started: its cgroup folder on Linux, its job
                               // object on Windows; -1 where its process group alone does
  std::uint32_t number = 0;    // the number of its cgroup in this run
  bool asked_to_end = false;   // stop_command was called for it
  bool forced = false;         // ... with `forced`
  bool shell_ended = false;    // the interpreter ended while what it started still ran
  int result = 0;              // the interpreter's result then
  int signal = 0;              // the signal that ended the interpreter; 0 when it exited
};

// Sets up, once before the first command, what running commands needs (on POSIX systems the pipe
// that wakes a wait, the cgroup of the run and the guard that ends every command when the program
// ends), so that the descriptors the program holds do not change once commands run.
void prepare_commands();

// Starts `command` through the system's command interpreter, with the program's environment plus
// `variables` ("NAME=value", replacing a variable of that name), the open `folder` as its
// current folder (ours stays as it is), without waiting for it. When
// `output` is open, the command's standard output and error go into it; otherwise they are ours.
// The command and all it starts are held together (a process group of its own, and on Linux a
// cgroup where one can be had; a job object on Windows), so that they can be stopped together and
// never outlive the program, whatever ends it. Returns false when it could not be started.
bool start_command(const std::string& command, const std::vector<std::string>& variables,
                   const Folder& folder, FileHandle output, RunningCommand* running);

// A pipe for a command's output, read in the event loop: the read end never blocks, the write end
// is handed to start_command and closed after it. False where a wait cannot take a pipe
// (Windows: anonymous pipes cannot be waited for); the output then goes into a file.
bool open_output_pipe(FileHandle* read_end, FileHandle* write_end);

// Reads what has arrived in the pipe `read_end` without waiting: the count, 0 once every writer
// has closed it, -1 when nothing is there now.
std::int64_t read_available(FileHandle read_end, char* buffer, std::size_t size);

// Asks the started command and everything it started to end: SIGTERM to them all on POSIX
// systems, SIGKILL when `forced`; on Windows they are ended at once either way.
void stop_command(RunningCommand* running, bool forced);

// True once the started command has ended (and, once it was asked to end, everything it started
// too, unless that was forced); `result` then holds the interpreter's exit status (a command
// killed by signal N gives 128 + N, and `ended_by_signal`, when given, receives N; 0 when it
// exited), and `running` is released.
bool command_ended(RunningCommand* running, int* result, int* ended_by_signal = nullptr);

// Waits until one of the started commands `running` may have ended, output arrives in one of the
// pipes `outputs` (see open_output_pipe), a change in a watched folder arrives (only with
// `changes`: the caller reads them), or `timeout_ms` milliseconds have passed, whichever comes
// first. A stop request ends the wait too, unless there are commands to wait for. Says what fired.
// What ended a wait; none set when the time ran out.
struct Woken {
  bool stop = false;     // a stop request
  bool command = false;  // a command may have ended
  bool output = false;   // output arrived in one of the pipes
  bool change = false;   // a change in a watched folder arrived
};

Woken wait_for_commands(const std::vector<RunningCommand>& running,
                        const std::vector<FileHandle>& outputs, std::int64_t timeout_ms,
                        bool changes);
