// Tests of the error copy and the success file, the parts of job handling that are not better
// seen end to end: whole or absent, never replacing, never through a link.
#include "job/process_job.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "job/claim.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh folder as the working folder for one test; the old one comes back at the end.
class InFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(get_working_folder(&previous_));
    static int serial = 0;
    folder_ = (fs::temp_directory_path() / ("hotbatch_job_" + std::to_string(process_number()) +
                                            "_" + std::to_string(++serial)))
                  .string();
    fs::remove_all(folder_);
    fs::create_directories(fs::path(folder_) / "errors");
    ASSERT_TRUE(change_working_folder(folder_));
    Folder opened;
    ASSERT_TRUE(open_folder(folder_, &opened));
    here_ = share_folder(&opened);
  }
  void TearDown() override {
    here_.reset();
    change_working_folder(previous_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  // Plants a symbolic link; false where the system does not let us.
  static bool link(const std::string& target, const std::string& name) {
    std::error_code error;
    fs::create_symlink(target, name, error);
    return !error;
  }
  static std::size_t entries(const std::string& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  }
  CopyMemory copies_;  // the copies this "run" made
  SaidOnce said_;
  // The file `name` as the readiness test would hand it over.
  ReadyFile ready(const std::string& name) {
    PathStatus status;
    EXPECT_TRUE(query_status(*here_, name, &status));
    return ready_file(here_, name, status);
  }
  std::shared_ptr<const Folder> here_;  // the test's folder, as the walk opens it
  std::string previous_;
  std::string folder_;
};

TEST(NumberedName, GoesBeforeTheLastExtension) {
  EXPECT_EQ(numbered_name("a.EPS", 2), "a~2.EPS");
  EXPECT_EQ(numbered_name("scan.2024.eps", 3), "scan.2024~3.eps");
  EXPECT_EQ(numbered_name("report", 2), "report~2");
  EXPECT_EQ(numbered_name(".profile", 2), ".profile~2");
  EXPECT_EQ(numbered_name("trail.", 12), "trail~12.");
}

// Every byte arrives, an older copy is never replaced, and nothing but the copies is left in the
// folder (no temporary file).
TEST_F(InFolder, CopiesWholeUnderTheFirstFreeName) {
  std::string content;
  for (int i = 0; i < 200000; ++i) {
    content += static_cast<char>(i * 7);
  }
  write_text("a.EPS", content);
  fs::permissions("a.EPS", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  write_text("errors/a.EPS", "older copy");
  write_text("errors/a~2.EPS", "second older copy");
  std::string stored;
  ASSERT_EQ(copy_into_folder(ready("a.EPS"), "errors", &copies_, &stored), CopyResult::copied);
  EXPECT_EQ(stored, "a~3.EPS");
  EXPECT_EQ(read_text("errors/a~3.EPS"), content);
  EXPECT_EQ(read_text("errors/a.EPS"), "older copy");
  EXPECT_EQ(read_text("errors/a~2.EPS"), "second older copy");
  if (PATH_SEPARATOR == '/') {
    EXPECT_EQ(fs::status("errors/a~3.EPS").permissions(), fs::status("a.EPS").permissions());
  }
  EXPECT_EQ(entries("errors"), 3u);
}

// A planted link in the error folder is a taken name, never a way out.
TEST_F(InFolder, NeverWritesThroughALink) {
  write_text("a.EPS", "payload");
  write_text("important", "keep me");
  if (!link(folder_ + "/important", "errors/a.EPS")) {
    GTEST_SKIP() << "no symbolic links here";
  }
  std::string stored;
  ASSERT_EQ(copy_into_folder(ready("a.EPS"), "errors", &copies_, &stored), CopyResult::copied);
  EXPECT_EQ(stored, "a~2.EPS");
  EXPECT_EQ(read_text("important"), "keep me");
  EXPECT_EQ(read_text("errors/a~2.EPS"), "payload");
}

// The copy acts only on the file that was tested: one swapped in under its name, or a link where
// a plain file was, is refused.
TEST_F(InFolder, RefusesAFileSwappedInMeanwhile) {
  write_text("a.EPS", "tested");
  ReadyFile tested = ready("a.EPS");
  write_text("other", "secret");
  // Removed first: a rename onto an existing name fails on Windows.
  ASSERT_EQ(std::remove("a.EPS"), 0);
  ASSERT_EQ(std::rename("other", "a.EPS"), 0);
  std::string stored;
  EXPECT_EQ(copy_into_folder(tested, "errors", &copies_, &stored), CopyResult::replaced);

  write_text("b.EPS", "tested");
  ReadyFile plain = ready("b.EPS");
  write_text("secret", "secret");
  ASSERT_EQ(std::remove("b.EPS"), 0);
  if (link("secret", "b.EPS")) {
    EXPECT_EQ(copy_into_folder(plain, "errors", &copies_, &stored), CopyResult::replaced);
  }
  EXPECT_EQ(entries("errors"), 0u);
}

TEST_F(InFolder, FailuresLeaveNothingBehind) {
  write_text("a.EPS", "data");
  std::string stored;
  EXPECT_EQ(copy_into_folder(ready("a.EPS"), "no-such-folder", &copies_, &stored),
            CopyResult::target_unopenable);
  ReadyFile gone = ready("a.EPS");
  gone.name = gone.path = "missing.EPS";
  EXPECT_EQ(copy_into_folder(gone, "errors", &copies_, &stored), CopyResult::source_unopenable);
  EXPECT_EQ(entries("errors"), 0u);
  EXPECT_EQ(read_text("a.EPS"), "data");
}

// What arrives in the work folder must be the file tested, else it goes back and no command gets
// it; either way it is back, and the work folder empty, once the claim is settled.
TEST_F(InFolder, ClaimChecksWhatArrived) {
  write_text("a.EPS", "data");
  write_text("other", "x");
  fs::create_directory("work");
  fs::permissions("work", fs::perms::owner_all);
  WorkFolder work;
  const Folder& here = *here_;
  ASSERT_TRUE(open_work_folder(folder_ + PATH_SEPARATOR + "work", &work));
  for (const std::string tested : {"other", "a.EPS"}) {
    Claim claim;
    EXPECT_EQ(claim_file(&work, here, folder_, "a.EPS", ready(tested).id, &said_, &claim),
              tested == "a.EPS" ? ClaimResult::claimed : ClaimResult::replaced);
    settle_claim(&work, here, "a.EPS", folder_ + PATH_SEPARATOR + "a.EPS", &said_, &claim);
    EXPECT_EQ(read_text("a.EPS"), "data");
    EXPECT_EQ(entries("work"), 0u);
  }
  close_folder(&work.folder);
}

// The success file replaces an older one, and a planted link is replaced, not followed.
TEST_F(InFolder, SuccessFileReplacesAndNeverFollows) {
  write_text("important", "keep me");
  if (link("important", "x.ok")) {
    ASSERT_TRUE(write_whole_file(*here_, "x.ok", "'x' - ok\n"));
    EXPECT_EQ(read_text("x.ok"), "'x' - ok\n");
    EXPECT_EQ(read_text("important"), "keep me");
    EXPECT_FALSE(fs::is_symlink("x.ok"));
  }
  ASSERT_TRUE(write_whole_file(
      *here_, folder_ + PATH_SEPARATOR + "errors" + PATH_SEPARATOR + "y.ok", "first\n"));
  ASSERT_TRUE(write_whole_file(*here_, "errors/y.ok", "second\n"));
  EXPECT_EQ(read_text("errors/y.ok"), "second\n");
  EXPECT_FALSE(write_whole_file(*here_, "no-such-folder/z.ok", "x\n"));
  EXPECT_FALSE(write_whole_file(*here_, "errors", "a folder is no file\n"));
  // A device named as the success file is written as it is, and stays what it is.
  if (PATH_SEPARATOR == '/' && fs::exists("/dev/null")) {
    EXPECT_TRUE(write_whole_file(*here_, "/dev/null", "x\n"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
  }
  // No temporary file is left anywhere.
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    EXPECT_EQ(entry.path().filename().string().rfind(".hotbatch-", 0), std::string::npos);
  }
  EXPECT_EQ(entries("errors"), 1u);
}

}  // namespace
