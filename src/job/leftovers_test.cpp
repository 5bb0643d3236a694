// Tests of telling our temporary names, and the process that made them, from any other name.
#include "job/leftovers.h"

#include <gtest/gtest.h>

TEST(Leftovers, TellsOurTemporaryNamesAndTheirProcess) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {".hotbatch-4294967295-7.tmp", 4294967295u},
      {".hotbatch-4294967296-1.tmp", 0},
      {".hotbatch-12.tmp", 0},
      {".hotbatch-12-3.tmp.pdf", 0},
      {".hotbatch-12-3x.tmp", 0}};
  for (const auto& [name, process] : cases) {
    std::uint32_t got = 0;
    EXPECT_EQ(temporary_owner(name, &got) ? got : 0, process) << name;
  }
}
