// Tests of telling our temporary names, and their process, from every other name.
#include "job/leftovers.h"

#include <gtest/gtest.h>

namespace {

struct Owner {
  const char* name;
  bool ours;
  std::uint32_t process;
};

const Owner OWNERS[] = {
    {".hotbatch-4242-7.tmp", true, 4242},     {".hotbatch-4294967295-1.tmp", true, 4294967295u},
    {".hotbatch-4294967296-1.tmp", false, 0}, {".hotbatch-12.tmp", false, 0},
    {".hotbatch--3.tmp", false, 0},           {".hotbatch-12-3.tmp.pdf", false, 0},
    {"hotbatch-12-3.tmp", false, 0},          {".hotbatch-12-3x.tmp", false, 0},
};

TEST(Leftovers, TellsOurTemporaryNamesAndTheirProcess) {
  for (const Owner& c : OWNERS) {
    std::uint32_t process = 0;
    EXPECT_EQ(temporary_owner(c.name, &process), c.ours) << c.name;
    if (c.ours) {
      EXPECT_EQ(process, c.process) << c.name;
    }
  }
}

}  // namespace
