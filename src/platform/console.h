// Console: the program's arguments and its standard output, both UTF-8 to the rest of the
// program whatever the console's code page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The program's arguments as UTF-8 strings, the program's name first: on Windows read from the
// wide command line (so that no character is lost to a code page), elsewhere `argv` as given.
std::vector<std::string> program_arguments(int argc, char* argv[]);

// Writes the UTF-8 text to standard output and flushes it. On a Windows console it is shown as
// characters; to a file or pipe the bytes go as they are (CR LF line ends on Windows). Returns
// false when it could not all be written.
bool write_standard_output(const char* text, std::size_t size);
