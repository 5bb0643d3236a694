// End-to-end tests of several files in hand at once (-j): every file exactly once, output kept
// together per job, each command in its own file's folder, and stopping with jobs in flight.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Under load, with failures, -E and passes that start while earlier jobs still run, every file
// runs exactly once: the successes are erased, the failures copied and then erased, and no
// file is taken again while it is in hand.
TEST(JobsAtOnce, EveryFileExactlyOnce) {
  TempTree tree;
  const int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    tree.write("in/f" + std::to_string(100 + i) + ".job", std::to_string(i));
  }
  tree.mkdir("errors");
  // Every seventh file fails; each command takes a little while, so passes overlap the jobs.
  const std::string command = "n=$(cat \"@1@\"); echo @5@ >> " + tree.path("ran.txt") +
                              "; sleep 0.0$((n % 3)); test $((n % 7)) != 0";
  Process process({"-l", "-s", "1", "-g", "0", "-j", "8", "-E", "-e", tree.path("errors"), "-o",
                   tree.path("run.log"), "-d", "in", "*.job", command},
                  tree.root());
  ASSERT_TRUE(process.wait_for("File erased", kFiles));
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);

  std::map<std::string, int> runs;
  for (const std::string& name : lines_of(tree.read("ran.txt"))) {
    ++runs[name];
  }
  EXPECT_EQ(runs.size(), static_cast<std::size_t>(kFiles));
  for (const auto& [name, count] : runs) {
    EXPECT_EQ(count, 1) << name;
  }
  EXPECT_TRUE(tree.list("in").empty());
  std::vector<std::string> failed;
  for (int i = 0; i < kFiles; i += 7) {
    failed.push_back("f" + std::to_string(100 + i) + ".job");
  }
  EXPECT_EQ(tree.list("errors"), failed);
  EXPECT_EQ(occurrences(result.out, "Datei was processed"),
            kFiles - static_cast<int>(failed.size()));
  EXPECT_EQ(occurrences(tree.read("run.log"), "*** File was moved to error folder:"),
            static_cast<int>(failed.size()));
}

// Each command's output comes as one block just before its result line, however the commands
// interleave; the announcements come as the commands start.
TEST(JobsAtOnce, OutputStaysTogetherPerJob) {
  TempTree tree;
  for (const char* name : {"a", "b", "c", "d"}) {
    tree.write(std::string(name) + ".job", "1");
  }
  const RunResult result =
      run({"-g", "0", "-j", "4", "*.job", "n=@5@; echo begin $n; sleep 0.3; echo end $n >&2"},
          tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string out = after_start(result.out);
  for (const char* name : {"a", "b", "c", "d"}) {
    const std::string block = std::string("begin ") + name + "\nend " + name + "\n" +
                              processed(std::string(name) + ".job");
    EXPECT_EQ(occurrences(out, block), 1) << out;
  }
  // All four were started before the first ended.
  const std::vector<std::string> lines = lines_of(out);
  ASSERT_GE(lines.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(lines[i].find("File found and under processing"), std::string::npos) << out;
  }
}

// Every command runs in its own file's folder, and the outcome (relative run log, success file
// and error folder) is handled there too, while the walk goes on elsewhere. The error folders'
// names begin with a dot, so that -r never walks them.
TEST(JobsAtOnce, EachJobInItsOwnFolder) {
  TempTree tree;
  for (const char* rel : {"x.job", "s1/y.job", "s1/s2/z.job", "t/w.job"}) {
    tree.write(rel, "1");
  }
  for (const char* folder : {".errors", "s1/.errors", "s1/s2/.errors", "t/.errors"}) {
    tree.mkdir(folder);
  }
  const RunResult result = run({"-r", "-g", "0", "-j", "3", "-o", "run.log", "-t", "@5@.ok", "-e",
                                ".errors", "*.job", "n=@5@; pwd > $n.where; test $n != w"},
                               tree.root());
  EXPECT_EQ(result.status, 0);
  const std::pair<std::string, std::string> succeeded[] = {{"", "x"}, {"s1", "y"}, {"s1/s2", "z"}};
  for (const auto& [folder, name] : succeeded) {
    const std::string prefix = folder.empty() ? "" : folder + "/";
    EXPECT_EQ(tree.read(prefix + name + ".where"),
              (folder.empty() ? tree.root() : tree.path(folder)) + "\n");
    EXPECT_EQ(tree.read(prefix + name + ".ok"), "'" + name + "' - ok\n");
    EXPECT_EQ(occurrences(tree.read(prefix + "run.log"), "Datei was processed"), 1);
  }
  EXPECT_EQ(tree.read("t/w.where"), tree.path("t") + "\n");
  EXPECT_EQ(tree.list("t/.errors"), std::vector<std::string>{"w.job"});
  EXPECT_EQ(occurrences(tree.read("t/run.log"), "File was moved to error folder"), 1);
}

// A stop takes no new file and waits for every running command, saying how many; their results
// count (success and failure), and a file not yet started stays.
TEST(JobsAtOnce, StopWaitsForRunningCommands) {
  TempTree tree;
  for (const char* name : {"a0", "b0", "c3", "d3", "e0"}) {
    tree.write(std::string(name) + ".job", "1");
  }
  const std::string command = "n=@5@; touch " + tree.path("$n.running") + "; while [ ! -e " +
                              tree.path("release") +
                              " ]; do sleep 0.02; done; exit $(echo $n | cut -c2)";
  Process process({"-g", "0", "-j", "4", "-E", "*.job", command}, tree.root());
  ASSERT_TRUE(process.wait_until([&] {
    return tree.exists("a0.running") && tree.exists("b0.running") && tree.exists("c3.running") &&
           tree.exists("d3.running");
  }));
  process.signal(SIGTERM);
  ASSERT_TRUE(process.wait_for("Spoolex: Stop requested, waiting for 4 running jobs\n"));
  tree.drop("release", "");
  const RunResult result = process.finish();
  EXPECT_EQ(result.status, 0);
  const std::string out = after_start(result.out);
  EXPECT_EQ(occurrences(out, "Datei was processed"), 2) << out;
  EXPECT_EQ(occurrences(out, "ended with status 3"), 2) << out;
  EXPECT_EQ(occurrences(out, "left for the next run"), 0) << out;
  EXPECT_EQ(out.substr(out.size() - 17), "Spoolex: Stopped\n");
  EXPECT_EQ(tree.list(""), (std::vector<std::string>{"a0.running", "b0.running", "c3.running",
                                                     "d3.running", "e0.job", "release"}));
}

// A file whose writer still holds it takes one slot; the files behind it go on meanwhile.
TEST(JobsAtOnce, AHeldFileHoldsOneSlot) {
  TempTree tree;
  tree.write("a.job", "half");
  tree.write("b.job", "whole");
  tree.write("c.job", "whole");
  int opened[2];
  int held[2];  // the writer holds the file until the test closes its end
  ASSERT_TRUE(pipe2(opened, O_CLOEXEC) == 0 && pipe2(held, O_CLOEXEC) == 0);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    close(held[1]);
    int fd = open(tree.path("a.job").c_str(), O_WRONLY | O_APPEND);
    char byte = 0;
    _exit(fd >= 0 && write(opened[1], &byte, 1) == 1 && read(held[0], &byte, 1) == 0 ? 0 : 1);
  }
  close(opened[1]);
  close(held[0]);
  char byte = 0;
  ASSERT_EQ(read(opened[0], &byte, 1), 1);
  Process process({"-g", "1", "-j", "2", "*.job", "true"}, tree.root());
  const bool others_done = process.wait_for("Datei was processed: 'c.job'");
  close(held[1]);
  const RunResult result = process.finish();
  waitpid(writer, nullptr, 0);
  close(opened[0]);
  EXPECT_TRUE(others_done);
  const std::string out = after_start(result.out);
  EXPECT_EQ(occurrences(out, processed("b.job")), 1) << out;
  EXPECT_EQ(occurrences(out, processed("c.job")), 1) << out;
  // Leases need a file system that has them; where there are none, the size test alone decides.
  if (out.find("a.job") != std::string::npos) {
    EXPECT_LT(out.find(processed("c.job")), out.find(found(tree.path("a.job")))) << out;
  }
}

}  // namespace
}  // namespace e2e
