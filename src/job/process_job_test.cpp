// Tests of copy_file, the one part of job handling that is not better seen end to end.
#include "job/process_job.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(CopyFile, CopiesEveryByteAndOverwrites) {
  std::string source = testing::TempDir() + "hotbatch_copy_source";
  std::string target = testing::TempDir() + "hotbatch_copy_target";
  std::string content;
  for (int i = 0; i < 10000; ++i) {
    content += static_cast<char>(i * 7);
  }
  write_file(source, content);
  write_file(target, "old and longer than nothing");
  EXPECT_EQ(copy_file(source, target), CopyResult::copied);
  EXPECT_EQ(read_file(target), content);

  write_file(source, "");
  EXPECT_EQ(copy_file(source, target), CopyResult::copied);
  EXPECT_EQ(read_file(target), "");
  std::remove(source.c_str());
  std::remove(target.c_str());
}

TEST(CopyFile, ReportsEachKindOfFailure) {
  std::string source = testing::TempDir() + "hotbatch_copy_failures";
  write_file(source, "data");
  EXPECT_EQ(copy_file(testing::TempDir() + "no-such-file", source), CopyResult::source_unopenable);
  EXPECT_EQ(copy_file(source, testing::TempDir() + "no-such-folder/x"),
            CopyResult::target_unopenable);
  // Copying a file onto itself would empty it first.
  EXPECT_EQ(copy_file(source, source), CopyResult::onto_itself);
  EXPECT_EQ(read_file(source), "data");
  std::remove(source.c_str());
}

TEST(CopyFile, ReadAndWriteErrorsAreNeverReportedAsCopied) {
  std::string source = testing::TempDir() + "hotbatch_copy_errors";
  write_file(source, std::string(10000, 'x'));
  if (std::ifstream("/dev/full").good()) {
    EXPECT_EQ(copy_file(source, "/dev/full"), CopyResult::short_write);
  }
  // A folder opens for reading on some systems, and then every read fails.
  CopyResult folder = copy_file(testing::TempDir(), source);
  EXPECT_TRUE(folder == CopyResult::read_error || folder == CopyResult::source_unopenable);
  std::remove(source.c_str());
}

}  // namespace
