// One pass over the folder tree: sorted listing, recursion and the readiness test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/process_job.h"
#include "platform/platform.h"

// Number of readiness attempts per matching file and pass.
constexpr int READY_ATTEMPTS = 10;

// Folder levels below the source folder that a walk enters. Each level holds one descriptor
// (its way back), so the deepest walk stays well within the usual limit of 1024.
constexpr int MAX_WALK_DEPTH = 500;

// Most files in hand at once (-j). Each holds a descriptor for its folder and one for its
// collected output, and Windows waits for at most 64 objects in one call.
constexpr int MAX_JOBS = 64;

// What the command line says about the walk: read-only once the run has started.
struct WalkSettings {
  std::string pattern;          // first operand
  bool recursive = false;       // -r
  int settle_seconds = 1;       // -g: wait before each readiness attempt, >= 0
  int jobs = 1;                 // -j: files in hand at once, 1 to MAX_JOBS
  bool wake_on_change = false;  // -w with -l: every folder walked is watched for changes
};

// Byte order of names: unsigned bytes, a prefix first. Negative, zero or positive.
int compare_names(const char* a, const char* b);

// Lists the current working folder into `listing` and returns, sorted with compare_names, the
// entries a pass must look at (plain files whose names do not match, and folders that are not
// walked, are left out); empty when the folder cannot be listed.
std::vector<std::uint32_t> list_folder(const WalkSettings& settings, FolderListing* listing);

// Results of ready_attempt.
enum class Readiness : int { ready = 0, not_yet = 1, gone = 2 };

// One attempt of the readiness test for the matching file `name` of the working folder, whose
// first status query of the pass gave `first`: ready when it is still the same file, of the same
// size, and no writer holds it. A file that is gone is reported.
Readiness ready_attempt(const std::string& name, const PathStatus& first);

// The whole readiness test: up to READY_ATTEMPTS attempts, each after the settle time. True when
// the file is complete and may be processed.
bool file_is_ready(const std::string& name, const PathStatus& first, int settle_seconds);

// One pass over the current working folder, recursing when asked. Returns with the working
// folder as it found it (or stops early on a stop request). With more than one job at once, the
// files it finds are taken in hand and may still be in hand when it returns.
void walk_folder(const WalkSettings& walk, const JobSettings& job);
