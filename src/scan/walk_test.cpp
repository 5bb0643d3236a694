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
  // What the walk tells, entry after entry: a file taken by its path alone, the rest with their
  // verdicts (walked, not_matching, dot_folder, too_deep, folder_link, not_recursive).
  const char* names[] = {"", "=walked", "=other", "=dot", "=deep", "=link", "=flat"};
  struct Row {
    const char* what;
    bool recursive, every_entry;
    const char* look;  // a look at this folder alone; null: a pass
    const char* told;
  } rows[] = {
      {"a pass with -r", true, false, nullptr,
       " a.txt b.txt link=link sub=walked sub/d.txt sub/deeper=walked"},
      {"the dry run", true, true, nullptr,
       " .hidden=dot a.txt b.txt c.doc=other link=link sub=walked sub/d.txt sub/deeper=walked"},
      {"without -r", false, true, nullptr,
       " .hidden=flat a.txt b.txt c.doc=other link=flat sub=flat"},
      {"a look", true, false, "sub", " sub/d.txt"},
  };
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
    std::string told;
    WalkEntry entry;
    while (cursor.next(&entry)) {
      const int verdict = static_cast<int>(entry.verdict);
      told += " " + entry.full_path.substr(root.string().size() + 1) +
              (verdict < 7 ? names[verdict] : "=?");
    }
    EXPECT_EQ(told, row.told);
  }
  fs::remove_all(root);
}

}  // namespace
