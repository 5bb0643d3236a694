// Everything done for one ready file: announce, run, report, log, copy, success file, erase.
#pragma once

#include <cstdint>
#include <string>

#include "job/job_names.h"
#include "platform/platform.h"

// A file that the readiness test found complete, as the walk hands it to its job.
struct ReadyFile {
  std::string name;               // bare name in the current working folder
  FileId id;                      // the file the test saw: the job acts on no other
  bool follow_link = false;       // the name is a link that may be followed
  std::uint32_t permissions = 0;  // the file's permission bits, for its copy
};

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
};

// The name of the `number`th copy of `name`: "a~2.EPS" for "a.EPS" and 2. The number goes before
// the last extension (a leading dot starts none), so that the copy still matches a pattern such
// as "*.EPS".
std::string numbered_name(const std::string& name, int number);

// Copies `file` into `folder` under its own name, or the first free numbered name when that is
// taken; never replaces anything there and never writes through a link. The copy is made under a
// temporary name and named only once it is complete, so it is whole or absent. `stored_name`
// receives the name it got (or would have got).
CopyResult copy_into_folder(const ReadyFile& file, const std::string& folder,
                            std::string* stored_name);

// Writes `text` as the whole content of `path`: into a new temporary file beside it, which then
// replaces `path` (a link there is replaced, never followed). False when it could not be written.
bool write_whole_file(const std::string& path, const std::string& text);

// Handles the ready `file` of the current working folder, whose placeholder values are `names`.
// Always returns 0.
int process_job(const ReadyFile& file, const JobNames& names);
