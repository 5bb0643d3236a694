// Change watch: notification of new and changed entries in the source folder, so that a pass
// starts when a file arrives rather than at the next poll.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

// One change in a watched folder, as change notification reports it.
struct FolderChange {
  std::string folder;      // its folder, relative to the source folder ("" for that one), as the
                           // folder was named when it was watched
  std::string name;        // bare name of the entry; empty for `overflow` and `returned`
  bool is_folder = false;  // the entry is a folder
  bool overflow = false;   // changes were lost: anything may have changed
  bool returned = false;   // the source folder, gone, exists again
};

// Starts change notification for the source folder, the working folder at this moment (with
// `recursive`, for every folder under it too, where the platform watches whole trees). False,
// with the reason in words, when it cannot be had; nothing is watched then.
bool start_watching(bool recursive, std::string* reason);

// Watches the open `folder` too, where the platform watches folder by folder (Linux); nothing
// elsewhere. `relative` is its path from the source folder ("" for that one), the folder its
// changes then name. False, with the reason in words, when no further folder can be watched.
bool watch_folder(const Folder& folder, const std::string& relative, std::string* reason);

// Watches the parent of the source folder `path` (absolute) for its name, so that a source folder
// made anew is reported (`returned`) at once. start_watching does it; a pass that cannot enter
// the source folder asks again, in case the parent could not be watched then.
void watch_for_return(const std::string& path);

// Ends the watches of folders that no walk entered since the last call (Linux): a folder gone
// from the tree, or moved out of it, holds no watch. Call it only after a whole walk.
void drop_unwalked_watches();

// The readiness probe opens a file for writing, and its close is reported like a writer's. The
// readiness test brackets each probe with these two calls, so that exactly that one close is left
// out: what arrived before is taken first, and after a probe that `wrote`, the one close of
// `name` (in `folder`) is dropped. A writer's close at the very same moment is merged
// with it by the system, and the regular pass finds that file.
void before_own_probe();
void after_own_probe(const Folder& folder, const std::string& name, bool wrote);

// Notes that the entry `path` (absolute) is about to arrive by our own doing (a claimed file put
// back), so that its arrival wakes nothing: the regular pass finds it. Taken back by that
// arrival.
void note_own_arrival(const std::string& path);

// Takes the changes that have arrived since the last call, without waiting. Empty when nothing
// is watched.
void read_changes(std::vector<FolderChange>* changes);
