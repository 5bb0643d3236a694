// The wildcard matcher. Bytes compare exactly; ranges order bytes as signed values, so bytes
// 128 to 255 sort below all of 0 to 127. A malformed pattern is noticed only where a match
// reaches the malformation, and that match then fails.
#include "match/wildcard.h"

#include <cstring>

namespace {

// Evaluates the bracket class at p ('[') against the text character c. On acceptance returns
// MatchFull and leaves *p at the class's closing ']'; otherwise returns the failure.
MatchResult match_class(const char** p, signed char c) {
  const char* q = *p + 1;
  bool negated = false;
  if (*q == '!' || *q == '^') {
    negated = true;
    ++q;
  }
  if (*q == ']') {
    return MatchBadPattern;
  }
  bool member = false;
  while (*q != ']') {
    if (*q == '\\') {
      ++q;
    }
    if (*q == '\0') {
      return MatchBadPattern;
    }
    signed char start = static_cast<signed char>(*q++);
    signed char end = start;
    if (*q == '-') {
      ++q;
      if (*q == '\0' || *q == ']') {
        return MatchBadPattern;
      }
      if (*q == '\\') {
        ++q;
        if (*q == '\0') {
          return MatchBadPattern;
        }
      }
      end = static_cast<signed char>(*q++);
    }
    member = start < end ? (start <= c && c <= end) : (end <= c && c <= start);
    if (member) {
      break;
    }
  }
  if (negated) {
    if (member) {
      return MatchClassFail;
    }
    *p = q;
    return MatchFull;
  }
  if (!member) {
    return MatchClassFail;
  }
  // Accepted: only the closing ']' is looked for, honouring escapes.
  while (*q != ']') {
    if (*q == '\\') {
      ++q;
    }
    if (*q == '\0') {
      return MatchBadPattern;
    }
    ++q;
  }
  *p = q;
  return MatchFull;
}

}  // namespace

MatchResult match_at(const char* p, const char* t) {
  while (*p != '\0') {
    if (*t == '\0') {
      return (p[0] == '*' && p[1] == '\0') ? MatchFull : MatchTextEnded;
    }
    switch (*p) {
      case '?':
        break;
      case '*':
        return match_after_star(p, t);
      case '[': {
        MatchResult result = match_class(&p, static_cast<signed char>(*t));
        if (result != MatchFull) {
          return result;
        }
        break;
      }
      case '\\':
        ++p;
        if (*p == '\0') {
          return MatchBadPattern;
        }
        if (*p != *t) {
          return MatchCharFail;
        }
        break;
      default:
        if (*p != *t) {
          return MatchCharFail;
        }
        break;
    }
    ++p;
    ++t;
  }
  return *t == '\0' ? MatchFull : MatchTextLeft;
}

MatchResult match_after_star(const char* p, const char* t) {
  // The recursion depth is bounded by the number of star runs in the pattern; a run of stars
  // and question marks is consumed here at once.
  while (*p == '*' || *p == '?') {
    if (*p == '?') {
      if (*t == '\0') {
        return MatchTextEnded;
      }
      ++t;
    }
    ++p;
  }
  if (*p == '\0') {
    return MatchFull;
  }
  char next = *p;
  if (next == '\\') {
    next = p[1];
    if (next == '\0') {
      return MatchBadPattern;
    }
  }
  MatchResult result = MatchCharFail;
  for (;;) {
    if (*t == next || next == '[') {
      result = match_at(p, t);
    }
    if (*t == '\0') {
      return MatchTextEnded;
    }
    if (result == MatchFull || result == MatchTextEnded || result == MatchBadPattern) {
      return result;
    }
    ++t;
  }
}

bool match_name(const char* pattern, const char* name) {
  // The commonest pattern, a star before plain text ('*.EPS'), is decided from the name's end:
  // the star's search succeeds exactly where the text ends the name, and stops with no match
  // once too little of the name is left.
  if (pattern[0] == '*' && std::strpbrk(pattern + 1, "*?[\\") == nullptr) {
    std::size_t suffix = std::strlen(pattern + 1);
    std::size_t length = std::strlen(name);
    return length >= suffix && std::memcmp(name + length - suffix, pattern + 1, suffix) == 0;
  }
  return match_at(pattern, name) == MatchFull;
}
