// Windows-only parts of the Windows end-to-end suite: hotbatch.exe under Wine, Z:\ paths, CR LF.
#pragma once

#include <string>
#include <vector>

#include "e2e_support.h"

namespace win_e2e {

// Only there to turn a hang into a failure; a program under Wine starts slower.
constexpr e2e::Millis kTimeout{60000};

// How hotbatch.exe starts: the Wine loader (HOTBATCH_WINE) in front of HOTBATCH_WIN_EXE, with the
// Wine session's variables passed on, the caller's locale, and TZ only when `env` gives it.
e2e::RunOptions wine(const std::vector<std::string>& env = {});

// Runs hotbatch.exe to its end in this program's folder. Exit statuses arrive cut to 8 bits.
e2e::RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// `rel` inside the tree as the program sees it: Z:\... with backslashes.
std::string win_path(const e2e::TempTree& tree, const std::string& rel = "");

// `text` with every LF turned into CR LF, the line end of the program's texts on Windows.
std::string crlf(const std::string& text);

}  // namespace win_e2e
