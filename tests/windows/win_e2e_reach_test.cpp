// What hotbatch.exe must never lose: names outside every code page, folders of any depth, and
// files that a writer still holds while sharing write access.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "win_e2e_support.h"

namespace {

using e2e::masked;
using e2e::occurrences;
using e2e::Process;
using e2e::TempTree;
using win_e2e::crlf;
using win_e2e::run;
using win_e2e::win_path;

// What the program wrote after "Start Run...".
std::string after_start(const std::string& out) {
  const std::string start = "Start Run...\r\n";
  std::size_t at = out.find(start);
  return at == std::string::npos ? out : out.substr(at + start.size());
}

const std::string kOmega = "\xCE\xA9";                  // Greek
const std::string kNihon = "\xE6\x97\xA5\xE6\x9C\xAC";  // CJK
const std::string kSmile = "\xF0\x9F\x98\x80";          // U+1F600: a surrogate pair in UTF-16

// Greek, CJK and a character beyond the Basic Multilingual Plane, in a source folder given with
// -d, a sub-folder walked with -r, every placeholder, the command (cmd.exe copies the file, so a
// wrong name fails), the run log, the success files, the error copy and the output, which goes
// to a pipe here and is therefore UTF-8.
TEST(WindowsNames, NamesOutsideTheCodePageTravelEverywhere) {
  TempTree tree;
  const std::string dir = kOmega + "dir";
  tree.write(dir + "/" + kOmega + ".txt", "omega");
  tree.write(dir + "/" + kOmega + "sub/" + kNihon + ".txt", "nihon");
  tree.write(dir + "/" + kOmega + "sub/" + kSmile + ".data.txt", "smile");
  tree.mkdir("out" + kSmile);
  const std::string source = win_path(tree, dir);
  const std::string out = win_path(tree, "out" + kSmile);
  auto result = run({"-r", "-g", "0", "-d", source, "-o", win_path(tree, kNihon + ".log"), "-t",
                     "@4@~@3@~@5@.ok", "*.txt", "copy \"@1@\" \"" + out + "\\@2@.@3@\" >NUL"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(masked(result.out),
            "Spoolex: Run recursively\r\nSpoolex: Test time is 0 Sek\r\n"
            "Spoolex: Source folder is '" +
                source +
                "'\r\n"
                "Spoolex: Log file is '" +
                win_path(tree, kNihon + ".log") +
                "'\r\n"
                "Spoolex: Single log file on success is '@4@~@3@~@5@.ok'\r\n\r\nStart Run...\r\n" +
                crlf(e2e::found(source + "\\" + kOmega + ".txt") + e2e::processed(kOmega + ".txt") +
                     e2e::found(source + "\\" + kOmega + "sub\\" + kNihon + ".txt") +
                     e2e::processed(kNihon + ".txt") +
                     e2e::found(source + "\\" + kOmega + "sub\\" + kSmile + ".data.txt") +
                     e2e::processed(kSmile + ".data.txt")));
  EXPECT_EQ(tree.read("out" + kSmile + "/" + kOmega + ".txt"), "omega");
  EXPECT_EQ(tree.read("out" + kSmile + "/" + kNihon + ".txt"), "nihon");
  EXPECT_EQ(tree.read("out" + kSmile + "/" + kSmile + ".data.txt"), "smile");
  EXPECT_EQ(masked(tree.read(kNihon + ".log")),
            crlf(e2e::processed(kOmega + ".txt") + "\n" + e2e::processed(kNihon + ".txt") + "\n" +
                 e2e::processed(kSmile + ".data.txt") + "\n"));
  EXPECT_EQ(tree.read(dir + "/" + kOmega + "~txt~" + kOmega + ".ok"), "'" + kOmega + "' - ok\r\n");
  EXPECT_EQ(tree.read(dir + "/" + kOmega + "sub/" + kNihon + "~txt~" + kNihon + ".ok"),
            "'" + kNihon + "' - ok\r\n");
  EXPECT_EQ(
      tree.read(dir + "/" + kOmega + "sub/" + kSmile + ".data~data.txt~" + kSmile + ".data.ok"),
      "'" + kSmile + "' - ok\r\n");

  // '?' matches one byte: the two bytes of the Greek letter need two. The failed file is copied
  // whole into an error folder with a CJK name.
  tree.mkdir("err" + kNihon);
  auto failed =
      run({"-g", "0", "-d", source, "-e", win_path(tree, "err" + kNihon), "?.txt", "exit /b 1"});
  EXPECT_EQ(after_start(failed.out), "") << failed.out;
  failed =
      run({"-g", "0", "-d", source, "-e", win_path(tree, "err" + kNihon), "??.txt", "exit /b 1"});
  EXPECT_NE(masked(failed.out).find(crlf(e2e::found(source + "\\" + kOmega + ".txt"))),
            std::string::npos)
      << failed.out;
  EXPECT_EQ(tree.read("err" + kNihon + "/" + kOmega + ".txt"), "omega");
}

// Names that a command would reach as another file or a device, each beside its plain twin: only
// the twins run, fail, go to the error folder and are erased; the others are named once, in their
// warning, and left as they were, whatever the template (here none).
TEST(WindowsNames, NamesThatCommandsCannotOpenArePassedOver) {
  const std::pair<std::string, std::string> names[] = {
      {"trail.", "trail"},     {"blank ", "blank"},           {"CON", "CONE"},
      {"aux.txt", "auxi.txt"}, {"Nul.tar.gz", "Null.tar.gz"}, {"com1.log", "com0.log"},
      {"LPT9", "LPT10"},       {"conin$", "conin"},           {"prn .txt", "prnt.txt"}};
  TempTree tree;
  tree.mkdir("errors");
  for (const auto& [bad, twin] : names) {
    tree.write("in/" + bad, bad);
    tree.write("in/" + twin, twin);
  }
  const std::string in = win_path(tree, "in");
  auto result = run({"-g", "0", "-E", "-e", win_path(tree, "errors"), "-d", in, "*", "exit /b 1"});
  for (const auto& [bad, twin] : names) {
    EXPECT_EQ(occurrences(result.out, "Warning: Name that commands cannot open, file skipped: '" +
                                          in + "\\" + bad + "'\r\n"),
              1)
        << bad << result.out;
    EXPECT_EQ(occurrences(result.out, "\\" + bad + "'"), 1) << bad;
    EXPECT_EQ(tree.read("in/" + bad) + tree.read("errors/" + bad), bad);
    EXPECT_EQ(tree.read("errors/" + twin) + tree.read("in/" + twin), twin);
  }
}

// Seven folders of 45 characters pass 259 characters, twenty-two pass 1,000. Every file is
// either processed or named by the warning; nothing is skipped without a word, and the run log
// lies at the bottom of the tree.
TEST(WindowsDepth, EveryFileOfADeepTreeIsProcessedOrNamed) {
  TempTree tree;
  const std::string part(45, 'p');
  std::string rel = "in";
  std::vector<std::string> files;
  for (int level = 1; level <= 22; ++level) {
    rel += "/" + part;
    files.push_back(rel + "/f" + std::to_string(level) + ".txt");
    tree.write(files.back(), "level " + std::to_string(level));
  }
  tree.mkdir("out");
  const std::string log = win_path(tree, rel) + "\\run.log";
  auto result = run({"-r", "-g", "0", "-E", "-o", log, "-d", win_path(tree, "in"), "*.txt",
                     "copy \"@1@\" \"" + win_path(tree, "out") + "\\@2@.@3@\" >NUL"});
  EXPECT_EQ(result.status, 0);
  int processed = 0;
  int named = 0;
  std::string expected_log;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string name = "f" + std::to_string(i + 1) + ".txt";
    std::string full = "Z:" + tree.path(files[i]);
    for (char& c : full) {
      c = c == '/' ? '\\' : c;
    }
    std::size_t folder_length = full.size() - name.size() - 1;
    if (folder_length <= 258) {
      ++processed;
      EXPECT_EQ(tree.read("out/" + name), "level " + std::to_string(i + 1)) << full;
      EXPECT_FALSE(tree.exists(files[i])) << full;
      expected_log += e2e::processed(name) + "\n";
    } else {
      ++named;
      EXPECT_EQ(occurrences(result.out,
                            "Warning: Folder path too long for a command, file "
                            "skipped: '" +
                                full + "'\r\n"),
                1)
          << full;
      EXPECT_TRUE(tree.exists(files[i])) << full;
      EXPECT_FALSE(tree.exists("out/" + name)) << full;
    }
  }
  // How many of each depends on the length of the temporary folder's path.
  EXPECT_GE(processed, 3);
  EXPECT_GE(named, 15);
  EXPECT_EQ(masked(tree.read(rel + "/run.log")), crlf(expected_log));
}

// A writer that shares write access holds its file, writes half and waits. A single run leaves
// the file alone; a loop with -E takes it once, whole, after the writer closed it.
TEST(WindowsWriters, AFileHeldByASharingWriterIsTakenOnceAndWhole) {
  const char* writer_exe = std::getenv("HOTBATCH_WIN_WRITER");
  ASSERT_NE(writer_exe, nullptr) << "run this suite through scripts/test-windows.sh";
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("out");
  e2e::RunOptions writer_options = win_e2e::wine();
  writer_options.launcher->program = writer_exe;
  Process writer({win_path(tree, "in") + "\\w.txt", "4000"}, "", writer_options);
  ASSERT_TRUE(writer.wait_for("half", 1, win_e2e::kTimeout));

  const std::string command = "copy \"@1@\" \"" + win_path(tree, "out") + "\\@2@.@3@\" >NUL";
  auto once = run({"-g", "0", "-d", win_path(tree, "in"), "*.txt", command});
  EXPECT_EQ(after_start(once.out), "") << once.out;
  EXPECT_FALSE(tree.exists("out/w.txt"));

  Process loop({"-l", "-E", "-s", "1", "-g", "0", "-d", win_path(tree, "in"), "*.txt", command}, "",
               win_e2e::wine());
  ASSERT_TRUE(loop.wait_for("File erased", 1, win_e2e::kTimeout)) << loop.out();
  loop.signal(SIGINT);
  auto looped = loop.finish(win_e2e::kTimeout);
  auto written = writer.finish(win_e2e::kTimeout);
  EXPECT_EQ(written.status, 0);
  EXPECT_EQ(occurrences(looped.out, "File found and under processing"), 1) << looped.out;
  EXPECT_EQ(tree.read("out/w.txt"), "first half|second half");
  EXPECT_FALSE(tree.exists("in/w.txt"));
}

// A read-only file is passed over with one warning in the whole run, though every pass meets it,
// and is never processed; the files beside it are.
TEST(WindowsWriters, AReadOnlyFileIsPassedOverWithOneWarningPerRun) {
  TempTree tree;
  tree.write("a.job", "1");
  tree.write("b.job", "2");
  ASSERT_EQ(chmod(tree.path("a.job").c_str(), 0444), 0);  // Wine shows it as read-only
  Process loop({"-l", "-s", "1", "-g", "0", "-E", "-d", win_path(tree), "*.job", "echo ran @2@"},
               "", win_e2e::wine());
  ASSERT_TRUE(loop.wait_for("File erased", 1, win_e2e::kTimeout)) << loop.out();
  tree.drop("c.job", "3");  // found by a later pass, which meets a.job before it
  ASSERT_TRUE(loop.wait_for("File erased", 2, win_e2e::kTimeout)) << loop.out();
  loop.signal(SIGINT);
  const std::string out = loop.finish(win_e2e::kTimeout).out;
  const std::string warning =
      "Warning: No access to file, passed over: '" + win_path(tree, "a.job");
  EXPECT_EQ(occurrences(out, warning + "'\r\n"), 1) << out;
  EXPECT_EQ(occurrences(out, "File found and under processing"), 2) << out;
  EXPECT_EQ(tree.read("a.job"), "1");
}

// Runs hotbatch.exe on a pseudo-terminal, where Wine gives it a console that passes on to the
// terminal in UTF-8. Returns what the terminal received, without Wine's escape sequences and CRs.
std::string run_on_terminal(const std::vector<std::string>& args) {
  std::vector<std::string> words = {std::getenv("HOTBATCH_WINE"), std::getenv("HOTBATCH_WIN_EXE")};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  int terminal = -1;
  winsize size = {50, 250, 0, 0};  // wide enough that no line wraps
  pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
  if (child == 0) {
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("TZ");
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (child < 0) {
    ADD_FAILURE() << "forkpty failed";
    return "";
  }
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + win_e2e::kTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready = {terminal, POLLIN, 0};
    if (poll(&ready, 1, 200) <= 0) {
      continue;
    }
    char buffer[4096];
    ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) {
      break;  // EIO once the program and Wine have closed the terminal
    }
    received.append(buffer, static_cast<std::size_t>(got));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(terminal);
  std::string text;
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (received[i] == '\x1b' && i + 1 < received.size() && received[i + 1] == '[') {
      i += 2;
      while (i < received.size() && !(received[i] >= '@' && received[i] <= '~')) {
        ++i;
      }
    } else if (received[i] != '\r') {
      text += received[i];
    }
  }
  return text;
}

// On a console the names are characters: bytes of UTF-8 sent as such would show up as one
// character per byte. (Wine's console shows a surrogate pair as two replacement characters, so
// the name here keeps to the Basic Multilingual Plane.)
TEST(WindowsOutput, TheConsoleShowsNamesAsTheyAre) {
  TempTree tree;
  tree.write(kOmega + "/" + kNihon + ".txt", "x");
  const std::string source = win_path(tree, kOmega);
  std::string shown = run_on_terminal({"-g", "0", "-d", source, "*.txt", ""});
  EXPECT_NE(shown.find("Spoolex: Source folder is '" + source + "'\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("File found and under processing: " + source + "\\" + kNihon + ".txt\n"),
            std::string::npos)
      << shown;
}

// Shared inboxes: an error copy never replaces an earlier one, -E erases only the file that was
// processed, and a command that cannot hold its file's path is not run at all.
TEST(WindowsSharedInbox, ErrorCopiesAreNumberedAndEraseSparesAReplacedFile) {
  TempTree tree;
  tree.write("in/a.b.EPS", "third");
  tree.write("errors/a.b.EPS", "first");
  tree.write("errors/a.b~2.EPS", "second");
  auto failed = run({"-g", "0", "-E", "-o", win_path(tree, "run.log"), "-e",
                     win_path(tree, "errors"), "-d", win_path(tree, "in"), "*.EPS", "exit /b 2"});
  EXPECT_EQ(failed.status, 0);
  EXPECT_EQ(tree.read("errors/a.b.EPS"), "first");
  EXPECT_EQ(tree.read("errors/a.b~2.EPS"), "second");
  EXPECT_EQ(tree.read("errors/a.b~3.EPS"), "third");
  EXPECT_EQ(tree.list("errors").size(), 3u);
  EXPECT_EQ(masked(tree.read("run.log")),
            crlf(e2e::failure_entry("exit /b 2", "a.b~3.EPS", "with status 2")));
  EXPECT_FALSE(tree.exists("in/a.b.EPS"));

  // The command moves the file away and puts another under its name: that one stays.
  tree.write("in/c.txt", "processed");
  tree.write("new.dat", "arrived meanwhile");
  const std::string full = win_path(tree, "in") + "\\c.txt";
  auto replaced = run({"-g", "0", "-E", "-d", win_path(tree, "in"), "*.txt",
                       "move \"@1@\" ..\\moved.dat >NUL && copy ..\\new.dat \"@2@.@3@\" >NUL"});
  EXPECT_EQ(replaced.status, 0);
  EXPECT_EQ(
      occurrences(replaced.out,
                  "Warning: File was replaced during its job, left in place: '" + full + "'\r\n"),
      1)
      << replaced.out;
  EXPECT_EQ(replaced.out.find("File erased"), std::string::npos) << replaced.out;
  EXPECT_EQ(tree.read("in/c.txt"), "arrived meanwhile");
  EXPECT_EQ(tree.read("moved.dat"), "processed");

  // The same with a failing command: the newcomer is not taken for the error copy either.
  tree.write("in/d.txt", "processed");
  auto refused =
      run({"-g", "0", "-E", "-e", win_path(tree, "errors"), "-d", win_path(tree, "in"), "d.txt",
           "move \"@1@\" ..\\moved-d.dat >NUL && copy ..\\new.dat \"@2@.@3@\" >NUL && exit /b 4"});
  EXPECT_EQ(occurrences(refused.out, "Warning: File was replaced during its job, left in place: '" +
                                         win_path(tree, "in") + "\\d.txt'\r\n"),
            1)
      << refused.out;
  EXPECT_FALSE(tree.exists("errors/d.txt"));
  EXPECT_EQ(tree.read("in/d.txt"), "arrived meanwhile");
}

// A junction or symbolic link on the way to the error folder or the run log (one planted in the
// inbox, say) is not followed: nothing is written there, and the failed file stays.
TEST(WindowsSharedInbox, NothingIsWrittenThroughALinkedFolder) {
  TempTree tree;
  tree.write("in/a.EPS", "x");
  tree.mkdir("elsewhere");
  std::filesystem::create_directory_symlink(tree.path("elsewhere"), tree.path("in/linked"));
  const std::string linked = win_path(tree, "in") + "\\linked";
  auto result = run({"-g", "0", "-o", linked + "\\run.log", "-e", linked, "-d",
                     win_path(tree, "in"), "*.EPS", "exit /b 1"});
  EXPECT_EQ(result.status, 0);
  // The failure entry, how the command ended and the failed copy: three writes refused.
  EXPECT_EQ(occurrences(result.out, "Spoolex: Unable to write Log '" + linked + "\\run.log'!\r\n"),
            3)
      << result.out;
  EXPECT_EQ(occurrences(result.out, "Warning: File kept, copy into error folder failed: '" +
                                        win_path(tree, "in") + "\\a.EPS'\r\n"),
            1)
      << result.out;
  EXPECT_TRUE(tree.list("elsewhere").empty());
  EXPECT_EQ(tree.read("in/a.EPS"), "x");
}

TEST(WindowsSharedInbox, ACommandTooLongForItsPathIsNotRun) {
  TempTree tree;
  tree.write("in/a.txt", "x");
  const std::string command = "echo RUN " + std::string(2030, 'x') + " \"@1@\"";
  const std::string full = win_path(tree, "in") + "\\a.txt";
  auto result = run({"-g", "0", "-E", "-o", win_path(tree, "run.log"), "-d", win_path(tree, "in"),
                     "*.txt", command});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out),
            "Warning: Path too long for the command, file skipped: '" + full + "'\r\n");
  EXPECT_TRUE(tree.exists("in/a.txt"));
  EXPECT_FALSE(tree.exists("run.log"));
}

}  // namespace
