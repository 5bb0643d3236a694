#include "job/done_file.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

// Paths of this platform: "/in/a.EPS" becomes "C:\in\a.EPS" on Windows.
std::string native(std::string path) {
  if (PATH_SEPARATOR == '\\' && !path.empty() && path[0] == '/') {
    path = "C:" + path;
  }
  for (char& c : path) {
    c = c == '/' ? PATH_SEPARATOR : c;
  }
  return path;
}

TEST(DoneFile, TemplatesAsPatterns) {
  struct Row {
    const char* text;
    const char* path;
    bool fits;
  } rows[] = {
      {"@1@.done", "/in/a.EPS.done", true},
      {"@1@.done", "/in/a.EPS", false},
      {"@1@.done", "/in/.done", true},  // the file ".": a done file of no real file, still none
      {"@4@.ok", "/in/sub/a.ok", true},
      {"@2@.done", "/in/a.done", true},
      {"@2@.done", "/in/a.b.done", false},  // @2@ ends at the first dot
      {"done/@5@", "/in/done/a", true},     // relative: in any folder
      {"/flags/@2@", "/in/a", false},       // absolute: in that folder alone
      {"/flags/@2@", "/flags/a", true},
      {"@1@.@1@", "/in/a.@1@", true},  // only the first of a placeholder is one
      {"@1@.@1@", "/in/a.b", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(fits_done_file(native(row.text), native(row.path)), row.fits)
        << row.text << " " << row.path;
  }
  for (const char* every : {"", "@1@", "@2@", "@4@@3@"}) {
    EXPECT_TRUE(takes_every_file(native(every))) << every;
  }
  EXPECT_FALSE(takes_every_file("@1@.done") || takes_every_file("/@2@"));
}

TEST(DoneFile, DoneFileInItsOwnFolderIsABareName) {
  const JobNames names = make_job_names(native("/in"), "a.EPS");
  EXPECT_EQ(done_file_of("@1@.done", names), "a.EPS.done");
  EXPECT_EQ(done_file_of("@4@.ok", names), "a.ok");
  EXPECT_EQ(done_file_of(native("@1@/x"), names), native("/in/a.EPS/x"));
  EXPECT_EQ(done_file_of(native("/flags/@2@"), names), native("/flags/a"));
  EXPECT_EQ(done_file_of(std::string(COMMAND_CAPACITY, 'x') + "@1@", names), "");
}

}  // namespace
