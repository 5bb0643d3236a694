// Wake on change (-w): change notification ends the pause between passes early when something
// arrives that a pass would look at. Polling stays the rule; notification only shortens waits.
#pragma once

#include "log/console.h"

struct WalkSettings;
struct Scheduler;

// Starts watching the working folder (the source folder). Says one warning with the reason and
// returns false when the system cannot watch it; the run then polls only.
bool start_change_watch(const WalkSettings& walk, SaidOnce* said);

// Watches the working folder too, as the walk enters it. A failure is said once per run; the
// watches held keep working.
void watch_entered_folder(SaidOnce* said);

// True when a change arrived since the last call that a pass would look at: a matching name
// closed after writing, moved in or created; with -r a new folder; or lost changes. A change of a
// file in hand wakes no pass: it asks the scheduler for an early look at the file instead.
bool change_arrived(const WalkSettings& walk, Scheduler* scheduler);
