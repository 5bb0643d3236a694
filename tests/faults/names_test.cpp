// End-to-end tests with hostile names and shapes: every byte value, the longest names, paths
// longer than the system accepts, a huge folder and link loops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "e2e_support.h"

namespace e2e {
namespace {

bool unsafe_byte(unsigned char c) {
  return c < 32 || c == 127 || std::strchr("\"$`\\", c) != nullptr;
}

// Every byte value from 1 to 255 but '/' appears in some name. A name that could break out of
// the double quotes around a placeholder is refused and left alone; every other one reaches the
// command intact (the command checks that its file exists under the name it was given).
TEST(Names, EveryByteValue) {
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("err");
  std::set<std::string> safe;
  std::set<std::string> refused;
  for (int first = 1; first < 256; first += 16) {
    std::string name = "n";
    bool bad = false;
    for (int c = first; c < first + 16 && c < 256; ++c) {
      if (c != '/') {
        name += static_cast<char>(c);
        bad = bad || unsafe_byte(static_cast<unsigned char>(c));
      }
    }
    name += ".job";
    tree.write("in/" + name, name);
    (bad ? refused : safe).insert(name);
  }
  // Names of single bytes show each refused byte on its own.
  for (int c = 128; c < 256; c += 37) {
    std::string name = std::string(1, static_cast<char>(c)) + ".job";
    tree.write("in/" + name, name);
    safe.insert(name);
  }
  const RunResult result = run(
      {"-g", "0", "-E", "-e", tree.path("err"), "*.job", "test -f \"@1@\" && test -f \"@2@.@3@\""},
      tree.path("in"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(tree.list("err").empty());
  std::vector<std::string> left = tree.list("in");
  EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), refused);
  EXPECT_EQ(occurrences(result.out, "Warning: Unsafe file name skipped"),
            static_cast<int>(refused.size()));
  EXPECT_EQ(occurrences(result.out, "File erased"), static_cast<int>(safe.size()));
  // Control bytes never reach the console as they are.
  const std::string out = after_start(result.out);
  for (char c : out) {
    unsigned char byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte == '\n' || (byte >= 32 && byte != 127)) << "byte " << int(byte);
  }
}

// Names of 255 bytes, the longest the system allows, in a folder whose path is long too.
TEST(Names, LongestNames) {
  TempTree tree;
  const std::string folder = std::string(200, 'd') + "/" + std::string(200, 'e');
  const std::string plain = std::string(251, 'a') + ".job";
  const std::string dotted = std::string(120, 'b') + "." + std::string(130, 'c') + ".job";
  tree.write(folder + "/" + plain, "1");
  tree.write(folder + "/" + dotted, "1");
  const RunResult result = run(
      {"-r", "-g", "0", "-E", "-t", "@4@.ok", "*.job", "test -f \"@1@\" && test -f \"@2@.@3@\""},
      tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out),
            found(tree.path(folder + "/" + plain)) + processed(plain) +
                erased(tree.path(folder + "/" + plain)) + found(tree.path(folder + "/" + dotted)) +
                processed(dotted) + erased(tree.path(folder + "/" + dotted)));
  EXPECT_EQ(tree.read(folder + "/" + std::string(251, 'a') + ".ok"),
            "'" + std::string(251, 'a') + "' - ok\n");
  EXPECT_EQ(tree.read(folder + "/" + std::string(120, 'b') + "." + std::string(130, 'c') + ".ok"),
            "'" + std::string(120, 'b') + "' - ok\n");
}

// A tree deeper than the longest path the system accepts: the walk goes down and comes back by
// descriptors, every file is processed with its whole path, and the pass ends normally with the
// files after the deep branch.
TEST(Names, PathsLongerThanTheSystemLimit) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.write("z.job", "1");
  tree.mkdir("deep");
  const std::string level(200, 'x');
  int at = open(tree.path("deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(at, 0);
  std::size_t length = tree.path("deep").size();
  for (int depth = 0; length < 6000; ++depth) {
    ASSERT_EQ(mkdirat(at, level.c_str(), 0755), 0);
    int next = openat(at, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    close(at);
    at = next;
    length += 1 + level.size();
    // One file where the path is still short, one at the bottom.
    const char* name = depth == 4 ? "mid.job" : (length >= 6000 ? "bottom.job" : nullptr);
    if (name != nullptr) {
      close(openat(at, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
  }
  close(at);
  const RunResult result = run({"-r", "-g", "0", "-E", "*.job", "true"}, tree.root());
  int root = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  remove_at(root, "deep");
  close(root);
  EXPECT_EQ(result.status, 0);
  const std::string out = after_start(result.out);
  EXPECT_EQ(out.find(found(tree.path("a.job"))), 0u);
  EXPECT_EQ(occurrences(out, "Datei was processed: 'mid.job'"), 1);
  EXPECT_EQ(occurrences(out, "Datei was processed: 'bottom.job'"), 1);
  EXPECT_EQ(occurrences(out, "File erased"), 4);
  EXPECT_EQ(occurrences(out, "Warning"), 0);
  EXPECT_EQ(out.substr(out.size() - erased(tree.path("z.job")).size()), erased(tree.path("z.job")));
}

// 100,000 entries in one folder, one in ten a job: each job is handled once, in byte order, and
// the empty command with -E takes exactly the jobs away.
TEST(Names, HundredThousandEntries) {
  TempTree tree;
  tree.mkdir("in");
  int at = open(tree.path("in").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(at, 0);
  for (int i = 0; i < 100000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.%s", 99999 - i, i % 10 == 0 ? "job" : "dat");
    int fd = openat(at, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  close(at);
  Process hotbatch({"-g", "0", "-E", "*.job", ""}, tree.path("in"));
  const RunResult result = hotbatch.finish(Millis(150000));
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(occurrences(result.out, "File erased"), 10000);
  EXPECT_LT(result.out.find("000009.job"), result.out.find("000019.job"));
  EXPECT_LT(result.out.find("099989.job"), result.out.find("099999.job"));
  EXPECT_EQ(tree.list("in").size(), 90000u);
}

// Links that lead back to the tree or round in a circle: no descent loops, a dangling or
// circular link whose name matches is passed over, and each real file is processed once.
TEST(Names, SymbolicLinkLoops) {
  TempTree tree;
  tree.write("a/b/real.job", "1");
  ASSERT_EQ(symlink(".", tree.path("a/self").c_str()), 0);
  ASSERT_EQ(symlink("..", tree.path("a/b/up").c_str()), 0);
  ASSERT_EQ(symlink(tree.root().c_str(), tree.path("a/b/root").c_str()), 0);
  ASSERT_EQ(symlink("loop2.job", tree.path("loop1.job").c_str()), 0);
  ASSERT_EQ(symlink("loop1.job", tree.path("loop2.job").c_str()), 0);
  ASSERT_EQ(symlink("a", tree.path("dir.job").c_str()), 0);
  const RunResult result = run({"-r", "-g", "0", "*", "true"}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(after_start(result.out), found(tree.path("a/b/real.job")) + processed("real.job"));
}

}  // namespace
}  // namespace e2e
