// Service controls mapped onto the stops hotbatch knows from its signals.
#include "service/stop_kind.h"

StopPlan stop_for_control(std::uint32_t control) {
  StopPlan plan;
  switch (control) {
    case CONTROL_STOP:
      plan.kind = StopKind::let_run;
      break;
    case CONTROL_PRESHUTDOWN:
      plan.kind = StopKind::deadline;
      plan.deadline_ms = PRESHUTDOWN_TIMEOUT_MS - PRESHUTDOWN_MARGIN_MS;
      break;
    case CONTROL_SHUTDOWN:
      plan.kind = StopKind::interrupt;
      break;
    default:
      break;
  }
  return plan;
}
