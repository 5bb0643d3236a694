// End-to-end tests of warnings that keep a looping run readable and of the fifth placeholder:
// unsafe names once per run and without settle time, an error folder missing as seen from the
// source folder, and @5@ in the command and the success-file template.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e_support.h"

namespace e2e {
namespace {

// A dozen unsafe names are warned about once each in a run of several passes, and they cost no
// settle time: with -g 2 the file beside them is handled twice well within the time limit
// (a settle per unsafe name would make each pass last more than 24 seconds).
TEST(Warnings, UnsafeNamesOncePerRunWithoutSettling) {
  TempTree tree;
  for (int i = 0; i < 12; ++i) {
    tree.write("in/bad$" + std::to_string(i) + ".pdf", "1");
  }
  tree.write("in/ok.pdf", "1");
  Process process({"-l", "-s", "1", "-g", "2", "-d", "in", "*.pdf", "test -f \"@1@\""},
                  tree.root());
  const bool two_passes = process.wait_for("Datei was processed: 'ok.pdf'", 2);
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  ASSERT_TRUE(two_passes) << result.out;
  EXPECT_EQ(result.status, 0);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(occurrences(result.out, unsafe(tree.path("in/bad$" + std::to_string(i) + ".pdf"))), 1)
        << i;
  }
  EXPECT_EQ(tree.list("in").size(), 13u);
}

// An error folder that does not exist as a folder seen from the source folder is named once at
// start-up, after every option's echo; the run goes on. A missing absolute one ends the start.
TEST(Warnings, MissingErrorFolderAtStartUp) {
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("err");
  tree.write("file", "not a folder");
  struct Case {
    std::string folder;
    bool warned;
  };
  const Case cases[] = {{"nowhere", true},           {"err", true}, {"../file", true},
                        {"../err", false},           {"..", false}, {tree.path("err"), false},
                        {tree.path("nowhere"), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const RunResult result =
        run({"-d", "in", "-e", c.folder, "-g", "0", "*.pdf", "true"}, tree.root());
    const bool ends = c.warned && c.folder[0] == '/';
    EXPECT_EQ(result.status, ends ? 1 : 0);
    EXPECT_EQ(result.out, "Spoolex: Source folder is 'in'\nSpoolex: Error folder is '" + c.folder +
                              "'\nSpoolex: Test time is 0 Sek\n" +
                              (ends       ? "Spoolex: Error folder '" + c.folder + "' not found\n"
                               : c.warned ? "Warning: Error folder '" + c.folder +
                                                "' not found from the source folder\n" + kStartRun
                                          : std::string(kStartRun)));
  }
}

// @5@ is the bare name without its last extension, in the command and in the success-file
// template; a leading dot starts no extension, and "@5@" inside an inserted value stays.
TEST(Placeholders, NameWithoutLastExtension) {
  TempTree tree;
  for (const char* name : {"scan.2024.eps", ".profile", "README", "trail.", "a@5@.eps"}) {
    tree.write("in/" + std::string(name), "1");
  }
  tree.mkdir("ok");
  const std::string seen = tree.path("seen");
  const RunResult result = run({"-g", "0", "-d", "in", "-t", tree.path("ok") + "/@5@.ok", "*",
                                "echo \"@1@|@5@\" >> " + seen},
                               tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string in = tree.path("in") + "/";
  EXPECT_EQ(tree.read("seen"), in + ".profile|.profile\n" + in + "README|README\n" + in +
                                   "a@5@.eps|a@5@\n" + in + "scan.2024.eps|scan.2024\n" + in +
                                   "trail.|trail\n");
  EXPECT_EQ(tree.list("ok"), (std::vector<std::string>{".profile.ok", "README.ok", "a@5@.ok",
                                                       "scan.2024.ok", "trail.ok"}));
  EXPECT_EQ(tree.read("ok/scan.2024.ok"), "'scan' - ok\n");
}

}  // namespace
}  // namespace e2e
