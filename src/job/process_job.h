// Everything done for one ready file: announce, run, report, log, copy, success file, erase.
#pragma once

#include <string>

// Results of copy_file.
enum class CopyResult : int {
  copied = 0,
  no_memory = 1,          // no buffer for the copy
  source_unopenable = 2,  // the source cannot be opened for reading
  target_unopenable = 3,  // the destination cannot be created or emptied
  short_write = 4,        // a write stored fewer bytes than were read
  read_error = 5,         // reading the source failed before its end
  onto_itself = 6,        // source and destination are the same file: nothing copied
};

// Copies `source` to `destination` in binary, overwriting it.
CopyResult copy_file(const std::string& source, const std::string& destination);

// Handles the ready file `name` of the current working folder. Always returns 0.
int process_job(const std::string& name);
