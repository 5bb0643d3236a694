// What the POSIX command functions share (processes.cpp, process_tree.cpp, guard.cpp, wait.cpp).
// Not for callers outside src/platform/posix.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The wait (wait.cpp).

// A pipe that wakes wait_for_commands: a byte is written to it when a command ends or a stop is
// requested.
extern int wake_pipe[2];

// Creates the wake pipe and the handler that feeds it when a command ends, once.
bool prepare_waiting();

// The trees of the commands (process_tree.cpp).

// A job cgroup that is empty and may take the next command: made once and used again, so that a
// command costs no cgroup to make and remove.
struct IdleCgroup {
  std::uint32_t number;
  int folder;
};

// The cgroups of the run. process_tree.cpp keeps them; start_command takes a job cgroup from them.
struct CgroupPool {
  // Where a run keeps its commands' cgroups: a folder of its own below our cgroup in the unified
  // hierarchy, one sub-folder per command. -1 where none can be had (no cgroup2, no permission);
  // then process groups alone hold the commands.
  int run = -1;
  int own = -1;                  // the folder of our own cgroup, which holds the run's
  std::string run_name;          // the run's folder in it
  bool tried = false;            // prepare_cgroups looked for them
  std::vector<IdleCgroup> idle;  // the job cgroups ready for the next command
  // Job cgroups that still held processes when their command ended (a command may leave a process
  // behind on purpose): removed once they are empty.
  std::set<std::string> lingering;
};
extern CgroupPool cgroups;

// The name of the job cgroup numbered `number` in the run's folder.
std::string job_cgroup_name(std::uint32_t number);

// Makes the run's cgroup folder, once. What a run whose program and guard are both gone left
// behind (its processes included) is cleared first. False when there is no cgroup to be had.
bool prepare_cgroups();

// Sends `sig` to every process of the cgroup `folder`. SIGKILL goes through cgroup.kill where the
// kernel has it, which also catches a process forking at that moment.
void signal_cgroup(int folder, int sig);

// True while the cgroup `folder` holds a process.
bool cgroup_populated(int folder);

// Takes back the job cgroup `tree` (numbered `number`; -1 for none) of a command that ended: kept
// for the next command when it is empty, else removed once it is. Then removes the job cgroups
// that lingered and are empty now.
void release_cgroup(std::uint32_t number, int tree);

// The folder of our own cgroup, which holds the run's; -1 where there is none.
int own_cgroup_fd();

// Ends everything in the run's cgroup and removes it (the guard does, once we are gone).
void clear_run_cgroups();

// The guard (guard.cpp).

// Notes that the process group `group` of a command runs (`running`) or has ended.
void note_group(pid_t group, bool running);

// Puts the list of groups into memory that a process forked from now on shares with us.
void share_groups();

// Starts the guard once. Without it (no pipe, no process) commands still run.
void start_guard();
