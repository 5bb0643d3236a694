// End-to-end tests of job outcomes: console lines, run log, success files, error copies, erasing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string kPayload = "b\na\n";

// A file dropped into an input folder goes all the way: announced, converted, logged, confirmed
// in its success file and erased. The command's own output lands between our lines.
TEST(Job, RoadOfOneFile) {
  TempTree tree;
  tree.write("in/a.EPS", kPayload);
  tree.write("in/notes.txt", "not matching");
  const RunResult result = run({"-g", "0", "-E", "-o", "run.log", "-t", "@4@.ok", "-d", "in",
                                "*.EPS", "echo converting @2@; sort @1@ > @4@.out"},
                               tree.root());
  const std::string file = tree.path("in/a.EPS");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(masked(result.out),
            "Spoolex: Test time is 0 Sek\n"
            "Spoolex: Will erase files after run! [Warning!]\n"
            "Spoolex: Log file is 'run.log'\n"
            "Spoolex: Single log file on success is '@4@.ok'\n"
            "Spoolex: Source folder is 'in'\n" +
                std::string(kStartRun) + found(file) + "converting a\n" + processed("a.EPS") +
                erased(file));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(masked(tree.read("in/run.log")), processed("a.EPS") + "\n");
  EXPECT_EQ(tree.read("in/a.ok"), "'a' - ok\n");
  EXPECT_EQ(tree.read("in/a.out"), "a\nb\n");
  EXPECT_FALSE(tree.exists("in/a.EPS"));
  EXPECT_TRUE(tree.exists("in/notes.txt"));
}

struct Named {
  const char* name;
  const char* value;
  const char* how = "";  // how the command ended
};

std::string param_name(const ::testing::TestParamInfo<Named>& info) {
  return info.param.name;
}

class FailedCommand : public ::testing::TestWithParam<Named> {};

// Any non-zero result is a failure: reported with the command, logged, copied beside an older
// copy (which stays); the file itself stays and no success file is written.
TEST_P(FailedCommand, IsReportedLoggedAndCopied) {
  const std::string command = GetParam().value;
  TempTree tree;
  tree.write("a.EPS", kPayload);
  tree.write("errors/a.EPS", "older copy");
  const RunResult result = run(
      {"-g", "0", "-e", "errors", "-o", "run.log", "-t", "@2@.ok", "a.EPS", command}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out), found(tree.path("a.EPS")) + error_block(command) +
                                         ended(tree.path("a.EPS"), GetParam().how));
  EXPECT_EQ(masked(tree.read("run.log")), failure_entry(command, "a~2.EPS", GetParam().how));
  EXPECT_EQ(tree.read("errors/a.EPS"), "older copy");
  EXPECT_EQ(tree.read("errors/a~2.EPS"), kPayload);
  EXPECT_EQ(tree.read("a.EPS"), kPayload);
  EXPECT_FALSE(tree.exists("a.ok"));
}

INSTANTIATE_TEST_SUITE_P(Results, FailedCommand,
                         ::testing::Values(Named{"ExitStatus", "exit 3", "with status 3"},
                                           Named{"KilledBySignal", "kill -KILL $$", "by signal 9"},
                                           Named{"NoSuchProgram", "/nonexistent/tool",
                                                 "with status 127"}),
                         param_name);

// Without an error folder only the console hears of a failure, and -E still deletes the file.
TEST(Job, FailureWithoutErrorFolder) {
  TempTree tree;
  tree.write("a.EPS", kPayload);
  const RunResult result = run({"-g", "0", "-E", "-o", "run.log", "a.EPS", "exit 3"}, tree.root());
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(after_start(result.out), found(file) + "ERROR DURING PROCESSING!\nCommand 'exit 3'\n" +
                                         ended(file, "with status 3") + erased(file));
  EXPECT_FALSE(tree.exists("run.log"));
  EXPECT_FALSE(tree.exists("a.EPS"));
}

struct ErrorFolderCase {
  const char* name;
  std::string folder;  // "<root>" stands for the file's own folder, absolute
  bool make_errors;
  bool copied;
};

class ErrorFolderWithErase : public ::testing::TestWithParam<ErrorFolderCase> {};

// With -E a failed file is deleted only once its copy is safe; a copy that fails (no folder,
// or a folder that is the file's own) leaves the file for the next pass.
TEST_P(ErrorFolderWithErase, DeletesOnlyCopiedFiles) {
  const ErrorFolderCase& c = GetParam();
  TempTree tree;
  tree.write("a.EPS", kPayload);
  if (c.make_errors) {
    tree.mkdir("errors");
  }
  const std::string folder = c.folder == "<root>" ? tree.root() : c.folder;
  const RunResult result =
      run({"-g", "0", "-E", "-e", folder, "-o", "run.log", "a.EPS", "exit 1"}, tree.root());
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(after_start(result.out),
            found(file) + error_block("exit 1") + ended(file, "with status 1") +
                (c.copied ? erased(file)
                          : "Warning: File kept, copy into error folder failed: '" + file + "'\n"));
  EXPECT_EQ(masked(tree.read("run.log")),
            failure_entry("exit 1", "a.EPS") + (c.copied ? "" : "Fehler beim Kopieren\n"));
  EXPECT_EQ(tree.exists("a.EPS"), !c.copied);
  if (c.copied) {
    EXPECT_EQ(tree.read("errors/a.EPS"), kPayload);
  } else {
    EXPECT_EQ(tree.read("a.EPS"), kPayload);
    EXPECT_FALSE(tree.exists("missing"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ErrorFolderWithErase,
    ::testing::Values(ErrorFolderCase{"Existing", "errors", true, true},
                      ErrorFolderCase{"Missing", "missing", false, false},
                      ErrorFolderCase{"Dot", ".", false, false},
                      ErrorFolderCase{"OwnFolderAbsolute", "<root>", false, false}),
    [](const ::testing::TestParamInfo<ErrorFolderCase>& info) { return info.param.name; });

// A success file without placeholders is rewritten by every job: it holds the last one.
TEST(SuccessFile, FixedNameHoldsLastJob) {
  TempTree tree;
  tree.write("a.EPS", "1");
  tree.write("b.EPS", "2");
  const RunResult result = run({"-g", "0", "-t", "done.txt", "*.EPS", "true"}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(tree.read("done.txt"), "'b' - ok\n");
}

// A success file that cannot be created costs two log lines and nothing on the console.
TEST(SuccessFile, UnwritableIsLogged) {
  TempTree tree;
  tree.write("a.EPS", "1");
  const RunResult result =
      run({"-g", "0", "-o", "run.log", "-t", "nodir/@2@.ok", "a.EPS", "true"}, tree.root());
  EXPECT_EQ(after_start(result.out), found(tree.path("a.EPS")) + processed("a.EPS"));
  EXPECT_EQ(
      masked(tree.read("run.log")),
      processed("a.EPS") + "\nWanring: Unable to write ok statement to single log:\nnodir/a.ok\n");
}

// An empty expanded command runs nothing and logs nothing, but -E still erases the file.
TEST(Job, EmptyCommandOnlyErases) {
  TempTree tree;
  tree.write("README", "1");
  const RunResult result =
      run({"-g", "0", "-E", "-o", "run.log", "-t", "done", "README", "@3@"}, tree.root());
  const std::string file = tree.path("README");
  EXPECT_EQ(after_start(result.out), found(file) + erased(file));
  EXPECT_FALSE(tree.exists("run.log"));
  EXPECT_FALSE(tree.exists("done"));
  EXPECT_FALSE(tree.exists("README"));
}

// A file the command removed itself is reported as erased all the same.
TEST(Job, CommandRemovedTheFile) {
  TempTree tree;
  tree.write("a.EPS", "1");
  const RunResult result = run({"-g", "0", "-E", "a.EPS", "rm @1@"}, tree.root());
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(after_start(result.out), found(file) + processed("a.EPS") + erased(file));
}

class UnwritableLog : public ::testing::TestWithParam<Named> {};

// A log that cannot be opened, or whose write fails, costs one line; the job goes on.
TEST_P(UnwritableLog, IsReportedAndJobGoesOn) {
  const std::string log = GetParam().value;
  TempTree tree;
  tree.write("a.EPS", "1");
  const RunResult result = run({"-g", "0", "-E", "-o", log, "a.EPS", "true"}, tree.root());
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out), found(file) + "Spoolex: Unable to write Log '" + log + "'!\n" +
                                         processed("a.EPS") + erased(file));
}

INSTANTIATE_TEST_SUITE_P(Logs, UnwritableLog,
                         ::testing::Values(Named{"CannotOpen", "nodir/run.log"},
                                           Named{"WriteFails", "/dev/full"}),
                         param_name);

// A log on a pipe (-o /dev/stdout, here the harness's pipe) gets its entries, and a success file
// named as a device is written to the device, not replaced by a file.
TEST(Job, LogToAPipeAndSuccessFileToADevice) {
  TempTree tree;
  tree.write("a.EPS", "1");
  const RunResult result =
      run({"-g", "0", "-o", "/dev/stdout", "-t", "/dev/null", "a.EPS", "true"}, tree.root());
  EXPECT_EQ(occurrences(masked(result.out), processed("a.EPS")), 2) << result.out;
  EXPECT_EQ(result.out.find("Unable"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("Wanring"), std::string::npos) << result.out;
  EXPECT_FALSE(std::filesystem::is_regular_file("/dev/null"));
}

// A file left in place that fails pass after pass is copied once: the error folder does not
// fill up, and each failure entry names that one copy.
TEST(Job, RepeatedFailureKeepsOneCopy) {
  TempTree tree;
  tree.write("a.EPS", kPayload);
  tree.mkdir("errors");
  Process process({"-l", "-s", "1", "-g", "0", "-e", "errors", "-o", "run.log", "a.EPS", "false"},
                  tree.root());
  ASSERT_TRUE(process.wait_for("ERROR DURING PROCESSING", 3));
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().status, 0);
  EXPECT_EQ(tree.list("errors"), std::vector<std::string>{"a.EPS"});
  EXPECT_GE(occurrences(tree.read("run.log"), "*** File was moved to error folder:\n*** a.EPS\n"),
            3);
  // A changed file, or the next run, gets a copy of its own beside the first.
  tree.write("a.EPS", "changed\n");
  EXPECT_EQ(run({"-g", "0", "-e", "errors", "a.EPS", "false"}, tree.root()).status, 0);
  EXPECT_EQ(tree.list("errors"), (std::vector<std::string>{"a.EPS", "a~2.EPS"}));
  EXPECT_EQ(tree.read("errors/a.EPS"), kPayload);
  EXPECT_EQ(tree.read("errors/a~2.EPS"), "changed\n");
}

// A failed file kept in place (its error copy failed) waits before it runs again, as a failed
// try does, and fails once in the counts however often it fails again unchanged.
TEST(Job, KeptFileCountsOnce) {
  TempTree tree;
  tree.write("a.EPS", kPayload);
  Process process(
      {"-l", "-s", "1", "-g", "0", "-e", "missing", "-m", tree.path("metrics"), "a.EPS", "false"},
      tree.root());
  ASSERT_TRUE(process.wait_for("ERROR DURING PROCESSING", 3));
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().status, 0);
  const std::string metrics = tree.read("metrics");
  EXPECT_NE(metrics.find("hotbatch_jobs_total{result=\"failed\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("hotbatch_files_kept_total 1\n"), std::string::npos);
  EXPECT_GT(std::stoi(metrics.substr(metrics.find("\nhotbatch_passes_total ") + 23)), 3);
}

// A failed job is tried again after the pause, then after twice that, and its failures are not
// handled while tries are left: no error copy, no log entry, no erase.
TEST(Job, RetriedWithAGrowingWait) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.mkdir("errors");
  const std::string command = "n=$(($(cat count 2>/dev/null) + 1)); echo $n > count; [ $n = 3 ]";
  const RunResult result = run(
      {"-b", "2", "-g", "0", "-E", "-e", "errors", "-o", "run.log", "a.job", command}, tree.root());
  const std::string file = tree.path("a.job");
  const std::string failed = found(file) + error_block(command) + ended(file, "with status 1");
  const std::string again = "Spoolex: Job of '" + file + "' tried again in ";
  EXPECT_EQ(after_start(result.out), failed + again + "1 Sek\n" + failed + again + "2 Sek\n" +
                                         found(file) + processed("a.job") + erased(file));
  EXPECT_EQ(masked(tree.read("run.log")), processed("a.job") + "\n");
  EXPECT_TRUE(tree.list("errors").empty());
}

// A done file goes into the archive beside the file of its name there, even with -E.
TEST(Job, ArchiveTakesAFreeName) {
  TempTree tree;
  tree.write("a.EPS", kPayload);
  tree.write("archive/a.EPS", "older");
  const RunResult result = run({"-g", "0", "-E", "-a", "archive", "a.EPS", "true"}, tree.root());
  const std::string file = tree.path("a.EPS");
  EXPECT_EQ(after_start(result.out),
            found(file) + processed("a.EPS") + "<T> File archived: " + file + "\n");
  EXPECT_FALSE(tree.exists("a.EPS"));
  EXPECT_EQ(tree.read("archive/a.EPS"), "older");
  EXPECT_EQ(tree.read("archive/a~2.EPS"), kPayload);
}

// A claimed file that goes back after its failure wakes no pass: it waits for the regular one.
TEST(Job, PutBackWakesNothing) {
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.mkdir("work");
  ASSERT_EQ(chmod(tree.path("work").c_str(), 0700), 0);
  Process process({"-l", "-w", "-s", "60", "-g", "0", "-p", tree.path("work"), "-e", "missing",
                   "-d", "in", "*.job", "false"},
                  tree.root());
  ASSERT_TRUE(process.wait_for("ERROR DURING PROCESSING"));
  std::this_thread::sleep_for(Millis(2500));
  process.signal(SIGTERM);
  EXPECT_EQ(occurrences(process.finish().out, "ERROR DURING PROCESSING"), 1);
  EXPECT_TRUE(tree.exists("in/a.job"));
}

}  // namespace
}  // namespace e2e
