// Service manager notifications and the metrics file.
#include "monitor/monitor.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "job/process_job.h"
#include "platform/signals.h"

namespace {

// printf into a std::string (the texts here are short).
std::string text_of(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string text_of(const char* pattern, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, pattern);
  int length = std::vsnprintf(buffer, sizeof buffer, pattern, arguments);
  va_end(arguments);
  return std::string(buffer, length > 0 ? std::min<std::size_t>(length, sizeof buffer - 1) : 0);
}

// One metric family: its help line, its type, and its samples.
void add_family(std::string* text, const char* name, const char* type, const char* help,
                const std::string& samples) {
  *text += text_of("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type) + samples;
}

std::string sample(const char* name, const std::string& value) {
  return std::string(name) + " " + value + "\n";
}

std::string seconds(std::int64_t ms) {
  return text_of("%" PRId64 ".%03d", ms / 1000, static_cast<int>(ms % 1000));
}

std::string whole(std::uint64_t value) {
  return text_of("%" PRIu64, value);
}

std::int64_t oldest_waiting_ms(const RunCounts& counts, std::int64_t now_ms) {
  std::int64_t oldest = 0;
  for (const auto& entry : counts.waiting) {
    oldest = std::max(oldest, now_ms - entry.second.since_ms);
  }
  return oldest;
}

std::int64_t oldest_running_ms(const RunCounts& counts, std::int64_t now_ms) {
  std::int64_t oldest = 0;
  for (const auto& entry : counts.running) {
    oldest = std::max(oldest, now_ms - entry.second.first);
  }
  return oldest;
}

// The names of the running jobs' files for the status line, the oldest first: at most
// STATUS_NAMES of them, each cut to STATUS_NAME_BYTES, so that the line stays short.
constexpr std::size_t STATUS_NAMES = 3;
constexpr std::size_t STATUS_NAME_BYTES = 40;

std::string running_names(const RunCounts& counts) {
  std::vector<std::pair<std::int64_t, std::string>> jobs;
  for (const auto& entry : counts.running) {
    jobs.push_back(entry.second);
  }
  std::sort(jobs.begin(), jobs.end());
  std::string text;
  for (std::size_t i = 0; i < jobs.size() && i < STATUS_NAMES; ++i) {
    std::string name = jobs[i].second;
    if (name.size() > STATUS_NAME_BYTES) {
      // Cut before a UTF-8 sequence starts, never inside one.
      std::size_t at = STATUS_NAME_BYTES - 3;
      while (at > 0 && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) {
        --at;
      }
      name = name.substr(0, at) + "...";
    }
    text += (i == 0 ? "" : ", ") + ("'" + name + "'");
  }
  if (jobs.size() > STATUS_NAMES) {
    text += " and " + whole(jobs.size() - STATUS_NAMES) + " more";
  }
  return text;
}

bool write_metrics(Monitor* monitor, const RunCounts& counts, int running, std::int64_t now_ms) {
  const std::string& path = *monitor->metrics_path;
  if (write_whole_file(Folder{}, path, metrics_text(*monitor, counts, running, now_ms))) {
    return true;
  }
  say_once(&monitor->said, "Warning: Metrics file cannot be written: '%s'\n", path);
  return false;
}

void send(Monitor* monitor, const std::string& message) {
  if (monitor->notifying) {
    notify_service(monitor->notifier, message);
  }
}

}  // namespace

std::string metrics_text(const Monitor& monitor, const RunCounts& counts, int running,
                         std::int64_t now_ms) {
  static const char* const RESULT_LABELS[JOB_RESULTS] = {"done", "failed", "stopped", "left"};
  std::string jobs;
  for (int result = 0; result < JOB_RESULTS; ++result) {
    jobs += text_of("hotbatch_jobs_total{result=\"%s\"} %s\n", RESULT_LABELS[result],
                    whole(counts.ended[result]).c_str());
  }
  std::string text;
  add_family(&text, "hotbatch_jobs_total", "counter",
             "Jobs ended since the start, by result (stopped: at the time limit -k; left: for the "
             "next run, at a stop).",
             jobs);
  add_family(&text, "hotbatch_files_waiting", "gauge",
             "Matching files found whose command has not started yet.",
             sample("hotbatch_files_waiting", whole(counts.waiting.size())));
  add_family(&text, "hotbatch_commands_running", "gauge", "Commands running now.",
             sample("hotbatch_commands_running", whole(static_cast<std::uint64_t>(running))));
  add_family(&text, "hotbatch_oldest_waiting_file_age_seconds", "gauge",
             "How long the file that waits longest has waited; 0 when none waits.",
             sample("hotbatch_oldest_waiting_file_age_seconds",
                    seconds(oldest_waiting_ms(counts, now_ms))));
  add_family(&text, "hotbatch_oldest_running_job_age_seconds", "gauge",
             "How long the command that runs longest has run; 0 when none runs.",
             sample("hotbatch_oldest_running_job_age_seconds",
                    seconds(oldest_running_ms(counts, now_ms))));
  add_family(&text, "hotbatch_files_kept_total", "counter",
             "Failed files kept in place because their copy into the error folder failed, each "
             "counted once while it stays unchanged.",
             sample("hotbatch_files_kept_total", whole(counts.kept)));
  add_family(&text, "hotbatch_last_success_timestamp_seconds", "gauge",
             "When the last job succeeded, in seconds since 1970; 0 before the first.",
             sample("hotbatch_last_success_timestamp_seconds", seconds(counts.last_success_ms)));
  add_family(&text, "hotbatch_passes_total", "counter", "Passes over the folder tree ended.",
             sample("hotbatch_passes_total", whole(counts.passes)));
  add_family(&text, "hotbatch_last_pass_duration_seconds", "gauge", "How long the last pass took.",
             sample("hotbatch_last_pass_duration_seconds", seconds(counts.last_pass_ms)));
  add_family(&text, "hotbatch_start_time_seconds", "gauge",
             "When the run started, in seconds since 1970.",
             sample("hotbatch_start_time_seconds", seconds(monitor.start_ms)));
  add_family(&text, "hotbatch_build_info", "gauge", "The version of hotbatch, as a label.",
             text_of("hotbatch_build_info{version=\"%s\"} 1\n", HOTBATCH_VERSION));
  return text;
}

std::string status_text(const RunCounts& counts, int running) {
  const std::uint64_t failed = counts.ended[static_cast<int>(JobResult::failed)] +
                               counts.ended[static_cast<int>(JobResult::stopped)];
  std::string text = text_of(
      "Waiting %s, running %d, done %s, failed %s", whole(counts.waiting.size()).c_str(), running,
      whole(counts.ended[static_cast<int>(JobResult::done)]).c_str(), whole(failed).c_str());
  if (counts.passes > 0) {
    const LocalTime& at = counts.last_pass_end;
    text += text_of("; last pass %02d:%02d:%02d, %s s", at.hour, at.minute, at.second,
                    seconds(counts.last_pass_ms).c_str());
  }
  if (!counts.running.empty()) {
    text += "; running " + running_names(counts);
  }
  return text;
}

bool start_monitor(const std::optional<std::string>& metrics_path, const RunCounts& counts,
                   Monitor* monitor) {
  monitor->start_ms = wall_clock_ms();
  monitor->metrics_path = metrics_path;
  monitor->notifying = open_service_notifier(&monitor->notifier);
  const std::int64_t now = monotonic_ms();
  monitor->next_ping_ms = now;
  monitor->next_write_ms = now + METRICS_IDLE_SECONDS * 1000;
  return !metrics_path ||
         write_whole_file(Folder{}, *metrics_path, metrics_text(*monitor, counts, 0, now));
}

void monitor_ready(Monitor* monitor, const RunCounts& counts, int running) {
  monitor->last_status = status_text(counts, running);
  send(monitor, "READY=1\nSTATUS=" + monitor->last_status);
}

void monitor_tick(Monitor* monitor, RunCounts* counts, int running) {
  if (monitor == nullptr) {
    return;
  }
  const std::int64_t now = monotonic_ms();
  if (stop_requested() && !monitor->stopping_said) {
    monitor->stopping_said = true;
    send(monitor, "STOPPING=1");
  }
  // A ping every third of the watchdog time leaves room for a loop that is slow but not stuck.
  if (monitor->notifier.watchdog_ms > 0 && now >= monitor->next_ping_ms) {
    send(monitor, "WATCHDOG=1");
    monitor->next_ping_ms = now + std::max<std::int64_t>(monitor->notifier.watchdog_ms / 3, 1);
  }
  if (!counts->changed && now < monitor->next_write_ms) {
    return;
  }
  counts->changed = false;
  const bool busy = running > 0 || !counts->waiting.empty();
  monitor->next_write_ms = now + (busy ? METRICS_BUSY_SECONDS : METRICS_IDLE_SECONDS) * 1000;
  if (monitor->metrics_path) {
    write_metrics(monitor, *counts, running, now);
  }
  std::string status = status_text(*counts, running);
  if (status != monitor->last_status) {
    monitor->last_status = status;
    send(monitor, "STATUS=" + status);
  }
}

std::int64_t monitor_due(const Monitor* monitor) {
  if (monitor == nullptr) {
    return std::numeric_limits<std::int64_t>::max();
  }
  std::int64_t due =
      monitor->metrics_path ? monitor->next_write_ms : std::numeric_limits<std::int64_t>::max();
  if (monitor->notifier.watchdog_ms > 0) {
    due = std::min(due, monitor->next_ping_ms);
  }
  return due;
}
