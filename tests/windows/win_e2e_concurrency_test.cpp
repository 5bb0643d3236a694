// Several jobs at once (-j) and waking on change (-w) in hotbatch.exe under Wine: commands start
// in their own folders with their output kept together, and an arrival ends a long pause.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "win_e2e_support.h"

namespace {

using e2e::erased;
using e2e::masked;
using e2e::occurrences;
using e2e::Process;
using e2e::processed;
using e2e::TempTree;
using win_e2e::crlf;
using win_e2e::run;
using win_e2e::win_path;

// With -j each command gets its file's folder as its current folder, its output comes as one
// block just before its result line, and every file runs exactly once.
TEST(WindowsJobsAtOnce, OwnFoldersGroupedOutputEachFileOnce) {
  TempTree tree;
  const char* const files[] = {"a.job", "b.job", "sub/c.job", "sub/deeper/d.job", "e.job"};
  for (const char* rel : files) {
    tree.write(rel, "1");
  }
  auto result = run({"-d", win_path(tree), "-r", "-j", "3", "-g", "0", "*.job",
                     "cd > @5@.where & echo one @2@ & echo two @3@"});
  EXPECT_EQ(result.status, 0);
  const std::string out = masked(result.out);
  EXPECT_NE(out.find("Spoolex: Jobs at once: 3\r\n"), std::string::npos) << out;
  for (const char* rel : files) {
    const std::string path = rel;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string bare = name.substr(0, name.find('.'));
    EXPECT_EQ(occurrences(out, crlf("one " + bare + " \ntwo job\n" + processed(name))), 1) << out;
    const std::string where = (folder.empty() ? "" : folder + "/") + bare + ".where";
    EXPECT_EQ(tree.read(where), win_path(tree, folder) + "\r\n") << where;
  }
}

// With -w a file moved into the folder ends a pause of an hour, also after the folder was made
// anew; a stop still ends it at once.
TEST(WindowsWake, ArrivalEndsTheLongPause) {
  TempTree tree;
  Process process(
      {"-l", "-s", "3600", "-g", "0", "-w", "-E", "-d", win_path(tree), "*.job", "echo ran @5@"},
      "", win_e2e::wine());
  ASSERT_TRUE(process.wait_for("Start Run...\r\n", 1, win_e2e::kTimeout));
  // The first pass is over once the pause has begun; a file that came before it would be found
  // by that pass and prove nothing, so wait a moment.
  usleep(1500000);
  tree.drop("a.job", "1");
  EXPECT_TRUE(process.wait_for("File erased", 1, win_e2e::kTimeout)) << process.out();
  // The source folder removed and made again is watched again, not its removed self.
  ASSERT_EQ(rmdir(tree.root().c_str()), 0);
  ASSERT_EQ(mkdir(tree.root().c_str(), 0755), 0);
  usleep(1500000);
  tree.drop("b.job", "1");
  EXPECT_TRUE(process.wait_for("File erased", 2, win_e2e::kTimeout)) << process.out();
  process.signal(SIGINT);
  auto result = process.finish(win_e2e::kTimeout);
  EXPECT_EQ(result.status, 0);
  const std::string out = masked(result.out);
  EXPECT_NE(out.find("Spoolex: Wake on change\r\n"), std::string::npos) << out;
  EXPECT_EQ(occurrences(out, "Warning: "), 0) << out;
  EXPECT_NE(out.find(crlf("ran a\n" + processed("a.job") + erased(win_path(tree) + "\\a.job"))),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Spoolex: Stopped\r\n"), std::string::npos) << out;
}

}  // namespace
