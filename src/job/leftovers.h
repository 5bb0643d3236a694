// Temporary files that a run ended by force (a kill, a power cut) left beside the files it
// writes, removed at a later start.
#pragma once

#include <cstdint>
#include <string>

// True when `name` is one of our temporary names (".hotbatch-<process>-<counter>.tmp"); the
// process number that made it goes to `process`.
bool temporary_owner(const std::string& name, std::uint32_t* process);

// Removes from `folder` (relative to the working folder, or absolute) the temporary files of runs
// that are no longer alive. Those of a running process, this one included, stay; a folder that
// cannot be opened or listed is left alone.
void remove_dead_temporaries(const std::string& folder);
