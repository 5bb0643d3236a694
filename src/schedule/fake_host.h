// A host for the scheduler's tests: a manual clock that the waits move on, the files of one
// folder as a table, and commands as scripts. What the scheduler asked of it is kept as a log.
// A run on it: the one loop, fed by passes that list names of that folder.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "schedule/host.h"
#include "schedule/run_loop.h"

class FakeHost : public Host {
 public:
  // A command as its file's script says: it runs `ms`, then ends with `result`; asked to end, it
  // ends at once unless it `ignores_stop` (then only when forced).
  struct Script {
    std::int64_t ms = 100;
    int result = 0;
    bool ignores_stop = false;
    bool none = false;  // there is nothing to run (an empty command)
    bool kept = false;  // its file stays after its job (its archive move failed)
  };

  std::int64_t now = 0;
  std::int64_t stop_at = -1;                // when a stop is requested; -1: never
  std::map<std::string, PathStatus> files;  // by name; a file not here is gone
  std::set<std::string> written;            // held by a writer: never ready
  std::map<std::string, Script> scripts;    // by name; others run as Script{}
  bool claiming = false;  // -p: a file is claimed out of its folder for its job and its tries
  std::map<std::string, PathStatus> claimed;     // the claimed files, by name
  std::map<std::int64_t, std::string> arrivals;  // files made then, each a change (-w)
  std::vector<std::string> log;                  // "start a", "end a 0", "stop a", "forced a",
                                                 // "retry a", "done a", "left a"
  std::vector<std::int64_t> starts;              // when each command started
  int tests = 0;                                 // readiness tests made
  int most_running = 0;                          // commands at once, at most

  // Puts the file `name` of `size` bytes into the folder, as changed at the clock's time.
  PathStatus& put(const std::string& name, std::uint64_t size = 1) {
    const bool anew = files.count(name) == 0;
    PathStatus& status = files[name];
    status.is_regular = true;
    status.size = size;
    status.modified = now;
    // A file made anew under a name is another file; one that grows keeps its identity.
    status.id.index = anew ? (ids_[name] = ++next_id_) : ids_[name];
    return status;
  }

  // The log entries that start with `word`, e.g. count("start").
  int count(const std::string& word) const {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
      return line.rfind(word + " ", 0) == 0;
    }));
  }

  std::int64_t now_ms() override { return now; }
  // The wall clock runs with the manual one.
  std::int64_t wall_seconds() override { return 1700000000 + now / 1000; }
  bool stop_requested() override { return stop_at >= 0 && now >= stop_at; }

  bool status_of(const InHand& file, const std::string&, PathStatus* status) override {
    const auto& where = file.state.claim.on ? claimed : files;
    auto at = where.find(file.name);
    if (at == where.end()) {
      return false;
    }
    *status = at->second;
    return true;
  }

  Readiness test(InHand* file, bool hold, bool same_time, PathStatus* status, bool* held) override {
    ++tests;
    *held = hold;
    if (!status_of(*file, file->name, status)) {
      return Readiness::gone;
    }
    return still_the_file(written.count(file->name) == 0, *status, file->last, same_time)
               ? Readiness::ready
               : Readiness::not_yet;
  }

  void drop_hold(InHand*) override {}

  Started start(InHand* file, bool) override {
    const Script script = scripts[file->name];
    file->job.full_path_shown = file->names.full_path;
    file->job.command = script.none ? "" : "run";
    if (script.none) {
      return Started::no_command;
    }
    if (claiming && !file->state.claim.on) {
      // Claimed: the file leaves its folder for its job, and its name is free for another.
      if (files.count(file->name) == 0) {
        return Started::passed_over;
      }
      claimed[file->name] = files[file->name];
      files.erase(file->name);
      file->state.claim.on = true;
    }
    log.push_back("start " + file->name);
    starts.push_back(now);
    running_[file] = now + script.ms;
    most_running = std::max(most_running, static_cast<int>(running_.size()));
    return Started::running;
  }

  bool ended(InHand* file, int* result, int* signal) override {
    auto at = running_.find(file);
    if (at == running_.end() || now < at->second) {
      return false;
    }
    *result = scripts[file->name].result;
    *signal = 0;
    running_.erase(at);
    log.push_back("end " + file->name + " " + std::to_string(*result));
    return true;
  }

  void stop(InHand* file, bool forced) override {
    log.push_back((forced ? "forced " : "stop ") + file->name);
    if (forced || !scripts[file->name].ignores_stop) {
      running_[file] = now;
    }
  }

  bool may_try_again(const InHand& file) override {
    return (file.state.claim.on ? claimed : files).count(file.name) != 0;
  }
  void failed_try(InHand* file, int) override {
    log.push_back("retry " + file->name);
    file->away = file->state.claim.on;  // it stays claimed until its next try
  }

  bool hold_folder(InHand* file, bool hold) override {
    file->folder = hold ? std::make_shared<const Folder>() : nullptr;
    return true;
  }

  bool finish(InHand* file, int result) override {
    log.push_back((result == 0 ? "done " : "failed ") + file->name);
    file->keep_ended = scripts[file->name].kept;
    put_back(file);
    return true;
  }

  void release(InHand* file) override {
    running_.erase(file);
    put_back(file);
  }

  // A claimed file goes back under its name, or under a numbered one when another file took it.
  void put_back(InHand* file) {
    if (!file->state.claim.on) {
      return;
    }
    const std::string name = files.count(file->name) != 0 ? file->name + "~2" : file->name;
    files[name] = claimed[file->name];
    claimed.erase(file->name);
    file->name = name;
    file->state.claim.on = false;
  }

  // The clock moves on to `until_ms`, or to the first end of a command before it.
  void wait(std::int64_t until_ms, const std::vector<const InHand*>& waited, bool) override {
    std::int64_t next = until_ms;
    for (const InHand* file : waited) {
      auto at = running_.find(const_cast<InHand*>(file));
      if (at != running_.end()) {
        next = std::min(next, at->second);
      }
    }
    if (stop_at > now) {
      next = std::min(next, stop_at);
    }
    auto arrival = arrivals.upper_bound(now);
    if (arrival != arrivals.end()) {
      next = std::min(next, arrival->first);
    }
    now = std::max(now, next);
    if (arrival != arrivals.end() && arrival->first == now) {
      put(arrival->second);
    }
  }

 private:
  std::map<const InHand*, std::int64_t> running_;  // when each running command ends
  std::map<std::string, std::uint64_t> ids_;
  std::uint64_t next_id_ = 0;
};

// What the walks of a run find on the fake host: each pass the names queued for it, or with
// `whole_folder` (nothing queued) every file of the folder in name order; with -w, the looks at
// the files that `host.arrivals` says changed since the last look.
class FakeFeed : public Feed {
 public:
  explicit FakeFeed(FakeHost* host) : host_(*host) {}
  std::deque<std::vector<std::string>> passes;
  bool whole_folder = false;
  std::shared_ptr<const Folder> folder = std::make_shared<const Folder>();

  bool begin_pass() override {
    walk_.clear();
    if (!passes.empty()) {
      walk_ = passes.front();
      passes.pop_front();
    } else if (whole_folder) {
      for (const auto& file : host_.files) {
        walk_.push_back(file.first);
      }
    } else {
      return false;
    }
    at_ = 0;
    return true;
  }
  bool next(WalkEntry* entry) override {
    while (at_ < walk_.size()) {
      const std::string& name = walk_[at_++];
      auto found = host_.files.find(name);
      if (found != host_.files.end()) {
        entry->name = name;
        entry->folder = folder;
        entry->status = found->second;
        entry->names = make_job_names("/in", name);
        entry->full_path = entry->names.full_path;
        return true;
      }
    }
    return false;
  }
  void end_pass(bool) override {}
  bool changes(bool*) override {
    walk_.clear();
    at_ = 0;
    for (auto at = host_.arrivals.upper_bound(seen_); at != host_.arrivals.end(); ++at) {
      if (at->first <= host_.now) {
        walk_.push_back(at->second);
        seen_ = at->first;
      }
    }
    return !walk_.empty();
  }

 private:
  FakeHost& host_;
  std::vector<std::string> walk_;
  std::size_t at_ = 0;
  std::int64_t seen_ = -1;
};

// A run on the fake host. By default it loops with a pause longer than any test, so that passes
// come only when a test asks for them.
struct FakeRun {
  explicit FakeRun(const ScheduleSettings& given, const LoopSettings& loop_given = {true, 1000000})
      : settings(given),
        loop_settings(loop_given),
        scheduler(settings, &host),
        feed(&host),
        loop(loop_settings, &host, &scheduler, &feed) {}
  // One pass over `names` at once, to its end (each waits for room first, as the walk's entries
  // do).
  void pass(const std::vector<std::string>& names) {
    feed.passes.push_back(names);
    loop.pass_now();
    loop.run(NEVER, Until::pass_end);
  }
  // The loop goes on until the clock reaches `ms`, or the run ends.
  bool run_until(std::int64_t ms) { return loop.run(ms); }
  // No more passes: the files in hand end.
  void finish() {
    loop.finish();
    loop.run();
  }
  ScheduleSettings settings;
  LoopSettings loop_settings;
  FakeHost host;
  Scheduler scheduler;
  FakeFeed feed;
  RunLoop loop;
};
