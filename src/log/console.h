// Console output: every message goes to standard output and is flushed at once, so that the
// output of the commands we start never overtakes our own lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

// printf-style output to standard output, flushed before returning.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A copy of `text` for echoing names that other people chose, with every byte or character that
// could move the cursor, end a line or start a terminal sequence shown as one '?': control bytes
// (below 32, and 127), bytes 0x80 to 0x9F that are not part of a valid UTF-8 sequence, and the
// UTF-8 forms of U+0080 to U+009F, U+2028 and U+2029, every format character (Unicode's category
// Cf: the bidirectional controls, which reorder what follows them on the line, zero-width ones,
// the tag characters) and the look-alikes of '/' (U+2044, U+2215,
// U+2571, U+27CB, U+29F8, U+2F03, U+FF0F).
std::string printable(const std::string& text);

// Most warnings about single paths remembered per run. Beyond it a kind of warning is said once
// more, as "Further warnings of this kind are left out", so that names made up by the thousand
// cost neither memory nor journal lines.
constexpr std::size_t MAX_SAID_ONCE = 10000;

// The warnings said so far in this run: those said once per run, not once per pass. Each is
// remembered by a 64-bit hash of its message and path, so that what a warning costs does not grow
// with the length of its path.
struct SaidOnce {
  std::unordered_set<std::uint64_t> keys;
};

// Paths longer than this are shortened in their middle on the console (the run log keeps them
// whole), so that deep trees of long names cannot flood the journal.
constexpr std::size_t MAX_SHOWN_PATH = 4096;

// `shown` (masked already) as the console shows it: at most MAX_SHOWN_PATH bytes, its beginning
// and its end joined by "...", never splitting a UTF-8 sequence.
std::string shortened(const std::string& shown);

// True the first time it is asked for `key` in `said`, false ever after.
bool first_time(SaidOnce* said, const std::string& key);

// Says `message`, a format with one "%s", with the masked and shortened `path` once per run for
// that message and path. Once MAX_SAID_ONCE paths are remembered, a new one is not said: the first
// of each message then says that further warnings of its kind are left out.
void say_once(SaidOnce* said, const char* message, const std::string& path);

// The same, once per `path`, showing `shown` (such as its bare name) instead.
void say_once(SaidOnce* said, const char* message, const std::string& path,
              const std::string& shown);
