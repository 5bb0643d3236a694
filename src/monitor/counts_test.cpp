// Tests of the run's counters: which files still count as waiting after a pass.
#include "monitor/counts.h"

#include <gtest/gtest.h>

// A file stays waiting while the pass took it again or it is still in hand (a file in hand is
// not taken again); one that the pass did not find is waiting no longer, and one whose job began
// is not waiting at once. Its waiting time starts at its first take.
TEST(Counts, WaitingFilesAfterAPass) {
  RunCounts counts;
  for (const char* path : {"/in/again", "/in/held", "/in/gone", "/in/started"}) {
    count_waiting(&counts, path, 0);
  }
  const std::int64_t first = counts.waiting["/in/again"].since_ms;
  count_waiting(&counts, "/in/again", 1);
  stop_waiting(&counts, "/in/started");
  count_pass_end(&counts, 1, {"/in/held"});
  ASSERT_EQ(counts.waiting.size(), 2u);
  EXPECT_EQ(counts.waiting.count("/in/again"), 1u);
  EXPECT_EQ(counts.waiting.count("/in/held"), 1u);
  EXPECT_EQ(counts.waiting["/in/again"].since_ms, first);
  EXPECT_EQ(counts.passes, 1u);
}
