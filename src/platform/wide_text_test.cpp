// Tests of the UTF-8 and UTF-16 conversion: exact conversions both ways, and the repair of bytes
// that are no UTF-8.
#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace {

// UTF-16 code units are written one per \x escape; a literal is split where text follows one.
struct Pair {
  const char* utf8;
  const wchar_t* utf16;
};

const Pair BOTH_WAYS[] = {
    {"", L""},
    {"a/b c", L"a/b c"},
    {"\x7F\xC2\x80", L"\x7F\x80"},                            // last of one byte, first of two
    {"\xDF\xBF\xE0\xA0\x80", L"\x7FF\x800"},                  // last of two, first of three
    {"\xCE\xA9\xE6\x97\xA5", L"\x03A9\x65E5"},                // Greek and CJK
    {"\xEF\xBF\xBF\xF0\x90\x80\x80", L"\xFFFF\xD800\xDC00"},  // last of three, first pair
    {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},                    // U+1F600
    {"\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},                    // U+10FFFF, the last
    // Lone surrogates, which Windows allows in names, keep a sequence of their own.
    {"a\xED\xA0\x80", L"a\xD800"},
    {"\xED\xB0\x80", L"\xDC00"},
    {"\xED\xA0\x80"
     "a",
     L"\xD800"
     L"a"},
    {"\xED\xB0\x80\xED\xA0\x80", L"\xDC00\xD800"},
};

TEST(WideText, ConvertsBothWaysUnitForUnit) {
  for (const Pair& pair : BOTH_WAYS) {
    EXPECT_EQ(narrow(std::wstring(pair.utf16)), pair.utf8) << pair.utf8;
    EXPECT_EQ(widen(std::string(pair.utf8)), pair.utf16) << pair.utf8;
  }
}

// Each byte that starts no valid sequence becomes one U+FFFD; the bytes after it are read anew.
const Pair REPAIRED[] = {
    {"\x80", L"\xFFFD"},
    {"\xFF"
     "a",
     L"\xFFFD"
     L"a"},
    {"\xE6\x97"
     "a",
     L"\xFFFD\xFFFD"
     L"a"},                                             // cut short
    {"\xE6\x97", L"\xFFFD\xFFFD"},                      // cut short by the end
    {"\xC0\x80", L"\xFFFD\xFFFD"},                      // overlong
    {"\xE0\x9F\xBF", L"\xFFFD\xFFFD\xFFFD"},            // overlong
    {"\xF0\x8F\xBF\xBF", L"\xFFFD\xFFFD\xFFFD\xFFFD"},  // overlong
    {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},  // beyond U+10FFFF
    {"\xF8\x88\x80\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"},
};

TEST(WideText, RepairsEachByteThatIsNoUtf8) {
  for (const Pair& pair : REPAIRED) {
    EXPECT_EQ(widen(std::string(pair.utf8)), pair.utf16) << pair.utf8;
  }
}

}  // namespace
