// Rotating the service's log by size.
#include "service/log_rotation.h"

std::string older_log(const std::string& path, int n) {
  const std::size_t dot = path.rfind('.');
  const std::size_t separator = path.find_last_of("/\\");
  const bool extension =
      dot != std::string::npos && (separator == std::string::npos || dot > separator);
  const std::string stem = extension ? path.substr(0, dot) : path;
  return stem + "." + std::to_string(n) + (extension ? path.substr(dot) : std::string());
}

std::vector<std::pair<std::string, std::string>> rotation_moves(const std::string& path,
                                                                std::uint64_t size,
                                                                std::uint64_t limit, int kept) {
  std::vector<std::pair<std::string, std::string>> moves;
  if (size < limit || kept < 1) {
    return moves;
  }
  for (int n = kept - 1; n >= 1; --n) {
    moves.emplace_back(older_log(path, n), older_log(path, n + 1));
  }
  moves.emplace_back(path, older_log(path, 1));
  return moves;
}
