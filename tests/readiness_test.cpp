// End-to-end tests of readiness where waiting files hold no slot (-j above 1, or -w): a file is
// taken one settle time after its last change, a file that is never ready delays nobody, and a
// file the service may read but not write is processed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

struct ReadyCase {
  const char* name;
  std::vector<std::string> prefix;   // how the program is started
  std::vector<std::string> options;  // before the rest
  bool grows;     // a.job is written for two seconds after the start, else z.job is there whole
  int held_open;  // files held open by a writer all along
};

class Readiness : public ::testing::TestWithParam<ReadyCase> {};

TEST_P(Readiness, TakenOnceWholeWithoutWaitingForOthers) {
  const ReadyCase& c = GetParam();
  TempTree tree;
  tree.mkdir("in");
  ASSERT_EQ(chmod(tree.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(tree.path("in").c_str(), 0755), 0);
  std::vector<std::unique_ptr<std::ofstream>> writers;
  for (int i = 0; i < c.held_open; ++i) {
    writers.push_back(
        std::make_unique<std::ofstream>(tree.path("in/h" + std::to_string(i) + ".job")));
    *writers.back() << "never done" << std::flush;
  }
  const std::string file = c.grows ? "a.job" : "z.job";  // after the held files
  tree.write("in/" + file, "first");
  std::atomic<bool> writing{c.grows};
  std::thread writer([&] {
    for (int i = 0; i < 10 && writing; ++i) {
      std::this_thread::sleep_for(Millis(200));
      std::ofstream(tree.path("in/a.job"), std::ios::app) << std::string(1000, 'x');
    }
  });
  const RunOptions options = started_through(c.prefix);
  std::vector<std::string> args = c.options;
  for (const char* arg : {"-l", "-s", "3600", "-g", "1", "-d", "in", "*.job", "wc -c <\"@1@\""}) {
    args.push_back(arg);
  }
  Process process(args, tree.root(), options);
  // The next pass is an hour away: the first one takes the file.
  const bool done = process.wait_for("Datei was processed: '" + file + "'");
  writing = false;
  writer.join();
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_TRUE(done) << result.out;
  EXPECT_EQ(occurrences(result.out, "Datei was processed"), 1) << result.out;
  EXPECT_EQ(occurrences(result.out, c.grows ? "\n10005\n" : "\n5\n"), 1) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Readiness,
    ::testing::Values(ReadyCase{"GrowsDuringFirstWaitJobs", {}, {"-j", "4"}, true, 0},
                      ReadyCase{"GrowsDuringFirstWaitWake", {}, {"-w"}, true, 0},
                      ReadyCase{"NeverReadyFilesHoldNoSlot", {}, {"-j", "2"}, false, 3},
                      // Root's 0644 file, which the service user may read but not write.
                      ReadyCase{
                          "ReadOnlyForTheService",
                          {"/usr/bin/setpriv", "--reuid=4242", "--regid=4242", "--clear-groups"},
                          {"-j", "2"},
                          false,
                          0}),
    [](const ::testing::TestParamInfo<ReadyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
