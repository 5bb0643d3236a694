// End-to-end tests of looping and of stopping by signal, also while a command runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string kStopped = "Spoolex: Stopped\n";

struct PauseCase {
  const char* name;
  int sig;
  const char* settle;
  bool job_done;  // the request comes after the first job, else while the file settles
};

class StopDuringPause : public ::testing::TestWithParam<PauseCase> {};

// A request ends a long pause at once (between passes, or before a readiness attempt). The
// longest pause does not wrap around into a short one.
TEST_P(StopDuringPause, EndsCleanly) {
  const PauseCase& c = GetParam();
  TempTree tree;
  tree.write("a.EPS", "1");
  Process process({"-l", "-s", "2147483647", "-g", c.settle, "*.EPS", "true"}, tree.root());
  ASSERT_TRUE(process.wait_for(c.job_done ? "Datei was processed" : kStartRun));
  process.signal(c.sig);
  const RunResult result = process.finish();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(after_start(result.out),
            (c.job_done ? found(file) + processed("a.EPS") : "") + kStopped);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, StopDuringPause,
    ::testing::Values(PauseCase{"InterruptBetweenPasses", SIGINT, "0", true},
                      PauseCase{"TerminateBetweenPasses", SIGTERM, "0", true},
                      PauseCase{"TerminateWhileSettling", SIGTERM, "2147483647", false}),
    [](const ::testing::TestParamInfo<PauseCase>& info) { return info.param.name; });

// Looping: a file that stays is processed in every pass; a file that arrives later is picked up.
// Passes keep starting in the source folder given relative to the start folder.
TEST(Loop, ReprocessesAndPicksUpArrivals) {
  TempTree tree;
  tree.write("in/a.EPS", "1");
  Process process({"-l", "-s", "1", "-g", "0", "-d", "in", "*.EPS", "true"}, tree.root());
  ASSERT_TRUE(process.wait_for("Datei was processed: 'a.EPS'", 2));
  tree.drop("in/b.EPS", "2");
  ASSERT_TRUE(process.wait_for("Datei was processed: 'b.EPS'"));
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_GE(occurrences(masked(result.out), found(tree.path("in/a.EPS"))), 2);
  EXPECT_EQ(result.out.substr(result.out.size() - kStopped.size()), kStopped);
}

// Command for the tests below: signals that it runs, then waits for the test's verdict.
std::string waiting_command(const TempTree& tree) {
  const std::string release = tree.path("release");
  return "touch " + tree.path("running") + "; while [ ! -e " + release +
         " ]; do sleep 0.05; done; exit $(cat " + release + ")";
}

std::vector<std::string> stop_args(const TempTree& tree, const std::string& command) {
  return {"-l", "-g", "0",     "-E",   "-e", tree.path("errors"), "-o", tree.path("run.log"),
          "-d", "in", "*.job", command};
}

// The line that tells of a job a stop left untouched.
std::string left(const std::string& full_path) {
  return "Spoolex: Job of '" + full_path + "' left for the next run\n";
}

// The line that tells how many running jobs a stop waits for.
std::string waiting(int jobs) {
  return "Spoolex: Stop requested, waiting for " + std::to_string(jobs) + " running jobs\n";
}

struct RunningCase {
  const char* name;
  int sig;
  int code;  // what the command returns
};

class StopWhileRunning : public ::testing::TestWithParam<RunningCase> {};

// A service manager's request (or a hang-up) while a command runs: the command runs out and its
// result counts, done or failed. No further file is started.
TEST_P(StopWhileRunning, LetsTheJobCount) {
  const RunningCase& c = GetParam();
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.write("in/b.job", "2");
  tree.mkdir("errors");
  const std::string command = waiting_command(tree);
  Process process(stop_args(tree, command), tree.root());
  ASSERT_TRUE(process.wait_until([&] { return tree.exists("running"); }));
  process.signal(c.sig);
  ASSERT_TRUE(process.wait_for(waiting(1)));
  tree.drop("release", std::to_string(c.code));
  const RunResult result = process.finish();
  const std::string file = tree.path("in/a.job");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(
      after_start(result.out),
      found(file) + waiting(1) +
          (c.code == 0 ? processed("a.job") : error_block(command) + ended(file, "with status 3")) +
          erased(file) + kStopped);
  EXPECT_FALSE(tree.exists("in/a.job"));
  EXPECT_TRUE(tree.exists("in/b.job"));
  EXPECT_EQ(tree.list("errors").size(), c.code == 0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Results, StopWhileRunning,
                         ::testing::Values(RunningCase{"CommandSucceeds", SIGTERM, 0},
                                           RunningCase{"CommandFails", SIGTERM, 3},
                                           RunningCase{"HangUp", SIGHUP, 0}),
                         [](const ::testing::TestParamInfo<RunningCase>& info) {
                           return info.param.name;
                         });

// Ctrl+C reaches the program and its commands: the command dies of it and its job is left for
// the next run.
TEST(Stop, InterruptToGroupLeavesJob) {
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.mkdir("errors");
  Process process(stop_args(tree, "sleep 30"), tree.root());
  ASSERT_TRUE(process.wait_until([&] { return process.has_member("sleep"); }));
  process.signal_group(SIGINT);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out),
            found(tree.path("in/a.job")) + waiting(1) + left(tree.path("in/a.job")) + kStopped);
  EXPECT_TRUE(tree.exists("in/a.job"));
  EXPECT_FALSE(tree.exists("run.log"));
  EXPECT_TRUE(tree.list("errors").empty());
}

// A second request asks each command's tree to end, so that its trap cleans up, and only then
// ends what is left by force: the job is left for the next run, the run says so, and the metrics
// file tells it once more.
TEST(Stop, SecondRequestLetsTrapsClean) {
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.mkdir("errors");
  const std::string part = tree.path("a.part");
  std::vector<std::string> args = {"-m", tree.path("metrics")};
  for (const std::string& arg :
       stop_args(tree, "trap 'rm -f " + part + "; exit 1' TERM; touch " + part + "; sleep 30")) {
    args.push_back(arg);
  }
  Process process(args, tree.root());
  // Once `sleep` runs: a signal that came while the shell was still starting it would be taken by
  // the trap of the shell's child, and lost with its exec.
  ASSERT_TRUE(process.wait_until([&] { return process.has_member("sleep"); }));
  process.signal(SIGTERM);
  ASSERT_TRUE(process.wait_for(waiting(1)));
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  const std::string file = tree.path("in/a.job");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(after_start(result.out), found(file) + waiting(1) +
                                         "Spoolex: Second stop request, ending 1 running jobs\n" +
                                         left(file) + kStopped);
  EXPECT_FALSE(tree.exists("a.part"));
  EXPECT_TRUE(tree.exists("in/a.job"));
  EXPECT_NE(tree.read("metrics").find("hotbatch_jobs_total{result=\"left\"} 1\n"),
            std::string::npos);
}

// However the program ends while commands run, no command it started (nor what they started,
// even in a session of their own, ignoring SIGTERM) is left running; the job's file stays unless
// its job failed and was copied.
struct EndCase {
  const char* name;
  std::vector<std::string> options;  // before stop_args
  int files;                         // a.job, b.job ... each running the command
  std::vector<int> signals;          // in turn; none: the time limit ends the job
  int status;
  bool file_stays;
};

class NothingOutlives : public ::testing::TestWithParam<EndCase> {};

TEST_P(NothingOutlives, TheProgram) {
  const EndCase& c = GetParam();
  TempTree tree;
  const std::string marker = "31" + std::to_string(getpid() % 1000);  // unique sleep times
  tree.mkdir("errors");
  for (int i = 0; i < c.files; ++i) {
    tree.write("in/" + std::string(1, static_cast<char>('a' + i)) + ".job", "1");
  }
  // Quoted, the sleeps' numbers are not in the program's own command line, which pgrep -f sees.
  const std::string command = "setsid sh -c 'trap \"\" TERM; exec sleep " + marker +
                              "\"1\"' & trap '' TERM; touch " + tree.path("ran@5@") + "; sleep " +
                              marker + "\"2\"; true";
  std::vector<std::string> args = c.options;
  for (const std::string& arg : stop_args(tree, command)) {
    args.push_back(arg);
  }
  Process process(args, tree.root());
  for (int i = 0; i < c.files; ++i) {
    const std::string ran = "ran" + std::string(1, static_cast<char>('a' + i));
    ASSERT_TRUE(process.wait_until([&] { return tree.exists(ran); }));
  }
  const auto tree_gone = [&] {
    return !running_anywhere("sleep " + marker + "1") && !running_anywhere("sleep " + marker + "2");
  };
  ASSERT_TRUE(process.wait_until([&] { return running_anywhere("sleep " + marker + "1"); }));
  if (c.signals.empty()) {
    // The time limit ends the whole tree, not only the command's shell, while the run goes on.
    ASSERT_TRUE(process.wait_for("File erased"));
    EXPECT_TRUE(process.wait_until(tree_gone));
    process.signal(SIGTERM);
  }
  for (std::size_t i = 0; i < c.signals.size(); ++i) {
    if (i > 0) {
      ASSERT_TRUE(process.wait_for(waiting(c.files)));
    }
    process.signal(c.signals[i]);
  }
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, c.status);
  EXPECT_TRUE(process.wait_until(tree_gone));
  EXPECT_EQ(tree.exists("in/a.job"), c.file_stays);
  if (c.signals.empty()) {
    const std::string file = tree.path("in/a.job");
    EXPECT_EQ(after_start(result.out),
              found(file) + "Spoolex: Job of '" + file + "' stopped after 1 Sek\n" +
                  error_block(std::regex_replace(command, std::regex("@5@"), "a")) +
                  ended(file, "by signal 9") + erased(file) + kStopped);
    EXPECT_EQ(tree.list("errors"), std::vector<std::string>{"a.job"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, NothingOutlives,
    ::testing::Values(EndCase{"TimeLimit", {"-k", "1"}, 1, {}, 0, false},
                      EndCase{"KillNine", {"-j", "2"}, 2, {SIGKILL}, 128 + SIGKILL, true},
                      EndCase{"SecondRequest", {}, 1, {SIGTERM, SIGINT}, 1, true}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
