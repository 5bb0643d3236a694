// Console output: every message goes to standard output and is flushed at once, so that the
// output of the commands we start never overtakes our own lines.
#pragma once

#include <string>

// printf-style output to standard output, flushed before returning.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A copy of `text` with every control byte (below 32, and 127) shown as '?', for echoing names
// that other people chose.
std::string printable(const std::string& text);
