// Tests of the time stamp format and the run log.
#include "log/run_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

TEST(Timestamp, FormatsMonthDayAndTimeWithLeadingZeros) {
  LocalTime t;
  t.year = 2007;
  t.month = 4;
  t.day = 30;
  t.hour = 14;
  t.minute = 5;
  t.second = 9;
  EXPECT_EQ(format_timestamp(t), "Apr 30 14:05:09 2007");
  t.month = 1;
  t.day = 2;
  t.hour = 0;
  t.minute = 0;
  t.second = 0;
  EXPECT_EQ(format_timestamp(t), "Jan 02 00:00:00 2007");
  t.month = 12;
  EXPECT_EQ(format_timestamp(t).substr(0, 3), "Dec");
}

TEST(Timestamp, NowHasTheFixedShape) {
  std::string now = timestamp_now();
  ASSERT_EQ(now.size(), 20u);
  EXPECT_EQ(now[3], ' ');
  EXPECT_EQ(now[6], ' ');
  EXPECT_EQ(now[9], ':');
  EXPECT_EQ(now[15], ' ');
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);  // text mode: the log ends lines the platform's way
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(RunLog, AppendsEntriesAndReportsWhenNotConfiguredOrUnwritable) {
  std::optional<std::string> log_path;
  EXPECT_EQ(write_log(Folder{}, log_path, "ignored"), LogNotConfigured);

  std::string path = testing::TempDir() + "hotbatch_run_log_test.log";
  std::remove(path.c_str());
  log_path = path;
  EXPECT_EQ(write_log(Folder{}, log_path, "first\n"), LogWritten);
  EXPECT_EQ(write_log(Folder{}, log_path, "second"), LogWritten);
  EXPECT_EQ(read_file(path), "first\n\nsecond\n");
  std::remove(path.c_str());

  log_path = testing::TempDir() + "no-such-folder/x/run.log";
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_log(Folder{}, log_path, "lost"), LogFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Spoolex: Unable to write Log '" + *log_path + "'!\n");
}

}  // namespace
