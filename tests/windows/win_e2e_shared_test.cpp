// A shared inbox under Wine: the work folder's checks, and what a killed run leaves behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "win_e2e_support.h"

namespace {

using e2e::occurrences;
using win_e2e::run;
using win_e2e::win_path;

// Wine shows the Linux owner and the others' rights (not the group's) in the access list.
TEST(WindowsWorkFolder, NotUsableEndsTheStart) {
  e2e::TempTree tree;
  tree.mkdir("in");
  for (const auto& [rel, make] :
       std::vector<std::pair<std::string, std::string>>{{"open", "mkdir -m 777 $P"},
                                                        {"foreign", "mkdir $P && chown 65534 $P"},
                                                        {"in/inside", "mkdir $P"}}) {
    ASSERT_EQ(std::system(("P=" + tree.path(rel) + " && " + make).c_str()), 0);
    const std::string work = win_path(tree, rel);
    auto result = run({"-p", work, "-d", win_path(tree, "in"), "*", "exit /b 0"});
    EXPECT_EQ(result.status, 1) << rel;
    EXPECT_EQ(occurrences(result.out, "Spoolex: Work folder '" + work + "' is not usable\r\n"), 1);
  }
}

// A run killed with two claims out: the next start puts both back, the one whose name was taken
// meanwhile under a numbered name, and runs all three. The temporary file the killed run left in
// the error folder stays while that run lives and goes at the first start after its end.
TEST(WindowsWorkFolder, KilledRunsClaimsComeBack) {
  e2e::TempTree tree;
  tree.write("in/a.job", "old");
  tree.write("in/b.job", "b");
  tree.mkdir("work");
  tree.mkdir("errors");
  std::string writer = "\"Z:" + std::string(std::getenv("HOTBATCH_WIN_WRITER")) + "\" tick ";
  std::replace(writer.begin(), writer.end(), '/', '\\');
  const std::string in = win_path(tree, "in");
  const std::string errors = win_path(tree, "errors");
  e2e::Process first({"-l", "-j", "2", "-g", "0", "-p", win_path(tree, "work"), "-d", in, "*.job",
                      writer + win_path(tree, "@2@.tick") + " 60000"},
                     "", win_e2e::wine());
  // Two sub-folders and their records, named after the run's process number.
  const auto claimed = [&] {
    return tree.list("work").size() == 4 && tree.list("work")[0][0] != '.';
  };
  ASSERT_TRUE(first.wait_until(claimed, win_e2e::kTimeout)) << first.out();
  const std::string claim = tree.list("work")[0];
  const std::string temp = "errors/.hotbatch-" + claim.substr(0, claim.find('-')) + "-9.tmp";
  tree.write(temp, "part of a copy");
  run({"-e", errors, "-d", errors, "*.job", "exit /b 0"});
  EXPECT_TRUE(tree.exists(temp));
  kill(first.pid(), SIGKILL);
  first.finish(win_e2e::kTimeout);
  tree.write("in/a.job", "new");

  auto again =
      run({"-g", "0", "-e", errors, "-p", win_path(tree, "work"), "-d", in, "*.job", "exit /b 0"});
  const std::string back = "Spoolex: File of an unfinished run put back: '" + in;
  EXPECT_EQ(
      occurrences(again.out, back + "\\a.job'\r\n") + occurrences(again.out, back + "\\b.job'\r\n"),
      2)
      << again.out;
  EXPECT_EQ(occurrences(again.out,
                        "Warning: Name taken, claimed file put back under a numbered "
                        "name: '" +
                            in + "\\a.job'\r\n"),
            1);
  EXPECT_EQ(occurrences(again.out, "Datei was processed"), 3);
  EXPECT_EQ(tree.read("in/a.job") + tree.read("in/a~2.job") + tree.read("in/b.job"), "newoldb");
  EXPECT_EQ(tree.list("work"), std::vector<std::string>{});
  EXPECT_FALSE(tree.exists(temp));
}

}  // namespace
