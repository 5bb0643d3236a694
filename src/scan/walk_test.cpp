// The walk's order and rules over a real folder tree, entry by entry.
#include "scan/walk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(WalkCursor, OrderAndVerdictOfEachEntry) {
#ifdef _WIN32
  GTEST_SKIP() << "links to folders need rights that a test run may not have";
#endif
  const fs::path root = fs::path(::testing::TempDir()) / "hotbatch-walk-test";
  fs::remove_all(root);
  for (const char* folder : {".hidden", "sub/deeper"}) {
    fs::create_directories(root / folder);
  }
  for (const char* file : {"b.txt", "a.txt", "c.doc", ".hidden/x.txt", "sub/d.txt"}) {
    std::ofstream(root / file) << "1";
  }
  fs::create_directory_symlink(root / "sub", root / "link");
  struct Row {
    const char* what;
    bool recursive, every_entry;
    const char* look;  // a look at this folder alone; null: a pass
    std::vector<std::string> told;
  } rows[] = {
      {"a pass with -r",
       true,
       false,
       nullptr,
       {"a.txt +", "b.txt +", "link folder_link", "sub walked", "sub/d.txt +",
        "sub/deeper walked"}},
      {"the dry run",
       true,
       true,
       nullptr,
       {".hidden dot_folder", "a.txt +", "b.txt +", "c.doc not_matching", "link folder_link",
        "sub walked", "sub/d.txt +", "sub/deeper walked"}},
      {"without -r",
       false,
       true,
       nullptr,
       {".hidden not_recursive", "a.txt +", "b.txt +", "c.doc not_matching", "link not_recursive",
        "sub not_recursive"}},
      {"a look", true, false, "sub", {"sub/d.txt +"}},
  };
  const char* names[] = {"+",        "walked",      "not_matching", "dot_folder",
                         "too_deep", "folder_link", "not_recursive"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const WalkSettings settings{"*.txt", row.recursive, false};
    const JobSettings job;
    SaidOnce said;
    const WalkRules rules{job, false, &said, row.every_entry};
    WalkCursor cursor;
    Folder top;
    if (row.look != nullptr) {
      ASSERT_TRUE(look_at_folder(settings, rules, root.string(), row.look, false, &cursor));
    } else {
      ASSERT_TRUE(open_folder(root.string(), &top));
      top.path = root.string();
      cursor = WalkCursor(settings, rules, &top, 0, "", true);
    }
    std::vector<std::string> told;
    WalkEntry entry;
    while (cursor.next(&entry)) {
      const int verdict = static_cast<int>(entry.verdict);
      told.push_back(entry.full_path.substr(root.string().size() + 1) + " " +
                     (verdict < 7 ? names[verdict] : "?"));
    }
    EXPECT_EQ(told, row.told);
  }
  fs::remove_all(root);
}

}  // namespace
