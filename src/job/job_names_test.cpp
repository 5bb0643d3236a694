// Tests of the placeholder values and template expansion.
#include "job/job_names.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

// Writes a path with '/' and turns it into the platform's separators.
std::string native(std::string path) {
  for (char& c : path) {
    if (c == '/') {
      c = PATH_SEPARATOR;
    }
  }
  return path;
}

TEST(JobNames, SplitsAtTheFirstDotAndCutsTheLastExtension) {
  const struct {
    const char* folder;
    const char* name;
    const char* base;
    const char* extension;
    const char* no_ext;
  } cases[] = {
      {"/in", "x.EPS", "x", "EPS", "/in/x"},         {"/in", "a.b.EPS", "a", "b.EPS", "/in/a.b"},
      {"/in", "README", "README", "", "/in/README"}, {"/in", ".profile", "", "profile", "/in/"},
      {"/in.box", "x", "x", "", "/in.box/x"},        {"/", "x.txt", "x", "txt", "//x"},
  };
  for (const auto& c : cases) {
    JobNames names = make_job_names(native(c.folder), c.name);
    EXPECT_EQ(names.full_path, native(c.folder) + PATH_SEPARATOR + c.name);
    EXPECT_EQ(names.base, c.base) << c.name;
    EXPECT_EQ(names.extension, c.extension) << c.name;
    EXPECT_EQ(names.full_path_no_ext, native(c.no_ext)) << c.name;
  }
}

// @5@ keeps every dot but the last, so that names with several dots never share an output.
TEST(JobNames, BareNameWithoutTheLastExtension) {
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {{"scan.2024.eps", "scan.2024"},
               {".profile", ".profile"},
               {"README", "README"},
               {"trail.", "trail"},
               {"x.EPS", "x"},
               {".a.b", ".a"}};
  for (const auto& c : cases) {
    EXPECT_EQ(make_job_names(native("/in.box"), c.name).base_no_last_ext, c.expected) << c.name;
  }
  JobNames names = make_job_names(native("/in"), "scan.2024.eps");
  EXPECT_EQ(expand_placeholders("gs -o out/@5@.pdf @1@ @5@", names, COMMAND_CAPACITY),
            "gs -o out/scan.2024.pdf " + native("/in/scan.2024.eps") + " @5@");
}

// A placeholder that does not fit is reported, so that no command runs with it left in place;
// one that is simply absent, or a second occurrence, is not.
TEST(Expansion, ReportsAPlaceholderLeftForLackOfRoom) {
  JobNames names = make_job_names(native("/in"), "x.EPS");
  bool complete = false;
  expand_placeholders("a @1@ b @1@ no @9@", names, COMMAND_CAPACITY, &complete);
  EXPECT_TRUE(complete);
  const std::size_t room = COMMAND_CAPACITY - 1 - names.full_path.size() + 3;
  const std::string fits = "@1@" + std::string(room - 3, 'p');
  EXPECT_EQ(expand_placeholders(fits, names, COMMAND_CAPACITY, &complete).size(),
            COMMAND_CAPACITY - 1);
  EXPECT_TRUE(complete);
  const std::string too_long = fits + "p";
  EXPECT_EQ(expand_placeholders(too_long, names, COMMAND_CAPACITY, &complete), too_long);
  EXPECT_FALSE(complete);
  // An empty value always fits, and a later placeholder that does not still counts.
  const std::string full = std::string(COMMAND_CAPACITY - 1 - 6, 'p') + "@2@@3@";
  expand_placeholders(full, make_job_names("", ".longest"), COMMAND_CAPACITY, &complete);
  EXPECT_FALSE(complete);
}

TEST(Expansion, ReplacesTheFirstOccurrenceOfEachPlaceholder) {
  JobNames names = make_job_names(native("/in"), "x.EPS");
  const struct {
    const char* template_text;
    std::string expanded;
  } cases[] = {
      {"dir @1@", native("dir /in/x.EPS")},
      {"conv -o @2@.pdf @1@", native("conv -o x.pdf /in/x.EPS")},
      {"a @1@ b @1@", native("a /in/x.EPS b @1@")},
      {"@4@.ok", native("/in/x.ok")},
      {"@3@", "EPS"},
      {"no placeholders", "no placeholders"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expand_placeholders(c.template_text, names, COMMAND_CAPACITY), c.expanded);
  }
  JobNames readme = make_job_names(native("/in"), "README");
  EXPECT_EQ(expand_placeholders("conv @2@.@3@", readme, COMMAND_CAPACITY), "conv README.");
}

TEST(Expansion, NeverSearchesInsideAnInsertedValue) {
  JobNames names = make_job_names(native("/in"), "x@2@.EPS");
  EXPECT_EQ(expand_placeholders("echo @1@ @2@", names, COMMAND_CAPACITY),
            native("echo /in/x@2@.EPS x@2@"));
  JobNames odd = make_job_names(native("/in"), "@3@.@1@");
  EXPECT_EQ(expand_placeholders("@2@ @3@", odd, COMMAND_CAPACITY), "@3@ @1@");
  // An empty value leaves the template's text on both sides joined, as if never split.
  JobNames dotfile = make_job_names(native("/in"), ".profile");
  EXPECT_EQ(expand_placeholders("echo @@2@3@", dotfile, COMMAND_CAPACITY), "echo profile");
}

TEST(Expansion, AReplacementThatWouldNotFitIsNotMade) {
  // The result may be at most capacity - 1 bytes long.
  std::string folder = native("/") + std::string(100, 'f');
  JobNames names = make_job_names(folder, "x.EPS");
  std::size_t value = names.full_path.size();
  std::string fits = std::string(COMMAND_CAPACITY - 1 - value, 'c') + "@1@";
  EXPECT_EQ(expand_placeholders(fits, names, COMMAND_CAPACITY).size(), COMMAND_CAPACITY - 1);
  std::string too_long = "c" + fits;
  EXPECT_EQ(expand_placeholders(too_long, names, COMMAND_CAPACITY), too_long);
  // A later, shorter value still goes in.
  std::string full = std::string(COMMAND_CAPACITY - 7, 'c') + "@1@@2@";
  EXPECT_EQ(expand_placeholders(full, names, COMMAND_CAPACITY),
            std::string(COMMAND_CAPACITY - 7, 'c') + "@1@x");
}

TEST(UnsafePaths, QuoteBreakersAndControlBytesAreUnsafe) {
  EXPECT_FALSE(is_unsafe_path(native("/in/plain name (1).txt")));
  EXPECT_FALSE(is_unsafe_path(native("/in/caf\xc3\xa9 it's.txt")));
  EXPECT_TRUE(is_unsafe_path("a\"b"));
  EXPECT_TRUE(is_unsafe_path("line\nbreak"));
  EXPECT_TRUE(is_unsafe_path(std::string("tab\there")));
  EXPECT_TRUE(is_unsafe_path("del\x7f"));
  for (const char* c = QUOTE_BREAKERS; *c != '\0'; ++c) {
    EXPECT_TRUE(is_unsafe_path(std::string("x") + *c)) << *c;
  }
  // cmd.exe expands %NAME% inside quotes: two marks make a name unsafe, one does not.
  EXPECT_TRUE(is_unsafe_name("C:\\in\\%CD%.txt", "\"", '%'));
  EXPECT_FALSE(is_unsafe_name("C:\\in\\100%.txt", "\"", '%'));
  EXPECT_FALSE(is_unsafe_name("/in/%CD%.txt", "\"$`\\", '\0'));
}

}  // namespace
