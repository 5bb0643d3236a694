// The state file (-c): what a restart must know, kept as a journal of text lines. For -u each
// ended file as it was then, for -b each file that waits for its next try. Read back at start-up,
// so that a restart neither runs an unchanged ended file again nor begins a file's tries anew.
//
// The file's first line is STATE_HEADER; then one record per line, each line
//   <checksum> E <device> <index> <kind> <birth> <size> <modified> <result> <path>
//   <checksum> R <device> <index> <kind> <birth> <size> <modified> <tries> <wait> <due> <path>
//   <checksum> F <path>
// E: the job of the file ended with status <result> (-u). R: its job failed <tries> times, the
// last wait was <wait> seconds, the next try is due at <due> (seconds since 1970, UTC). F: what
// was said of the file before is forgotten. The last line of a path counts. The checksum is the
// CRC-32 of the rest of the line (from the letter on) in 8 lower-case hex digits; a path keeps
// its bytes, except that a backslash and control characters are written as \xNN. Records are
// appended as they happen and written through to the device; at start-up, and whenever the file
// has grown to twice what it held after the last compaction, it is written anew under a
// temporary name with the living records only and renamed into place.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

// The first line of a state file of this format; another number after "hotbatch state" is another
// format, never read.
constexpr const char* STATE_HEADER = "hotbatch state 1";
constexpr const char* STATE_HEADER_NAME = "hotbatch state ";

// The state file's name where -c names a folder, e.g. the work folder.
constexpr const char* STATE_FILE_NAME = "hotbatch.state";

// Most records a state file keeps, and most bytes they take (as state_bytes counts them): those
// of -u (MAX_ENDED) and -b (MAX_WAITING); beyond either the oldest are forgotten.
constexpr std::size_t MAX_STATE_ENTRIES = 100000 + 4096;
constexpr std::uint64_t MAX_STATE_BYTES = 20 * 1024 * 1024;

// The most a state file may be when read: twice the living records, and a margin for a tail of
// forgotten ones not yet compacted.
constexpr std::size_t MAX_STATE_FILE_BYTES = 3 * MAX_STATE_BYTES;

// Below this many bytes a state file is not compacted for growing.
constexpr std::uint64_t STATE_COMPACT_MIN_BYTES = 64 * 1024;

// What the state file says of one file.
struct StateEntry {
  bool waiting = false;  // R: waits for its next try; else E: its job ended
  FileId id;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  int result = 0;           // E: the status its job ended with
  int tries = 0;            // R: failed tries so far
  int wait_seconds = 0;     // R: the wait before the next try
  std::int64_t due = 0;     // R: when the next try is due, seconds since 1970 (UTC)
  std::uint64_t order = 0;  // when it was written: the lowest is forgotten first
};

using StateEntries = std::map<std::string, StateEntry>;  // by full path

// True when the file now as `now` is the one `entry` speaks of, unchanged.
bool same_as_entry(const StateEntry& entry, const PathStatus& now);

// An open state file: locked, read back and ready for records.
struct StateFile {
  std::string shown;   // the path as given, for messages
  Folder folder;       // the folder that holds it
  std::string name;    // its name there
  FileHandle lock;     // of <name>.lock: held for the run
  FileHandle journal;  // open for appending
  StateEntries entries;
  std::uint64_t entries_bytes = 0;    // what `entries` take, as state_bytes counts them
  std::uint64_t file_bytes = 0;       // the file's size as written
  std::uint64_t compacted_bytes = 0;  // ... just after the last compaction
  std::uint64_t next_order = 0;
  bool failure_said = false;  // a failed write was warned about
  bool unsure = false;        // a write failed: the file may end in part of a line
  bool full_said = false;     // forgetting the oldest was warned about
};

// Results of open_state_file and read_state_file.
enum class StateOpen : int {
  opened = 0,
  busy = 1,          // another process holds the lock: a second service on one state file
  other_format = 2,  // another version (or no hotbatch) wrote the file: not read
  failed = 3,        // the file or its folder cannot be opened, read or written
};

// Splits `path` into its folder (relative ones taken from `base`) and name, and opens, locks and
// reads the state file (missing: an empty one). A torn or damaged tail is cut (a warning says
// how many lines) and the file is compacted at once. `*format` gets the header found on
// other_format.
StateOpen open_state_file(const std::string& path, const std::string& base, StateFile* state,
                          std::string* format);

// Reads the state file `path` (relative ones from `base`) without a lock and without changing it,
// for the dry run; a damaged tail is left out.
StateOpen read_state_file(const std::string& path, const std::string& base, StateEntries* entries,
                          std::string* format);

// Closes what the state file holds, its lock included.
void close_state_file(StateFile* state);

// Records that the job of `full_path` ended with `result`, the file as `now` (-u).
void state_ended(StateFile* state, const std::string& full_path, const PathStatus& now, int result);

// Records that `full_path`, as `last`, waits for its next try (-b).
void state_waiting(StateFile* state, const std::string& full_path, const PathStatus& last,
                   int tries, int wait_seconds, std::int64_t due);

// Forgets what was recorded of `full_path`; nothing is written when nothing was.
void state_forget(StateFile* state, const std::string& full_path);

// The line a record of `full_path` is kept as (with its checksum and line end), and the record
// read back from one such line without its line end: false for a damaged line. For the tests.
std::string state_line(const std::string& full_path, const StateEntry* entry);
bool parse_state_line(const std::string& line, std::string* full_path, StateEntry* entry,
                      bool* forget);
