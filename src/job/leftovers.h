// Temporary files that a run ended by force (a kill, a power cut) left beside the files it
// writes, removed at a later start.
#pragma once

#include <cstdint>
#include <string>

// The run that made a temporary file, as its name tells it.
struct TemporaryOwner {
  std::uint32_t process = 0;  // its process number
  std::uint64_t start = 0;    // when that process started (process_start); 0 when unknown
  bool named_by_start =
      false;  // the name holds the start: ".hotbatch-<process>-<start>-<random>.tmp"
              // (earlier versions wrote ".hotbatch-<process>-<counter>.tmp")
};

// A new temporary name for this run: its process number, its start (hexadecimal) and 64
// unpredictable bits (hexadecimal), so that nobody can make the name before we do.
std::string temporary_name(std::uint32_t process, std::uint64_t start);

// True when `name` is one of our temporary names, the run that made it in `owner`.
bool temporary_owner(const std::string& name, TemporaryOwner* owner);

// True when the temporary file of `owner` is a leftover: its run is not this one (`process`,
// `start`), and its process number names no running process (`alive`), or one that started at
// another time (`running_start`, 0 when unknown), or this process.
bool leftover_of_ended_run(const TemporaryOwner& owner, std::uint32_t process, std::uint64_t start,
                           bool alive, std::uint64_t running_start);

// Removes from `folder` (relative to the working folder, or absolute) the temporary files of runs
// that are no longer alive. Those of a running process, this one included, stay; a folder that
// cannot be opened or listed is left alone.
void remove_dead_temporaries(const std::string& folder);
