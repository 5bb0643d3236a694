// The counters of a run.
#include "monitor/counts.h"

#include <chrono>

std::int64_t wall_clock_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void count_job(RunCounts* counts, JobResult result) {
  ++counts->ended[static_cast<int>(result)];
  if (result == JobResult::done) {
    counts->last_success_ms = wall_clock_ms();
  }
  counts->changed = true;
}

void count_waiting(RunCounts* counts, const std::string& full_path, std::uint64_t pass) {
  auto found = counts->waiting.find(full_path);
  if (found != counts->waiting.end()) {
    found->second.seen = pass;
  } else if (counts->waiting.size() < MAX_COUNTED_WAITING) {
    counts->waiting.emplace(full_path, Waiting{monotonic_ms(), pass});
    counts->changed = true;
  }
}

void stop_waiting(RunCounts* counts, const std::string& full_path) {
  counts->changed = counts->waiting.erase(full_path) > 0 || counts->changed;
}

void count_running(RunCounts* counts, const std::string& full_path, const std::string& name) {
  counts->running[full_path] = {monotonic_ms(), name};
  counts->changed = true;
}

void stop_running(RunCounts* counts, const std::string& full_path) {
  counts->changed = counts->running.erase(full_path) > 0 || counts->changed;
}

void count_pass_begin(RunCounts* counts) {
  counts->pass_started_ms = monotonic_ms();
}

void count_pass_end(RunCounts* counts, std::uint64_t pass,
                    const std::unordered_set<std::string>& in_hand) {
  for (auto at = counts->waiting.begin(); at != counts->waiting.end();) {
    const bool gone = at->second.seen < pass && in_hand.count(at->first) == 0;
    at = gone ? counts->waiting.erase(at) : std::next(at);
  }
  ++counts->passes;
  counts->last_pass_ms = monotonic_ms() - counts->pass_started_ms;
  local_time_now(&counts->last_pass_end);
  counts->changed = true;
}
