// Tests of the portable parts of the Windows service: which stop a control asks for, how each
// argument of the service's command line is quoted, and which renames rotate its log.
#include <gtest/gtest.h>

#include "service/command_line.h"
#include "service/log_rotation.h"
#include "service/stop_kind.h"

TEST(Service, ControlsMapOntoTheStopsOfTheSignals) {
  const struct {
    std::uint32_t control;
    StopKind kind;
    std::int64_t deadline_ms;
  } cases[] = {
      {CONTROL_STOP, StopKind::let_run, -1},  // as SIGTERM
      {CONTROL_PRESHUTDOWN, StopKind::deadline, PRESHUTDOWN_TIMEOUT_MS - PRESHUTDOWN_MARGIN_MS},
      {CONTROL_SHUTDOWN, StopKind::interrupt, -1},  // as Ctrl+C
      {CONTROL_SESSIONCHANGE, StopKind::none, -1},  // a user logs off
      {CONTROL_INTERROGATE, StopKind::none, -1},
      {CONTROL_PAUSE, StopKind::none, -1},
      {CONTROL_PARAMCHANGE, StopKind::none, -1},
  };
  for (const auto& c : cases) {
    const StopPlan plan = stop_for_control(c.control);
    EXPECT_EQ(plan.kind, c.kind) << c.control;
    EXPECT_EQ(plan.deadline_ms, c.deadline_ms) << c.control;
  }
  EXPECT_GT(PRESHUTDOWN_TIMEOUT_MS - PRESHUTDOWN_MARGIN_MS, 0);
}

TEST(Service, ArgumentsAreQuotedToArriveAsGiven) {
  const std::pair<const char*, const char*> cases[] = {
      {"-l", "-l"},
      {"", "\"\""},
      {"*.csv", "*.csv"},
      {"C:\\in dir", "\"C:\\in dir\""},
      {"C:\\in dir\\", "\"C:\\in dir\\\\\""},  // a closing backslash doubled
      {"a\\\\b c", "\"a\\\\b c\""},            // backslashes inside stay
      {"say \"hi\"", "\"say \\\"hi\\\"\""},    // quotes escaped
      {"x\\\"y", "\"x\\\\\\\"y\""},            // backslash before a quote doubled
      {"tar \"C:\\d\\@5@.zip\"", "\"tar \\\"C:\\d\\@5@.zip\\\"\""},
  };
  for (const auto& [given, quoted] : cases) {
    EXPECT_EQ(quote_argument(given), quoted) << given;
  }
  EXPECT_EQ(command_line("C:\\Program Files\\hotbatch.exe", {"-z", "in box"}),
            "\"C:\\Program Files\\hotbatch.exe\" -z \"in box\"");
}

TEST(Service, TheLogIsRotatedAtItsLimitKeepingTheOlderOnes) {
  using Moves = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(rotation_moves("C:\\d\\in.log", 99, 100, 3), Moves{});
  EXPECT_EQ(rotation_moves("C:\\d\\in.log", 100, 100, 3),
            (Moves{{"C:\\d\\in.2.log", "C:\\d\\in.3.log"},
                   {"C:\\d\\in.1.log", "C:\\d\\in.2.log"},
                   {"C:\\d\\in.log", "C:\\d\\in.1.log"}}));
  EXPECT_EQ(rotation_moves("C:\\d.x\\in", 100, 100, 1), (Moves{{"C:\\d.x\\in", "C:\\d.x\\in.1"}}));
}
