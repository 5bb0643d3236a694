// What a Windows user sees of hotbatch.exe, run under Wine with cmd.exe built-ins as commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "win_e2e_support.h"

namespace {

using e2e::erased;
using e2e::found;
using e2e::masked;
using e2e::occurrences;
using e2e::Process;
using e2e::processed;
using e2e::TempTree;
using win_e2e::crlf;
using win_e2e::run;
using win_e2e::win_path;

const std::string kStars(79, '*');

// Every line break of a console or file text is CR LF.
bool all_lines_crlf(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return false;
    }
  }
  return true;
}

TEST(WindowsStartup, UsageScreenAndStartupErrorsEndWithStatusOne) {
  auto usage = run({});
  EXPECT_EQ(usage.status, 1);
  EXPECT_NE(
      usage.out.find("\r\nUsage: hotbatch [Optionen] regex-pattern \"command @1@ options "
                     "...\"\r\nWildcards: '@1@' is replaced by the file name (full path)\r\n"),
      std::string::npos)
      << usage.out;
  EXPECT_NE(usage.out.find("Example:  hotbatch -d d:\\input *.EPS \"dir @1@\"\r\n"),
            std::string::npos);
  EXPECT_TRUE(all_lines_crlf(usage.out));

  TempTree tree;
  auto missing = run({"-d", win_path(tree, "missing"), "*", "echo"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Spoolex: Cannot change to '" + win_path(tree, "missing") + "'!\r\n");

  auto count = run({"-d", win_path(tree), "a", "b", "-r"});
  EXPECT_EQ(count.status, 1);
  EXPECT_EQ(count.out, "Spoolex: Source folder is '" + win_path(tree) +
                           "'\r\nSpoolex: Wrong parameter count\r\n");
}

// The road of one file: found, converted, logged, success file written, deleted.
TEST(WindowsJobs, SuccessfulJobLogsWithCrLfWritesSuccessFileAndErases) {
  TempTree tree;
  const std::string content = "line 1\nline 2\r\n\x01\x00 end";
  tree.write("in/a.EPS", content);
  auto result = run({"-d", win_path(tree, "in"), "-E", "-o", "run.log", "-t", "@4@.ok", "-g", "0",
                     "*.EPS", "copy \"@1@\" \"@2@.pdf\" >NUL"});
  EXPECT_EQ(result.status, 0);
  const std::string a = win_path(tree, "in") + "\\a.EPS";
  EXPECT_EQ(masked(result.out), "Spoolex: Source folder is '" + win_path(tree, "in") +
                                    "'\r\nSpoolex: Will erase files after run! [Warning!]\r\n"
                                    "Spoolex: Log file is 'run.log'\r\n"
                                    "Spoolex: Single log file on success is '@4@.ok'\r\n"
                                    "Spoolex: Test time is 0 Sek\r\n\r\nStart Run...\r\n" +
                                    crlf(found(a) + processed("a.EPS") + erased(a)));
  EXPECT_EQ(masked(tree.read("in/run.log")), "<T> Datei was processed: 'a.EPS'\r\n\r\n");
  EXPECT_EQ(tree.read("in/a.ok"), "'a' - ok\r\n");
  EXPECT_EQ(tree.read("in/a.pdf"), content);
  EXPECT_FALSE(tree.exists("in/a.EPS"));
}

TEST(WindowsJobs, PlaceholdersCarryBackslashPathsAndQuotedProgramsRun) {
  TempTree tree;
  tree.write("in box/my file.txt", "x");
  tree.write("tools dir/show.bat", "@echo TOOL %~1\r\n");
  const std::string command =
      "echo [@2@] [@3@] [@4@] & \"" + win_path(tree, "tools dir") + "\\show.bat\" \"@1@\"";
  auto result = run({"-g", "0", "-d", win_path(tree, "in box"), "*.txt", command});
  EXPECT_EQ(result.status, 0);
  const std::string full = win_path(tree, "in box") + "\\my file.txt";
  const std::string no_ext = win_path(tree, "in box") + "\\my file";
  EXPECT_NE(result.out.find("[my file] [txt] [" + no_ext + "] \r\nTOOL " + full + "\r\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(masked(result.out).find(crlf(processed("my file.txt"))), std::string::npos);
}

// Byte order, depth first, the command's output right after its own announcement; hidden
// folders and links to folders are not entered.
TEST(WindowsWalk, JobsRunInByteOrderDepthFirstAndSkipHiddenFoldersAndLinks) {
  TempTree tree;
  for (const char* name :
       {"b.txt", "C.txt", "a.txt", "_x.txt", "z.txt", "sub/m.txt", ".hidden/h.txt"}) {
    tree.write(name, name);
  }
  std::filesystem::create_symlink(tree.path("sub"), tree.path("link"));
  auto result = run({"-r", "-g", "0", "-d", win_path(tree), "*.txt", "echo RUN @2@"});
  EXPECT_EQ(result.status, 0);
  std::string expected =
      "Spoolex: Run recursively\r\nSpoolex: Test time is 0 Sek\r\n"
      "Spoolex: Source folder is '" +
      win_path(tree) + "'\r\n\r\nStart Run...\r\n";
  for (const char* name : {"C.txt", "_x.txt", "a.txt", "b.txt", "sub\\m.txt", "z.txt"}) {
    std::string bare = std::string(name).substr(std::string(name).rfind('\\') + 1);
    expected += crlf(found(win_path(tree) + "\\" + name)) + "RUN " +
                bare.substr(0, bare.find('.')) + "\r\n" + crlf(processed(bare));
  }
  EXPECT_EQ(masked(result.out), expected);
}

TEST(WindowsJobs, FailedJobIsReportedLoggedCopiedBytewiseAndErased) {
  TempTree tree;
  const std::string content = "a\nb\r\n\x1a tail";
  tree.write("in/a.EPS", content);
  tree.mkdir("in/errors");
  auto result = run({"-g", "0", "-E", "-e", "errors", "-o", "run.log", "-d", win_path(tree, "in"),
                     "*.EPS", "exit /b 3"});
  EXPECT_EQ(result.status, 0);
  const std::string a = win_path(tree, "in") + "\\a.EPS";
  EXPECT_NE(masked(result.out)
                .find(crlf(found(a) + e2e::error_block("exit /b 3") +
                           e2e::ended(a, "with status 3") + erased(a))),
            std::string::npos)
      << result.out;
  EXPECT_EQ(masked(tree.read("in/run.log")),
            crlf(e2e::failure_entry("exit /b 3", "a.EPS", "with status 3")));
  EXPECT_EQ(tree.read("in/errors/a.EPS"), content);
  EXPECT_FALSE(tree.exists("in/a.EPS"));
}

// Without a complete copy the failed file is the only trace of the job: it stays.
TEST(WindowsJobs, FailedCopyKeepsTheFileWhetherTheErrorFolderIsMissingOrItsOwn) {
  for (const char* error_folder : {"missing", "."}) {
    SCOPED_TRACE(error_folder);
    TempTree tree;
    tree.write("in/a.EPS", "data");
    auto result = run({"-g", "0", "-E", "-e", error_folder, "-o", "run.log", "-d",
                       win_path(tree, "in"), "*.EPS", "exit /b 3"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.find("File erased"), std::string::npos);
    EXPECT_EQ(tree.read("in/a.EPS"), "data");
    const std::string log = tree.read("in/run.log");
    EXPECT_EQ(log.substr(log.size() - 22), "Fehler beim Kopieren\r\n");
  }
}

TEST(WindowsJobs, FailureWithoutErrorFolderOnlyPrintsAndExitCodesAboveByteRangeFail) {
  TempTree tree;
  tree.write("a.EPS", "data");
  auto result = run({"-g", "0", "-o", "run.log", "-d", win_path(tree), "*.EPS", "exit /b 256"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("ERROR DURING PROCESSING!\r\nCommand 'exit /b 256'\r\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find(kStars), std::string::npos);
  EXPECT_FALSE(tree.exists("run.log"));
  EXPECT_TRUE(tree.exists("a.EPS"));
}

std::string stamp_at(std::time_t when) {
  char text[64];
  std::strftime(text, sizeof text, "%b %d %H:%M:%S %Y", std::localtime(&when));
  return text;
}

TEST(WindowsTime, TimeStampsAreLocalTimeOfTheTimeZoneVariable) {
  TempTree tree;
  tree.write("a.EPS", "x");
  // A zone far from UTC, written the way Windows reads TZ; compared with the same zone here.
  const char* zone = "EST5EDT";
  setenv("TZ", zone, 1);
  tzset();
  std::time_t before = std::time(nullptr);
  auto result =
      run({"-g", "0", "-d", win_path(tree), "*.EPS", "echo"}, {"TZ=" + std::string(zone)});
  std::time_t after = std::time(nullptr);
  std::string stamp = result.out.substr(result.out.find("Start Run...\r\n") + 14, 20);
  bool matched = false;
  for (std::time_t when = before; when <= after && !matched; ++when) {
    matched = stamp == stamp_at(when);
  }
  EXPECT_TRUE(matched) << stamp << " not within " << stamp_at(before) << " .. " << stamp_at(after);
  unsetenv("TZ");
  tzset();
}

TEST(WindowsStop, CtrlCEndsTheLoopWithStoppedAndStatusZero) {
  TempTree tree;
  Process process({"-l", "-g", "0", "-d", win_path(tree), "*.none", "echo"}, "", win_e2e::wine());
  ASSERT_TRUE(process.wait_for("Start Run...\r\n", 1, win_e2e::kTimeout));
  process.signal(SIGINT);  // which Wine turns into Ctrl+C
  auto result = process.finish(win_e2e::kTimeout);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Start Run...\r\nSpoolex: Stopped\r\n"), std::string::npos)
      << result.out;
}

// However a job's command is cut off (its time limit, a stop, the program killed or asked twice),
// what it started with `start /b` ends with it: both writers stop writing. A job the time limit
// ended failed; a job a stop cut off is never done, though its command returns 0.
struct EndCase {
  const char* name;
  std::vector<std::string> options;
  int own_ms;                // how long the command's own writer runs; the started one runs 30 s
  std::vector<int> signals;  // sent in turn while the writers run; none: after the job's end
  int status;
  const char* tail;  // the lines after the file was found: @F its path, @B the error block
};

void PrintTo(const EndCase& c, std::ostream* out) {
  *out << c.name;
}

class WindowsCutOff : public ::testing::TestWithParam<EndCase> {};

TEST_P(WindowsCutOff, NothingOfTheCommandOutlivesIt) {
  const EndCase& c = GetParam();
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.mkdir("errors");
  ASSERT_NE(std::getenv("HOTBATCH_WIN_WRITER"), nullptr)
      << "run this suite through scripts/test-windows.sh";
  std::string writer = "\"Z:" + std::string(std::getenv("HOTBATCH_WIN_WRITER")) + "\" tick ";
  std::replace(writer.begin(), writer.end(), '/', '\\');
  const std::string command = "start /b \"\" " + writer + win_path(tree, "child") + " 30000 & " +
                              writer + win_path(tree, "own") + " " + std::to_string(c.own_ms);
  std::vector<std::string> args = c.options;
  args.insert(args.end(), {"-l", "-g", "0", "-E", "-e", win_path(tree, "errors"), "-t", "@4@.ok",
                           "-d", win_path(tree, "in"), "*.job", command});
  Process process(args, "", win_e2e::wine());
  const auto writing = [&] {
    const std::size_t before = tree.read("child").size() + tree.read("own").size();
    usleep(600000);
    return tree.read("child").size() + tree.read("own").size() != before;
  };
  if (c.signals.empty()) {
    ASSERT_TRUE(process.wait_for("File erased", 1, win_e2e::kTimeout)) << process.out();
    EXPECT_FALSE(writing());
    process.signal(SIGINT);
  }
  ASSERT_TRUE(process.wait_until([&] { return tree.exists("child") && tree.exists("own"); },
                                 win_e2e::kTimeout));
  for (std::size_t i = 0; i < c.signals.size(); ++i) {
    ASSERT_TRUE(i == 0 || process.wait_for("waiting for 1 running jobs", 1, win_e2e::kTimeout));
    process.signal(c.signals[i]);
  }
  auto result = process.finish(win_e2e::kTimeout);
  EXPECT_EQ(result.status, c.status);
  EXPECT_FALSE(writing());
  const std::string file = win_path(tree, "in") + "\\a.job";
  std::string tail = std::regex_replace(c.tail, std::regex("@B"), e2e::error_block(command));
  const std::string out = masked(result.out);
  EXPECT_EQ(out.substr(out.find("Start Run...\r\n") + 14),
            crlf(found(file) + std::regex_replace(tail, std::regex("@F"), file)));
  const bool erased = tail.find("File erased") != std::string::npos;
  EXPECT_EQ(tree.exists("in/a.job"), !erased);
  EXPECT_EQ(tree.read("errors/a.job"), erased ? "1" : "");
  EXPECT_FALSE(tree.exists("in/a.ok"));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WindowsCutOff,
    ::testing::Values(EndCase{"TimeLimit",
                              {"-k", "1"},
                              30000,
                              {},
                              0,
                              "Spoolex: Job of '@F' stopped after 1 Sek\n@B"
                              "Spoolex: Job of '@F' ended with status 1\n<T> File erased: @F\n"
                              "Spoolex: Stopped\n"},
                      EndCase{"Stop",
                              {},
                              3000,
                              {SIGINT},
                              0,
                              "Spoolex: Stop requested, waiting for 1 running jobs\n"
                              "Spoolex: Job of '@F' left for the next run\nSpoolex: Stopped\n"},
                      EndCase{"KillNine", {}, 30000, {SIGKILL}, 128 + SIGKILL, ""},
                      EndCase{"SecondRequest",
                              {},
                              120000,
                              {SIGINT, SIGINT},
                              1,
                              "Spoolex: Stop requested, waiting for 1 running jobs\n"
                              "Spoolex: Second stop request, ending 1 running jobs\n"
                              "Spoolex: Job of '@F' left for the next run\nSpoolex: Stopped\n"}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

// Wine shows the Linux owner and the others' rights (not the group's) in the access list.
TEST(WindowsWorkFolder, NotUsableEndsTheStart) {
  TempTree tree;
  tree.mkdir("in");
  for (const auto& [rel, make] :
       std::vector<std::pair<std::string, std::string>>{{"open", "mkdir -m 777 $P"},
                                                        {"foreign", "mkdir $P && chown 65534 $P"},
                                                        {"in/inside", "mkdir $P"}}) {
    ASSERT_EQ(std::system(("P=" + tree.path(rel) + " && " + make).c_str()), 0);
    const std::string work = win_path(tree, rel);
    auto result = run({"-p", work, "-d", win_path(tree, "in"), "*", "exit /b 0"});
    EXPECT_EQ(result.status, 1) << rel;
    EXPECT_EQ(occurrences(result.out, "Spoolex: Work folder '" + work + "' is not usable\r\n"), 1);
  }
}

// A run killed with two claims out: the next start puts both back, the one whose name was taken
// meanwhile under a numbered name, and runs all three. The temporary file the killed run left in
// the error folder stays while that run lives and goes at the first start after its end.
TEST(WindowsWorkFolder, KilledRunsClaimsComeBack) {
  TempTree tree;
  tree.write("in/a.job", "old");
  tree.write("in/b.job", "b");
  tree.mkdir("work");
  std::string writer = "\"Z:" + std::string(std::getenv("HOTBATCH_WIN_WRITER")) + "\" tick ";
  std::replace(writer.begin(), writer.end(), '/', '\\');
  const std::string in = win_path(tree, "in");
  const std::string errors = win_path(tree, "errors");
  Process first({"-l", "-j", "2", "-g", "0", "-p", win_path(tree, "work"), "-d", in, "*.job",
                 writer + win_path(tree, "@2@.tick") + " 60000"},
                "", win_e2e::wine());
  // Two sub-folders and their records, named after the run's process number.
  const auto claimed = [&] {
    return tree.list("work").size() == 4 && tree.list("work")[0][0] != '.';
  };
  ASSERT_TRUE(first.wait_until(claimed, win_e2e::kTimeout)) << first.out();
  const std::string claim = tree.list("work")[0];
  const std::string temp = "errors/.hotbatch-" + claim.substr(0, claim.find('-')) + "-9.tmp";
  tree.write(temp, "part of a copy");
  run({"-e", errors, "-d", errors, "*.job", "exit /b 0"});
  EXPECT_TRUE(tree.exists(temp));
  kill(first.pid(), SIGKILL);
  first.finish(win_e2e::kTimeout);
  tree.write("in/a.job", "new");

  auto again =
      run({"-g", "0", "-e", errors, "-p", win_path(tree, "work"), "-d", in, "*.job", "exit /b 0"});
  EXPECT_EQ(occurrences(again.out, "Spoolex: File of an unfinished run put back: '" + in + "\\"), 2)
      << again.out;
  EXPECT_EQ(occurrences(again.out, "numbered name: '" + in + "\\a.job'\r\n"), 1);
  EXPECT_EQ(occurrences(again.out, "Datei was processed"), 3);
  EXPECT_EQ(tree.read("in/a.job") + tree.read("in/a~2.job") + tree.read("in/b.job"), "newoldb");
  EXPECT_EQ(tree.list("work"), std::vector<std::string>{});
  EXPECT_FALSE(tree.exists(temp));
}

}  // namespace
