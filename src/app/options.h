// The option scanner: walks the argument vector one option at a time.
#pragma once

// The options of hotbatch: a letter followed by ':' takes a value.
constexpr const char* OPTION_STRING = "o:t:d:s:e:g:rlEj:w";

// Returned by next_option when the options are over.
constexpr int OPTIONS_END = -1;

// Index of the next argument to look at; starts at 1.
extern int option_index;
// Value of the option just returned; nullptr for a flag. Points into the argument vector, or at
// an empty text when a value option stands last.
extern const char* option_value;

// Returns the next option letter, or OPTIONS_END when the argument at option_index is not an
// option of `option_string` (option_index then stays on it).
int next_option(int argc, char* const argv[], const char* option_string);

// Starts a new scan (option_index = 1).
void reset_options();

// Reads a decimal number the way the C library's text-to-integer conversion does (leading white
// space, an optional sign, digits up to the first non-digit; no digits give 0), clamped to the
// signed 32-bit range.
int parse_number(const char* text);
