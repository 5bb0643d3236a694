// Command lines for the service manager, which starts a service by one line of text: each
// argument quoted so that the C runtime's parser gives it back exactly as it was.
#pragma once

#include <string>
#include <vector>

// `argument` as the C runtime's parser reads it back: as it is when it holds no blank, tab or
// double quote and is not empty; else in double quotes, each quote escaped with a backslash and
// each run of backslashes before a quote (or before the closing quote) doubled.
std::string quote_argument(const std::string& argument);

// The program path and the arguments, each quoted, joined by blanks.
std::string command_line(const std::string& program, const std::vector<std::string>& arguments);
