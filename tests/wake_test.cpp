// End-to-end tests of waking on change (-w): a long pause ends early when something arrives,
// polling goes on where watching is not possible, and a stop still ends the pause at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

// Far longer than any wait below: a job that runs at all was woken, not polled.
const char* const kLongPause = "3600";
const Millis kWoken = kTimeout;

std::vector<std::string> woken_args(const TempTree& tree, std::vector<std::string> more) {
  std::vector<std::string> args = {"-l", "-s", kLongPause, "-g",
                                   "0",  "-w", "-m",       tree.path("metrics")};
  args.insert(args.end(), more.begin(), more.end());
  args.push_back("*.job");
  args.push_back("echo ran @2@ >> " + tree.path("ran.txt"));
  return args;
}

// Waits until the run's first pass is over (its metrics say so): its pause has begun.
bool paused(Process& process, const TempTree& tree) {
  return process.wait_until(
      [&] { return metric(tree.path("metrics"), "hotbatch_passes_total") >= 1; });
}

// A file moved into the source folder, a new sub-folder and a file in it, and a file written in
// place each end the pause; a name that does not match wakes nothing.
TEST(Wake, ArrivalsEndThePause) {
  TempTree tree;
  tree.mkdir("in");
  Process process(woken_args(tree, {"-r", "-E", "-d", "in"}), tree.root());
  ASSERT_TRUE(paused(process, tree));

  tree.drop("in/a.job", "1");
  EXPECT_TRUE(process.wait_for("File erased", 1, kWoken)) << process.out();

  tree.mkdir("in/sub");
  usleep(300000);  // the pass the new folder woke has entered it
  tree.drop("in/sub/b.job", "1");
  EXPECT_TRUE(process.wait_for("File erased", 2, kWoken)) << process.out();

  tree.write("in/c.job", "written in place");
  EXPECT_TRUE(process.wait_for("File erased", 3, kWoken)) << process.out();

  tree.write("in/other.txt", "no match");
  usleep(300000);
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(tree.read("ran.txt"), "ran a\nran b\nran c\n");
  EXPECT_NE(result.out.find("Spoolex: Wake on change\n"), std::string::npos);
  EXPECT_EQ(occurrences(result.out, "Warning: "), 0) << result.out;
}

// Our own readiness probe opens each file for writing; its close must not wake pass after pass.
// A file that stays (no -E) is looked at once more after its arrival, then the pause holds.
TEST(Wake, OwnProbesWakeNothing) {
  TempTree tree;
  Process process(woken_args(tree, {}), tree.root());
  ASSERT_TRUE(paused(process, tree));
  tree.drop("a.job", "1");
  ASSERT_TRUE(process.wait_for("Datei was processed", 1, kWoken));
  usleep(1500000);
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_LE(occurrences(result.out, "Datei was processed"), 2) << result.out;
}

// A writer that writes, pauses with its file open and then closes it without writing again: the
// pass it woke found the file busy, and its close (not our own probes' closes) wakes the next.
TEST(Wake, WritersLateCloseWakesAPass) {
  TempTree tree;
  Process process(woken_args(tree, {"-E"}), tree.root());
  ASSERT_TRUE(paused(process, tree));
  const std::string file = tree.path("a.job");
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t written = fd >= 0 ? write(fd, "half\n", 5) : -1;
    sleep(2);
    _exit(written == 5 && close(fd) == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(writer, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(process.wait_for("File erased", 1, kWoken)) << process.out();
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().status, 0);
  EXPECT_EQ(tree.read("ran.txt"), "ran a\n");
}

// A stop during a pause that waits for changes ends it at once, also with jobs at once.
TEST(Wake, StopEndsTheWatchedPause) {
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    TempTree tree;
    tree.write("a.job", "1");
    Process process(woken_args(tree, {"-j", jobs}), tree.root());
    ASSERT_TRUE(process.wait_for("Datei was processed"));
    process.signal(SIGTERM);
    const RunResult result = process.finish();  // the pause would hold it an hour
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.substr(result.out.size() - 17), "Spoolex: Stopped\n");
  }
}

// Jobs at once and waking together: arrivals during the pause are taken at once.
TEST(Wake, WithJobsAtOnce) {
  TempTree tree;
  Process process(woken_args(tree, {"-j", "4", "-E"}), tree.root());
  ASSERT_TRUE(paused(process, tree));
  for (const char* name : {"a.job", "b.job", "c.job"}) {
    tree.drop(name, "1");
  }
  EXPECT_TRUE(process.wait_for("File erased", 3, kWoken)) << process.out();
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().status, 0);
}

// A change is looked at in its folder alone: a failed file elsewhere in the tree does not run
// again before the regular pass (a pass per change would run it). A folder moved in is walked
// whole.
TEST(Wake, ChangeLooksOnlyWhereItHappened) {
  TempTree tree;
  tree.write("in/b/fail.job", "1");
  tree.mkdir("in/a");
  std::vector<std::string> args = woken_args(tree, {"-r", "-d", "in"});
  args.back() = "echo ran @2@ >> " + tree.path("ran.txt") + "; test \"$HOTBATCH_2\" != fail";
  Process process(args, tree.root());
  ASSERT_TRUE(paused(process, tree));
  tree.drop("in/a/x.job", "1");
  tree.write("c/deep/y.job", "1");
  ASSERT_EQ(rename(tree.path("c").c_str(), tree.path("in/c").c_str()), 0);
  EXPECT_TRUE(process.wait_for("Datei was processed", 2, kWoken)) << process.out();
  usleep(300000);
  process.signal(SIGTERM);
  process.finish();
  EXPECT_EQ(tree.read("ran.txt"), "ran fail\nran x\nran y\n");
}

// The source folder removed and made again is watched again at once: a file dropped into it runs
// long before the regular pass.
TEST(Wake, SourceFolderMadeAnew) {
  TempTree tree;
  tree.mkdir("in");
  Process process(woken_args(tree, {"-E", "-d", "in"}), tree.root());
  ASSERT_TRUE(paused(process, tree));
  ASSERT_EQ(rmdir(tree.path("in").c_str()), 0);
  usleep(200000);
  tree.mkdir("in");
  usleep(300000);  // the pass its return started has watched it
  tree.drop("in/a.job", "1");
  EXPECT_TRUE(process.wait_for("File erased", 1, kWoken)) << process.out();
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().status, 0);
}

struct UnwatchedCase {
  const char* name;
  std::vector<std::string> prefix;   // how the program is started
  std::vector<std::string> options;  // before the rest
  const char* locked;                // may be entered but not read, so it cannot be watched
  const char* warning;
  bool arrivals_wake;  // the watches held still wake a pass for a file moved into "in"
};

class Unwatched : public ::testing::TestWithParam<UnwatchedCase> {};

// Where a folder cannot be watched, one warning names the reason and polling goes on; where only
// some cannot, the watches held keep working.
TEST_P(Unwatched, WarnsOnceAndPollingGoesOn) {
  const UnwatchedCase& c = GetParam();
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the program as another user";
  }
  TempTree tree;
  tree.mkdir("in/s1");
  tree.mkdir("in/s2");
  ASSERT_EQ(chmod(tree.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(tree.path("in").c_str(), c.locked != nullptr ? 0711 : 0755), 0);
  tree.mkdir("m");
  ASSERT_EQ(chmod(tree.path("m").c_str(), 0777), 0);
  const std::string metrics = tree.path("m/metrics");
  const RunOptions options = started_through(c.prefix);
  std::vector<std::string> args = c.options;
  for (const char* arg : {"-l", "-w", "-g", "0", "-d", "in", "*.job", "true"}) {
    args.push_back(arg);
  }
  args.insert(args.begin(), {"-m", metrics});
  Process process(args, tree.root(), options);
  ASSERT_TRUE(process.wait_for(c.warning));
  // After the first pass, where it can list the folder: a file it found would prove nothing.
  ASSERT_TRUE(!c.arrivals_wake ||
              process.wait_until([&] { return metric(metrics, "hotbatch_passes_total") >= 1; }));
  tree.drop("in/a.job", "1");
  // Unwoken, it waits for the regular pass an hour away.
  EXPECT_EQ(process.wait_for("Datei was processed", 1, c.arrivals_wake ? kWoken : Millis(3000)),
            c.arrivals_wake);
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, c.warning), 1) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Unwatched,
    ::testing::Values(
        UnwatchedCase{"SourceFolder",
                      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                      {"-s", kLongPause},
                      "in",
                      "Warning: Cannot wake on change (Permission denied); polling only\n",
                      false},
        // Two watches allowed, in a user namespace of its own: half of them, "in" alone, taken.
        UnwatchedCase{"SomeFolders",
                      {"/usr/bin/unshare", "--user", "--map-root-user", "/bin/sh", "-c",
                       "echo 2 >/proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\""},
                      {"-s", kLongPause, "-r"},
                      nullptr,
                      "Warning: Cannot watch every folder (half of the inotify watches allowed "
                      "are in use, see fs.inotify.max_user_watches); those are found by the "
                      "regular pass\n",
                      true}),
    [](const ::testing::TestParamInfo<UnwatchedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
