// One pass over the folder tree: sorted listing and recursion; the files it finds go to the
// scheduler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "schedule/scheduler.h"

// Folder levels below the source folder that a walk enters. Each level holds its folder's
// descriptor while it is walked, so the deepest walk stays well within the usual limit of 1024.
constexpr int MAX_WALK_DEPTH = 500;

// What the command line says about the walk: read-only once the run has started.
struct WalkSettings {
  std::string pattern;          // first operand
  bool recursive = false;       // -r
  bool wake_on_change = false;  // -w with -l: every folder walked is watched for changes
};

// Byte order of names: unsigned bytes, a prefix first. Negative, zero or positive.
int compare_names(const char* a, const char* b);

// Lists the open `folder` into `listing` and returns, sorted with compare_names, the entries a
// pass must look at (plain files whose names do not match, and folders that are not walked, are
// left out); empty when the folder cannot be listed.
std::vector<std::uint32_t> list_folder(const WalkSettings& settings, const Folder& folder,
                                       FolderListing* listing);

// One pass over the open source folder, which it takes over, recursing when asked: each matching
// file is handed to `scheduler` with its folder. Returns (or stops early on a stop request) once
// a slot is free: with one slot the last job has ended, with more, files may still be in hand.
void walk_folder(const WalkSettings& walk, Scheduler* scheduler, Folder* source);

// Looks at the folder at `relative` from the source folder (`source_folder`, absolute) as a pass
// would: its matching entries that are not in hand are taken, in the walk's order; with `whole`
// (a new folder, with -r) its sub-folders are walked too. The folder is opened from the source
// folder one part at a time by the walk's rules (no links, no folder whose name starts with a
// dot, at most MAX_WALK_DEPTH levels); a folder that cannot be reached so is left to the regular
// pass.
void look_at_folder(const WalkSettings& walk, Scheduler* scheduler,
                    const std::string& source_folder, const std::string& relative, bool whole);
