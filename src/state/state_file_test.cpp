// Restarts with a state file (-c) on the fake host: what the second run takes of the first.
#include "state/state_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "schedule/fake_host.h"
#include "schedule/scheduler.h"

namespace {

namespace fs = std::filesystem;

// A run on its own fake host, with the state file `path`: each pass takes every file there.
struct Service : FakeRun {
  Service(const ScheduleSettings& given, const std::string& path) : FakeRun(given) {
    feed.whole_folder = true;
    opened = open_state_file(path, "", &state, &format);
    if (opened == StateOpen::opened) {
      scheduler.use_state(&state);
    }
  }
  ~Service() { close_state_file(&state); }
  void pass() {
    loop.pass_now();
    loop.run(NEVER, Until::pass_end);
  }
  StateFile state;
  StateOpen opened;
  std::string format;
};

// The first run leaves its state; between the runs the files change as each case says; the
// second run reads it back.
TEST(StateFile, RestartTable) {
  enum class Between { nothing, change, remove, tear, other_version, stop_at_once };
  struct Case {
    const char* what;
    bool unchanged_once;  // -u, else -b 2 with a command that fails
    Between between;
    StateOpen opened;                  // by the second run
    std::vector<std::int64_t> starts;  // of the second run
    bool kept;                         // the state file still speaks of the file after it
  } cases[] = {
      {"ended, unchanged: not run again", true, Between::nothing, StateOpen::opened, {}, true},
      {"ended, changed: runs", true, Between::change, StateOpen::opened, {0}, true},
      {"ended, gone: forgotten", true, Between::remove, StateOpen::opened, {}, false},
      // The first try failed at 0.1 s, its next due a second later on the wall clock: the second
      // run, begun in the first run's second, keeps its due time and its count (one try left
      // after that one), where a fresh start would make three.
      {"mid-retry: tries and due time kept",
       false,
       Between::nothing,
       StateOpen::opened,
       {1000, 3100},
       false},
      {"mid-retry, changed: tries begin anew",
       false,
       Between::change,
       StateOpen::opened,
       {0, 1100, 3200},
       false},
      // A stop cuts the first pass short: what it did not find is not taken as gone.
      {"mid-retry, stopped at once: kept",
       false,
       Between::stop_at_once,
       StateOpen::opened,
       {},
       true},
      {"torn tail: cut, what came before kept", true, Between::tear, StateOpen::opened, {}, true},
      {"another version: refused",
       true,
       Between::other_version,
       StateOpen::other_format,
       {},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = fs::path(::testing::TempDir()) / "hotbatch-state-test";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / "run.state").string();
    ScheduleSettings settings;
    settings.settle_seconds = 0;
    settings.unchanged_once = c.unchanged_once;
    settings.retries = c.unchanged_once ? 0 : 2;
    std::map<std::string, PathStatus> files;
    {
      Service first(settings, path);
      ASSERT_EQ(first.opened, StateOpen::opened);
      first.host.put("a");
      first.host.put("b");
      first.host.scripts["a"] = {100, c.unchanged_once ? 0 : 1, false, false};
      first.host.stop_at = 500;
      first.pass();
      first.finish();
      files = first.host.files;
    }
    if (c.between == Between::tear) {
      std::ofstream(path, std::ios::app) << "1234abcd E 1 2 0 0 7 0 0 /in/a";  // no line end
    } else if (c.between == Between::other_version) {
      std::ofstream(path) << "hotbatch state 2\n";
    }
    Service second(settings, path);
    EXPECT_EQ(second.opened, c.opened);
    if (c.opened != StateOpen::opened) {
      EXPECT_EQ(second.format, "hotbatch state 2");
      continue;
    }
    second.host.files = files;
    second.host.scripts["a"] = {100, c.unchanged_once ? 0 : 1, false, false};
    second.host.scripts["b"] = {100, 0, false, false};
    if (c.between == Between::change) {
      second.host.files["a"].size = 9;
    } else if (c.between == Between::remove) {
      second.host.files.erase("a");
    } else if (c.between == Between::stop_at_once) {
      second.host.stop_at = 0;
    }
    second.host.files.erase("b");  // b ended or was never retried: only a is of interest
    second.pass();
    second.finish();
    EXPECT_EQ(second.host.starts, c.starts);
    EXPECT_EQ(second.state.entries.count(make_job_names("/in", "a").full_path), c.kept ? 1u : 0u);
  }
}

// Each line's checksum and the escaped path: what is written reads back the same, and a line
// changed anywhere is refused.
TEST(StateFile, LinesReadBackAndRefuseDamage) {
  StateEntry entry;
  entry.waiting = true;
  entry.id.device = 7;
  entry.id.index = 42;
  entry.id.birth = -3;
  entry.size = 100;
  entry.modified = 1700000000123;
  entry.tries = 2;
  entry.wait_seconds = 4;
  entry.due = 1700000100;
  const std::string name = "/in/a \\b\nc\x7f.txt";
  std::string line = state_line(name, &entry);
  ASSERT_EQ(line.back(), '\n');
  line.pop_back();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::string path;
  StateEntry back;
  bool forget = true;
  ASSERT_TRUE(parse_state_line(line, &path, &back, &forget));
  EXPECT_EQ(path, name);
  EXPECT_FALSE(forget);
  EXPECT_TRUE(back.waiting && back.id == entry.id && back.size == entry.size &&
              back.modified == entry.modified && back.tries == 2 && back.wait_seconds == 4 &&
              back.due == entry.due);
  for (std::size_t at : {std::size_t{0}, std::size_t{12}, line.size() - 1}) {
    std::string damaged = line;
    damaged[at] = damaged[at] == '1' ? '2' : '1';
    EXPECT_FALSE(parse_state_line(damaged, &path, &back, &forget)) << at;
  }
  EXPECT_FALSE(parse_state_line(line.substr(0, line.size() - 1), &path, &back, &forget));
}

}  // namespace
