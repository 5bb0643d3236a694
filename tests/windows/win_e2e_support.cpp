// Windows-only parts of the Windows end-to-end suite: starting hotbatch.exe under Wine, Z:\ paths.
#include "win_e2e_support.h"

#include <cstdio>
#include <cstdlib>

namespace win_e2e {
namespace {

std::string required_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') {
    std::fprintf(stderr, "%s is not set: run this suite through scripts/test-windows.sh\n", name);
    std::abort();
  }
  return value;
}

}  // namespace

e2e::RunOptions wine(const std::vector<std::string>& env) {
  static const e2e::Launcher loader{{required_env("HOTBATCH_WINE")},
                                    required_env("HOTBATCH_WIN_EXE")};
  e2e::RunOptions options;
  options.launcher = loader;
  // Wine finds its prefix and settings through the WINE* variables (scripts/test-windows.sh sets
  // them); the locale is the caller's, and TZ is there only when a test gives it.
  options.inherit = {"PATH",       "HOME",       "USER",
                     "LANG",       "LC_ALL",     "WINEPREFIX",
                     "WINEARCH",   "WINEDEBUG",  "WINEDLLOVERRIDES",
                     "WINESERVER", "WINELOADER", "WINEDLLPATH"};
  options.unset = {"TZ", "LC_ALL"};
  options.env = env;
  return options;
}

e2e::RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  e2e::Process process(args, "", wine(env));
  return process.finish(kTimeout);
}

std::string win_path(const e2e::TempTree& tree, const std::string& rel) {
  std::string text = "Z:" + tree.path(rel);
  for (char& c : text) {
    if (c == '/') {
      c = '\\';
    }
  }
  return text;
}

std::string crlf(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') {
      result += '\r';
    }
    result += c;
  }
  return result;
}

}  // namespace win_e2e
