// Every Windows command line that the README and the manual page show, run as written (through
// cmd.exe, so its quoting counts) against a file whose name has several dots. Programs that
// Wine lacks are stood in for by batch files that check their arguments and copy the file; only
// the paths are moved into a temporary tree and a loop (-l) made a single pass. A template that
// cannot work as printed fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "win_e2e_support.h"

namespace {

using e2e::TempTree;
using win_e2e::win_path;

struct Example {
  std::string where;
  std::string line;
};

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : text.substr(start);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

const char* const kInstalled = "\"C:\\Program Files\\hotbatch\\hotbatch.exe\"";

// The README's command lines in batch blocks and the task's "Add arguments" example; the manual
// page's lines in its Windows section.
std::vector<Example> windows_examples() {
  std::vector<Example> examples;
  std::ifstream readme(HOTBATCH_SOURCE_DIR "/README.md");
  bool in_batch = false;
  bool arguments_next = false;
  int number = 0;
  for (std::string line; std::getline(readme, line);) {
    ++number;
    std::string text = trimmed(line);
    if (starts_with(text, "```")) {
      in_batch = text == "```bat";
      continue;
    }
    if (in_batch && (starts_with(text, "hotbatch ") || starts_with(text, "hotbatch.exe ") ||
                     starts_with(text, kInstalled))) {
      examples.push_back({"README.md:" + std::to_string(number), text});
    }
    if (arguments_next && text.size() > 2 && text.front() == '`' && text.back() == '`') {
      examples.push_back(
          {"README.md:" + std::to_string(number), "hotbatch " + text.substr(1, text.size() - 2)});
    }
    arguments_next = text.find("*Add arguments*") != std::string::npos;
  }
  std::ifstream manual(HOTBATCH_SOURCE_DIR "/docs/hotbatch.1");
  bool in_windows = false;
  number = 0;
  for (std::string line; std::getline(manual, line);) {
    ++number;
    if (starts_with(line, ".SS") || starts_with(line, ".SH")) {
      in_windows = line == ".SS Windows";
    } else if (in_windows && starts_with(line, "hotbatch ")) {
      examples.push_back({"docs/hotbatch.1:" + std::to_string(number),
                          replace_all(replace_all(line, "\\-", "-"), "\\e", "\\")});
    }
  }
  return examples;
}

// The word after `option` in `line`, or nothing.
std::string word_after(const std::string& line, const std::string& option) {
  std::size_t at = line.find(" " + option + " ");
  if (at == std::string::npos) {
    return "";
  }
  at += option.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

TEST(WindowsDocumentation, EveryCommandLineWorksForANameWithSeveralDots) {
  std::vector<Example> examples = windows_examples();
  ASSERT_GE(examples.size(), 5u) << "the examples were not found";
  for (const Example& example : examples) {
    SCOPED_TRACE(example.where + ": " + example.line);
    TempTree tree;
    const std::string root = win_path(tree);
    for (const char* folder :
         {"hot/inbox", "hot/done", "hot/failed", "D/input", "D/errors", "start"}) {
      tree.mkdir(folder);
    }
    tree.write("stubs/tar.cmd",
               "@echo off\r\nrem tar -a -c -f ARCHIVE FILE\r\n"
               "if not \"%~1 %~2 %~3\"==\"-a -c -f\" exit /b 2\r\n"
               "if not exist \"%~5\" exit /b 3\r\ncopy \"%~5\" \"%~4\" >nul\r\n");
    tree.write("stubs/conv.cmd",
               "@echo off\r\nrem conv -o OUTPUT INPUT\r\nif not \"%~1\"==\"-o\" exit /b 2\r\n"
               "if not exist \"%~3\" exit /b 3\r\ncopy \"%~3\" \"%~2\" >nul\r\n");

    std::string line = example.line;
    for (const std::string& program :
         {std::string(kInstalled) + " ", std::string("hotbatch.exe "), std::string("hotbatch ")}) {
      if (starts_with(line, program)) {
        line = "\"" + replace_all(std::string("Z:") + std::getenv("HOTBATCH_WIN_EXE"), "/", "\\") +
               "\" " + line.substr(program.size());
        break;
      }
    }
    line = replace_all(line, "C:\\hot", root + "\\hot");
    line = replace_all(line, "D:\\", root + "\\D\\");
    line = replace_all(line, " -l ", " ");

    const std::string source = word_after(line, "-d");
    ASSERT_TRUE(starts_with(source, root + "\\")) << source;
    std::string extension = line.substr(line.find(" *.") + 3);
    extension.resize(extension.find(' '));
    // Two names that differ only before their last extension: their outputs must not collide.
    const std::vector<std::string> stems = {"a.b.c", "a.b.d"};
    for (const std::string& stem : stems) {
      tree.write(
          replace_all(source.substr(root.size() + 1), "\\", "/") + "/" + stem + "." + extension,
          stem);
    }
    tree.write("start/run.cmd",
               "@echo off\r\nset PATH=" + root + "\\stubs;%PATH%\r\n" + line + "\r\n");

    e2e::RunOptions options = win_e2e::wine();
    options.launcher->program = "cmd";
    e2e::Process process({"/c", root + "\\start\\run.cmd"}, tree.path("start"), options);
    auto result = process.finish(win_e2e::kTimeout);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("Warning:"), std::string::npos) << result.out;
    // Each placeholder replaced, and one output per file, named after the whole name.
    for (const std::string& stem : stems) {
      EXPECT_NE(result.out.find("Datei was processed: '" + stem + "." + extension + "'"),
                std::string::npos)
          << result.out;
      bool output_found = false;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.root())) {
        std::string entry_name = entry.path().filename().string();
        EXPECT_EQ(entry_name.find('@'), std::string::npos) << entry.path();
        if (entry_name == stem + ".zip" || entry_name == stem + ".pdf") {
          output_found = true;
          EXPECT_EQ(tree.read(entry.path().string().substr(tree.root().size() + 1)), stem);
        }
      }
      EXPECT_TRUE(output_found) << stem << "\n" << result.out;
    }
  }
}

}  // namespace
