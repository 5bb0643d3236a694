// A shared inbox under attack, for real: an unprivileged dropper tries to make the service run
// its code, read or overwrite files outside the inbox, stall it, crash its walk, destroy other
// droppers' files and forge console or log lines. Every case checks that nothing outside the
// inbox was read, written or run, that no file was lost, and that each warning came once.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "hostile_support.h"

namespace fs = std::filesystem;

namespace hostile {
namespace {

using e2e::after_start;
using e2e::ended;
using e2e::error_block;
using e2e::failure_entry;
using e2e::found;
using e2e::masked;
using e2e::occurrences;
using e2e::Process;
using e2e::processed;
using e2e::RunResult;
using e2e::TempTree;

using Names = std::vector<std::string>;

bool make_folder(const std::string& path, mode_t mode) {
  std::error_code error;
  fs::create_directories(path, error);
  return !error && chmod(path.c_str(), mode) == 0;
}

// Waits for a job's command, which the test releases with the exit status it wants.
struct HeldCommand {
  explicit HeldCommand(const TempTree& tree)
      : running(tree.path("srv/running")), release(tree.path("release")) {}
  std::string text(int status) const {
    return "touch " + running + "; while [ ! -e " + release + " ]; do sleep 0.05; done; exit " +
           std::to_string(status);
  }
  std::string running, release;
};

// --- Code run as the service: a placeholder left as written --------------------------------

class Placeholder : public Hostile {};

// A file whose full path leaves no room for @1@ in the 2048 bytes of the command: the command
// does not run with the placeholder as written, and nothing is logged, copied, written or
// erased. The warning comes once in a run of several passes.
TEST_F(Placeholder, PathTooLongRunsNothing) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string folders = folders_for_length(box.inbox, 2040, "x.pdf");
  const std::string file = box.inbox + "/" + folders + "/x.pdf";
  ASSERT_EQ(file.size(), 2040u);
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_folder(box.inbox + "/" + folders, 0755) && write_file(file, "x\n");
  }));
  std::vector<std::string> args = box.looping_args("*.pdf", "echo [@1@] [@2@]");
  args.insert(args.begin(), "-r");
  Process hotbatch(args, box.inbox);
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_path_too_long(file)), 1) << result.out;
  EXPECT_EQ(occurrences(result.out, "@1@]"), 0) << "the command ran";
  EXPECT_EQ(occurrences(result.out, "[x]"), 0) << "the command ran";
  EXPECT_EQ(occurrences(result.out, "ERROR"), 0);
  EXPECT_EQ(box.read(file), "x\n");
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_EQ(entries_of(box.ok), Names{});
  EXPECT_EQ(box.read(box.log), "");
  EXPECT_TRUE(box.untouched(result.out));
}

// The README's Ghostscript template quotes its placeholders, yet an unreplaced "@1@" tells
// Ghostscript to read more arguments from the file "1@", which the dropper wrote: they turn the
// sandbox off again and pipe the output into a command. A short path beside it is converted.
TEST_F(Placeholder, GhostscriptArgumentFile) {
  if (std::system("command -v gs >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "SKIPPED: Ghostscript (gs) is not installed";
  }
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string marker = tree.path("ran-as-the-service");
  const std::string eps =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 20 20\n"
      "newpath 0 0 moveto 20 20 lineto stroke\nshowpage\n";
  const std::string folders = folders_for_length(box.inbox, 2040, "x.eps");
  const std::string deep = box.inbox + "/" + folders;
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_folder(deep, 0755) && write_file(deep + "/x.eps", eps) &&
           write_file(deep + "/1@",
                      "-dNOSAFER\n-sOutputFile=%pipe%touch${IFS}" + marker + "\n-c\nshowpage\n") &&
           write_file(box.inbox + "/plain.eps", eps);
  }));
  const std::string out = box.srv + "/out";
  tree.mkdir("srv/out");
  const RunResult result = e2e::run(
      {"-r", "-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o", box.log, "*.eps",
       "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o \"" + out + "/@5@.pdf\" \"@1@\""},
      box.inbox);
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(marker)) << "the dropper's command ran as the service";
  EXPECT_EQ(occurrences(result.out, warn_path_too_long(deep + "/x.eps")), 1) << result.out;
  EXPECT_EQ(entries_of(deep), (Names{"1@", "x.eps"}));
  EXPECT_EQ(entries_of(out), Names{"plain.pdf"}) << result.out;
  EXPECT_FALSE(fs::exists(box.inbox + "/plain.eps"));
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_TRUE(box.untouched(result.out));
}

// The same for the success file: a template whose placeholder does not fit writes no file under
// the unexpanded name; the job is done and the run log says the file was not written.
TEST_F(Placeholder, SuccessFilePathTooLong) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string folders = folders_for_length(box.inbox, 2000, "x.pdf");
  const std::string deep = box.inbox + "/" + folders;
  ASSERT_TRUE(as_user(
      kDropper, [&] { return make_folder(deep, 0755) && write_file(deep + "/x.pdf", "x\n"); }));
  const RunResult result =
      e2e::run({"-r", "-g", "0", "-d", box.inbox, "-o", box.log, "-t",
                "@4@" + std::string(60, 's') + ".ok", "*.pdf", "test -f \"@1@\""},
               box.inbox);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, "Datei was processed: 'x.pdf'"), 1) << result.out;
  EXPECT_EQ(entries_of(deep), Names{"x.pdf"});
  EXPECT_EQ(entries_of(box.inbox), Names{folders.substr(0, folders.find('/'))});
  EXPECT_EQ(
      occurrences(box.read(box.log), "Wanring: Unable to write ok statement to single log:\n"), 1);
}

// --- Reading any file: links to other users' files --------------------------------------------

class LinkedSecrets : public HostileService {};

// Links to the service user's private file and to the service's own environment are skipped,
// once per run, and never reach the command or the error folder. A dropper's link to a file of
// its own still works.
TEST_P(LinkedSecrets, LinksToOtherUsersFilesAreSkipped) {
  TempTree tree;
  SharedInbox box(tree, service());
  tree.mkdir("mine");
  give(tree.path("mine"), kDropper, 0755);
  const std::string own = tree.path("mine/own.txt");
  const std::string token = "TOKEN-" + box.secret_text;
  ASSERT_TRUE(as_user(kDropper, [&] {
    return write_file(own, "own file\n") && make_link(box.secret, box.inbox + "/leak.pdf") &&
           make_link("/proc/self/environ", box.inbox + "/env.pdf") &&
           make_link(own, box.inbox + "/own.pdf");
  }));
  // Fails for all but the dropper's own file, so that each of the others would be copied.
  const std::string ledger = box.srv + "/ledger";
  const std::string command = "echo \"@1@\" >> " + ledger + "; test \"@2@\" = own";
  Process hotbatch(box.looping_args("*.pdf", command), box.inbox,
                   as_service(service(), {}, {"HOTBATCH_TEST_TOKEN=" + token}));
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_foreign_link(box.inbox + "/leak.pdf")), 1) << result.out;
  EXPECT_EQ(occurrences(result.out, warn_foreign_link(box.inbox + "/env.pdf")), 1);
  EXPECT_EQ(box.read(ledger), box.inbox + "/own.pdf\n");
  EXPECT_EQ(occurrences(result.out, token), 0);
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_EQ(entries_of(box.inbox), (Names{"env.pdf", "leak.pdf"}));
  EXPECT_EQ(box.read(own), "own file\n");
  EXPECT_EQ(box.read(box.ok + "/own.ok"), "'own' - ok\n");
  EXPECT_TRUE(box.untouched(result.out));
}

// The dropper's plain file is swapped for a link to the secret while its command runs: the error
// copy notices that the name leads elsewhere, copies nothing and erases nothing.
TEST_P(LinkedSecrets, LinkSwappedInDuringTheCommand) {
  TempTree tree;
  SharedInbox box(tree, service());
  const std::string file = box.inbox + "/swap.pdf";
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, "dropped\n"); }));
  const HeldCommand held(tree);
  Process hotbatch(
      {"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o", box.log, "*.pdf", held.text(1)},
      box.inbox, as_service(service()));
  ASSERT_TRUE(hotbatch.wait_until([&] { return fs::exists(held.running); }));
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_link(box.secret, box.inbox + "/swap.new") &&
           replace_by(box.inbox + "/swap.new", file);
  }));
  tree.write("release", "");
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_replaced(file)), 1) << result.out;
  EXPECT_TRUE(is_link(file));
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_TRUE(box.untouched(result.out + box.read(box.log)));
}

// The dropper's file and a link to the secret trade places without pause while passes test the
// file: the readiness probe never opens the secret (for writing, or at all) through the link.
TEST_P(LinkedSecrets, ProbeNeverOpensThroughASwappedLink) {
  TempTree tree;
  SharedInbox box(tree, service());
  const std::string file = box.inbox + "/swap.pdf", link = box.inbox + "/swap.lnk";
  ASSERT_TRUE(as_user(
      kDropper, [&] { return write_file(file, "dropped\n") && make_link(box.secret, link); }));
  const int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(watch, box.secret.c_str(), IN_OPEN), 0);
  {
    Background swapper(kDropper, [&] {
      std::thread([=] {
        for (;;) {
          renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
        }
      }).detach();
      return true;
    });
    ASSERT_TRUE(swapper.ready());
    Process hotbatch({"-l", "-s", "1", "-g", "0", "-j", "2", "*.pdf", "true"}, box.inbox,
                     as_service(service()));
    usleep(2500000);
    hotbatch.signal(SIGTERM);
    hotbatch.finish();
  }
  alignas(inotify_event) char events[4096];
  EXPECT_LE(read(watch, events, sizeof events), 0) << "the secret was opened";
  close(watch);
}

INSTANTIATE_TEST_SUITE_P(Services, LinkedSecrets, ::testing::Values(0u, kServiceUser),
                         service_name);

// --- Overwriting files outside: links planted where the service writes ------------------------

class PlantedLinks : public HostileService {};

// A planted link in the success folder is replaced by the success file, not written through.
// The service's own link to its run log (its own file behind it) is still followed.
TEST_P(PlantedLinks, SuccessFileReplacesThePlantedLink) {
  TempTree tree;
  SharedInbox box(tree, service());
  const std::string real_log = box.srv + "/logs/real.log";
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_link(box.important, box.ok + "/x.ok") && write_file(box.inbox + "/x.pdf", "x\n");
  }));
  ASSERT_TRUE(as_user(service(), [&] {
    return make_folder(box.srv + "/logs", 0755) && write_file(real_log, "") &&
           make_link(real_log, box.log);
  }));
  const RunResult result = e2e::run({"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o",
                                     box.log, "-t", box.ok + "/@2@.ok", "*.pdf", "true"},
                                    box.inbox, as_service(service()));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(box.untouched(result.out));
  EXPECT_TRUE(is_plain_file(box.ok + "/x.ok"));
  EXPECT_EQ(box.read(box.ok + "/x.ok"), "'x' - ok\n");
  EXPECT_EQ(entries_of(box.ok), Names{"x.ok"});
  EXPECT_EQ(masked(box.read(real_log)), processed("x.pdf") + "\n");
  EXPECT_FALSE(fs::exists(box.inbox + "/x.pdf"));
}

// A dropper who reads the service's process number makes the temporary names of its success
// files first (300 of the names earlier versions took in turn): none is the name taken, and
// every success file is written.
TEST_P(PlantedLinks, TemporaryNamesCannotBeTakenFirst) {
  TempTree tree;
  SharedInbox box(tree, service());
  Process hotbatch(box.looping_args("*.pdf", "true"), box.inbox, as_service(service()));
  ASSERT_TRUE(hotbatch.wait_for("Start Run...\n"));
  const std::string taken = box.ok + "/.hotbatch-" + std::to_string(hotbatch.pid()) + "-";
  ASSERT_TRUE(as_user(kDropper, [&] {
    bool ok = true;
    for (int n = 1; n <= 300; ++n) {
      ok = ok && write_file(taken + std::to_string(n) + ".tmp", "");
    }
    return ok && write_file(box.inbox + "/a.pdf", "a\n") && write_file(box.inbox + "/b.pdf", "b\n");
  }));
  EXPECT_TRUE(hotbatch.wait_until([&] { return entries_of(box.inbox).empty(); }));
  hotbatch.signal(SIGTERM);
  hotbatch.finish();
  EXPECT_EQ(box.read(box.ok + "/a.ok") + box.read(box.ok + "/b.ok"), "'a' - ok\n'b' - ok\n");
}

// With -r, relative -e and -o land in folders the dropper made inside the inbox: a planted link
// under the error copy's name leads nowhere (the copy takes the next free name) and the run log
// is not written through a planted link.
TEST_P(PlantedLinks, RelativeErrorFolderAndLogInsideTheInbox) {
  TempTree tree;
  SharedInbox box(tree, service());
  const std::string sub = box.inbox + "/sub";
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_folder(sub + "/failed", 0777) && chmod(sub.c_str(), 0777) == 0 &&
           make_link(box.important, sub + "/failed/evil.pdf") &&
           make_link(box.important, sub + "/run.log") && write_file(sub + "/evil.pdf", "evil\n");
  }));
  const RunResult result =
      e2e::run({"-r", "-g", "0", "-E", "-e", "failed", "-o", "run.log", "*.pdf", "false"},
               box.inbox, as_service(service()));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(box.untouched(result.out));
  EXPECT_GE(occurrences(result.out, "Spoolex: Unable to write Log 'run.log'!\n"), 1) << result.out;
  EXPECT_TRUE(is_link(sub + "/failed/evil.pdf"));
  EXPECT_TRUE(is_link(sub + "/run.log"));
  EXPECT_EQ(box.read(sub + "/failed/evil~2.pdf"), "evil\n");
}

// With -r and a relative -e, the error folder of a sub-folder is whatever the dropper put
// there: a link to a folder outside (such as one whose files are run at log-in) must not
// receive the dropper's file. The file itself is not lost.
TEST_P(PlantedLinks, ErrorFolderLinkedOutside) {
  TempTree tree;
  SharedInbox box(tree, service());
  tree.mkdir("outside");
  give(tree.path("outside"), service(), 0755);
  const std::string sub = box.inbox + "/sub";
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_folder(sub, 0777) && make_link(tree.path("outside"), sub + "/failed") &&
           write_file(sub + "/x.sh", "echo chosen by the dropper\n");
  }));
  const RunResult result = e2e::run({"-r", "-g", "0", "-E", "-e", "failed", "*.sh", "false"},
                                    box.inbox, as_service(service()));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(entries_of(tree.path("outside")), Names{}) << result.out;
  EXPECT_EQ(box.read(sub + "/x.sh"), "echo chosen by the dropper\n");
  EXPECT_TRUE(box.untouched(result.out));
}

// A relative -e, a relative -o and a success file beside the file, while the dropper swaps the
// folder on the way with a link to a folder only the service may write, back and forth as the
// jobs end: nothing lands in that folder, and no temporary file is left behind anywhere.
TEST_P(PlantedLinks, FolderSwappedWithALinkInALoop) {
  struct Case {
    std::string swapped, option, value, status;
  };
  for (const Case& c :
       {Case{"sub/failed", "-e", "failed", "1"}, Case{"sub/logs", "-o", "logs/run.log", "0"},
        Case{"sub", "-t", "@4@.ok", "0"}}) {
    SCOPED_TRACE(c.option);
    TempTree tree;
    SharedInbox box(tree, service());
    const std::string closed = tree.path("closed"), go = box.srv + "/go";
    const std::string real = box.inbox + "/" + c.swapped, link = real + ".link";
    tree.mkdir("closed");
    give(closed, service(), 0700);
    ASSERT_TRUE(as_user(kDropper, [&] {
      bool ok = make_folder(box.inbox + "/sub/failed", 0777) &&
                make_folder(box.inbox + "/sub/logs", 0777) &&
                chmod((box.inbox + "/sub").c_str(), 0777) == 0 && make_link(closed, link);
      for (int i = 0; ok && i < 60; ++i) {
        ok = write_file(box.inbox + "/sub/" + std::to_string(i) + ".pdf", "x\n");
      }
      return ok;
    }));
    // Swaps once the first command has run, so that the walk itself enters the real folder, and
    // ends with the run.
    RunResult result;
    {
      Background swapper(kDropper, [&] {
        std::thread([=] {
          while (access(go.c_str(), F_OK) != 0) {
            usleep(1000);
          }
          for (;;) {
            renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
          }
        }).detach();
        return true;
      });
      ASSERT_TRUE(swapper.ready());
      result = e2e::run(
          {"-r", "-g", "0", c.option, c.value, "*.pdf", "touch " + go + "; exit " + c.status},
          box.inbox, as_service(service()));
    }
    EXPECT_EQ(entries_of(closed), Names{}) << result.out;
    for (const auto& entry : fs::recursive_directory_iterator(tree.root())) {
      EXPECT_NE(entry.path().filename().string().rfind(".hotbatch-", 0), 0u) << entry.path();
    }
    EXPECT_TRUE(box.untouched(result.out));
  }
}

INSTANTIATE_TEST_SUITE_P(Services, PlantedLinks, ::testing::Values(0u, kServiceUser), service_name);

// --- Stalling: entries that never become ready, or never end ----------------------------------

class Stalls : public Hostile {};

// A FIFO held open read-write, the dropper's link to /dev/zero and the service's own link to it
// are skipped before any settle time, each warned about once; the plain file beside them is
// handled after one settle of five seconds, and the run stops promptly when asked.
TEST_F(Stalls, FifoAndDevicesSkippedBeforeSettling) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string fifo = box.inbox + "/a.pdf";
  const std::string zero = box.inbox + "/b.pdf";
  const std::string own_zero = box.inbox + "/c.pdf";
  ASSERT_TRUE(as_user(kDropper, [&] {
    return mkfifo(fifo.c_str(), 0666) == 0 && make_link("/dev/zero", zero) &&
           write_file(box.inbox + "/z.pdf", "z\n");
  }));
  ASSERT_TRUE(make_link("/dev/zero", own_zero));
  Background holder(kDropper, [&] { return open(fifo.c_str(), O_RDWR) >= 0; });
  ASSERT_TRUE(holder.ready());
  Process hotbatch(box.looping_args("*.pdf", "cat \"@1@\" > /dev/null; test \"@2@\" = z", "5"),
                   box.inbox);
  const bool done = hotbatch.wait_for("File erased: " + box.inbox + "/z.pdf");
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_TRUE(done) << "stalled: " << result.out;
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_not_regular(fifo)), 1) << result.out;
  EXPECT_EQ(occurrences(result.out, warn_not_regular(own_zero)), 1);
  EXPECT_EQ(occurrences(result.out, warn_not_regular(zero)) +
                occurrences(result.out, warn_foreign_link(zero)),
            1);
  EXPECT_EQ(occurrences(result.out, "File found and under processing"), 1);
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_EQ(entries_of(box.inbox), (Names{"a.pdf", "b.pdf", "c.pdf"}));
  EXPECT_TRUE(box.untouched(result.out));
}

// A FIFO planted under the name of a relative run log (here in the inbox itself, where a
// relative -o lands for the files there): opening it for appending would wait for a reader
// forever. The log is refused like any log that cannot be written, and the run goes on.
TEST_F(Stalls, FifoPlantedAsTheRunLog) {
  TempTree tree;
  SharedInbox box(tree, 0);
  ASSERT_TRUE(as_user(kDropper, [&] {
    return mkfifo((box.inbox + "/run.log").c_str(), 0666) == 0 &&
           write_file(box.inbox + "/a.pdf", "a\n") && write_file(box.inbox + "/b.pdf", "b\n");
  }));
  Process hotbatch({"-l", "-s", "1", "-g", "0", "-E", "-o", "run.log", "*.pdf", "true"}, box.inbox);
  const bool done = hotbatch.wait_for("File erased: " + box.inbox + "/b.pdf");
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_TRUE(done) << "stalled: " << result.out;
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_GE(occurrences(result.out, "Spoolex: Unable to write Log 'run.log'!\n"), 2);
  EXPECT_EQ(entries_of(box.inbox), Names{"run.log"});
  EXPECT_TRUE(box.untouched(result.out));
}

// A plain file swapped for a FIFO while its command runs: the error copy must not wait on the
// FIFO for a writer that never comes.
TEST_F(Stalls, FifoSwappedInDuringTheCommand) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string file = box.inbox + "/x.pdf";
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, "x\n"); }));
  const HeldCommand held(tree);
  Process hotbatch({"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "*.pdf", held.text(1)},
                   box.inbox);
  ASSERT_TRUE(hotbatch.wait_until([&] { return fs::exists(held.running); }));
  ASSERT_TRUE(as_user(kDropper, [&] {
    return mkfifo((box.inbox + "/x.new").c_str(), 0666) == 0 &&
           replace_by(box.inbox + "/x.new", file);
  }));
  tree.write("release", "");
  const RunResult result = hotbatch.finish();
  EXPECT_FALSE(result.timed_out) << result.out;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_replaced(file)), 1) << result.out;
  EXPECT_EQ(entries_of(box.failed), Names{});
  EXPECT_EQ(entries_of(box.inbox), Names{"x.pdf"});
}

// A FIFO made during the settle time under the name of the deleted file, with its index number
// (ext4 reuses it) and its time, is never run: held open, it would block the command.
TEST_F(Stalls, FifoByIndexReuseNeverRun) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string file = box.inbox + "/x.txt";
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, ""); }));
  Process hotbatch({"-g", "1", "-k", "3", "-d", box.inbox, "*.txt", "cat \"@1@\" > /dev/null"},
                   box.inbox);
  ASSERT_TRUE(hotbatch.wait_for("Start Run..."));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  struct stat old {};
  ASSERT_EQ(lstat(file.c_str(), &old), 0);
  const timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_TRUE(as_user(kDropper, [&] {
    return unlink(file.c_str()) == 0 && mkfifo(file.c_str(), 0666) == 0 &&
           utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
  }));
  Background holder(kDropper, [&] { return open(file.c_str(), O_RDWR) >= 0; });
  struct stat now {};
  ASSERT_TRUE(holder.ready() && lstat(file.c_str(), &now) == 0);
  const RunResult result = hotbatch.finish();
  if (now.st_ino != old.st_ino) {
    GTEST_SKIP() << "SKIPPED: the file system gave the FIFO a new index number";
  }
  EXPECT_EQ(occurrences(result.out, "File found and under processing"), 0) << result.out;
}

// A write lease taken once the probe has closed the file would stall the command's open for the
// lease-break time (45 s), past the time limit: the file is held open, so none can be taken.
TEST_F(Stalls, WriteLeaseAfterTheProbe) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string file = box.inbox + "/x.txt";
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, "x\n"); }));
  // The dropper watches before the run starts and holds a lease it got until the run is over.
  Background dropper(kDropper, [&] {
    signal(SIGIO, SIG_IGN);  // a broken lease is kept to the end of the break time
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, file.c_str(), IN_CLOSE_NOWRITE) < 0) {
      return false;
    }
    std::thread([=] {
      char events[4096];
      (void)!read(watch, events, sizeof events);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (std::chrono::steady_clock::now() < end) {
        const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
          return;
        }
        close(fd);
      }
    }).detach();
    return true;
  });
  ASSERT_TRUE(dropper.ready());
  const RunResult result =
      e2e::run({"-g", "0", "-k", "5", "-E", "-d", box.inbox, "*.txt", "cat \"@1@\""}, box.inbox);
  EXPECT_EQ(occurrences(result.out, "File erased: " + file), 1) << result.out;
}

// --- Crashing the walk: trees deeper than the walk goes ---------------------------------------

class DeepTree : public Hostile {};

// Removes a tree too deep for removal by path when the case ends, however it ends.
struct DeepCleanup {
  std::string folder;
  ~DeepCleanup() { remove_deep(folder); }
};

// Three thousand levels: 500 are entered (a file in the 500th folder is handled), the 501st is
// warned about once per run, and the walk neither crashes nor stops early.
TEST_F(DeepTree, FiveHundredLevelsAndNoMore) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const DeepCleanup cleanup{box.inbox + "/d"};
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_deep_tree(box.inbox, 3000, "d",
                          {{10, "at10.pdf"}, {500, "at500.pdf"}, {501, "at501.pdf"}});
  }));
  std::string level501 = box.inbox;
  for (int i = 0; i < 501; ++i) {
    level501 += "/d";
  }
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(box.inbox + "/z.pdf", "z\n"); }));
  std::vector<std::string> args = box.looping_args("*.pdf", "true");
  args.insert(args.begin(), "-r");
  Process hotbatch(args, box.inbox);
  const bool done = hotbatch.wait_for("Datei was processed: 'z.pdf'");
  const RunResult result = stop_after_passes(&hotbatch);
  const bool deepest_kept = is_plain_file(level501 + "/at501.pdf");
  ASSERT_TRUE(done) << result.out.substr(0, 3000);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, warn_too_deep(level501)), 1);
  EXPECT_EQ(occurrences(result.out, "Folder not entered"), 1);
  EXPECT_EQ(occurrences(result.out, "Datei was processed: 'at10.pdf'"), 1);
  EXPECT_EQ(occurrences(result.out, "Datei was processed: 'at500.pdf'"), 1);
  EXPECT_EQ(occurrences(result.out, "File erased"), 3);
  EXPECT_TRUE(deepest_kept);
  EXPECT_TRUE(box.untouched(result.out));
}

// With few descriptors a walk runs out of them long before 500 levels: the folder it cannot
// enter is named once per run, with the reason, instead of being passed over in silence.
TEST_F(DeepTree, NoDescriptorLeft) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const DeepCleanup cleanup{box.inbox + "/d"};
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_deep_tree(box.inbox, 300, "d", {{5, "at5.pdf"}, {300, "at300.pdf"}});
  }));
  std::string bottom = box.inbox;
  for (int i = 0; i < 300; ++i) {
    bottom += "/d";
  }
  e2e::RunOptions options;
  options.launcher = e2e::Launcher{{"/usr/bin/prlimit", "--nofile=64"}, e2e::launcher().program};
  std::vector<std::string> args = box.looping_args("*.pdf", "true");
  args.insert(args.begin(), "-r");
  Process hotbatch(args, box.inbox, options);
  const bool done = hotbatch.wait_for("Datei was processed: 'at5.pdf'");
  const RunResult result = stop_after_passes(&hotbatch);
  const bool bottom_kept = is_plain_file(bottom + "/at300.pdf");
  ASSERT_TRUE(done) << result.out.substr(0, 3000);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out,
                        "Warning: Folder not entered (no descriptors left): '" + box.inbox + "/d"),
            1)
      << result.out.substr(0, 3000);
  EXPECT_EQ(occurrences(result.out, "Folder not entered"), 1);
  EXPECT_TRUE(bottom_kept);
  EXPECT_TRUE(box.untouched(result.out));
}

// 1,200 files at 15 KB paths (60 levels of 255-byte names): warnings show their paths shortened.
TEST_F(DeepTree, LongPathsShortenedInWarnings) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string step(255, 'd');
  const DeepCleanup cleanup{box.inbox + "/" + step};
  std::vector<std::pair<int, std::string>> files;
  for (int i = 0; i < 1200; ++i) {
    files.push_back({60, "f" + std::to_string(i) + ".pdf"});
  }
  ASSERT_TRUE(as_user(kDropper, [&] { return make_deep_tree(box.inbox, 60, step, files); }));
  const RunResult result =
      e2e::run({"-r", "-g", "0", "-d", box.inbox, "*.pdf", "true \"@1@\""}, box.inbox);
  EXPECT_EQ(occurrences(result.out, "Warning: Path too long for the command"), 1200);
  std::string part;  // more of the path than a console line shows
  while (part.size() < 4200) {
    part += step + "/";
  }
  EXPECT_EQ(result.out.find(part), std::string::npos);
}

// --- Destroying other users' files --------------------------------------------------------------

class OtherUsersFiles : public Hostile {};

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

mode_t mode_of(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A failing file touched again and again runs again (-u); only new content costs another copy.
TEST_F(OtherUsersFiles, TouchMakesNoNewErrorCopy) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string file = box.inbox + "/x.txt";
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, std::string(100000, 'x')); }));
  Process hotbatch(
      {"-l", "-s", "1", "-g", "0", "-u", "-d", box.inbox, "-e", box.failed, "*.txt", "false"},
      box.inbox);
  // Each change comes after the end of the job before it has been remembered (which no line
  // shows: a pass goes by first).
  const auto after_job = [&](int jobs) {
    return hotbatch.wait_for("Spoolex: Job of '" + file + "' ended", jobs) &&
           !hotbatch.wait_until([] { return false; }, e2e::Millis(1200));
  };
  for (int touch = 0; touch < 3; ++touch) {
    ASSERT_TRUE(after_job(touch + 1));
    ASSERT_TRUE(
        as_user(kDropper, [&] { return utimensat(AT_FDCWD, file.c_str(), nullptr, 0) == 0; }));
  }
  ASSERT_TRUE(after_job(4));
  ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, std::string(100000, 'y')); }));
  ASSERT_TRUE(after_job(5));
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_GE(occurrences(result.out, "File found and under processing"), 5);
  EXPECT_EQ(entries_of(box.failed), (Names{"x.txt", "x~2.txt"}));
  EXPECT_EQ(box.read(box.failed + "/x~2.txt"), std::string(100000, 'y'));
}

// Two droppers' failed report.pdf from different folders, with -E: the second copy takes the
// next free name, so that both stay. Each copy keeps its source's permission bits, but never
// set-user or set-group bits: the service's copy of a dropper's program must not run as the
// service.
TEST_F(OtherUsersFiles, SameNameFromTwoFoldersBothKept) {
  TempTree tree;
  SharedInbox box(tree, 0);
  ASSERT_TRUE(as_user(kDropper, [&] {
    return make_folder(box.inbox + "/a", 0755) &&
           write_file(box.inbox + "/a/report.pdf", "from a\n", 04600);
  }));
  ASSERT_TRUE(as_user(kOtherDropper, [&] {
    return make_folder(box.inbox + "/b", 0755) &&
           write_file(box.inbox + "/b/report.pdf", "from b\n", 02640);
  }));
  const RunResult result = e2e::run(
      {"-r", "-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o", box.log, "*.pdf", "false"},
      box.inbox);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(entries_of(box.failed), (Names{"report.pdf", "report~2.pdf"}));
  EXPECT_EQ(box.read(box.failed + "/report.pdf"), "from a\n");
  EXPECT_EQ(box.read(box.failed + "/report~2.pdf"), "from b\n");
  EXPECT_EQ(mode_of(box.failed + "/report.pdf"), 0600 & ~current_umask());
  EXPECT_EQ(mode_of(box.failed + "/report~2.pdf"), 0640 & ~current_umask());
  EXPECT_EQ(masked(box.read(box.log)),
            failure_entry("false", "report.pdf") + failure_entry("false", "report~2.pdf"));
  EXPECT_EQ(entries_of(box.inbox + "/a"), Names{});
  EXPECT_EQ(entries_of(box.inbox + "/b"), Names{});
  EXPECT_TRUE(box.untouched(result.out));
}

// The number goes before the last extension; a leading dot starts none; earlier copies, and
// earlier numbered ones, stay as they are.
TEST_F(OtherUsersFiles, NextFreeNameKeepsTheLastExtension) {
  TempTree tree;
  SharedInbox box(tree, 0);
  for (const char* name : {".profile", "notes", "a.b.EPS", "a.b~2.EPS"}) {
    tree.write("srv/failed/" + std::string(name), "old\n");
  }
  ASSERT_TRUE(as_user(kDropper, [&] {
    return write_file(box.inbox + "/.profile", "p\n") && write_file(box.inbox + "/notes", "n\n") &&
           write_file(box.inbox + "/a.b.EPS", "e\n");
  }));
  const RunResult result =
      e2e::run({"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "*", "false"}, box.inbox);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(entries_of(box.failed), (Names{".profile", ".profile~2", "a.b.EPS", "a.b~2.EPS",
                                           "a.b~3.EPS", "notes", "notes~2"}));
  EXPECT_EQ(box.read(box.failed + "/.profile~2"), "p\n");
  EXPECT_EQ(box.read(box.failed + "/notes~2"), "n\n");
  EXPECT_EQ(box.read(box.failed + "/a.b~3.EPS"), "e\n");
  for (const char* name : {".profile", "notes", "a.b.EPS", "a.b~2.EPS"}) {
    EXPECT_EQ(box.read(box.failed + "/" + name), "old\n") << name;
  }
  EXPECT_EQ(entries_of(box.inbox), Names{});
}

// A new file moved in under the same name while the old one's job runs is neither erased (-E)
// nor taken for the old one's error copy: it stays for its own job.
TEST_F(OtherUsersFiles, FileReplacedDuringItsJobIsLeftInPlace) {
  for (int status : {0, 1}) {
    SCOPED_TRACE(status == 0 ? "command succeeds" : "command fails");
    TempTree tree;
    SharedInbox box(tree, 0);
    const std::string file = box.inbox + "/x.pdf";
    ASSERT_TRUE(as_user(kDropper, [&] { return write_file(file, "first\n"); }));
    const HeldCommand held(tree);
    Process hotbatch({"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o", box.log, "*.pdf",
                      held.text(status)},
                     box.inbox);
    ASSERT_TRUE(hotbatch.wait_until([&] { return fs::exists(held.running); }));
    ASSERT_TRUE(as_user(kOtherDropper, [&] {
      return write_file(box.inbox + "/x.new", "second\n") && replace_by(box.inbox + "/x.new", file);
    }));
    tree.write("release", "");
    const RunResult result = hotbatch.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(occurrences(result.out, warn_replaced(file)), 1) << result.out;
    EXPECT_EQ(occurrences(result.out, "File erased"), 0);
    EXPECT_EQ(box.read(file), "second\n");
    EXPECT_EQ(entries_of(box.failed), Names{});
    EXPECT_TRUE(box.untouched(result.out));
  }
}

// --- Forged lines: C1 controls and Unicode line breaks in names -------------------------------

class Masking : public Hostile {};

// Raw C1 bytes and the UTF-8 encodings of U+0085, U+2028, U+2029 and the bidirectional controls
// are shown as '?' on the console, in the run log and in success files, also inside the command of
// an error report; the command gets the real name, and other UTF-8 stays readable.
TEST_F(Masking, ControlsAndLineBreaksShownAsQuestionMarks) {
  TempTree tree;
  SharedInbox box(tree, 0);
  struct Name {
    std::string raw, shown;
  };
  const Name names[] = {{"a\x9b"
                         "b.pdf",
                         "a?b.pdf"},
                        {"c\xc2\x85"
                         "d.pdf",
                         "c?d.pdf"},
                        {"e\xe2\x80\xa8"
                         "f.pdf",
                         "e?f.pdf"},
                        {"g\xe2\x80\xa9"
                         "h.pdf",
                         "g?h.pdf"},
                        {"i\xe2\x80\xae"
                         "j.pdf",
                         "i?j.pdf"},
                        {"\xc3\xa9t\xc3\xa9.pdf", "\xc3\xa9t\xc3\xa9.pdf"}};
  ASSERT_TRUE(as_user(kDropper, [&] {
    for (const Name& name : names) {
      if (!write_file(box.inbox + "/" + name.raw, name.raw)) {
        return false;
      }
    }
    return true;
  }));
  const std::string command = "test -f \"@1@\" && case \"@2@\" in g*) exit 1;; esac";
  const RunResult result = e2e::run({"-g", "0", "-d", box.inbox, "-e", box.failed, "-o", box.log,
                                     "-t", box.ok + "/@2@.ok", "*.pdf", command},
                                    box.inbox);
  EXPECT_EQ(result.status, 0);
  std::string console;
  std::string log;
  for (const Name& name : names) {
    console += found(box.inbox + "/" + name.shown);
    if (name.raw[0] == 'g') {
      const std::string ran =
          "test -f \"" + box.inbox + "/g?h.pdf\" && case \"g?h\" in g*) exit 1;; esac";
      console += error_block(ran) + ended(box.inbox + "/" + name.shown, "with status 1");
      log += failure_entry(ran, name.shown);
    } else {
      console += processed(name.shown);
      log += processed(name.shown) + "\n";
    }
  }
  EXPECT_EQ(after_start(result.out), console);
  EXPECT_EQ(masked(box.read(box.log)), log);
  EXPECT_EQ(box.read(box.failed + "/" + names[3].raw), names[3].raw);
  EXPECT_EQ(box.read(box.ok + "/c\xc2\x85"
                              "d.ok"),
            "'c?d' - ok\n");
  EXPECT_EQ(box.read(box.ok + "/i\xe2\x80\xae"
                              "j.ok"),
            "'i?j' - ok\n");
  EXPECT_TRUE(box.untouched(result.out));
}

// --- Filling the disk: a stop during a large error copy ---------------------------------------

class StoppedCopy : public Hostile {};

std::uint64_t bytes_in(const std::string& folder) {
  std::uint64_t total = 0;
  for (const std::string& name : entries_of(folder)) {
    struct stat info;
    if (lstat((folder + "/" + name).c_str(), &info) == 0) {
      total += static_cast<std::uint64_t>(info.st_size);
    }
  }
  return total;
}

// A 1 GiB failed file of data (holes would be copied at once): an interrupt ends its error copy
// at once, removes the temporary file and keeps the source. The copy is cut off by force,
// and the case fails, when it goes on writing after the request.
TEST_F(StoppedCopy, StopEndsALargeErrorCopy) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string big = box.inbox + "/big.pdf";
  const off_t size = off_t{1} << 30;
  ASSERT_TRUE(as_user(kDropper, [&] {
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const std::string chunk(1 << 20, 'x');
    bool ok = fd >= 0;
    for (off_t at = 0; ok && at < size; at += off_t{1} << 20) {
      ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    }
    return close(fd) == 0 && ok;
  }));
  Process hotbatch(
      {"-g", "0", "-E", "-d", box.inbox, "-e", box.failed, "-o", box.log, "*.pdf", "false"},
      box.inbox);
  ASSERT_TRUE(hotbatch.wait_until([&] { return bytes_in(box.failed) > (1u << 20); }))
      << hotbatch.out();
  hotbatch.signal(SIGINT);  // a plain stop request (SIGTERM) lets the copy finish
  const std::uint64_t limit = std::uint64_t{512} << 20;
  hotbatch.wait_until([&] {
    return hotbatch.out().find("Spoolex: Stopped\n") != std::string::npos ||
           bytes_in(box.failed) > limit;
  });
  const bool went_on = bytes_in(box.failed) > limit;
  if (went_on) {
    hotbatch.signal_group(SIGKILL);
  }
  const RunResult result = hotbatch.finish();
  EXPECT_FALSE(went_on) << "the copy went on after the stop request";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(entries_of(box.failed), Names{});
  struct stat info;
  ASSERT_EQ(lstat(big.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, size);
  EXPECT_TRUE(box.untouched(result.out));
}

}  // namespace
}  // namespace hostile
