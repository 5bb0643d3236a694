// What the Win32 command functions share (processes.cpp, process_tree.cpp). Not for callers
// outside src/platform/win32.
#pragma once

#include <string>

#include "platform/win32/shared_state.h"

// The command line that starts `command` through the interpreter `program`: neither the
// registry's AutoRun commands nor delayed expansion of "!NAME!" apply, whatever is set there.
std::wstring interpreter_line(const std::wstring& program, const std::string& command);

// A job object that ends its processes when its last handle closes: when we end, whatever ends
// us, the system closes ours. nullptr when none can be had.
HANDLE new_job_object();

// True while a process of `job` runs.
bool job_running(HANDLE job);

// Closes the job object of a command that ended, which ends what is left in it, once it is empty,
// or when we end.
void close_when_empty(HANDLE job);
