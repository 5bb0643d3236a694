// Done files (-f): a writer that the readiness test cannot see (one on another machine) says that
// a file is complete by creating a second file, named by a template with the placeholders of -t.
#pragma once

#include <cstdint>
#include <string>

#include "job/job_names.h"
#include "log/console.h"
#include "platform/platform.h"

// What the done-file rule says of one matching file.
enum class DoneCheck : int {
  ready = 0,      // its done file exists and is not older than the file: the usual test decides
  waits = 1,      // its done file is not there yet, or is older than the file (one left behind
                  // by an earlier file of the name)
  done_file = 2,  // it is itself shaped like a done file: never a job of its own
  too_long = 3,   // its done file's name would not fit: it can never be ready
};

// True when every file would be a done file under `text`: it has no text of its own beside the
// placeholders (an empty template included).
bool takes_every_file(const std::string& text);

// True when `full_path` can be the done file of some file under `text`: the template read as a
// pattern in which @1@ and @4@ stand for any path, @3@ and @5@ for any part of a name, @2@ for one
// without a dot, and a template that is not absolute is taken in any folder. Only the first of each
// placeholder is one, as in expand_placeholders.
bool fits_done_file(const std::string& text, const std::string& full_path);

// The done file of the file `names` under `text`: its bare name when it lies in the file's
// folder, so that it is reached through the folder the walk opened, else the expanded path. Empty
// when the name would not fit.
std::string done_file_of(const std::string& text, const JobNames& names);

// The rule for the matching file `names` of `folder`, last changed at `modified`, of the user
// `owner` (-1 where not known). Its done file counts only as a plain file (no link) made no
// earlier than the file, of its owner, of ours or of the administrator; the done file's folder is
// entered one part at a time, as open_write_folder enters it.
DoneCheck check_done_file(const Folder& folder, const std::string& text, const JobNames& names,
                          std::int64_t modified, std::int64_t owner);

// Erases the done file (from `folder`, the file's) of a job whose file is gone from its place
// (erased, archived, or moved into the error folder): only a plain file, reached as
// check_done_file reaches it. A done file that is gone already is no fault.
void erase_done_file(const Folder& folder, const std::string& text, const JobNames& names);
