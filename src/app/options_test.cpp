// Tests of the option scanner and the number conversion.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Scans `args` (argument 0 included) and returns the letters with their values, and where the
// scan stopped.
struct Scan {
  std::string taken;  // "o=log r d="
  int stopped_at;
};

Scan scan(std::vector<const char*> args) {
  OptionScan options;
  Scan result{"", 0};
  int argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  char* const* argv = const_cast<char* const*>(args.data());
  for (int letter; (letter = next_option(&options, argc, argv, OPTION_STRING)) != OPTIONS_END;) {
    result.taken += static_cast<char>(letter);
    if (options.value != nullptr) {
      result.taken += std::string("=") + options.value;
    }
    result.taken += ' ';
  }
  result.stopped_at = options.index;
  return result;
}

TEST(Options, ValueOptionsTakeTheNextArgumentAndFlagsDoNot) {
  Scan s = scan({"hb", "-o", "run.log", "-r", "-g", "0", "*.txt", "cmd"});
  EXPECT_EQ(s.taken, "o=run.log r g=0 ");
  EXPECT_EQ(s.stopped_at, 6);
}

TEST(Options, OnlyTheSecondCharacterCounts) {
  EXPECT_EQ(scan({"hb", "-rl", "a", "b"}).taken, "r ");
  Scan glued = scan({"hb", "-ofile", "x", "a", "b"});
  EXPECT_EQ(glued.taken, "o=x ");
  EXPECT_EQ(glued.stopped_at, 3);
}

TEST(Options, UnknownLettersAndBareDashesEndTheScanInPlace) {
  for (const char* stop : {"-q", "-", "--", "-:"}) {
    Scan s = scan({"hb", "-r", stop, "a", "b"});
    EXPECT_EQ(s.taken, "r ") << stop;
    EXPECT_EQ(s.stopped_at, 2) << stop;
  }
  EXPECT_EQ(scan({"hb", "a", "b", "-r"}).stopped_at, 1);
}

TEST(Options, AValueOptionStandingLastGetsTheEmptyText) {
  Scan s = scan({"hb", "-r", "-d"});
  EXPECT_EQ(s.taken, "r d= ");
  EXPECT_EQ(s.stopped_at, 4);
}

TEST(Options, NumbersReadLikeTheCLibraryAndClampTo32Bits) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"12", 12},
      {"  \t+7", 7},
      {"-5", -5},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"- 3", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"99999999999999999999999", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-99999999999", -2147483647 - 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_number(c.text), c.value) << "'" << c.text << "'";
  }
}

}  // namespace
