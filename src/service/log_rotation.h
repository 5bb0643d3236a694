// The service's log file: rotated by size, a few older ones kept.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The size at which the log is rotated, and how many older logs are kept.
constexpr std::uint64_t SERVICE_LOG_LIMIT = 10ull * 1024 * 1024;
constexpr int SERVICE_LOGS_KEPT = 3;

// The name of the `n`th older log of `path`: "X.log" gives "X.1.log"; a name without an extension
// gets ".1" added.
std::string older_log(const std::string& path, int n);

// The renames (from, to; each replacing what is there) that rotate `path` once it has reached
// `limit` bytes (`size`), oldest first, so that no older log is overwritten before it moved on;
// none before then. The oldest kept log is the last to be replaced.
std::vector<std::pair<std::string, std::string>> rotation_moves(const std::string& path,
                                                                std::uint64_t size,
                                                                std::uint64_t limit, int kept);
