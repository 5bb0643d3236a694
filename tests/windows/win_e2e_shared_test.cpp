// A shared inbox under Wine: the work folder's checks at start, and what a run killed with its
// claims out leaves for the next start.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "win_e2e_support.h"

namespace {

using e2e::occurrences;
using e2e::Process;
using e2e::TempTree;
using win_e2e::run;
using win_e2e::win_path;

// The folders the program may not claim into. Wine reads ownership and the others' rights from
// the Linux owner and mode; a group's rights it does not show.
TEST(WindowsWorkFolder, NotUsableEndsTheStart) {
  TempTree tree;
  tree.mkdir("in");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"others-writable", "mkdir -m 777 $P"},
      {"foreign", "mkdir $P && chown 65534 $P"},
      {"in/inside", "mkdir $P"}};
  for (const auto& [name, make] : cases) {
    ASSERT_EQ(std::system(("P=" + tree.path(name) + " && " + make).c_str()), 0);
    const std::string work = win_path(tree, name);
    auto result = run({"-p", work, "-d", win_path(tree, "in"), "*", "exit /b 0"});
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(occurrences(result.out, "Spoolex: Work folder '" + work + "' is not usable\r\n"), 1)
        << name << result.out;
  }
}

// The records in the work folder, "<process>-<n>.from".
std::vector<std::string> records(const TempTree& tree) {
  std::vector<std::string> found;
  for (const std::string& name : tree.list("work")) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".from") == 0) {
      found.push_back(name);
    }
  }
  return found;
}

// A run killed with two claims out: the next start puts both back, the one whose name was taken
// meanwhile under a numbered name, and runs all three. The temporary file the killed run left in
// the error folder stays while that run lives and goes at the first start after its end.
TEST(WindowsWorkFolder, KilledRunsClaimsComeBack) {
  TempTree tree;
  tree.write("in/a.job", "old");
  tree.write("in/b.job", "b");
  tree.mkdir("work");
  tree.mkdir("errors");
  tree.mkdir("empty");
  std::string writer = "\"Z:" + std::string(std::getenv("HOTBATCH_WIN_WRITER")) + "\" tick ";
  std::replace(writer.begin(), writer.end(), '/', '\\');
  const std::string in = win_path(tree, "in");
  const std::string work = win_path(tree, "work");
  const std::string errors = win_path(tree, "errors");
  Process first({"-l", "-j", "2", "-g", "0", "-p", work, "-d", in, "*.job",
                 writer + win_path(tree, "@2@.tick") + " 60000"},
                "", win_e2e::wine());
  ASSERT_TRUE(first.wait_until([&] { return records(tree).size() == 2; }, win_e2e::kTimeout))
      << first.out();
  const std::string temp =
      ".hotbatch-" + records(tree)[0].substr(0, records(tree)[0].find('-')) + "-1.tmp";
  tree.write("errors/" + temp, "part of a copy");
  run({"-g", "0", "-e", errors, "-d", win_path(tree, "empty"), "*", "exit /b 0"});
  EXPECT_TRUE(tree.exists("errors/" + temp));
  kill(first.pid(), SIGKILL);
  first.finish(win_e2e::kTimeout);
  tree.write("in/a.job", "new");

  auto again = run({"-g", "0", "-e", errors, "-p", work, "-d", in, "*.job", "exit /b 0"});
  EXPECT_EQ(again.status, 0);
  for (const char* name : {"a.job", "b.job"}) {
    EXPECT_EQ(occurrences(again.out, "Spoolex: File of an unfinished run put back: '" + in + "\\" +
                                         name + "'\r\n"),
              1)
        << again.out;
  }
  EXPECT_EQ(
      occurrences(again.out, "Warning: Name taken, claimed file put back under a numbered name: '" +
                                 in + "\\a.job'\r\n"),
      1);
  EXPECT_EQ(occurrences(again.out, "Datei was processed"), 3) << again.out;
  EXPECT_EQ(tree.read("in/a.job"), "new");
  EXPECT_EQ(tree.read("in/a~2.job"), "old");
  EXPECT_EQ(tree.read("in/b.job"), "b");
  EXPECT_EQ(tree.list("work"), std::vector<std::string>{});
  EXPECT_FALSE(tree.exists("errors/" + temp));
}

}  // namespace
