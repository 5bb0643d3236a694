// Tests of the wildcard matcher: a table of cases and a comparison with a plain reference.
#include "match/wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

struct Case {
  const char* pattern;
  const char* name;
  bool matches;
};

const Case CASES[] = {
    {"*.EPS", "a.EPS", true},
    {"*.EPS", ".EPS", true},
    {"*.EPS", "a.eps", false},
    {"*.EPS", "a.EPS.bak", false},
    {"*", "anything", true},
    {"*.*", "a.b", true},
    {"*.*", "ab", false},
    {"a*", "a", true},
    {"a**", "a", false},
    {"a**", "ab", true},
    {"a?", "a", false},
    {"???", "abc", true},
    {"???", "ab", false},
    {"???", "abcd", false},
    {"[a-c]x", "bx", true},
    {"[c-a]x", "bx", true},
    {"[!a-c]x", "dx", true},
    {"[!a-c]x", "bx", false},
    {"[^a]", "b", true},
    {"[^a]", "a", false},
    {"[]x]", "]", false},
    {"[]x]", "x", false},
    {"[", "[", false},
    {"[ab", "b", false},
    {"[ab", "c", false},
    {"[!ab", "a", false},
    {"[ab-]", "a", true},
    {"[ab-]", "b", false},
    {"*[ab-]", "a", true},
    {"*[ab-]", "aa", true},
    {"*[ab-]", "ba", false},
    {"*[ab-]", "xa", false},
    {"[a-c-e]", "b", true},
    {"[a-c-e]", "-", true},
    {"[a-c-e]", "e", true},
    {"[a-c-e]", "d", false},
    {"\\*x", "*x", true},
    {"\\*x", "ax", false},
    {"a\\", "a", false},
    {"a\\", "a\\", false},
    {"[ -~]", "\xe9", false},
    {"[ -~]", "~", true},
    {"[!-~]", "-", false},
    {"[!-~]", "~", false},
    {"[!-~]", "a", true},
    {"[\\]]", "]", true},
    {"[a\\-z]", "-", true},
    {"[a\\-z]", "b", false},
    {"[\x80-\xff]", "\x90", true},
    {"*a", "", false},
    {"*", "", true},
    {"", "", true},
    {"", "a", false},
    {"CASE", "case", false},
};

TEST(Wildcard, MatchesTheDocumentedCases) {
  for (const Case& c : CASES) {
    EXPECT_EQ(match_name(c.pattern, c.name), c.matches)
        << "pattern '" << c.pattern << "' name '" << c.name << "'";
  }
}

TEST(Wildcard, InnerResultsTellWhyAMatchFailed) {
  EXPECT_EQ(match_at("ab", "abc"), MatchTextLeft);
  EXPECT_EQ(match_at("abc", "ab"), MatchTextEnded);
  EXPECT_EQ(match_at("[ab]", "c"), MatchClassFail);
  EXPECT_EQ(match_at("ax", "ay"), MatchCharFail);
  EXPECT_EQ(match_at("[ab", "b"), MatchBadPattern);
  EXPECT_EQ(match_at("[!ab", "a"), MatchClassFail);
  EXPECT_EQ(match_at("*[ab-]", "ba"), MatchBadPattern);
}

TEST(Wildcard, ManyStarsOnALongNameStayFast) {
  std::string name(255, 'a');
  // Each star could try every position; the search must prune instead of trying all splits.
  EXPECT_FALSE(match_name("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name.c_str()));
  EXPECT_TRUE(match_name("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a", name.c_str()));
}

// A plain recursive matcher for well-formed patterns, written from the pattern language rather
// than from the matcher's code. Its one deliberate quirk: once the text is used up, the rest of
// the pattern matches only when it is empty or a single '*'.
bool class_accepts(const std::string& set, char c) {
  std::size_t i = 0;
  bool negated = !set.empty() && (set[0] == '!' || set[0] == '^');
  if (negated) {
    i = 1;
  }
  bool member = false;
  while (i < set.size()) {
    char start = set[i] == '\\' ? set[++i] : set[i];
    ++i;
    char end = start;
    if (i < set.size() && set[i] == '-') {
      ++i;
      end = set[i] == '\\' ? set[++i] : set[i];
      ++i;
    }
    signed char lo = static_cast<signed char>(std::min<signed char>(start, end));
    signed char hi = static_cast<signed char>(std::max<signed char>(start, end));
    if (lo <= static_cast<signed char>(c) && static_cast<signed char>(c) <= hi) {
      member = true;
    }
  }
  return member != negated;
}

bool reference(const std::string& p, std::size_t pi, const std::string& t, std::size_t ti) {
  if (pi == p.size()) {
    return ti == t.size();
  }
  if (ti == t.size()) {
    return p.compare(pi, std::string::npos, "*") == 0;
  }
  switch (p[pi]) {
    case '*': {
      std::size_t rest = pi;
      while (rest < p.size() && p[rest] == '*') {
        ++rest;
      }
      if (rest == p.size()) {
        return true;
      }
      for (std::size_t k = ti; k < t.size(); ++k) {
        if (reference(p, rest, t, k)) {
          return true;
        }
      }
      return false;
    }
    case '?':
      return reference(p, pi + 1, t, ti + 1);
    case '[': {
      std::size_t close = pi + 1;
      if (p[close] == '!' || p[close] == '^') {
        ++close;
      }
      while (p[close] != ']') {
        close += p[close] == '\\' ? 2 : 1;
      }
      return class_accepts(p.substr(pi + 1, close - pi - 1), t[ti]) &&
             reference(p, close + 1, t, ti + 1);
    }
    case '\\':
      return p[pi + 1] == t[ti] && reference(p, pi + 2, t, ti + 1);
    default:
      return p[pi] == t[ti] && reference(p, pi + 1, t, ti + 1);
  }
}

TEST(Wildcard, AgreesWithAPlainReferenceOnWellFormedPatterns) {
  const char* const ELEMENTS[] = {"a", "b", ".", "?", "*", "[ab]", "[!a]", "[b-a]", "\\a", "\\*"};
  const char ALPHABET[] = {'a', 'b', '.', '*'};
  std::mt19937 random(20261207);
  for (int round = 0; round < 20000; ++round) {
    std::string pattern;
    int elements = static_cast<int>(random() % 6);
    for (int i = 0; i < elements; ++i) {
      pattern += ELEMENTS[random() % (sizeof ELEMENTS / sizeof *ELEMENTS)];
    }
    std::string name;
    int length = static_cast<int>(random() % 6);
    for (int i = 0; i < length; ++i) {
      name += ALPHABET[random() % sizeof ALPHABET];
    }
    ASSERT_EQ(match_name(pattern.c_str(), name.c_str()), reference(pattern, 0, name, 0))
        << "pattern '" << pattern << "' name '" << name << "'";
  }
}

}  // namespace
