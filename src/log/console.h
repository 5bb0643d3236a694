// Console output: every message goes to standard output and is flushed at once, so that the
// output of the commands we start never overtakes our own lines.
#pragma once

#include <string>
#include <unordered_set>

// printf-style output to standard output, flushed before returning.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A copy of `text` for echoing names that other people chose, with every byte or character that
// could move the cursor, end a line or start a terminal sequence shown as one '?': control bytes
// (below 32, and 127), bytes 0x80 to 0x9F that are not part of a valid UTF-8 sequence, and the
// UTF-8 forms of U+0080 to U+009F, U+2028 and U+2029.
std::string printable(const std::string& text);

// The warnings said so far in this run: those said once per run, not once per pass.
struct SaidOnce {
  std::unordered_set<std::string> keys;
};

// True the first time it is asked for `key` in `said`, false ever after.
bool first_time(SaidOnce* said, const std::string& key);

// Says `message`, a format with one "%s", with the masked `path` once per run for that message
// and path.
void say_once(SaidOnce* said, const char* message, const std::string& path);
