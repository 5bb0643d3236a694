// End-to-end fault tests: files and folders that vanish mid-pass, full devices, broken output
// paths, a replaced source folder and writers that hold their files open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "e2e_support.h"
#include "fault_trailer.h"

namespace e2e {
namespace {

const std::string kHelper = FAULT_HELPER;

// A helper process started in the background; killed and reaped when it goes.
class Background {
 public:
  explicit Background(std::vector<std::string> args) {
    args.insert(args.begin(), kHelper);
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kHelper.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      ADD_FAILURE() << "cannot start " << kHelper;
      pid_ = -1;
    }
  }
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits for the end and gives the exit status (-1 when killed).
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

std::string job(const std::string& full_path, const std::string& name) {
  return found(full_path) + processed(name);
}

// A command that removes its own file and every later one: the later files vanish between the
// listing and their status query and are passed over without a word; the erase of a file that
// is already gone is not a failure.
TEST(Vanishing, FilesRemovedByAnEarlierCommand) {
  TempTree tree;
  for (const char* name : {"a.job", "b.job", "c.job"}) {
    tree.write(name, "1");
  }
  const RunResult result =
      run({"-g", "0", "-E", "-o", "run.log", "*.job", "rm -f *.job"}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(after_start(result.out), job(tree.path("a.job"), "a.job") + erased(tree.path("a.job")));
  EXPECT_EQ(tree.list(""), std::vector<std::string>{"run.log"});
}

// A failed command that removed its file: the error copy cannot be made, which is logged, and
// the next file is still handled.
TEST(Vanishing, FailedFileGoneBeforeItsCopy) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.write("b.job", "2");
  tree.mkdir("err");
  const RunResult result =
      run({"-g", "0", "-E", "-o", "run.log", "-e", "err", "*.job", "rm \"@1@\"; test @2@ = b"},
          tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string command = "rm \"" + tree.path("a.job") + "\"; test a = b";
  EXPECT_EQ(after_start(result.out), found(tree.path("a.job")) + error_block(command) +
                                         ended(tree.path("a.job"), "with status 1") +
                                         job(tree.path("b.job"), "b.job") +
                                         erased(tree.path("b.job")));
  EXPECT_EQ(masked(tree.read("run.log")),
            failure_entry(command, "a.job") + "Fehler beim Kopieren\n" + processed("b.job") + "\n");
  EXPECT_TRUE(tree.list("err").empty());
}

// A command removes the folder being walked, then a sibling folder that comes later: the walk
// finds its way back by descriptor and finishes the pass.
TEST(Vanishing, FoldersRemovedDuringTheWalk) {
  TempTree tree;
  tree.write("a/x.job", "1");
  tree.write("a/y.job", "1");
  tree.write("b/z.job", "1");
  tree.write("c.job", "1");
  const RunResult result =
      run({"-r", "-g", "0", "*.job", "test @2@ != x || rm -rf ../a ../b"}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(after_start(result.out),
            job(tree.path("a/x.job"), "x.job") + job(tree.path("c.job"), "c.job"));
  EXPECT_FALSE(tree.exists("a"));
}

// A writer that keeps its file open and pauses for longer than the settle time: the file must
// not be taken before the writer has closed it.
TEST(Readiness, WriterHoldingTheFileOpen) {
  TempTree tree;
  Process hotbatch({"-l", "-s", "1", "-g", "1", "-E", "*.job",
                    kHelper + " verify " + tree.path("ledger") + " \"@1@\""},
                   tree.root());
  ASSERT_TRUE(hotbatch.wait_for(kStartRun));
  Background writer({"hold", tree.path("a.job"), "4000"});
  EXPECT_EQ(writer.wait(), 0);
  ASSERT_TRUE(hotbatch.wait_for("File erased"));
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(tree.read("ledger"), "ok a.job\n");
}

// A writer opening a file again and again while it is tested: the brief lease taken by the
// readiness test may be broken by such an open, which must not harm the program. Many hard links
// to the one file make for many tests in each pass.
TEST(Readiness, WriterReopeningWhileTested) {
  TempTree tree;
  tree.write("f0.job", "1");
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(
        link(tree.path("f0.job").c_str(), tree.path("l" + std::to_string(i) + ".job").c_str()), 0);
  }
  Process hotbatch({"-l", "-s", "1", "-g", "0", "*.job", ""}, tree.root());
  ASSERT_TRUE(hotbatch.wait_for(kStartRun));
  {
    Background writer({"reopen", tree.root(), "1"});
    hotbatch.wait_for("\x01", 1, Millis(6000));  // keeps reading the output meanwhile
  }
  // The file is free again and every name is taken in the next pass.
  const std::string last = "processing: " + tree.path("l999.job") + "\n";
  EXPECT_TRUE(hotbatch.wait_for(last, occurrences(hotbatch.out(), last) + 1));
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

// Every output on a device that takes nothing: each failure is reported and the job completes.
TEST(FullDevice, LogAndSuccessFileOnDevFull) {
  TempTree tree;
  tree.write("a.job", "1");
  const RunResult result =
      run({"-g", "0", "-E", "-o", "/dev/full", "-t", "/dev/full", "*.job", "true"}, tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string full = "Spoolex: Unable to write Log '/dev/full'!\n";
  EXPECT_EQ(after_start(result.out), found(tree.path("a.job")) + full + processed("a.job") + full +
                                         full + erased(tree.path("a.job")));
  EXPECT_FALSE(tree.exists("a.job"));
}

// Log, success file and error copy on a full file system: the failed file is kept because its
// copy is incomplete, the successful one is still erased, and every loss is reported.
TEST(FullDevice, SmallFileSystemFilledUp) {
  TempTree tree;
  tree.mkdir("full");
  SmallFileSystem fs(tree.path("full"));
  if (!fs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  tree.mkdir("full/err");
  // Fill it, leaving less room than the failing file needs.
  {
    std::string block(4096, 'x');
    std::FILE* filler = std::fopen(tree.path("full/filler").c_str(), "w");
    ASSERT_NE(filler, nullptr);
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
  }
  tree.write("a.job", std::string(100000, 'a'));
  tree.write("b.job", "b");
  const RunResult result =
      run({"-g", "0", "-E", "-o", tree.path("full/run.log"), "-t", tree.path("full/@2@.ok"), "-e",
           tree.path("full/err"), "*.job", "test @2@ = b"},
          tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string out = after_start(result.out);
  // The failure's entry, how its command ended, the failed copy; the success's entry, its
  // success-file warning (two lines).
  EXPECT_EQ(occurrences(out, "Spoolex: Unable to write Log '" + tree.path("full/run.log") + "'!"),
            6)
      << out;
  EXPECT_NE(out.find(erased(tree.path("b.job"))), std::string::npos) << out;
  EXPECT_EQ(out.find(erased(tree.path("a.job"))), std::string::npos) << out;
  EXPECT_EQ(tree.read("a.job"), std::string(100000, 'a'));
  EXPECT_FALSE(tree.exists("b.job"));
}

// Broken output paths: an error folder that is a file keeps the failed file; a success file in a
// missing folder is reported in the run log and does not stop the erase.
TEST(OutputPaths, ErrorFolderIsAFileAndSuccessFolderMissing) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.write("b.job", "2");
  tree.write("err", "not a folder");
  const RunResult result = run({"-g", "0", "-E", "-o", "run.log", "-e", "err", "-t",
                                "missing/@2@.ok", "*.job", "test @2@ = b"},
                               tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(masked(tree.read("run.log")),
            failure_entry("test a = b", "a.job") + "Fehler beim Kopieren\n" + processed("b.job") +
                "\nWanring: Unable to write ok statement to single log:\n" + "missing/b.ok\n");
  EXPECT_EQ(tree.read("a.job"), "1");
  EXPECT_FALSE(tree.exists("b.job"));
  EXPECT_EQ(tree.read("err"), "not a folder");
}

// The source folder is removed and made again while the run loops: passes find nothing while it
// is missing, and the new folder is worked as soon as it is there.
TEST(SourceFolder, RemovedAndCreatedAgain) {
  TempTree tree;
  tree.write("in/a.job", "1");
  Process hotbatch({"-l", "-s", "1", "-g", "0", "-E", "-d", tree.path("in"), "*.job", "true"},
                   tree.root());
  ASSERT_TRUE(hotbatch.wait_for("File erased"));
  std::filesystem::remove_all(tree.path("in"));
  std::this_thread::sleep_for(Millis(2500));  // a few passes without the folder
  tree.mkdir("in");
  tree.drop("in/c.job", "1");
  ASSERT_TRUE(hotbatch.wait_for("File erased", 2));
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out), job(tree.path("in/a.job"), "a.job") +
                                         erased(tree.path("in/a.job")) +
                                         job(tree.path("in/c.job"), "c.job") +
                                         erased(tree.path("in/c.job")) + "Spoolex: Stopped\n");
}

}  // namespace
}  // namespace e2e
