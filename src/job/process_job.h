// Everything done for one ready file: announce, run, report, log, copy, success file, erase.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "job/job_names.h"
#include "log/console.h"
#include "platform/platform.h"

// What the command line says about jobs: read-only once the run has started.
struct JobSettings {
  std::string command_template;                     // second operand, at most 2047 bytes
  std::optional<std::string> log_path;              // -o: run log
  std::optional<std::string> success_log_template;  // -t: per-job success file
  std::optional<std::string> error_folder;          // -e: copies of failed files
  std::optional<std::string> archive_folder;        // -a: where the files of done jobs go
  std::optional<std::string> done_template;         // -f: the done file that makes a file ready
  bool erase_after_run = false;                     // -E
  // The template holds a placeholder: names go into the command's text, so a name that breaks out
  // of double quotes is skipped. Without one the names reach the command only as variables.
  bool names_in_text = false;
};

// A file that the readiness test found complete, as the walk hands it to its job.
struct ReadyFile {
  std::shared_ptr<const Folder> folder;  // the folder it was found in
  std::string name;                      // bare name in `folder`
  FileId id;                             // the file the test saw: the job acts on no other
  bool follow_link = false;              // the name is a link that may be followed
  std::uint32_t permissions = 0;         // the file's permission bits, for its copy
  std::uint64_t size = 0;                // its size and time of change when it was tested
  std::int64_t modified = 0;
  // Where the file is opened, copied from and erased: `name`, or with a work folder (-p) its
  // claimed path there. Copies and messages keep `name` and the folder it was found in.
  std::string path;
  bool claimed = false;
};

// The ready file `name` of `folder` as its status `status` shows it.
ReadyFile ready_file(std::shared_ptr<const Folder> folder, const std::string& name,
                     const PathStatus& status);

// Names of the temporary files that copies and success files are written under start with this.
constexpr const char* TEMPORARY_PREFIX = ".hotbatch-";

// Results of copy_into_folder.
enum class CopyResult : int {
  copied = 0,
  no_memory = 1,          // no buffer for the copy
  source_unopenable = 2,  // the source cannot be opened for reading
  target_unopenable = 3,  // no new file can be made in the folder, or none could get a free name
  short_write = 4,        // a write stored fewer bytes than were read
  read_error = 5,         // reading the source failed before its end
  replaced = 6,           // the name no longer names the file that was tested: nothing copied
  stopped = 7,            // a stop was requested during the copy: nothing left behind
  onto_itself = 8,        // the folder is the file's own: a copy there would be a new job
  no_room = 9,            // the copy would leave its file system less than 5% free: not made
};

// A source file and the error folder it was copied to (identity: "failed" seen from two folders
// are two folders).
struct CopyKey {
  FileId id;
  FileId folder;
  bool operator<(const CopyKey& other) const;
};

// The last copy made of a source file into a folder in this run: what the source held then (its
// size, the hash of its bytes), its time of change then, and the name the copy got. A file is
// copied again only when its content differs: a new time of change alone costs a look, not a
// copy.
struct CopyMade {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::uint64_t hash = 0;
  std::string name;
};
using CopyMemory = std::map<CopyKey, CopyMade>;

// What the jobs of one run remember from one job to the next.
struct JobMemory {
  SaidOnce said;      // warnings said once per run
  CopyMemory copies;  // so that a file left in place fails again without filling the error folder
};

// The name of the `number`th copy of `name`: "a~2.EPS" for "a.EPS" and 2. The number goes before
// the last extension (a leading dot starts none), so that the copy still matches a pattern such
// as "*.EPS".
std::string numbered_name(const std::string& name, int number);

// Copies `file` into `folder` (from the file's folder) under its own name, or the first free
// numbered name when that is taken; never replaces anything there and never writes through a link.
// The copy is made under a temporary name and named only once it is complete, so it is whole or
// absent. `stored_name` receives the name it got (or would have got). The same file failing again
// in a later pass with the same content (size and hash) is not copied again while its copy from
// this run (in `copies`) is still there: `stored_name` names that. With `move`, a claimed file is
// moved into the folder instead where that is one rename (the same file system), and copied
// otherwise.
CopyResult copy_into_folder(const ReadyFile& file, const std::string& folder, CopyMemory* copies,
                            std::string* stored_name, bool move = false);

// Writes `text` as the whole content of `path` of `at`: into a new temporary file beside it, which
// then replaces `path` (a link there is replaced, never followed). False when it could not be
// written.
bool write_whole_file(const Folder& at, const std::string& path, const std::string& text);

// One job between its start and its outcome.
struct Job {
  ReadyFile file;
  JobNames names;               // the placeholder values of the file where it was found
  JobNames run_names;           // those the command gets: with -p @1@ and @4@ in the work folder
  std::string full_path_shown;  // the full path as the console shows it (masked, shortened)
  std::string command;          // the expanded command; empty: nothing to run
  std::string command_shown;    // the same with every inserted name masked
  bool asked_to_end = false;    // its command was asked to end (-k)
  int ended_by_signal = 0;      // the signal that ended its command; 0 when it exited
  bool stop_seen = false;       // a stop was requested when its command ended ...
  bool interrupted = false;     // ... and it was an interrupt or a second request
  int time_limit_seconds = 0;   // -k, for the run log's account of a stop at the limit
  int try_number = 1;           // which try of its job this is (-b), from 1
  int tries_allowed = 1;        // how many it may have
};

// Starts the job of the ready `file`, whose placeholder values
// are `names`: expands the command with `run_names` (a claimed file's, else `names`) and announces
// the job. False when the file must be passed over (a warning was said once per run); nothing else
// happens to it then.
bool begin_job(const ReadyFile& file, const JobNames& names, const JobNames& run_names,
               const JobSettings& settings, JobMemory* memory, Job* job);

// The one rule for a job whose command ended after a stop request: it is left for the next run
// (untouched, never counted done or failed) only when its command was asked to end: by its time
// limit, or by an interrupt or second request (see interrupt_requested). A command that a plain
// stop request let run out counts as always. The kind of stop is the one the job's end saw.
bool left_for_next_run(const Job& job);

// Tells that a stop leaves the job untouched for the next run.
void leave_job(const Job& job);

// Reports a failed try of `job`, whose command gave `result`, on the console only: the error
// block (in its form with or without an error folder) and the line that names the file and how
// its command ended.
void report_failure(const Job& job, int result, const JobSettings& settings);

// Results of archive_file.
enum class Archived : int {
  moved = 0,     // the file is in the archive folder and gone from where it was
  kept = 1,      // it could not go there: it stays, with a warning once
  replaced = 2,  // the name no longer names the file of the job: left alone, with a warning
  stopped = 3,   // an interrupt cut the copy short: nothing left behind
};

// Moves the file of the done `job` (in its folder, or claimed) into the archive
// folder (-a) under its own name, or the first free numbered name when that is taken: never
// replacing anything there, through folder handles, in one rename where the folder is on the
// same file system and else as a whole copy, then the erase of the original. Prints the archive
// line when it went.
Archived archive_file(const Job& job, const JobSettings& settings, JobMemory* memory);

// Handles the outcome of `job` in its file's folder, its command
// having given `result` (0 when there was none to run): the report, log entries, error copy,
// success file, archive (-a) and erase. A job that left_for_next_run names is left as it is:
// false then, true when the outcome was handled. `kept` (when given) is set when the file stays
// where it was because it could not go where it should: a failed job's file whose copy into the
// error folder failed, or a done job's whose move into the archive folder failed (it must not run
// again as it is).
bool end_job(const Job& job, int result, const JobSettings& settings, JobMemory* memory,
             bool* kept = nullptr);

// The line of the run log that follows a failed job's ERROR entry: how its command ended (its
// status, its signal, or its time limit) and which try it was.
std::string ending_line(const Job& job, int result);
