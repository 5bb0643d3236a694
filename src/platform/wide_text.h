// UTF-8 and UTF-16 conversion for the Win32 platform files, which talk to Windows in UTF-16 and
// to the rest of the program in UTF-8. No OS call: built and unit-tested on every platform.
#pragma once

#include <cstddef>
#include <string>

// UTF-16 is held in std::wstring, one code unit per wchar_t, as Windows' W functions take it
// (wchar_t is wider on other systems, where only the tests use these functions).

// UTF-16 to UTF-8. A lone surrogate, which Windows allows in names, is kept as its own 3-byte
// sequence, so that every name read from the system converts back to the same name.
std::string narrow(const wchar_t* text, std::size_t length);
std::string narrow(const std::wstring& text);

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::wstring widen(const char* text, std::size_t length);
std::wstring widen(const std::string& text);
