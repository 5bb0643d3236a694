// The option scanner and number conversion of the command line.
#include "app/options.h"

#include <climits>
#include <cstring>

int next_option(OptionScan* scan, int argc, char* const argv[], const char* option_string) {
  int& option_index = scan->index;
  scan->value = nullptr;
  if (option_index >= argc || argv[option_index][0] != '-') {
    return OPTIONS_END;
  }
  // Only the second character counts: '-rl' is -r, and '-ofile' is -o taking the next argument.
  char letter = argv[option_index][1];
  const char* found = nullptr;
  if (letter != '\0' && letter != ':') {
    found = std::strchr(option_string, letter);
  }
  if (found == nullptr) {
    return OPTIONS_END;
  }
  if (found[1] == ':') {
    scan->value = option_index + 1 < argc ? argv[option_index + 1] : "";
    option_index += 2;
  } else {
    option_index += 1;
  }
  return static_cast<unsigned char>(letter);
}

int parse_number(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  // Accumulated with saturation, so that any number of digits ends up at the nearest limit.
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text - '0');
    if (value > limit) {
      value = limit;
    }
    ++text;
  }
  return static_cast<int>(negative ? -value : value);
}
