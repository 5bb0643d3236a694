// The option scanner: walks the argument vector one option at a time.
#pragma once

// The options of hotbatch: a letter followed by ':' takes a value.

constexpr const char* OPTION_STRING = "o:t:d:s:e:g:rlEj:wk:up:m:nb:a:f:c:i:x:z:";

// Returned by next_option when the options are over.
constexpr int OPTIONS_END = -1;

// Where a scan of the argument vector stands.
struct OptionScan {
  int index = 1;                // the next argument to look at
  const char* value = nullptr;  // value of the option just returned; nullptr for a flag. Points
                                // into the argument vector, or at an empty text when a value
                                // option stands last
};

// Returns the next option letter, or OPTIONS_END when the argument at scan->index is not an
// option of `option_string` (the index then stays on it).
int next_option(OptionScan* scan, int argc, char* const argv[], const char* option_string);

// Reads a decimal number the way the C library's text-to-integer conversion does (leading white
// space, an optional sign, digits up to the first non-digit; no digits give 0), clamped to the
// signed 32-bit range.
int parse_number(const char* text);
