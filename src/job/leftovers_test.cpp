// Tests of telling our temporary names, and the run that made them, from any other name, and of
// which of them are leftovers of ended runs.
#include "job/leftovers.h"

#include <gtest/gtest.h>

TEST(Leftovers, TellsOurTemporaryNamesAndTheirRun) {
  const struct {
    std::string name;
    bool ours;
    std::uint32_t process;
    std::uint64_t start;
  } cases[] = {
      {".hotbatch-4294967295-7.tmp", true, 4294967295u, 0},
      {".hotbatch-4294967296-1.tmp", false, 0, 0},
      {".hotbatch-12.tmp", false, 0, 0},
      {".hotbatch-12-3.tmp.pdf", false, 0, 0},
      {".hotbatch-12-3x.tmp", false, 0, 0},
      {temporary_name(12, 0x1f), true, 12, 0x1f},
      {".hotbatch-12-ff-0123456789abcdef.tmp", true, 12, 0xff},
      {".hotbatch-12-ff-0123456789abcde.tmp", false, 0, 0},  // a random part too short
  };
  for (const auto& c : cases) {
    TemporaryOwner owner;
    ASSERT_EQ(temporary_owner(c.name, &owner), c.ours) << c.name;
    EXPECT_EQ(c.ours ? owner.process : 0, c.process) << c.name;
    EXPECT_EQ(c.ours ? owner.start : 0, c.start) << c.name;
  }
  // Two names of one run never agree, and none can be told before it is made.
  EXPECT_NE(temporary_name(12, 0x1f), temporary_name(12, 0x1f));
}

// This run is process 7, started at 100.
TEST(Leftovers, EndedRunsAreToldByMoreThanTheProcessNumber) {
  const struct {
    const char* name;
    bool alive;                   // its process number names a running process
    std::uint64_t running_start;  // when that one started
    bool leftover;
  } cases[] = {
      {".hotbatch-7-64-0123456789abcdef.tmp", false, 0, false},    // this run's own
      {".hotbatch-7-63-0123456789abcdef.tmp", false, 0, true},     // an ended run of our number
      {".hotbatch-7-1.tmp", false, 0, true},                       // an earlier version's, ours
      {".hotbatch-8-63-0123456789abcdef.tmp", true, 0x63, false},  // a live run
      {".hotbatch-8-63-0123456789abcdef.tmp", true, 0, false},     // alive, start unknown
      {".hotbatch-8-63-0123456789abcdef.tmp", true, 0x90, true},   // its number taken since
      {".hotbatch-8-63-0123456789abcdef.tmp", false, 0, true},
      {".hotbatch-8-1.tmp", true, 0x90, false},
  };
  for (const auto& c : cases) {
    TemporaryOwner owner;
    ASSERT_TRUE(temporary_owner(c.name, &owner)) << c.name;
    EXPECT_EQ(leftover_of_ended_run(owner, 7, 100, c.alive, c.running_start), c.leftover)
        << c.name << " " << c.alive << " " << c.running_start;
  }
}
