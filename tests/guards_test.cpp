// End-to-end tests of the guards that keep a file from being taken when it must not be: a file
// swapped in while it settles, a file still in hand when the next pass finds it, and our own
// temporary files seen by the change watch.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

struct GuardCase {
  const char* name;
  std::vector<std::string> args;                   // run in the tree, the inbox is "in"
  const char* file;                                // dropped into "in" before the start
  std::function<void(const TempTree&)> meanwhile;  // once the file's settle time has begun
  int run_ms;                                      // how long the run goes on after that
  const char* line;                                // counted in the output
  int expected;
};

class Guards : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guards, FileTakenOnlyWhenItMayBe) {
  const GuardCase& c = GetParam();
  TempTree tree;
  tree.write(std::string("in/") + c.file, "AAAA");
  std::vector<std::string> args = {"-m", tree.path("metrics")};
  args.insert(args.end(), c.args.begin(), c.args.end());
  Process process(args, tree.root());
  if (c.meanwhile) {
    ASSERT_TRUE(process.wait_until(
        [&] { return metric(tree.path("metrics"), "hotbatch_files_waiting") >= 1; }));
    c.meanwhile(tree);
  }
  // What must happen is waited for; then the run goes on a while for what must not.
  EXPECT_TRUE(c.expected == 0 || process.wait_for(c.line, c.expected));
  std::this_thread::sleep_for(Millis(c.run_ms));
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_EQ(occurrences(result.out, c.line), c.expected) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Guards,
    ::testing::Values(
        // Another file of the same size renamed over the one found: it is not the file whose
        // size was tested, so the pass does not take it (the next one is an hour away).
        GuardCase{"SwappedDuringSettle",
                  {"-l", "-s", "3600", "-g", "2", "-d", "in", "*.txt", "true"},
                  "a.txt",
                  [](const TempTree& tree) {
                    tree.write("b.new", "BBBB");
                    std::rename(tree.path("b.new").c_str(), tree.path("in/a.txt").c_str());
                  },
                  2500,
                  "File found",
                  0},
        // The success file is written under a temporary name that matches the pattern: that is
        // our own write, which wakes no pass (else the file would run again and again).
        GuardCase{
            "OwnTemporaryFilesWakeNothing",
            {"-l", "-w", "-s", "3600", "-g", "0", "-t", "@1@.ok", "-d", "in", "*.tmp", "true"},
            "a.tmp",
            nullptr,
            1500,
            "Datei was processed",
            1}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
