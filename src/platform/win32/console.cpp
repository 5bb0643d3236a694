// Win32 arguments and standard output: read from the wide command line and written to a console
// as characters, so that no name is lost to a code page.
#include "platform/console.h"

#include <cstdio>
#include <cwchar>

#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"

// The C runtime's own parser of the wide command line: the same rules as for the 8-bit one.
struct CrtStartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                              CrtStartupInfo* info);

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  CrtStartupInfo info{0};
  std::vector<std::string> arguments;
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) >= 0 && wide != nullptr) {
    for (int i = 0; i < count; ++i) {
      arguments.push_back(narrow(wide[i], std::wcslen(wide[i])));
    }
    return arguments;
  }
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
  return arguments;
}

bool write_standard_output(const char* text, std::size_t size) {
  bool written = false;
  if (service_output(text, size, &written)) {
    return written;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    // A file or pipe gets the UTF-8 bytes (the C runtime's text mode adds the CR of each line).
    bool ok = std::fwrite(text, 1, size, stdout) == size;
    return std::fflush(stdout) == 0 && ok;
  }
  // A console shows characters, not bytes: every name appears as it is.
  std::fflush(stdout);
  std::wstring wide;
  for (wchar_t c : widen(text, size)) {
    if (c == L'\n') {
      wide.push_back(L'\r');
    }
    wide.push_back(c);
  }
  std::size_t done = 0;
  while (done < wide.size()) {
    DWORD chunk = static_cast<DWORD>(wide.size() - done < 8192 ? wide.size() - done : 8192);
    DWORD written = 0;
    if (!WriteConsoleW(out, wide.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}
