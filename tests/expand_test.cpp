// End-to-end tests of what commands receive: placeholder values, expansion limits, unsafe names.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e_support.h"

namespace e2e {
namespace {

// The four values for awkward names, seen by a real command. A value holding "@2@" is not
// searched again, and a '.' in a folder name is never taken for an extension.
TEST(Placeholders, ValuesReachTheCommand) {
  TempTree tree;
  for (const char* name :
       {"in/.profile", "in/README", "in/a.b.EPS", "in/in.box/x", "in/x@2@.EPS"}) {
    tree.write(name, "1");
  }
  const std::string values = tree.path("values.txt");
  const RunResult result =
      run({"-g", "0", "-r", "-d", "in", "*",
           "printf '%s|%s|%s|%s\\n' \"@1@\" \"@2@\" \"@3@\" \"@4@\" >> " + values},
          tree.root());
  EXPECT_EQ(result.status, 0);
  const std::string in = tree.path("in");
  EXPECT_EQ(tree.read("values.txt"), in + "/.profile||profile|" + in + "/\n" +  //
                                         in + "/README|README||" + in + "/README\n" + in +
                                         "/a.b.EPS|a|b.EPS|" + in + "/a.b\n" + in +
                                         "/in.box/x|x||" + in + "/in.box/x\n" + in +
                                         "/x@2@.EPS|x@2@|EPS|" + in + "/x@2@\n");
}

// Only the first occurrence of a placeholder is replaced, and only when the command still fits
// in 2047 bytes; otherwise the command is not run at all (a placeholder left in it would reach
// the program as text) and the file stays, with a warning.
TEST(Placeholders, FirstOccurrenceAndCapacity) {
  TempTree tree;
  tree.write("a.EPS", "1");
  const std::string full = tree.path("a.EPS");
  auto padded = [&](std::size_t expanded_length) {
    std::string command = "echo @1@ > o.txt #";
    command.resize(expanded_length + 3 - full.size(), 'p');
    return command;
  };
  struct Case {
    std::string command;
    std::string written;
  };
  for (const Case& c : {Case{"echo @2@ @2@ > o.txt", "a @2@\n"}, Case{padded(2047), full + "\n"},
                        Case{padded(2048), ""}}) {
    SCOPED_TRACE(c.command.size());
    tree.write("a.EPS", "1");
    std::remove(tree.path("o.txt").c_str());
    const RunResult result = run({"-g", "0", "-E", "a.EPS", c.command}, tree.root());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(tree.read("o.txt"), c.written);
    if (c.written.empty()) {
      EXPECT_EQ(after_start(result.out),
                "Warning: Path too long for the command, file skipped: '" + full + "'\n");
      EXPECT_EQ(tree.read("a.EPS"), "1");
    }
  }
}

// Names that could break out of double quotes, or hold control bytes, are never handed to a
// command: a warning with the full path (control bytes as '?') and nothing else happens. A
// single quote or a blank is fine.
TEST(UnsafeNames, AreSkippedWithAWarning) {
  TempTree tree;
  const std::vector<std::string> unsafe_names = {"a\"b.job", "c$d.job",    "e`f.job",
                                                 "g\\h.job", "i\x01j.job", "k\x7fl.job",
                                                 "m\nn.job", "s$ub/f.job"};
  for (const std::string& name : unsafe_names) {
    tree.write("in/" + name, "1");
  }
  tree.write("in/it's one.job", "1");
  tree.mkdir("errors");
  const RunResult result = run({"-g", "0", "-r", "-E", "-e", tree.path("errors"), "-o", "run.log",
                                "-d", "in", "*.job", "echo \"@2@\" >> " + tree.path("ran.txt")},
                               tree.root());
  const std::string in = tree.path("in") + "/";
  const std::string safe = in + "it's one.job";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_start(result.out),
            unsafe(in + "a\"b.job") + unsafe(in + "c$d.job") + unsafe(in + "e`f.job") +
                unsafe(in + "g\\h.job") + unsafe(in + "i?j.job") + found(safe) +
                processed("it's one.job") + erased(safe) + unsafe(in + "k?l.job") +
                unsafe(in + "m?n.job") + unsafe(in + "s$ub/f.job"));
  EXPECT_EQ(tree.read("ran.txt"), "it's one\n");
  EXPECT_EQ(masked(tree.read("in/run.log")), processed("it's one.job") + "\n");
  for (const std::string& name : unsafe_names) {
    EXPECT_TRUE(tree.exists("in/" + name)) << name;
  }
  EXPECT_TRUE(tree.list("errors").empty());
  EXPECT_FALSE(tree.exists("in/s$ub/run.log"));
}

}  // namespace
}  // namespace e2e
