// Tests of the masking of names for the console and the run log.
#include "log/console.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every character that could end a line or start a terminal sequence becomes one '?'; every
// other character, in any script, stays as it is.
TEST(Printable, MasksControlsInEveryForm) {
  const struct {
    std::string raw;
    std::string shown;
  } cases[] = {
      {"plain name.EPS", "plain name.EPS"},
      {"tab\there\nnew\x7f", "tab?here?new?"},
      {"esc\x1b[2J", "esc?[2J"},
      {"csi\x9b"
       "2J",
       "csi?2J"},  // a raw C1 byte
      {"nel\xc2\x85"
       "x",
       "nel?x"},                                   // U+0085
      {"c1 \xc2\x80 \xc2\x9f", "c1 ? ?"},          // U+0080, U+009F
      {"ls\xe2\x80\xa8ps\xe2\x80\xa9", "ls?ps?"},  // U+2028, U+2029
      {"\xce\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0",
       "\xce\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0"},  // Greek, CJK, emoji, NBSP
      {"\xe2\x80\xa7", "\xe2\x80\xa7"},  // U+2027 is an ordinary character
      {"rlo\xe2\x80\xaa\xe2\x80\xae|\xe2\x81\xa6\xe2\x81\xa9", "rlo??|??"},  // U+202A..E, U+2066..9
      {"\xe2\x80\xaf\xe2\x81\xa5\xe2\x80\x8a\xe2\x81\x9f",
       "\xe2\x80\xaf\xe2\x81\xa5\xe2\x80\x8a\xe2\x81\x9f"},  // U+202F, U+2065, U+200A, U+205F
      {"\xc2\xad\xd8\x80\xd8\x85\xd8\x9c\xdb\x9d\xdc\x8fz\xe2\x80\x8b\xe2\x80\x8fw\xe2\x81\xa0\xe2"
       "\x81\xa4\xe2\x81\xaa\xe2\x81\xaf\xef\xbb\xbf\xef\xbf\xb9\xef\xbf\xbb\xf3\xa0\x80\x81\xf3"
       "\xa0"
       "\x80\xa0\xf3\xa0\x81\xbf",
       "??????z??w??????????"},  // Cf: U+00AD, U+0600..5, U+061C, ..., U+E0001, U+E0020..7F
      {"\xf3\xa0\x80\x80\xf3\xa0\x82\x80", "\xf3\xa0\x80\x80\xf3\xa0\x82\x80"},  // U+E0000, U+E0080
      {"c\xe2\x88\x95..\xe2\x81\x84"
       "etc\xef\xbc\x8fshadow"
       "\xe2\xa7\xb8\xe2\x95\xb1\xe2\x9f\x8b\xe2\xbc\x83",
       "c?..?etc?shadow????"},                             // U+2215, U+2044, U+FF0F, U+29F8, ...
      {"latin1 \xe9t\xe9 \xa0", "latin1 \xe9t\xe9 \xa0"},  // invalid UTF-8 above 0x9F stays
      {"cut \xe2\x80", "cut \xe2?"},                       // a sequence cut short: its bytes alone
      {"overlong \xc0\x85", "overlong \xc0?"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable(c.raw), c.shown) << c.raw;
  }
}

TEST(FirstTime, OncePerKey) {
  SaidOnce said;
  EXPECT_TRUE(first_time(&said, "a"));
  EXPECT_FALSE(first_time(&said, "a"));
  EXPECT_TRUE(first_time(&said, "b"));
}

}  // namespace
