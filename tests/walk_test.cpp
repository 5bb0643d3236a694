// End-to-end tests of the folder walk: order, recursion, links, readiness of odd entries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string job(const TempTree& tree, const std::string& rel, const std::string& name) {
  return found(tree.path(rel)) + processed(name);
}

// Byte order (dot, upper case, '_', lower case), sub-folders walked where their names fall,
// depth first; folders starting with '.' and linked folders never entered; a folder whose name
// matches is not a job; a relative log lands in the folder being walked. (Without -r, see the
// walk's own table.)
TEST(Walk, OrderAndRecursion) {
  TempTree tree;
  for (const char* name :
       {"b.EPS", "C.EPS", "a.EPS", "_x.EPS", "z.EPS", ".z.EPS", "a.eps", "a.EPS.bak",
        "sub/inner.EPS", "sub/deep/d.EPS", ".hidden/h.EPS", "dir.EPS/in.EPS"}) {
    tree.write(name, "1");
  }
  ASSERT_EQ(symlink("sub", tree.path("link").c_str()), 0);
  const RunResult result = run({"-r", "-g", "0", "-o", "run.log", "*.EPS", "true"}, tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string top = job(tree, ".z.EPS", ".z.EPS") + job(tree, "C.EPS", "C.EPS") +
                          job(tree, "_x.EPS", "_x.EPS") + job(tree, "a.EPS", "a.EPS") +
                          job(tree, "b.EPS", "b.EPS");
  const std::string nested = job(tree, "dir.EPS/in.EPS", "in.EPS") +
                             job(tree, "sub/deep/d.EPS", "d.EPS") +
                             job(tree, "sub/inner.EPS", "inner.EPS");
  EXPECT_EQ(after_start(result.out), top + nested + job(tree, "z.EPS", "z.EPS"));
  EXPECT_EQ(masked(tree.read("run.log")),
            processed(".z.EPS") + "\n" + processed("C.EPS") + "\n" + processed("_x.EPS") + "\n" +
                processed("a.EPS") + "\n" + processed("b.EPS") + "\n" + processed("z.EPS") + "\n");
  EXPECT_EQ(masked(tree.read("sub/run.log")), processed("inner.EPS") + "\n");
  EXPECT_EQ(masked(tree.read("sub/deep/run.log")), processed("d.EPS") + "\n");
  EXPECT_FALSE(tree.exists(".hidden/run.log"));
}

// Deep folders: paths far longer than any fixed buffer reach the console and the command whole.
TEST(Paths, DeepFoldersAreHeldWhole) {
  TempTree tree;
  std::string rel;
  for (char level = 'a'; level < 'h'; ++level) {
    rel += std::string(200, level) + "/";
  }
  tree.write(rel + "x.EPS", "1");
  const RunResult result =
      run({"-r", "-g", "0", "*.EPS", "echo @1@ > " + tree.path("seen.txt")}, tree.root());
  EXPECT_EQ(after_start(result.out), job(tree, rel + "x.EPS", "x.EPS"));
  EXPECT_EQ(tree.read("seen.txt"), tree.path(rel + "x.EPS") + "\n");
}

// A FIFO whose name matches never becomes ready and must not hold up the walk: it is passed
// over with a warning before any settle time.
TEST(Readiness, FifoDoesNotBlock) {
  TempTree tree;
  ASSERT_EQ(mkfifo(tree.path("p.EPS").c_str(), 0644), 0);
  tree.write("q.EPS", "1");
  const RunResult result = run({"-g", "0", "-E", "*.EPS", "true"}, tree.root());
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out), "Warning: Not a regular file, skipped: '" +
                                         tree.path("p.EPS") + "'\n" + job(tree, "q.EPS", "q.EPS") +
                                         erased(tree.path("q.EPS")));
  EXPECT_TRUE(tree.exists("p.EPS"));
}

// A file deleted while it settles is reported and stays gone: no empty phantom comes back.
// The metrics order the deletion after the walk's first look at 'b.job' (the only file waiting
// once 'a.job' is done) and well before its first attempt.
TEST(Readiness, VanishedFileStaysGone) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.write("b.job", "22");
  const std::string metrics = tree.path("metrics");
  Process process({"-g", "2", "-m", metrics, "*.job", "true"}, tree.root());
  ASSERT_TRUE(process.wait_for("Datei was processed: 'a.job'"));
  ASSERT_TRUE(process.wait_until([&] { return metric(metrics, "hotbatch_files_waiting") >= 1; }));
  ASSERT_EQ(unlink(tree.path("b.job").c_str()), 0);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out),
            job(tree, "a.job", "a.job") + "Warning: File not readable anymore: 'b.job'\n");
  EXPECT_FALSE(tree.exists("b.job"));
}

}  // namespace
}  // namespace e2e
