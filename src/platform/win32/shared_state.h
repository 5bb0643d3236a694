// State and helpers that several Win32 platform files share. Each item says who needs it;
// everything else stays private to its file.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/files.h"

// Commands started and not yet seen to end: counted in processes.cpp, read by the console
// handler in signals.cpp (which Windows runs on a thread of its own), which ends the program at
// a second request only while a command runs.
extern std::atomic<int> commands_running;

// The working folder, kept in folders.cpp rather than in the system, whose working folder is
// limited to 259 characters: absolute, without a trailing separator except at a drive root
// ("C:\"). Change notification starts in it; the paths of start-up are resolved against it.
const std::wstring& working_folder();

// `path` (UTF-8, relative to the working folder or absolute) as a plain absolute path.
std::wstring full_path(const std::string& path);

// `path` (UTF-8, relative to `at` or absolute) as a plain absolute path; Folder{} is the working
// folder.
std::wstring full_path(const Folder& at, const std::string& path);

// Sharing that lets others read, write, rename and delete what we hold open.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Reparse points, which files and folders alike may be.
inline bool is_reparse(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when the open reparse point stands for another name (a symbolic link, a junction), as
// opposed to one that only changes how a file is stored (deduplicated or cloud files).
bool is_link_point(HANDLE handle);

// True when the name itself is a reparse point. Asked by name as well as through the handle:
// Wine opens the target of a link even when told not to, but reports the link in the name's
// attributes.
bool name_is_reparse(const std::wstring& full);

inline HANDLE handle_of(FileHandle file) {
  return reinterpret_cast<HANDLE>(file.value);
}

// The event that change notification (watch.cpp) sets when changes arrive; nullptr when nothing
// is watched. wait_for_commands (processes.cpp) wakes on it.
HANDLE watch_event();

// The service's stop requests (service.cpp) into the stop flag (signals.cpp): a plain one lets the
// commands run out; with `interrupt` they are to be ended, which commands_to_end() tells the wait
// (wait.cpp), as no console delivers the request to them.
void request_service_stop(bool interrupt);
bool commands_to_end();

// True once for each stop request (console or service) that no wait has ended for yet: the wait
// (wait.cpp) returns at once for it, however soon after the caller's last look it came.
bool stop_request_unwoken();

// Writes our output (console.cpp) into the log of a service, whose last line is kept for the
// report of a start-up error and which is rotated when that is due; `ok` tells whether all was
// written. False outside a service: nothing done.
bool service_output(const char* text, std::size_t size, bool* ok);
