// Tests of the Win32 platform layer against the contracts of platform.h, run under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// Every test works in a fresh folder of its own, which is also the working folder.
class Win32Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(get_working_folder(&start_));
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    root_ = std::string(temp) + "hotbatch-" + std::to_string(GetCurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(root_);
    fs::create_directories(root_ + "\\sub");
    ASSERT_TRUE(change_working_folder(root_));
  }
  void TearDown() override {
    change_working_folder(start_);
    SetFileAttributesA((root_ + "\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static void write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  static std::string read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool exists(const std::string& name) {
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  std::string start_;
  std::string root_;
};

TEST_F(Win32Platform, ListingHoldsEveryEntryWithItsKind) {
  write("b.txt", "b");
  FolderListing listing;
  ASSERT_TRUE(list_working_folder(&listing));
  auto hint = [&](const std::string& name) {
    for (std::size_t i = 0; i < listing.size(); ++i) {
      if (name == listing.name(i)) {
        return static_cast<int>(listing.hints[i]);
      }
    }
    return -1;
  };
  EXPECT_EQ(listing.size(), 4u);
  EXPECT_EQ(hint("."), static_cast<int>(EntryHint::folder));
  EXPECT_EQ(hint(".."), static_cast<int>(EntryHint::folder));
  EXPECT_EQ(hint("sub"), static_cast<int>(EntryHint::folder));
  EXPECT_EQ(hint("b.txt"), static_cast<int>(EntryHint::file));
}

TEST_F(Win32Platform, StatusGivesKindAndSizesBeyondFourGigabytes) {
  // A sparse file: the size needs the high half of the 64-bit count.
  HANDLE file = CreateFileA("big.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = (1LL << 32) + 3;
  ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);

  PathStatus status;
  ASSERT_TRUE(query_status("big.bin", &status));
  EXPECT_FALSE(status.is_folder);
  EXPECT_FALSE(status.is_link);
  EXPECT_EQ(status.size, (1ULL << 32) + 3);
  DeleteFileA("big.bin");

  ASSERT_TRUE(query_status("sub", &status));
  EXPECT_TRUE(status.is_folder);
  EXPECT_EQ(status.size, 0u);
  EXPECT_FALSE(query_status("missing.txt", &status));
}

TEST_F(Win32Platform, ReadinessProbeNeverCreatesNorWritesAndFailsWhileAWriterLocksOthersOut) {
  EXPECT_FALSE(try_open_for_append("gone.txt"));
  EXPECT_FALSE(exists("gone.txt"));

  write("a.txt", "abc");
  EXPECT_TRUE(try_open_for_append("a.txt"));
  EXPECT_EQ(read("a.txt"), "abc");

  // A writer that shares only reading keeps the file from being ready.
  HANDLE writer =
      CreateFileA("a.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(try_open_for_append("a.txt"));
  CloseHandle(writer);
  // One that shares writing too does not.
  writer = CreateFileA("a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(try_open_for_append("a.txt"));
  CloseHandle(writer);

  write("locked.txt", "x");
  ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(try_open_for_append("locked.txt"));
}

TEST_F(Win32Platform, SameFileSeesThroughSpellingsOfOnePath) {
  write("a.txt", "a");
  write("b.txt", "b");
  EXPECT_TRUE(same_file("a.txt", root_ + "\\a.txt"));
  EXPECT_TRUE(same_file("a.txt", ".\\sub\\..\\A.TXT"));
  EXPECT_FALSE(same_file("a.txt", "b.txt"));
  EXPECT_FALSE(same_file("a.txt", "missing.txt"));
  EXPECT_FALSE(same_file("missing.txt", "missing.txt"));
}

TEST_F(Win32Platform, FoldersAreEnteredAndLeftByMark) {
  write("a.txt", "a");
  FolderMark mark;
  ASSERT_TRUE(mark_working_folder(&mark));
  ASSERT_TRUE(enter_sub_folder("sub"));
  std::string inside;
  ASSERT_TRUE(get_working_folder(&inside));
  EXPECT_EQ(inside, root_ + "\\sub");
  ASSERT_TRUE(return_to_mark(mark));
  release_mark(&mark);
  release_mark(&mark);

  // Refusals leave the working folder where it was.
  EXPECT_FALSE(enter_sub_folder("a.txt"));
  EXPECT_FALSE(enter_sub_folder("missing"));
  EXPECT_FALSE(change_working_folder(""));
  EXPECT_FALSE(change_working_folder(root_ + "\\missing"));
  std::string here;
  ASSERT_TRUE(get_working_folder(&here));
  EXPECT_EQ(here, root_);
}

TEST_F(Win32Platform, SymbolicLinkToFolderIsNeverEntered) {
  // Wine reports success without making the link; the end-to-end suite covers its links.
  if (!CreateSymbolicLinkA("link", "sub", SYMBOLIC_LINK_FLAG_DIRECTORY) || !exists("link")) {
    GTEST_SKIP() << "no symbolic links here";
  }
  PathStatus status;
  ASSERT_TRUE(query_status("link", &status));
  EXPECT_TRUE(status.is_link);
  EXPECT_TRUE(status.is_folder);
  EXPECT_FALSE(enter_sub_folder("link"));
  std::string here;
  ASSERT_TRUE(get_working_folder(&here));
  EXPECT_EQ(here, root_);
}

TEST_F(Win32Platform, DeleteReportsWhetherTheFileWent) {
  write("a.txt", "a");
  EXPECT_TRUE(delete_file("a.txt"));
  EXPECT_FALSE(exists("a.txt"));
  EXPECT_FALSE(delete_file("a.txt"));
}

TEST_F(Win32Platform, CommandsRunThroughCmdInTheWorkingFolder) {
  EXPECT_EQ(run_command("exit /b 3"), 3);
  EXPECT_EQ(run_command("exit /b 300"), 300);
  EXPECT_NE(run_command("no-such-program-anywhere"), 0);
  // A command that starts with a quoted program keeps all of its quotes.
  EXPECT_EQ(run_command("\"%COMSPEC%\" /c \"exit /b 6\""), 6);
  EXPECT_EQ(run_command("cd sub & echo hi>out.txt"), 0);
  EXPECT_EQ(read("sub\\out.txt"), "hi\r\n");
  // The interpreter's own shell state does not leak back into ours.
  std::string here;
  ASSERT_TRUE(get_working_folder(&here));
  EXPECT_EQ(here, root_);
}

TEST_F(Win32Platform, LocalTimeHonoursTheTimeZoneVariable) {
  LocalTime utc;
  LocalTime east;
  _putenv("TZ=UTC0");
  ASSERT_TRUE(local_time_now(&utc));
  _putenv("TZ=EST5");
  ASSERT_TRUE(local_time_now(&east));
  _putenv("TZ=");
  int utc_minutes = utc.hour * 60 + utc.minute;
  int east_minutes = east.hour * 60 + east.minute;
  int behind = ((utc_minutes - east_minutes) % 1440 + 1440) % 1440;
  // Five hours, one minute more if the clock turned a minute between the two readings.
  EXPECT_TRUE(behind == 300 || behind == 299) << behind;
  EXPECT_GE(utc.month, 1);
  EXPECT_LE(utc.month, 12);
  EXPECT_GE(utc.weekday, 0);
  EXPECT_LE(utc.weekday, 6);
  EXPECT_GE(utc.year, 2020);
}

}  // namespace
