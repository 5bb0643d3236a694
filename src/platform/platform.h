// Operating-system services used by hotbatch: folders, file status, commands, time, stopping.
// One implementation per platform (platform_posix.cpp, platform_win32.cpp); nothing else
// includes an OS header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The character that joins a folder and a name: '/' on POSIX systems, '\' on Windows.
extern const char PATH_SEPARATOR;

// Characters that end or break out of a double-quoted word for the command interpreter. A file
// whose path holds one of them (or a control byte) is never handed to a command.
extern const char* const QUOTE_BREAKERS;

// What a listing already tells about an entry without a status query. `unknown` means the
// caller must ask query_status.
enum class EntryHint : std::uint8_t { unknown = 0, file = 1, folder = 2, link = 3 };

// The entries of one folder, packed: a million names cost little more than the names themselves.
struct FolderListing {
  std::string names;                   // every name followed by its terminating '\0'
  std::vector<std::uint32_t> offsets;  // where each name starts in `names`
  std::vector<EntryHint> hints;        // one per name

  std::size_t size() const { return offsets.size(); }
  const char* name(std::size_t i) const { return names.data() + offsets[i]; }
  void add(const char* name, EntryHint hint) {
    offsets.push_back(static_cast<std::uint32_t>(names.size()));
    names.append(name);
    names.push_back('\0');
    hints.push_back(hint);
  }
};

// The program's arguments as UTF-8 strings, the program's name first: on Windows read from the
// wide command line (so that no character is lost to a code page), elsewhere `argv` as given.
std::vector<std::string> program_arguments(int argc, char* argv[]);

// Writes the UTF-8 text to standard output and flushes it. On a Windows console it is shown as
// characters; to a file or pipe the bytes go as they are (CR LF line ends on Windows). Returns
// false when it could not all be written.
bool write_standard_output(const char* text, std::size_t size);

// Adds every entry of the current working folder ("." and ".." included) in the order the
// system reports them. Returns false when the folder cannot be listed; the listing may then hold
// what was read before the failure, and the caller treats the folder as empty.
bool list_working_folder(FolderListing* listing);

// Identity of a file on its device: unchanged when the file is renamed, different for another
// file that takes its name.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return device == other.device && index == other.index;
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

struct PathStatus {
  bool is_folder = false;   // what the path finally names, links followed
  bool is_link = false;     // the entry itself is a symbolic link (or, on Windows, a reparse point)
  bool is_regular = false;  // what the path finally names is a plain file (no FIFO, socket, device)
  // For a link: it may be followed, because its owner owns what it leads to, is the user we run
  // as, or is the administrator (the rule of the kernel's protected_symlinks, applied everywhere).
  // Never on Windows, where reparse points to files are not followed at all.
  bool link_trusted = false;
  std::uint64_t size = 0;         // bytes; 0 for folders
  FileId id;                      // of what the path finally names
  std::uint32_t permissions = 0;  // permission bits (such as 0644) where the platform has them
  std::int64_t modified = 0;      // time of the last change of the content, in the platform's units
};

// Reads the status of `path` without opening the file. Returns false when the path does not
// exist (a dangling link included) or cannot be examined.
bool query_status(const std::string& path, PathStatus* status);

// The current working folder as an absolute path. Returns false when it cannot be read.
bool get_working_folder(std::string* folder);

// Changes the working folder. Returns false (and leaves it unchanged) on failure.
bool change_working_folder(const std::string& folder);

// Results of enter_sub_folder.
enum class EnterResult : int {
  entered = 0,
  refused = 1,     // not a folder, a link, no permission, gone: stays put
  no_handles = 2,  // the process has no descriptor or handle left: stays put
};

// Enters the sub-folder `name` of the working folder. Refuses a symbolic link or reparse point,
// so that every descent of a walk ends.
EnterResult enter_sub_folder(const std::string& name);

// A way back to a folder that does not depend on its path staying valid or short.
struct FolderMark {
  int handle = -1;   // descriptor where the platform has one
  std::string path;  // otherwise the absolute path
};

// Records the current working folder in `mark`. Returns false when it cannot be recorded; the
// caller must then not leave the folder.
bool mark_working_folder(FolderMark* mark);

// Makes the marked folder the working folder again. Returns false on failure.
bool return_to_mark(const FolderMark& mark);

// Releases what `mark` holds. Safe to call twice.
void release_mark(FolderMark* mark);

// The readiness probe: opens the existing file `path` for appending (never creating it, never
// waiting on a FIFO or device) and closes it at once without writing. Returns true when the open
// succeeded.
bool try_open_for_append(const std::string& path);

// True once a check for writers was refused for lack of permission (on Linux a read lease, which
// needs the file's owner or CAP_LEASE); from then on only the size test applies to such files.
// Never true for a refusal that means a writer holds the file.
bool writer_check_refused();

// True when both paths exist and name the same file (links and hard links included).
bool same_file(const std::string& a, const std::string& b);

// Deletes the file. Returns false on failure.
bool delete_file(const std::string& path);

// An open file of the functions below; -1 when none.
struct FileHandle {
  std::intptr_t value = -1;
};

// Results of the file functions below.
enum class FileResult : int {
  done = 0,
  missing = 1,   // the path names nothing
  exists = 2,    // the name is taken (create_new_file, publish_file without replacing)
  replaced = 3,  // the path names another file than the one expected, or a link not allowed
  failed = 4,    // any other failure
};

// Opens the file `path` for reading. A symbolic link (reparse point) is followed only when
// `follow_link`; the file opened must be `expected`, else `replaced`.
FileResult open_for_reading(const std::string& path, bool follow_link, const FileId& expected,
                            FileHandle* file);

// Creates `path` as a new file for writing: never an existing name, never through a link. The
// permission bits are `permissions`, narrowed by the process's file-creation mask.
FileResult create_new_file(const std::string& path, std::uint32_t permissions, FileHandle* file);

// Reads up to `size` bytes. Returns the count, 0 at the end of the file, -1 on an error.
std::int64_t read_file(FileHandle file, char* buffer, std::size_t size);

// Writes all `size` bytes. Returns false when fewer were stored.
bool write_file(FileHandle file, const char* data, std::size_t size);

// Closes the file (safe for a closed handle). Returns false when stored data may be incomplete.
bool close_file(FileHandle* file);

// Gives the complete file `temp` the name `path` (both in one folder). With `replace`, an existing
// file or link of that name is replaced (never followed); without it an existing name is never
// touched and the result is `exists`. On any result but `done`, `temp` is left as it was.
FileResult publish_file(const std::string& temp, const std::string& path, bool replace);

// Deletes `path` only while it still names the file `expected`: `done`, `missing`, `replaced`
// (another file has the name now; nothing deleted) or `failed`.
FileResult delete_if_same(const std::string& path, const FileId& expected);

// True when no part of the folder path `folder` (relative to the working folder, or absolute) is
// a symbolic link that may not be followed (see PathStatus::link_trusted); parts that do not
// exist are no links. "" is the working folder itself.
bool folder_links_trusted(const std::string& folder);

// Appends `text` as it is to the file `path`, created when missing. A symbolic link is followed
// only when trusted (see PathStatus::link_trusted), and so is a link in its folder path. Only a
// plain file or a device is written: a FIFO never holds up the caller. Returns false when the
// file cannot be opened or the text not stored completely.
bool append_to_file(const std::string& path, const std::string& text);

// The line end of text files the program writes: "\n" on POSIX systems, "\r\n" on Windows.
extern const char* const LINE_END;

// A number unique to this process, for naming temporary files.
std::uint32_t process_number();

struct LocalTime {
  int year = 1970;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
  int hour = 0;   // 0 to 23
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 is Sunday
};

// The current local time (the time zone setting of the environment honoured).
bool local_time_now(LocalTime* now);

// True when a command can be started with the working folder as its current folder (Windows
// limits the length of that folder; POSIX systems do not).
bool commands_can_start_here();

// Runs `command` through the system's command interpreter in the current working folder, with
// the program's environment and standard streams, and waits for it. Returns its exit status; a
// command killed by signal N gives 128 + N; an interpreter that cannot be started gives a
// non-zero value.
int run_command(const std::string& command);

// What a job's command counts as when the command interpreter cannot be started: 127 on POSIX
// systems, as the shell reports a missing program, and 9009 on Windows, as cmd.exe does.
extern const int COMMAND_NOT_STARTED;

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

// Asks the started command and every process it started to end: on POSIX systems SIGTERM to
// them all, or SIGKILL when `forced`; on Windows they are ended at once either way.
void stop_command(const RunningCommand& running, bool forced);

// True once the started command has ended; `result` then holds what run_command would have
// returned, and `running` is released.
bool command_ended(RunningCommand* running, int* result);

// Waits until one of the started commands `running` may have ended, a change in a watched folder
// arrives (only with `changes`: the caller reads them), or `timeout_ms` milliseconds have passed,
// whichever comes first. A stop request ends the wait too, unless there are commands to wait for.
void wait_for_commands(const std::vector<RunningCommand>& running, std::int64_t timeout_ms,
                       bool changes);

// A new temporary file that has no name (or loses it when closed), open for reading and writing,
// for collecting a command's output.
bool create_scratch_file(FileHandle* file);

// Writes everything in `file` to standard output, from its start.
bool print_scratch_file(FileHandle file);

// One change in a watched folder, as change notification reports it.
struct FolderChange {
  std::string name;        // bare name of the entry; empty for `overflow`
  bool is_folder = false;  // the entry is a folder
  bool overflow = false;   // changes were lost: anything may have changed
};

// Starts change notification for the source folder, the working folder at this moment (with
// `recursive`, for every folder under it too, where the platform watches whole trees). False,
// with the reason in words, when it cannot be had; nothing is watched then.
bool start_watching(bool recursive, std::string* reason);

// Watches the working folder too, where the platform watches folder by folder (Linux); nothing
// elsewhere. False, with the reason in words, when no further folder can be watched.
bool watch_working_folder(std::string* reason);

// Takes the changes that have arrived since the last call, without waiting. Empty when nothing
// is watched.
void read_changes(std::vector<FolderChange>* changes);

// Milliseconds on a clock that never goes back.
std::int64_t monotonic_ms();

// Makes the platform's stop requests (SIGINT and SIGTERM; Ctrl+C, Ctrl+Break and closing the
// console) set the stop flag. A second request while a command runs ends the program at once
// with status 1.
void install_stop_handler();

// True once a stop was requested.
bool stop_requested();

// Sleeps `seconds` seconds (any non-negative count, without wrap-around). Returns early, with
// false, when a stop is requested; true when the whole time has passed.
bool sleep_seconds(std::int64_t seconds);
