// The monitor: tells the service manager how the run fares (ready, status, watchdog, stopping)
// and writes the metrics file (-m). The run loop calls monitor_tick whenever it comes round, so a
// loop that hangs stops the watchdog pings and lets the metrics file go stale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "log/console.h"
#include "monitor/counts.h"
#include "platform/notify.h"

// The metrics file is rewritten at least this often while files wait or commands run, and at
// least every METRICS_IDLE_SECONDS otherwise, besides after every pass and every job end.
constexpr int METRICS_BUSY_SECONDS = 5;
constexpr int METRICS_IDLE_SECONDS = 60;

struct Monitor {
  ServiceNotifier notifier;
  bool notifying = false;                   // a service manager listens
  std::optional<std::string> metrics_path;  // -m, absolute
  std::int64_t start_ms = 0;                // wall clock
  std::int64_t next_write_ms = 0;           // monotonic: when the metrics are due again
  std::int64_t next_ping_ms = 0;            // monotonic: when the watchdog is due again
  bool stopping_said = false;
  std::string last_status;  // the last STATUS= sent
  SaidOnce said;
};

// Starts the monitor: takes the service manager's socket from the environment (the commands do
// not inherit it) and writes the metrics file `metrics_path` (absolute) once. False when the
// metrics file cannot be written.
bool start_monitor(const std::optional<std::string>& metrics_path, const RunCounts& counts,
                   Monitor* monitor);

// Tells the service manager that start-up is over.
void monitor_ready(Monitor* monitor, const RunCounts& counts, int running);

// Called by the loop each time round (`monitor` may be null): a watchdog ping when one is due,
// STOPPING=1 once a stop was requested, and, when `counts` changed or the time has come, the
// status and the metrics file. A failed write is warned once and tried again next time.
void monitor_tick(Monitor* monitor, RunCounts* counts, int running);

// The monotonic time by which the loop must call monitor_tick again; INT64_MAX for none.
std::int64_t monitor_due(const Monitor* monitor);

// The metrics in the Prometheus text format at monotonic time `now_ms`.
std::string metrics_text(const Monitor& monitor, const RunCounts& counts, int running,
                         std::int64_t now_ms);

// The short status line for the service manager.
std::string status_text(const RunCounts& counts, int running);
