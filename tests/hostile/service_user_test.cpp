// The program as a service user, as its service unit runs it: the writer check by read lease,
// refused without the file's ownership or CAP_LEASE and granted with it, and error copies into
// an error folder that fills up.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "hostile_support.h"

namespace fs = std::filesystem;

namespace hostile {
namespace {

using e2e::occurrences;
using e2e::Process;
using e2e::RunResult;
using e2e::SmallFileSystem;
using e2e::TempTree;

// The service user of these cases: "nobody".
constexpr uid_t kNobody = 65534;

class Leases : public Hostile {};

// As nobody on root's files: no lease can be had, which is said once per run, not per file and
// pass; the files are still handled by the size test.
TEST_F(Leases, RefusalWarnedOncePerRun) {
  TempTree tree;
  SharedInbox box(tree, kNobody);
  for (const char* name : {"a.pdf", "b.pdf"}) {
    tree.write("srv/inbox/" + std::string(name), "1");
    give(box.inbox + "/" + name, 0, 0666);
  }
  Process hotbatch({"-l", "-s", "1", "-g", "0", "-d", box.inbox, "*.pdf", "true"}, box.inbox,
                   as_service(kNobody));
  const bool passes = hotbatch.wait_for("Datei was processed: 'b.pdf'", 3);
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  ASSERT_TRUE(passes) << result.out;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, kLeaseWarning), 1) << result.out;
}

// As nobody with CAP_LEASE: a writer that pauses with its file open (longer than many passes
// with -g 0, which the size test alone would not notice) is waited for; the file is taken whole
// once it is closed, and no warning is printed.
TEST_F(Leases, CapLeaseWaitsForAPausingWriter) {
  TempTree tree;
  SharedInbox box(tree, kNobody);
  const std::string ledger = box.srv + "/ledger";
  const std::string file = box.inbox + "/w.pdf";
  const int writer = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(fchmod(writer, 0666), 0);  // the service must be able to open it for appending
  ASSERT_EQ(write(writer, "first half\n", 11), 11);
  Process hotbatch(
      {"-l", "-s", "1", "-g", "0", "-E", "-d", box.inbox, "*.pdf", "cat \"@1@\" >> " + ledger},
      box.inbox, as_service(kNobody, {"--inh-caps=+lease", "--ambient-caps=+lease"}));
  hotbatch.wait_until([] { return false; }, e2e::Millis(3500));  // the writer pauses
  const bool taken_early = fs::exists(ledger);
  EXPECT_EQ(write(writer, "second half\n", 12), 12);
  close(writer);
  const bool taken = hotbatch.wait_for("File erased: " + file);
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_FALSE(taken_early) << result.out;
  EXPECT_TRUE(taken) << result.out;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(box.read(ledger), "first half\nsecond half\n");
  EXPECT_EQ(occurrences(result.out, kLeaseWarning), 0);
  EXPECT_FALSE(fs::exists(file));
}

class ErrorFolderFull : public Hostile {};

// An error copy that does not fit leaves nothing behind in the error folder (no partial file
// that looks like the failed job) and keeps the file; the console says so once per run, although
// the job fails again in every pass.
TEST_F(ErrorFolderFull, NoPartialCopyAndOneWarning) {
  TempTree tree;
  SharedInbox box(tree, 0);
  tree.mkdir("full");
  SmallFileSystem small(tree.path("full"));
  if (!small.mounted()) {
    GTEST_SKIP() << "SKIPPED: cannot mount a tmpfs here";
  }
  tree.mkdir("full/err");
  // 48 of the 64 KiB are taken: a part of the copy fits, the rest does not.
  tree.write("full/filler", std::string(48 << 10, 'f'));
  const std::string content(100000, 'a');
  tree.write("srv/inbox/a.pdf", content);
  const std::string file = box.inbox + "/a.pdf";
  Process hotbatch({"-l", "-s", "1", "-g", "0", "-E", "-d", box.inbox, "-e", tree.path("full/err"),
                    "-o", box.log, "*.pdf", "false"},
                   box.inbox);
  const bool failed_twice = hotbatch.wait_for("ERROR DURING PROCESSING!", 2);
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_TRUE(failed_twice) << result.out;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(entries_of(tree.path("full/err")), std::vector<std::string>{});
  EXPECT_EQ(occurrences(result.out, warn_copy_failed(file)), 1) << result.out;
  EXPECT_EQ(box.read(file), content);
  EXPECT_GE(occurrences(box.read(box.log), "Fehler beim Kopieren"), 1);
}

}  // namespace
}  // namespace hostile
