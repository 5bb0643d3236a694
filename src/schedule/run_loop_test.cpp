// The run's loop on the fake host: passes, the pause between them, looks at changes and stops,
// all on the manual clock.
#include "schedule/run_loop.h"

#include <gtest/gtest.h>

#include "schedule/fake_host.h"

namespace {

TEST(RunLoop, PassesPausesLooksAndStops) {
  struct Case {
    const char* what;
    LoopSettings loop;
    std::int64_t stop_at;                        // -1: never
    std::map<std::int64_t, std::string> arrive;  // a file made then (with -u)
    std::vector<std::int64_t> starts;            // of the commands, by the run's end
    std::int64_t end;                            // when the run ended
  } cases[] = {
      {"one pass ends with its job", {false, 10}, -1, {}, {0}, 100},
      {"the pause runs from a pass's end", {true, 10}, 25000, {}, {0, 10100, 20200}, 25000},
      {"a stop waits for the running command", {true, 10}, 50, {}, {0}, 100},
      {"an arrival is looked at in the pause",
       {true, 60, true},
       30000,
       {{5000, "b"}},
       {0, 5000},
       30000},
      {"without -w it waits for the next pass",
       {true, 60},
       70000,
       {{5000, "b"}},
       {0, 60100},
       70000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScheduleSettings settings;
    settings.settle_seconds = 0;
    settings.unchanged_once = !c.arrive.empty();  // else the file runs at each pass
    FakeRun run(settings, c.loop);
    run.feed.whole_folder = true;
    run.host.stop_at = c.stop_at;
    run.host.put("a");
    run.host.arrivals = c.arrive;
    EXPECT_TRUE(run.run_until(NEVER));
    EXPECT_EQ(run.host.starts, c.starts);
    EXPECT_EQ(run.host.now, c.end);
  }
}

}  // namespace
