// The wildcard pattern language: '?', '*', bracket classes and '\' escapes over bytes.
#pragma once

// Results of the inner matching routines.
enum MatchResult : int {
  MatchFull = 1,       // pattern and text both used up
  MatchTextLeft = 2,   // pattern used up, text remains
  MatchTextEnded = 3,  // text used up while the pattern still needs characters
  MatchClassFail = 4,  // the text character is not in a bracket class
  MatchCharFail = 5,   // a literal pattern character differs
  MatchBadPattern = 6  // the pattern is malformed where the match reached it
};

// Matches the terminated text from pattern position p. Both must be terminated strings.
MatchResult match_at(const char* p, const char* t);

// Matches with p at a '*'.
MatchResult match_after_star(const char* p, const char* t);

// True exactly when the whole name matches the whole pattern.
bool match_name(const char* pattern, const char* name);
