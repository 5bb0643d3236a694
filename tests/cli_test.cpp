// End-to-end tests of the command line: usage screen, option echoes, operand checks, exit status.
#include <gtest/gtest.h>

#include <ctime>

#include "e2e_support.h"

namespace e2e {
namespace {

const char* const kUsage =
    R"(hotbatch (Spoolex): runs a command for every file that arrives in a folder
Contact: the hotbatch developers, see the README
Version 1.4.0

Usage: hotbatch [Optionen] regex-pattern "command @1@ options ..."
Wildcards: '@1@' is replaced by the file name (full path)
Wildcards: '@2@' is replaced by the file name (no path)
Wildcards: '@3@' is replaced by the file name extension (no dot)
Wildcards: '@4@' is replaced by the file name (full path, no extension)
Wildcards: '@5@' is replaced by the file name (no path, no last extension)

Options:
          -o logfile            creates a logfile
          -t logfile            creates a single log file on success
          -d dir                defines the root directory to run on
          -e errorfolder        where to place error jobs (Command: retcode!=0)
          -r                    run recursive
          -l                    run permanent (looping)
          -s #                  wait # Sec between loops (Needs -l)
          -g #                  test # Sec before access to a file
          -E                    erase job after run [WARNING!]
          -j #                  run up to # jobs at once (1 to 64)
          -w                    wake on change (Needs -l)
          -k #                  stop a job's command after # Sec
          -u                    run a file again only after it changed
          -p dir                move each file into dir before its job
          -m file               write metrics to file (Prometheus text format)
          -n                    dry run: one pass that says what it would do
          -b #                  try a failed job again up to # times
          -a dir                move each done file into dir
          -f template           run a file only once its done file exists
          -c statefile          keep what a restart must know in statefile
          -i name               install as the Windows service hotbatch-name
          -x name               remove the Windows service hotbatch-name
          -z name               run as the Windows service hotbatch-name
Example:  hotbatch -d d:\input *.EPS "dir @1@"
Example:  hotbatch -d d:\input *.EPS "quorvex -M default -o @2@.pdf @1@"

Usage of this software is entirely at your own risk.
)";

const std::string kWrongCount = "Spoolex: Wrong parameter count\n";
const std::string kTooLong = "Spoolex: Command is too long (the limit is 2047 bytes)\n";

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  int status;
};

class CommandLine : public ::testing::TestWithParam<CliCase> {};

// Every case runs in an empty folder, so no job is ever started.
TEST_P(CommandLine, PrintsAndExits) {
  const CliCase& c = GetParam();
  TempTree tree;
  const RunResult result = run(c.args, tree.root());
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, "");
}

const std::string kStart = kStartRun;

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        CliCase{"NoArguments", {}, kUsage, 1}, CliCase{"UsageBeforeAnyOption", {"-r"}, kUsage, 1},
        CliCase{"OperandsOnly", {"a", "b"}, kStart, 0},
        CliCase{"UnknownOptionEndsScan", {"-q", "a", "b"}, kWrongCount, 1},
        CliCase{"UnknownOptionIsPattern", {"-q", "b"}, kStart, 0},
        CliCase{"LoneDash", {"-", "a", "b"}, kWrongCount, 1},
        CliCase{"ColonIsNoOption", {"-:", "a", "b"}, kWrongCount, 1},
        CliCase{"OptionAfterOperands", {"a", "b", "-r"}, kWrongCount, 1},
        CliCase{"WindowsServiceOnLinux",
                {"-l", "-z", "in", "a", "b"},
                "Spoolex: Looping\nSpoolex: -z is for Windows services; here run hotbatch as a "
                "systemd service (see the README, \"Running as a service\")\n",
                1},
        CliCase{"OnlySecondCharacterCounts",
                {"-rl", "a", "b"},
                "Spoolex: Run recursively\n"
                "Warning: '-rl' is read as '-r'; give each option on its own\n" +
                    kStart,
                0},
        CliCase{"GluedValueIsIgnored",
                {"-ofile", "x", "a", "b"},
                "Spoolex: Log file is 'x'\n"
                "Warning: '-ofile' is read as '-o'; give each option on its own\n" +
                    kStart,
                0},
        CliCase{"EveryEchoInOrder",
                {"-E", "-o", "run.log", "-t", "@4@.ok", "-e", "err", "-s", "5", "-g", "0", "-r",
                 "a", "b"},
                "Spoolex: Will erase files after run! [Warning!]\n"
                "Spoolex: Log file is 'run.log'\n"
                "Spoolex: Single log file on success is '@4@.ok'\n"
                "Spoolex: Error folder is 'err'\n"
                "Spoolex: Wait time is 5 Sek\n"
                "Spoolex: Test time is 0 Sek\n"
                "Spoolex: Run recursively\n"
                "Warning: Error folder 'err' not found from the source folder\n" +
                    kStart,
                0},
        CliCase{
            "RetriesAndArchive",
            {"-b", "-2", "-a", "arch", "a", "b"},
            "Spoolex: Failed jobs tried again up to 0 times\nSpoolex: Archive folder is 'arch'\n"
            "Warning: Archive folder 'arch' not found from the source folder\n" +
                kStart,
            0},
        CliCase{"DoneFileTemplate",
                {"-f", "@4@.ok", "a", "b"},
                "Spoolex: Done file is '@4@.ok'\n" + kStart,
                0},
        CliCase{"RepeatedPlaceholderWarned",
                {"-t", "@5@.@5@.ok", "a", "x @2@ @1@ @2@"},
                "Spoolex: Single log file on success is '@5@.@5@.ok'\n"
                "Warning: '@2@' is used more than once in 'x @2@ @1@ @2@'; only the first is "
                "replaced\n"
                "Warning: '@5@' is used more than once in '@5@.@5@.ok'; only the first is "
                "replaced\n" +
                    kStart,
                0},
        CliCase{"DoneFileOfEveryFileRefused",
                {"-f", "@1@", "a", "b"},
                "Spoolex: Done file template '@1@' makes every file a done file\n",
                1},
        CliCase{
            "WaitRaisedToOne", {"-s", "0", "a", "b"}, "Spoolex: Wait time is 1 Sek\n" + kStart, 0},
        CliCase{
            "JobsClampedBelow", {"-j", "0", "a", "b"}, "Spoolex: Jobs at once: 1\n" + kStart, 0},
        CliCase{"JobsClampedAbove",
                {"-j", "1000", "a", "b"},
                "Spoolex: Jobs at once: 64\n" + kStart,
                0},
        CliCase{
            "TimeLimitBelowOneIsNone",
            {"-k", "-3", "-u", "a", "b"},
            "Spoolex: Time limit per job is 0 Sek\nSpoolex: Unchanged files run once\n" + kStart,
            0},
        CliCase{"NegativeTestTime",
                {"-g", "-5", "a", "b"},
                "Spoolex: Test time is 0 Sek\n" + kStart,
                0},
        CliCase{"LeadingDigitsOnly",
                {"-g", " +7x", "a", "b"},
                "Spoolex: Test time is 7 Sek\n" + kStart,
                0},
        CliCase{"ClampedHigh",
                {"-g", "99999999999", "a", "b"},
                "Spoolex: Test time is 2147483647 Sek\n" + kStart,
                0},
        CliCase{"ClampedLowThenRaised",
                {"-s", "-99999999999", "a", "b"},
                "Spoolex: Wait time is 1 Sek\n" + kStart,
                0},
        CliCase{"LaterValueWins",
                {"-g", "3", "-g", "0", "a", "b"},
                "Spoolex: Test time is 3 Sek\nSpoolex: Test time is 0 Sek\n" + kStart,
                0},
        CliCase{"MissingFolderStopsScan",
                {"-d", "nowhere", "-r", "a", "b"},
                "Spoolex: Cannot change to 'nowhere'!\n",
                1},
        CliCase{"FolderOptionLast",
                {"-r", "-d"},
                "Spoolex: Run recursively\nSpoolex: Cannot change to ''!\n",
                1},
        CliCase{"ValueOptionLast",
                {"-r", "-o"},
                "Spoolex: Run recursively\nSpoolex: Log file is ''\n" + kWrongCount,
                1},
        CliCase{"ArchiveInsideTheTree",
                {"-r", "-a", ".", "a", "b"},
                "Spoolex: Run recursively\nSpoolex: Archive folder is '.'\nSpoolex: Archive folder "
                "'.' is inside the source tree, whose files -r would run again\n",
                1},
        CliCase{"CommandTooLong", {"a", std::string(2048, 'x')}, kTooLong, 1}),
    [](const ::testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

// The limit is on the operand as given: 2047 bytes run, 2048 bytes run nothing.
TEST(CommandLength, LimitIsExact) {
  for (const std::size_t length : {std::size_t{2047}, std::size_t{2048}}) {
    SCOPED_TRACE(length);
    TempTree tree;
    tree.write("a.EPS", "x");
    std::string command = "touch ran #";
    command.resize(length, 'p');
    const RunResult result = run({"a.EPS", command}, tree.root());
    if (length == 2047) {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(after_start(result.out), found(tree.path("a.EPS")) + processed("a.EPS"));
      EXPECT_TRUE(tree.exists("ran"));
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, kTooLong);
      EXPECT_FALSE(tree.exists("ran"));
    }
  }
}

// Each -d is taken from the folder the previous one left; jobs run in the last one.
TEST(SourceFolder, RelativeFoldersChain) {
  TempTree tree;
  tree.write("x.EPS", "top");
  tree.write("sub/inner/x.EPS", "inner");
  const RunResult result =
      run({"-d", "sub", "-d", "inner", "-g", "0", "*.EPS", "true"}, tree.root());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(masked(result.out),
            "Spoolex: Source folder is 'sub'\nSpoolex: Source folder is 'inner'\n"
            "Spoolex: Test time is 0 Sek\n" +
                kStart + found(tree.path("sub/inner/x.EPS")) + processed("x.EPS"));
}

struct ZoneCase {
  const char* name;
  const char* tz;
  long offset_seconds;  // local time minus UTC
};

class TimeStamp : public ::testing::TestWithParam<ZoneCase> {};

// The suite itself runs in the "C" locale, so strftime gives the English month names.
std::string format_utc(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%b %d %H:%M:%S %Y", &parts);
  return text;
}

// The stamp is local time by TZ, with English month names whatever the locale asks for.
TEST_P(TimeStamp, ShowsLocalTime) {
  TempTree tree;
  tree.write("a.EPS", "x");
  const std::time_t before = std::time(nullptr);
  const RunResult result = run({"-g", "0", "a.EPS", "true"}, tree.root(),
                               {"TZ=" + std::string(GetParam().tz), "LC_ALL=de_DE.UTF-8"});
  const std::time_t after = std::time(nullptr);
  const std::string marker = " File found and under processing: ";
  const std::size_t at = result.out.find(marker);
  ASSERT_NE(at, std::string::npos) << result.out;
  ASSERT_GE(at, 20u);
  const std::string stamp = result.out.substr(at - 20, 20);
  bool matches = false;
  for (std::time_t t = before; t <= after; ++t) {
    matches = matches || stamp == format_utc(t + GetParam().offset_seconds);
  }
  EXPECT_TRUE(matches) << stamp << " is not " << format_utc(before + GetParam().offset_seconds);
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeStamp,
                         ::testing::Values(ZoneCase{"Utc", "UTC", 0},
                                           ZoneCase{"FiveHoursEast", "XYZ-5", 5 * 3600}),
                         [](const ::testing::TestParamInfo<ZoneCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace e2e
