// Splitting a wait list into groups the system can wait for at once.
#include "platform/wait_list.h"

std::vector<std::pair<std::size_t, std::size_t>> wait_groups(std::size_t count, std::size_t limit) {
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  for (std::size_t begin = 0; limit > 0 && begin < count; begin += limit) {
    groups.emplace_back(begin, begin + limit < count ? begin + limit : count);
  }
  return groups;
}
