// Tests of the Win32 platform layer against the contracts of the platform headers, under Wine.
// The pure path and text rules it uses are tested on every platform (win_paths, wide_text).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/processes_internal.h"

namespace fs = std::filesystem;

namespace {

// Every test works in a fresh folder of its own, which is also the working folder, and open
// (`here_`) as the walk opens folders.
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
    ASSERT_TRUE(open_folder(root_, &here_));
  }
  void TearDown() override {
    close_folder(&here_);
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
  Folder here_;
};

TEST_F(Win32Platform, ListingHoldsEveryEntryWithItsKind) {
  write("b.txt", "b");
  FolderListing listing;
  ASSERT_TRUE(list_entries(here_, &listing));
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
  bool wrote = false;
  EXPECT_NE(probe_file(here_, "gone.txt", false, FileId{}, &wrote), Probe::free);
  EXPECT_FALSE(exists("gone.txt"));

  write("a.txt", "abc");
  EXPECT_EQ(probe_file(here_, "a.txt", false, FileId{}, &wrote), Probe::free);
  EXPECT_EQ(read("a.txt"), "abc");

  // A writer that shares only reading keeps the file from being ready.
  HANDLE writer =
      CreateFileA("a.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(probe_file(here_, "a.txt", false, FileId{}, &wrote), Probe::free);
  CloseHandle(writer);
  // So does one that shares writing too, and one that may delete it; a mere reader does not.
  writer = CreateFileA("a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(probe_file(here_, "a.txt", false, FileId{}, &wrote), Probe::free);
  CloseHandle(writer);
  writer = CreateFileA("a.txt", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(probe_file(here_, "a.txt", false, FileId{}, &wrote), Probe::free);
  CloseHandle(writer);
  HANDLE reader = CreateFileA("a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(probe_file(here_, "a.txt", false, FileId{}, &wrote), Probe::free);
  CloseHandle(reader);
  EXPECT_FALSE(writer_check_refused());

  write("locked.txt", "x");
  ASSERT_TRUE(SetFileAttributesA("locked.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(probe_file(here_, "locked.txt", false, FileId{}, &wrote), Probe::no_access);
}

TEST_F(Win32Platform, SubFoldersAreOpenedAndHeld) {
  write("a.txt", "a");
  Folder sub;
  ASSERT_EQ(open_sub_folder(here_, "sub", &sub), EnterResult::entered);
  EXPECT_EQ(sub.path, root_ + "\\sub");
  EXPECT_FALSE(MoveFileA("sub", "moved"));
  close_folder(&sub);
  close_folder(&sub);
  EXPECT_TRUE(MoveFileA("sub", "moved"));

  Folder none;
  EXPECT_EQ(open_sub_folder(here_, "a.txt", &none), EnterResult::refused);
  EXPECT_EQ(open_sub_folder(here_, "missing", &none), EnterResult::refused);
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
  Folder none;
  EXPECT_EQ(open_sub_folder(here_, "link", &none), EnterResult::refused);
}

TEST_F(Win32Platform, DeleteReportsWhetherTheFileWent) {
  Folder here;
  ASSERT_EQ(open_write_folder("", &here), FileResult::done);
  write("a.txt", "a");
  EXPECT_TRUE(delete_file(here, "a.txt"));
  EXPECT_FALSE(exists("a.txt"));
  EXPECT_FALSE(delete_file(here, "a.txt"));
  close_folder(&here);
}

// Files are written by path in a folder held open: while it is held, neither it nor a folder
// above it can be renamed away (and another put in its place).
TEST_F(Win32Platform, FolderIsHeldUntilClosed) {
  fs::create_directories(root_ + "\\sub\\deeper");
  Folder held;
  ASSERT_EQ(open_write_folder("sub\\deeper", &held), FileResult::done);
  EXPECT_FALSE(MoveFileA("sub", "moved"));
  EXPECT_FALSE(MoveFileA("sub\\deeper", "sub\\moved"));
  close_folder(&held);
  close_folder(&held);
  EXPECT_TRUE(MoveFileA("sub", "moved"));
  EXPECT_EQ(open_write_folder("sub", &held), FileResult::missing);
}

// Runs `command` in `folder` and waits for it: its result, or COMMAND_NOT_STARTED.
int run_in(const Folder& folder, const std::string& command) {
  RunningCommand running;
  int result = COMMAND_NOT_STARTED;
  if (start_command(command, {}, folder, FileHandle{}, &running)) {
    while (!command_ended(&running, &result)) {
      wait_for_commands({running}, {}, 1000, false);
    }
  }
  return result;
}

TEST_F(Win32Platform, CommandsRunThroughCmdInTheWorkingFolder) {
  EXPECT_EQ(run_in(here_, "exit /b 3"), 3);
  EXPECT_EQ(run_in(here_, "exit /b 300"), 300);
  EXPECT_NE(run_in(here_, "no-such-program-anywhere"), 0);
  // A command that starts with a quoted program keeps all of its quotes. (The program by its path:
  // once, under Wine, the test's environment lacked COMSPEC.)
  EXPECT_EQ(run_in(here_, "\"C:\\windows\\system32\\cmd.exe\" /c \"exit /b 6\""), 6);
  EXPECT_EQ(run_in(here_, "cd sub & echo hi>out.txt"), 0);
  EXPECT_EQ(read("sub\\out.txt"), "hi\r\n");
  // The interpreter's own shell state does not leak back into ours.
  std::string here;
  ASSERT_TRUE(get_working_folder(&here));
  EXPECT_EQ(here, root_);
  Folder sub;
  ASSERT_EQ(open_sub_folder(here_, "sub", &sub), EnterResult::entered);
  EXPECT_EQ(run_in(sub, "if exist out.txt (exit /b 4)"), 4);
  close_folder(&sub);
  // Neither AutoRun commands nor delayed expansion, which Wine's cmd.exe does not know.
  EXPECT_EQ(interpreter_line(L"C:\\cmd.exe", "echo !A!"),
            L"\"C:\\cmd.exe\" /d /v:off /s /c \"echo !A!\"");
}

// Reads the whole file through the platform's own functions.
std::string read_through(FileHandle file) {
  std::string content;
  char buffer[3];
  for (std::int64_t got; (got = read_file(file, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

TEST_F(Win32Platform, NewFilesArePublishedWithoutReplacingAndReadOnlyAsTheFileSeen) {
  Folder here;
  ASSERT_EQ(open_write_folder("", &here), FileResult::done);
  FileHandle out;
  ASSERT_EQ(create_new_file(here, "new.tmp", 0644, &out), FileResult::done);
  ASSERT_TRUE(write_file(out, "hello\r\n", 7));
  ASSERT_TRUE(close_file(&out));
  EXPECT_TRUE(close_file(&out));
  EXPECT_EQ(create_new_file(here, "new.tmp", 0644, &out), FileResult::exists);
  EXPECT_EQ(create_new_file(here, "missing\\x.tmp", 0644, &out), FileResult::missing);

  write("taken.txt", "old");
  EXPECT_EQ(publish_file(here, "new.tmp", "taken.txt", false), FileResult::exists);
  EXPECT_EQ(read("taken.txt"), "old");
  EXPECT_EQ(read("new.tmp"), "hello\r\n");
  ASSERT_EQ(publish_file(here, "new.tmp", "fresh.txt", false), FileResult::done);
  EXPECT_FALSE(exists("new.tmp"));
  EXPECT_EQ(publish_file(here, "fresh.txt", "taken.txt", true), FileResult::done);
  EXPECT_EQ(read("taken.txt"), "hello\r\n");
  EXPECT_EQ(publish_file(here, "gone.tmp", "other.txt", false), FileResult::missing);

  PathStatus status;
  ASSERT_TRUE(query_status("taken.txt", &status));
  EXPECT_TRUE(status.is_regular);
  EXPECT_FALSE(status.link_trusted);
  FileHandle in;
  ASSERT_EQ(open_for_reading(here_, "taken.txt", false, status.id, &in), FileResult::done);
  EXPECT_EQ(read_through(in), "hello\r\n");
  EXPECT_TRUE(close_file(&in));
  // Another file under the name is not the one the caller saw.
  write("other.txt", "x");
  PathStatus other;
  ASSERT_TRUE(query_status("other.txt", &other));
  EXPECT_NE(other.id, status.id);
  EXPECT_EQ(open_for_reading(here_, "other.txt", false, status.id, &in), FileResult::replaced);
  EXPECT_EQ(open_for_reading(here_, "none.txt", false, status.id, &in), FileResult::missing);
  EXPECT_EQ(process_number(), GetCurrentProcessId());
  EXPECT_STREQ(LINE_END, "\r\n");
  close_folder(&here);
}

TEST_F(Win32Platform, DeleteIfSameLeavesAnotherFileUnderTheName) {
  write("a.txt", "first");
  PathStatus first;
  ASSERT_TRUE(query_status("a.txt", &first));
  // The first file lives on elsewhere, so that the second cannot get its number.
  ASSERT_TRUE(MoveFileA("a.txt", "kept.txt"));
  write("b.txt", "second");
  ASSERT_TRUE(MoveFileA("b.txt", "a.txt"));
  EXPECT_EQ(delete_if_same(here_, "a.txt", first.id), FileResult::replaced);
  EXPECT_EQ(read("a.txt"), "second");
  PathStatus second;
  ASSERT_TRUE(query_status("a.txt", &second));
  EXPECT_EQ(delete_if_same(here_, "a.txt", second.id), FileResult::done);
  EXPECT_FALSE(exists("a.txt"));
  EXPECT_EQ(delete_if_same(here_, "a.txt", second.id), FileResult::missing);
  EXPECT_EQ(delete_if_same(here_, "sub", second.id), FileResult::replaced);
  EXPECT_TRUE(exists("sub"));
}

TEST_F(Win32Platform, AppendsCreateAndExtendTheFileAsGiven) {
  EXPECT_TRUE(append_to_file(here_, "log.txt", "one\r\n"));
  EXPECT_TRUE(append_to_file(here_, "log.txt", "two\n"));
  EXPECT_EQ(read("log.txt"), "one\r\ntwo\n");
  EXPECT_FALSE(append_to_file(here_, "missing\\log.txt", "x"));
  EXPECT_FALSE(append_to_file(here_, "sub", "x"));
  // A device name is the device, not a file (which names are devices: win_paths_test.cpp).
  EXPECT_TRUE(append_to_file(here_, "nul.txt", "x"));
  FolderListing listing;
  ASSERT_TRUE(list_entries(here_, &listing));
  EXPECT_EQ(listing.size(), 4u);  // ".", "..", "sub", "log.txt"
  // A file that merely has such a name (made by another system, say) is a file all the same.
  HANDLE named =
      CreateFileW((L"\\\\?\\" + std::wstring(root_.begin(), root_.end()) + L"\\nul.txt").c_str(),
                  GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(named, INVALID_HANDLE_VALUE);
  CloseHandle(named);
  PathStatus status;
  EXPECT_TRUE(query_status("nul.txt", &status));
  EXPECT_TRUE(status.is_regular);
  EXPECT_EQ(delete_if_same(here_, "nul.txt", status.id), FileResult::done);
}

// Names outside any code page, as UTF-8: a Greek and a CJK folder, and a character beyond the
// Basic Multilingual Plane (a surrogate pair in UTF-16).
TEST_F(Win32Platform, NamesTravelAsUtf8WhateverTheCodePage) {
  const std::string folder = "\xCE\xA9\xE6\x97\xA5\xF0\x9F\x98\x80";  // Omega, CJK "sun", U+1F600
  ASSERT_TRUE(CreateDirectoryW(L"\x03A9\x65E5\xD83D\xDE00", nullptr));
  Folder inside;
  ASSERT_EQ(open_sub_folder(here_, folder, &inside), EnterResult::entered);
  EXPECT_EQ(inside.path, root_ + "\\" + folder);
  ASSERT_TRUE(append_to_file(inside, "\xCE\xB1.txt", "alpha"));
  FolderListing listing;
  ASSERT_TRUE(list_entries(inside, &listing));
  ASSERT_EQ(listing.size(), 3u);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    names.push_back(listing.name(i));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.back(), "\xCE\xB1.txt");
  EXPECT_EQ(run_in(inside, "copy \"\xCE\xB1.txt\" \"\xF0\x9F\x98\x80.txt\" >NUL"), 0);
  PathStatus status;
  ASSERT_TRUE(query_status(root_ + "\\" + folder + "\\\xF0\x9F\x98\x80.txt", &status));
  EXPECT_EQ(status.size, 5u);
  close_folder(&inside);
}

// Far beyond the 260 characters of a plain path: every operation, and a command only where the
// system lets it start.
TEST_F(Win32Platform, FoldersOfAnyDepthWorkButCommandsStartOnlyInShortOnes) {
  const std::string part(60, 'd');
  EXPECT_TRUE(commands_can_start_in(here_));
  Folder deep;
  for (int level = 0; level < 20; ++level) {
    const Folder& parent = level == 0 ? here_ : deep;
    std::wstring wide_parent(parent.path.begin(), parent.path.end());
    ASSERT_TRUE(CreateDirectoryW(
        (L"\\\\?\\" + wide_parent + L"\\" + std::wstring(part.begin(), part.end())).c_str(),
        nullptr));
    Folder next;
    ASSERT_EQ(open_sub_folder(parent, part, &next), EnterResult::entered) << level;
    close_folder(&deep);
    deep = std::move(next);
  }
  const std::string here = deep.path;
  EXPECT_GT(here.size(), 1200u);
  EXPECT_FALSE(commands_can_start_in(deep));
  ASSERT_TRUE(append_to_file(deep, "deep.txt", "deep"));
  bool wrote = false;
  EXPECT_EQ(probe_file(deep, "deep.txt", false, FileId{}, &wrote), Probe::free);
  PathStatus status;
  ASSERT_TRUE(query_status(here + "\\deep.txt", &status));
  EXPECT_EQ(status.size, 4u);
  FolderListing listing;
  ASSERT_TRUE(list_entries(deep, &listing));
  EXPECT_EQ(listing.size(), 3u);
  EXPECT_EQ(delete_if_same(deep, "deep.txt", status.id), FileResult::done);
  // A command there would start elsewhere: it does not start at all.
  EXPECT_NE(run_in(deep, "exit /b 0"), 0);
  close_folder(&deep);
  // The tree goes from its bottom up (the library's removal knows no paths this long).
  std::wstring deepest = L"\\\\?\\" + std::wstring(here.begin(), here.end());
  for (int level = 0; level < 20; ++level) {
    EXPECT_TRUE(RemoveDirectoryW(deepest.c_str()));
    deepest.resize(deepest.rfind(L'\\'));
  }
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
