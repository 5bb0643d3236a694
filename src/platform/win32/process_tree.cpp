// The Win32 trees of the commands: a job object for each command, which holds everything it starts
// and ends it all when the command is stopped or when its last handle closes, so also when we end,
// whatever ends us (what the guard process does on POSIX systems).
#include <vector>

#include "platform/win32/processes_internal.h"

namespace {

// Job objects whose command ended while something it started still ran (a command may leave a
// process behind on purpose): closed, which ends them, once they are empty, or when we end.
std::vector<HANDLE> lingering;

}  // namespace

HANDLE new_job_object() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    return nullptr;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

bool job_running(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
  return QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr) &&
         accounting.ActiveProcesses > 0;
}

void close_when_empty(HANDLE job) {
  lingering.push_back(job);
  for (auto at = lingering.begin(); at != lingering.end();) {
    if (job_running(*at)) {
      ++at;
    } else {
      CloseHandle(*at);
      at = lingering.erase(at);
    }
  }
}
