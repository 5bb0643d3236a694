// How a list of things to wait for is split where the system waits for a limited number at once
// (Windows: 64 handles per wait).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

// The groups of `count` items, each at most `limit` long, in order, as [begin, end) ranges: the
// first is waited for, the others are looked at without waiting before each wait.
std::vector<std::pair<std::size_t, std::size_t>> wait_groups(std::size_t count, std::size_t limit);
