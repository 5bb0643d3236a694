// What a control of the service manager asks of a running service: which kind of stop.
#pragma once

#include <cstdint>

// Controls by their numbers in the service manager's protocol.
constexpr std::uint32_t CONTROL_STOP = 1;
constexpr std::uint32_t CONTROL_PAUSE = 2;
constexpr std::uint32_t CONTROL_CONTINUE = 3;
constexpr std::uint32_t CONTROL_INTERROGATE = 4;
constexpr std::uint32_t CONTROL_SHUTDOWN = 5;
constexpr std::uint32_t CONTROL_PARAMCHANGE = 6;
constexpr std::uint32_t CONTROL_SESSIONCHANGE = 14;
constexpr std::uint32_t CONTROL_PRESHUTDOWN = 15;

// How long the system waits for a service that asked to hear of a shutdown first, as the
// service is set up at install, and how much earlier hotbatch ends what still runs then.
constexpr std::int64_t PRESHUTDOWN_TIMEOUT_MS = 180000;
constexpr std::int64_t PRESHUTDOWN_MARGIN_MS = 15000;

enum class StopKind : int {
  none = 0,       // not a stop: the service goes on
  let_run = 1,    // as SIGTERM: no new file, running commands run out (within -k), results count
  deadline = 2,   // the same until `deadline_ms`; then the commands end, their jobs left
  interrupt = 3,  // as Ctrl+C: the commands end now, their jobs are left for the next run
};

struct StopPlan {
  StopKind kind = StopKind::none;
  std::int64_t deadline_ms = -1;  // after the control arrived; -1 for none
};

// The stop that `control` asks for. A user who logs off sends no control to a service: the
// session change is no stop.
StopPlan stop_for_control(std::uint32_t control);
