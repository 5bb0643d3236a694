#include "scan/changes.h"

#include <gtest/gtest.h>

#include "job/process_job.h"
#include "scan/walk.h"

namespace {

FolderChange file(const std::string& folder, const std::string& name) {
  FolderChange change;
  change.folder = folder;
  change.name = name;
  return change;
}

FolderChange folder(const std::string& in, const std::string& name) {
  FolderChange change = file(in, name);
  change.is_folder = true;
  return change;
}

TEST(Looks, EachChangeIsLookedAtWhereItHappened) {
  const std::string sub = std::string("a") + PATH_SEPARATOR + "b";
  FolderChange lost;
  lost.overflow = true;
  FolderChange back;
  back.returned = true;
  struct Row {
    const char* what;
    std::vector<FolderChange> changes;
    std::map<std::string, bool> folders;
    bool full_pass;
  } rows[] = {
      {"a file in its folder alone",
       {file("a", "x.job"), file("", "y.job")},
       {{"a", false}, {"", false}},
       false},
      {"names that no pass takes", {file("a", "x.txt"), file("a", ".hotbatch-1-2.tmp")}, {}, false},
      {"a new folder walked whole", {folder("a", "b"), file(sub, "x.job")}, {{sub, true}}, false},
      {"folders the walk passes over", {folder("a", ".git")}, {}, false},
      {"a done file", {file("a", "x.EPS.done")}, {{"a", false}}, false},
      {"lost changes", {file("a", "x.job"), lost}, {{"a", false}}, true},
      {"the source folder back", {back}, {}, true},
  };
  WalkSettings walk;
  walk.pattern = "*.job";
  walk.recursive = true;
  JobSettings job;
  job.done_template = "@1@.done";
  for (const Row& row : rows) {
    Looks looks;
    plan_looks(walk, job, row.changes, &looks);
    EXPECT_EQ(looks.folders, row.folders) << row.what;
    EXPECT_EQ(looks.full_pass, row.full_pass) << row.what;
  }
  // Without -r a new folder is nothing to look at; past MAX_LOOKS folders a full pass is cheaper.
  walk.recursive = false;
  Looks looks;
  std::vector<FolderChange> many = {folder("", "new")};
  for (std::size_t i = 0; i <= MAX_LOOKS; ++i) {
    many.push_back(file("f" + std::to_string(i), "x.job"));
  }
  plan_looks(walk, job, {folder("", "new")}, &looks);
  EXPECT_TRUE(looks.folders.empty());
  plan_looks(walk, job, many, &looks);
  EXPECT_TRUE(looks.folders.empty());
  EXPECT_TRUE(looks.full_pass);
}

}  // namespace
