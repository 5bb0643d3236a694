// The readiness test: when a matching file is complete and may be handed to its command.
#pragma once

#include <string>

#include "log/console.h"
#include "platform/platform.h"

// Results of ready_attempt.
enum class Readiness : int {
  ready = 0,
  not_yet = 1,
  gone = 2,       // said with a warning
  no_access = 3,  // we may not open it: passed over, with a warning once per run
};

// The verdict of an attempt on what it saw: ready when no writer holds the file (`free`) and it is
// still the regular file of `before` (its identity, its size, with `same_time` also its time of
// last change), as `now` shows it.
bool still_the_file(bool free, const PathStatus& now, const PathStatus& before, bool same_time);

// One attempt of the readiness test for the matching file `name` of `folder` (its full path is
// `full_path`): ready when no writer holds it and it is still the file of `before`, of the
// same size (with `same_time`, also of the same time of last change). `before` is the walk's first
// look, or with `same_time` the previous attempt. A file that is gone is reported. Warnings said
// once go to `said`. `now` receives the file's status. With `hold` the file is held open in
// `held_file` from the test on (see hold_file), when it is ready; `held` tells whether it is.
Readiness ready_attempt(const Folder& folder, const std::string& name, const std::string& full_path,
                        const PathStatus& before, bool same_time, SaidOnce* said, PathStatus* now,
                        bool hold, FileHandle* held_file, bool* held);
