// The scheduling rules on a fake host: a manual clock, files as a table, commands as scripts.
#include "schedule/scheduler.h"

#include <gtest/gtest.h>

#include "schedule/fake_host.h"

namespace {

// One run: the files of one folder offered pass by pass, as the walk offers them.
struct Trial : FakeRun {
  using FakeRun::FakeRun;
  std::shared_ptr<const Folder> folder = feed.folder;
};

ScheduleSettings with(int settle, int jobs, bool apart) {
  ScheduleSettings settings;
  settings.settle_seconds = settle;
  settings.jobs = jobs;
  settings.waiting_apart = apart;
  return settings;
}

// Readiness: when a file is ready, and how many attempts a file that never is gets.
TEST(Scheduler, ReadinessAttemptsAndSettleTimes) {
  struct Case {
    const char* what;
    ScheduleSettings settings;
    bool written;           // a writer holds it throughout
    std::int64_t grows_at;  // when it grows by a byte; -1: never
    std::int64_t start;     // when its command starts; -1: not by 20 s
    int tests;              // readiness tests made by then
    bool swapped = false;   // at grows_at another file of the same size and time takes its name
  } cases[] = {
      {"ready after the settle time", with(1, 1, false), false, -1, 1000, 1},
      {"ready at once without one", with(0, 1, false), false, -1, 0, 1},
      {"a writer's file gets ten attempts", with(1, 1, false), true, -1, -1, READY_ATTEMPTS},
      {"one slot: the size of the first look must stay", with(1, 1, false), false, 500, -1, 10},
      {"apart: ready a settle time after the change", with(1, 2, true), false, 500, 2000, 2},
      {"one slot: a file swapped in is not the one looked at", with(1, 1, false), false, 500, -1,
       10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Trial run(c.settings);
    run.host.put("a");
    if (c.written) {
      run.host.written.insert("a");
    }
    if (c.grows_at >= 0) {
      run.scheduler.offer(run.folder, "a", run.host.files["a"], make_job_names("/in", "a"));
      run.run_until(c.grows_at);
      if (c.swapped) {
        run.host.files["a"].id.index += 100;
      } else {
        run.host.put("a", 2);
      }
    } else {
      run.pass({"a"});
    }
    run.run_until(20000);
    EXPECT_EQ(run.host.starts,
              c.start < 0 ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{c.start});
    EXPECT_EQ(run.host.tests, c.tests);
    EXPECT_TRUE(run.scheduler.hand().empty());
  }
}

// Slots (-j): how many commands run at once, and that with one slot a waiting file holds it.
TEST(Scheduler, SlotsBoundTheCommandsAtOnce) {
  struct Case {
    ScheduleSettings settings;
    int most;                  // commands at once
    std::int64_t third_start;  // when the third file's command starts
  } cases[] = {
      {with(0, 1, false), 1, 10000}, {with(0, 2, true), 2, 5000}, {with(0, 4, true), 3, 0}};
  for (const Case& c : cases) {
    Trial run(c.settings);
    for (const char* name : {"a", "b", "c"}) {
      run.host.put(name);
      run.host.scripts[name].ms = 5000;
    }
    run.pass({"a", "b", "c"});
    run.finish();
    ASSERT_EQ(run.host.starts.size(), 3u);
    EXPECT_EQ(run.host.starts[2], c.third_start) << c.settings.jobs;
    EXPECT_EQ(run.host.most_running, c.most);
    EXPECT_EQ(run.host.count("done"), 3);
  }
}

// -u, and a done file that had to stay (its archive move failed): it runs again only once it
// changed, in size, identity or time. Without either it runs at every pass.
TEST(Scheduler, UnchangedFilesRunOnce) {
  struct Case {
    const char* what;
    bool unchanged_once, kept;
    std::uint64_t grown;
    std::uint64_t other_id;
    std::int64_t later;
    int starts;
  } cases[] = {{"-u, unchanged", true, false, 0, 0, 0, 1},
               {"-u, grown at the same time", true, false, 1, 0, 0, 2},
               {"-u, swapped for one of the same size and time", true, false, 0, 100, 0, 2},
               {"-u, touched", true, false, 0, 0, 1000, 2},
               {"neither", false, false, 0, 0, 0, 3},
               {"kept", false, true, 0, 0, 0, 1},
               {"kept, grown", false, true, 1, 0, 0, 2},
               {"-u, kept", true, true, 0, 0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScheduleSettings settings = with(0, 1, false);
    settings.unchanged_once = c.unchanged_once;
    Trial run(settings);
    PathStatus& a = run.host.put("a");
    run.host.scripts["a"].kept = c.kept;
    run.pass({"a"});
    run.host.now += 1000;
    a.size += c.grown;
    a.id.index += c.other_id;
    a.modified += c.later;
    run.pass({"a"});
    run.pass({"a"});
    EXPECT_EQ(run.host.count("start"), c.starts);
  }
}

// -k: asked to end at the limit, ended by force after the grace time; the job failed.
TEST(Scheduler, TimeLimitAsksThenForces) {
  for (bool ignores : {false, true}) {
    ScheduleSettings settings = with(0, 1, false);
    settings.time_limit_seconds = 2;
    Trial run(settings);
    run.host.put("a");
    run.host.scripts["a"] = {60000, 0, ignores, false};
    run.pass({"a"});
    EXPECT_EQ(run.host.now, ignores ? 2000 + STOP_GRACE_SECONDS * 1000 : 2000);
    EXPECT_EQ(run.host.count("forced"), ignores ? 1 : 0);
    EXPECT_EQ(run.host.log.back(), "failed a");
    EXPECT_EQ(run.scheduler.counts()->ended[static_cast<int>(JobResult::stopped)], 1u);
  }
}

// -b: a failed job is tried again after the pause, each wait twice the one before; a file that
// changed meanwhile has its next try at once, as a new job.
TEST(Scheduler, FailedJobsAreTriedAgainWithAGrowingWait) {
  // With -p the file waits for its try claimed: one found under its name meanwhile is another's,
  // and hurries nothing.
  for (bool claimed : {false, true}) {
    SCOPED_TRACE(claimed ? "claimed" : "in its folder");
    ScheduleSettings settings = with(0, 1, false);
    settings.retries = 3;
    settings.first_retry_seconds = 1;
    Trial run(settings);
    run.host.claiming = claimed;
    run.host.put("a");
    run.host.scripts["a"] = {100, 1, false, false};
    run.pass({"a"});
    run.run_until(3000);
    EXPECT_EQ(run.host.starts, (std::vector<std::int64_t>{0, 1100}));  // the next at 3200
    run.host.put("a", 2);  // changed: the pass that finds it starts it again at its first try
    run.pass({"a"});
    run.finish();
    const std::vector<std::int64_t> starts =
        claimed ? std::vector<std::int64_t>{0, 1100, 3200, 7300}
                : std::vector<std::int64_t>{0, 1100, 3000, 4100, 6200, 10300};
    EXPECT_EQ(run.host.starts, starts);
    EXPECT_EQ(run.host.count("retry"), claimed ? 3 : 2 + 3);
    EXPECT_EQ(run.host.count("failed"), 1);
  }
}

// -p -u: a claimed file put back under a numbered name (another file took its name during its
// job) is remembered under that name: the other file runs, the claimed one not again.
TEST(Scheduler, PutBackUnderANumberedNameIsRememberedSo) {
  ScheduleSettings settings = with(0, 1, false);
  settings.unchanged_once = true;
  Trial run(settings);
  run.host.claiming = true;
  run.host.put("a");
  run.host.arrivals[50] = "a";
  run.pass({"a"});
  ASSERT_EQ(run.host.files.count("a~2"), 1u);
  for (int pass = 0; pass < 2; ++pass) {
    run.host.now += 1000;
    run.pass({"a", "a~2"});
  }
  EXPECT_EQ(run.host.log, (std::vector<std::string>{"start a", "end a 0", "done a", "start a",
                                                    "end a 0", "done a"}));
}

// -b: no wait before a try is longer than an hour, however many tries came before it.
TEST(Scheduler, RetryWaitsEndAtAnHour) {
  for (int first : {1, 7200}) {
    ScheduleSettings settings = with(0, 1, false);
    settings.retries = first == 1 ? 13 : 1;  // the last wait would be 4096 s, or 7200 s
    settings.first_retry_seconds = first;
    Trial run(settings);
    run.host.put("a");
    run.host.scripts["a"] = {0, 1, false, false};
    run.pass({"a"});
    run.finish();
    ASSERT_EQ(static_cast<int>(run.host.starts.size()), settings.retries + 1);
    EXPECT_EQ(run.host.starts.back() - run.host.starts[run.host.starts.size() - 2], 3600 * 1000);
  }
}

// Files waiting for their next try have a budget of their own: thousands of them with long paths
// leave room for a new file, which runs at once.
TEST(Scheduler, RetryingFilesLeaveRoomForNewOnes) {
  ScheduleSettings settings = with(0, 2, true);
  settings.retries = 3;
  settings.first_retry_seconds = 300;
  Trial run(settings);
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    names.push_back(std::string(970, 'f') + std::to_string(i));
    run.host.put(names.back());
    run.host.scripts[names.back()] = {1, 1, false, false};
  }
  run.pass(names);
  run.run_until(run.host.now + 100000);
  run.host.put("victim");
  run.pass({"victim"});
  EXPECT_EQ(run.host.log.back(), "start victim");
}

// The waiting cap: a file found when MAX_WAITING files wait gets the place of the earliest one
// that failed an attempt, once there is one, and that one is taken again by a later pass; where
// the waiting files are ready, it gets a place as soon as one of them starts, within the same pass.
TEST(Scheduler, WaitingCapMakesRoomForNewFiles) {
  for (bool never_ready : {true, false}) {
    Trial run(with(1, 2, true));
    std::vector<std::string> names;
    for (int i = 0; i <= MAX_WAITING; ++i) {
      names.push_back("f" + std::to_string(i));
      run.host.put(names.back());
      if (never_ready && i < MAX_WAITING) {
        run.host.written.insert(names.back());
      }
    }
    run.pass(names);
    EXPECT_EQ(run.host.now, 1000);  // the first attempts made room
    if (never_ready) {
      // f0 gave way to the last file, and f1 to the room the end of the pass waits for.
      EXPECT_EQ(static_cast<int>(run.scheduler.hand().size()), MAX_WAITING - 1);
      EXPECT_EQ(run.scheduler.hand().front()->name, "f2");
      run.run_until(2000);
      EXPECT_EQ(run.host.log.front(), "start " + names.back());
      run.host.written.clear();
      run.pass(names);
    }
    run.finish();
    const std::set<std::string> lines(run.host.log.begin(), run.host.log.end());  // every file
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("done ", 0) == 0; }),
              MAX_WAITING + 1);
  }
}

// Long paths: the files in hand and those that -u remembers are bounded in bytes too, where the
// counts alone would let them take far more; beyond that, files wait for a later pass (and each
// runs once it is ready), and the oldest remembered ones run again.
TEST(Scheduler, LongPathsBoundedInBytes) {
  for (bool apart : {true, false}) {
    ScheduleSettings settings = with(1, 1, apart);
    settings.unchanged_once = true;
    Trial run(settings);
    std::vector<std::string> names;
    for (int i = 0; i < 1200; ++i) {
      names.push_back(std::to_string(i) + std::string(15000, 'd'));
      run.host.put(names.back());
      run.host.scripts[names.back()].none = true;  // ends at once
      if (apart) {
        run.host.written.insert(names.back());
      }
    }
    run.pass(names);
    if (apart) {  // all wait: as many as MAX_HAND_BYTES holds
      EXPECT_LE(run.scheduler.hand().size() * 5 * 15000, MAX_HAND_BYTES);
      run.host.written.clear();
      for (int pass = 0; pass < 8; ++pass) {
        run.run_until(run.host.now + 2000);
        run.pass(names);
      }
      const std::set<std::string> lines(run.host.log.begin(), run.host.log.end());
      EXPECT_EQ(lines.count("done " + names.back()), 1u);
      continue;
    }
    run.pass(names);
    EXPECT_GT(run.host.count("done"), 1200);  // the oldest were forgotten, and ran again
  }
}

// A file in hand is not taken again by the passes that find it meanwhile.
TEST(Scheduler, FilesInHandAreTakenOnce) {
  ScheduleSettings settings = with(0, 2, true);
  Trial run(settings);
  run.host.put("a");
  run.host.scripts["a"].ms = 3000;
  for (int pass = 0; pass < 3; ++pass) {
    run.pass({"a"});
    run.run_until(run.host.now + 1000);
  }
  run.finish();
  EXPECT_EQ(run.host.count("start"), 1);
}

// A stop: files waiting for their readiness go at once, running commands are waited for.
TEST(Scheduler, StopLetsWaitingFilesGoAndWaitsForCommands) {
  Trial run(with(1, 2, true));
  run.host.put("a");
  run.host.put("b");
  run.host.written.insert("b");
  run.host.scripts["a"].ms = 5000;
  run.host.stop_at = 1500;
  run.pass({"a", "b"});
  EXPECT_TRUE(run.run_until(60000));
  EXPECT_EQ(run.host.log, (std::vector<std::string>{"start a", "end a 0", "done a"}));
  EXPECT_EQ(run.host.now, 6000);
  EXPECT_TRUE(run.scheduler.hand().empty());
}

// A change seen in a waiting file makes it ready one settle time after the change, not sooner.
TEST(Scheduler, LookAgainWaitsASettleTimeFromTheChange) {
  Trial run(with(3, 2, true));
  run.host.put("a");
  run.pass({"a"});
  run.run_until(2000);
  EXPECT_TRUE(run.scheduler.look_again(make_job_names("/in", "a").full_path));
  EXPECT_FALSE(run.scheduler.look_again(make_job_names("/in", "b").full_path));
  run.run_until(20000);
  EXPECT_EQ(run.host.tests, 1);
  EXPECT_EQ(run.host.log.front(), "start a");
}

}  // namespace
