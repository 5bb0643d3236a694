#include "scan/changes.h"

#include <gtest/gtest.h>

#include "job/process_job.h"
#include "scan/walk.h"

namespace {

// A change of `name` in `folder`: a folder when `is_folder`; "!" lost changes, "^" the source back.
FolderChange change(const std::string& folder, const std::string& name, bool is_folder = false) {
  FolderChange made{folder, name, is_folder, name == "!", name == "^"};
  if (made.overflow || made.returned) {
    made.name.clear();
  }
  return made;
}

TEST(Looks, EachChangeIsLookedAtWhereItHappened) {
  const std::string sub = std::string("a") + PATH_SEPARATOR + "b";
  struct Row {
    std::vector<FolderChange> changes;
    std::map<std::string, bool> folders;
    bool full_pass;
  } rows[] = {
      {{change("a", "x.job"), change("", "y.job")}, {{"a", false}, {"", false}}, false},
      {{change("a", "x.txt"), change("a", ".hotbatch-1-2.tmp")}, {}, false},
      {{change("a", "b", true), change(sub, "x.job")}, {{sub, true}}, false},  // walked whole
      {{change("a", ".git", true)}, {}, false},
      {{change("a", "x.EPS.done")}, {{"a", false}}, false},
      {{change("a", "x.job"), change("", "!")}, {{"a", false}}, true},
      {{change("", "^")}, {}, true},
  };
  WalkSettings walk{"*.job", true, true};
  JobSettings job;
  job.done_template = "@1@.done";
  for (const Row& row : rows) {
    Looks looks;
    plan_looks(walk, job, row.changes, &looks);
    EXPECT_EQ(looks.folders, row.folders) << row.changes[0].name;
    EXPECT_EQ(looks.full_pass, row.full_pass) << row.changes[0].name;
  }
  // Without -r a new folder is nothing to look at; past MAX_LOOKS folders a full pass is cheaper.
  walk.recursive = false;
  std::vector<FolderChange> many = {change("", "new", true)};
  for (std::size_t i = 0; i <= MAX_LOOKS; ++i) {
    many.push_back(change("f" + std::to_string(i), "x.job"));
  }
  Looks looks;
  plan_looks(walk, job, {many[0]}, &looks);
  EXPECT_TRUE(looks.folders.empty());
  plan_looks(walk, job, many, &looks);
  EXPECT_TRUE(looks.folders.empty() && looks.full_pass);
}

}  // namespace
