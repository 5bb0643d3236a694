// End-to-end tests of the state file (-c): restarts run nothing twice, even after a kill.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "e2e_support.h"

namespace e2e {
namespace {

// The names of the files whose job ended, in the order of the output.
std::multiset<std::string> processed_names(const std::string& out) {
  std::multiset<std::string> names;
  const std::string mark = "Datei was processed: '";
  for (std::size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
    const std::size_t from = at + mark.size();
    names.insert(out.substr(from, out.find('\'', from) - from));
  }
  return names;
}

// -l -u -w with a state file, stopped by SIGTERM and started again: no file runs twice. A second
// service on the same state file says so and ends.
TEST(StateFile, RestartRunsNothingTwice) {
  TempTree tree;
  for (const char* name : {"in/a.EPS", "in/b.EPS", "in/c.EPS"}) {
    tree.write(name, "1");
  }
  const std::vector<std::string> args = {"-l",        "-u", "-w", "-g",    "0",   "-c",
                                         "run.state", "-d", "in", "*.EPS", "true"};
  Process first(args, tree.root());
  ASSERT_TRUE(first.wait_for("Datei was processed", 3));
  const RunResult second = run(args, tree.root());
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("Spoolex: State file 'run.state' is in use by another hotbatch\n"),
            std::string::npos);
  first.signal(SIGTERM);
  EXPECT_EQ(first.finish().status, 0);
  Process again(args, tree.root());
  ASSERT_TRUE(again.wait_for(kStartRun));
  tree.drop("in/d.EPS", "2");  // the proof that the restart has looked
  ASSERT_TRUE(again.wait_for("Datei was processed: 'd.EPS'"));
  again.signal(SIGTERM);
  const RunResult after = again.finish();
  EXPECT_EQ(processed_names(after.out), std::multiset<std::string>{"d.EPS"});
}

// A kill -9 while the state file is written (every job that ends writes it): the restart warns at
// most, and runs again no file whose record was complete, only the one or two last in flight.
TEST(StateFile, KillDuringAWriteLosesAtMostTheLastRecord) {
  TempTree tree;
  for (int i = 0; i < 300; ++i) {
    tree.write("in/f" + std::to_string(i) + ".EPS", "1");
  }
  const std::vector<std::string> args = {"-u", "-g", "0",     "-c",  "run.state",
                                         "-d", "in", "*.EPS", "true"};
  std::vector<std::string> looping = args;
  looping.insert(looping.begin(), "-l");
  Process first(looping, tree.root());
  ASSERT_TRUE(first.wait_for("Datei was processed", 150));
  first.signal(SIGKILL);
  const std::multiset<std::string> before = processed_names(first.finish().out);
  const RunResult again = run(args, tree.root());
  EXPECT_EQ(again.status, 0);
  EXPECT_LE(occurrences(again.out, "Warning:"), 1);
  const std::multiset<std::string> after = processed_names(again.out);
  int twice = 0;
  for (const std::string& name : after) {
    twice += before.count(name) > 0 ? 1 : 0;
  }
  EXPECT_LE(twice, 2);
  EXPECT_EQ(before.size() + after.size() - static_cast<std::size_t>(twice), 300u);
}

}  // namespace
}  // namespace e2e
