// Harness of the end-to-end suite: temporary folder trees and runs of the real hotbatch binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

namespace {
// A table's case prints as its name where a failure says which case it was (the cases of a file
// live in this same unnamed namespace of e2e).
template <typename Case>
auto operator<<(std::ostream& out, const Case& c) -> decltype(out << c.name) {
  return out << c.name;
}
}  // namespace

using Millis = std::chrono::milliseconds;

// Long enough for any run of the suite, also on a machine busy with other work (a case that walks
// 100,000 entries under the sanitizers took 55 s there); only there to turn a hang into a failure.
constexpr Millis kTimeout{120000};

// How the program under test is started: an optional launcher (such as an emulator) in front of
// the program itself. Taken from HOTBATCH_E2E_LAUNCHER (blank-separated words) and
// HOTBATCH_E2E_PROGRAM when they are set, else the binary this suite was built with.
struct Launcher {
  std::vector<std::string> prefix;
  std::string program;
};
const Launcher& launcher();

// More say over how the program starts, for suites that drive it some other way (such as the
// Windows build under Wine). Every field left empty keeps the usual behaviour; the environment is
// the fixed one less `unset`, then `inherit`, then `env`.
struct RunOptions {
  std::vector<std::string> env;      // NAME=value entries added to, or replacing, the environment
  std::vector<std::string> inherit;  // names of this process's variables passed on when set
  std::vector<std::string> unset;    // names of fixed variables left out
  std::optional<Launcher> launcher;  // used instead of launcher()
};

struct RunResult {
  int status = -1;  // exit status, or 128 + N when the program was killed by signal N
  bool timed_out = false;
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// One started program. It runs in a process group of its own, so that a test can signal the
// program alone or its whole group (as a terminal's Ctrl+C does). Whatever is left of the group is
// killed when the object goes.
class Process {
 public:
  // `folder` is the program's working folder (empty: the suite's own); `env` holds NAME=value
  // entries added to, or replacing, the small fixed environment the program gets; `options` can
  // say more.
  Process(const std::vector<std::string>& args, const std::string& folder,
          const std::vector<std::string>& env = {});
  Process(const std::vector<std::string>& args, const std::string& folder,
          const RunOptions& options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Keeps reading output until `done` holds; false when the time runs out first.
  bool wait_until(const std::function<bool()>& done, Millis timeout = kTimeout);
  // Until standard output holds `text` at least `count` times.
  bool wait_for(const std::string& text, int count = 1, Millis timeout = kTimeout);
  // True while a process named `name` (such as a command's own child) descends from the program.
  bool has_member(const std::string& name) const;
  void signal(int sig);
  void signal_group(int sig);
  // Waits for the program to end; kills its group when the time runs out.
  RunResult finish(Millis timeout = kTimeout);
  const std::string& out() const { return out_; }
  pid_t pid() const { return pid_; }

 private:
  void pump(int timeout_ms);
  void drain();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string out_;
  std::string err_;
};

// Options that start the program through `prefix` (such as setpriv and its arguments) in front of
// the usual launcher.
RunOptions started_through(const std::vector<std::string>& prefix);

// True while a process whose command line holds `text` runs anywhere on the machine.
bool running_anywhere(const std::string& text);

// Runs the program to its end.
RunResult run(const std::vector<std::string>& args, const std::string& folder,
              const std::vector<std::string>& env = {});
RunResult run(const std::vector<std::string>& args, const std::string& folder,
              const RunOptions& options);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
// Its path is fully resolved, as the program sees it.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& rel) const;                        // root + '/' + rel
  void write(const std::string& rel, const std::string& content) const;  // parents made too
  void mkdir(const std::string& rel) const;
  bool exists(const std::string& rel) const;       // links count as they are, not followed
  std::string read(const std::string& rel) const;  // empty when missing
  std::vector<std::string> list(const std::string& rel) const;  // sorted names
  // Moves a file in at once, as a writer that finishes elsewhere and renames does.
  void drop(const std::string& rel, const std::string& content) const;

 private:
  std::string root_;
};

// Console and log lines as the program writes them, with "<T>" for a time stamp.
std::string masked(const std::string& text);      // replaces every well-formed time stamp by <T>
extern const char* const kStartRun;               // "\nStart Run...\n"
std::string after_start(const std::string& out);  // masked output after "Start Run..."
std::string found(const std::string& full_path);
std::string processed(const std::string& name);
std::string erased(const std::string& full_path);
std::string error_block(const std::string& command);  // console report with an error folder
// The line after a failed job's error block: "with status 3", "by signal 9".
std::string ended(const std::string& full_path, const std::string& how);
// The run log's entry of a failed job, and the line after it: how its command ended ("with
// status 3", "by signal 9") and which try it was.
std::string failure_entry(const std::string& command, const std::string& name,
                          const std::string& how = "with status 1",
                          const std::string& try_of = "1 of 1");
std::string unsafe(const std::string& shown_path);

// Number of times `part` occurs in `text`.
int occurrences(const std::string& text, const std::string& part);

// The value of a metric in the metrics file a run writes (-m), such as hotbatch_files_waiting,
// which is 1 from the first look at a settling file on: a step a test can wait for. -1 while the
// file or the metric is missing.
double metric(const std::string& metrics_file, const std::string& name);

// Removes the entry `name` of the folder `at` (a descriptor), whatever its depth: a tree deeper
// than the system's path limit cannot be removed by path.
void remove_at(int at, const char* name);

// A small file system (64 KiB) of its own at `where`, unmounted at the end. Needs the right to
// mount.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& where);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string where_;
  bool mounted_ = false;
};

}  // namespace e2e
