// Tests of splitting a wait list: no handle is left out however many commands run.
#include "platform/wait_list.h"

#include <gtest/gtest.h>

TEST(WaitList, EveryItemIsInOneGroup) {
  using Groups = std::vector<std::pair<std::size_t, std::size_t>>;
  const std::pair<std::size_t, Groups> cases[] = {
      {0, {}},
      {64, {{0, 64}}},
      {65, {{0, 64}, {64, 65}}},  // 64 commands and the change event
      {129, {{0, 64}, {64, 128}, {128, 129}}},
  };
  for (const auto& [count, groups] : cases) {
    EXPECT_EQ(wait_groups(count, 64), groups) << count;
  }
}
