// One pass over the folder tree: sorted listing, recursion and the readiness test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Number of readiness attempts per matching file and pass.
constexpr int READY_ATTEMPTS = 10;

// Folder levels below the source folder that a walk enters. Each level holds one descriptor
// (its way back), so the deepest walk stays well within the usual limit of 1024.
constexpr int MAX_WALK_DEPTH = 500;

// Byte order of names: unsigned bytes, a prefix first. Negative, zero or positive.
int compare_names(const char* a, const char* b);

// Lists the current working folder into `listing` and returns, sorted with compare_names, the
// entries a pass must look at (plain files whose names do not match, and folders that are not
// walked, are left out); empty when the folder cannot be listed.
std::vector<std::uint32_t> list_folder(FolderListing* listing);

// The readiness test for the matching file `name` whose first status query of the pass gave
// `first`. True when the file is complete and may be processed: still the same file, of the same
// size, and no writer holds it.
bool file_is_ready(const std::string& name, const PathStatus& first);

// One pass over the current working folder, recursing when asked. Returns with the working
// folder as it found it (or stops early on a stop request).
void walk_folder();
