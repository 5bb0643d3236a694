// End-to-end tests of monitoring: the service manager's notifications on a socket of the test's
// own, and the dry run over a prepared tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "e2e_support.h"

namespace e2e {
namespace {

// A datagram socket standing in for the service manager.
class Listener {
 public:
  explicit Listener(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Listener() { close(fd_); }
  bool bound() const { return bound_; }
  // Receives datagrams until one equals or starts with `prefix`; false when none came in time.
  bool until(const std::string& prefix, Process* process) {
    return process->wait_until(
        [&] {
          pollfd ready{fd_, POLLIN, 0};
          while (poll(&ready, 1, 50) > 0) {
            char buffer[4096];
            ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got > 0) {
              got_.emplace_back(buffer, static_cast<std::size_t>(got));
              if (got_.back().rfind(prefix, 0) == 0) {
                return true;
              }
            }
          }
          return false;
        },
        kTimeout);
  }
  int count(const std::string& message) const {
    return static_cast<int>(std::count(got_.begin(), got_.end(), message));
  }
  const std::vector<std::string>& got() const { return got_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> got_;
};

// Ready once started, a status after the job, pings from the loop during a pause of an hour (a
// loop that only pinged between passes would send none), stopping at a stop request; the command
// sees none of the three variables.
TEST(Notify, ReadyStatusWatchdogStopping) {
  TempTree tree;
  tree.write("in/a.job", "1");
  Listener listener(tree.path("notify"));
  ASSERT_TRUE(listener.bound());
  Process process({"-l", "-s", "3600", "-g", "0", "-d", "in", "*.job",
                   "env | grep -c -e NOTIFY_SOCKET -e WATCHDOG_ > ../seen; true"},
                  tree.root(), {"NOTIFY_SOCKET=" + tree.path("notify"), "WATCHDOG_USEC=300000"});
  ASSERT_TRUE(listener.until("READY=1\nSTATUS=Waiting 0, running 0, done 0, failed 0", &process));
  ASSERT_TRUE(listener.until("STATUS=Waiting 0, running 0, done 1, failed 0; last pass", &process));
  const int pings = listener.count("WATCHDOG=1");
  for (int more = 0; more < 3; ++more) {
    ASSERT_TRUE(listener.until("WATCHDOG=1", &process)) << more;
  }
  EXPECT_GE(listener.count("WATCHDOG=1"), pings + 3);
  process.signal(SIGTERM);
  EXPECT_TRUE(listener.until("STOPPING=1", &process));
  EXPECT_EQ(process.finish().status, 0);
  EXPECT_EQ(tree.read("seen"), "0\n");
}

// A watchdog meant for another process (WATCHDOG_PID) is not ours: no pings.
TEST(Notify, WatchdogOfAnotherProcessIsNotPinged) {
  TempTree tree;
  tree.mkdir("in");
  Listener listener(tree.path("notify"));
  ASSERT_TRUE(listener.bound());
  Process process(
      {"-l", "-d", "in", "*.job", "true"}, tree.root(),
      {"NOTIFY_SOCKET=" + tree.path("notify"), "WATCHDOG_USEC=300000", "WATCHDOG_PID=1"});
  ASSERT_TRUE(listener.until("STATUS=Waiting 0, running 0, done 0, failed 0; last pass", &process));
  ASSERT_TRUE(process.wait_for("Start Run"));
  process.signal(SIGTERM);
  EXPECT_TRUE(listener.until("STOPPING=1", &process));
  process.finish();
  EXPECT_EQ(listener.count("WATCHDOG=1"), 0);
}

// A command that hangs shows as the age of the oldest running job in the metrics, which grows,
// and by its file's name in the status.
TEST(Notify, HungJobHasAnAgeAndAName) {
  TempTree tree;
  tree.write("in/a.job", "1");
  Listener listener(tree.path("notify"));
  ASSERT_TRUE(listener.bound());
  Process process({"-l", "-g", "0", "-m", tree.path("metrics"), "-d", "in", "*.job", "sleep 3600"},
                  tree.root(), {"NOTIFY_SOCKET=" + tree.path("notify")});
  EXPECT_TRUE(
      listener.until("STATUS=Waiting 0, running 1, done 0, failed 0; running 'a.job'", &process));
  const std::string metric = "\nhotbatch_oldest_running_job_age_seconds ";
  EXPECT_TRUE(process.wait_until([&] {
    const std::string text = tree.read("metrics");
    const std::size_t at = text.find(metric);
    return at != std::string::npos && std::atof(text.c_str() + at + metric.size()) >= 1.0;
  }));
  process.signal_group(SIGINT);
  EXPECT_EQ(process.finish().status, 0);
}

// One line per entry the pass looks at, sorted as the walk goes; nothing is run, claimed or
// changed, and the work folder's claims are named.
TEST(DryRun, SaysWhatEachEntryWouldGet) {
  TempTree tree;
  tree.write("in/a.job", "1");
  tree.write("in/b.txt", "1");
  tree.write("in/.dot/x.job", "1");
  tree.write("in/sub/c.job", "1");
  tree.write("in/q$x.job", "1");
  tree.write("in/held.job", "1");
  tree.write("in/other.job", "1");
  tree.mkdir("work");
  chmod(tree.path("work").c_str(), 0700);
  tree.write("work/7-1.from", tree.path("in") + "\ngone.job");
  ASSERT_EQ(mkfifo(tree.path("in/fifo.job").c_str(), 0600), 0);
  ASSERT_EQ(symlink("sub", tree.path("in/to-sub").c_str()), 0);
  ASSERT_EQ(symlink("other.job", tree.path("in/theirs.job").c_str()), 0);
  ASSERT_EQ(lchown(tree.path("in/theirs.job").c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink("a.job", tree.path("in/z-mine.job").c_str()), 0);
  const int writer = open(tree.path("in/held.job").c_str(), O_WRONLY);
  const RunResult result =
      run({"-n", "-r", "-p", "work", "-d", "in", "*.job", "touch \"@1@.ran\""}, tree.root());
  close(writer);
  EXPECT_EQ(result.status, 0);
  const std::string in = tree.path("in") + "/";
  auto line = [](const std::string& what, const std::string& path) {
    return "Dry run: " + what + ": '" + path + "'\n";
  };
  EXPECT_EQ(
      result.out.substr(result.out.find("\nDry run...\n")),
      "\nDry run...\n" + line("folder passed over (its name starts with a dot)", in + ".dot") +
          line("would run", in + "a.job") + line("not matching", in + "b.txt") +
          line("not a regular file, passed over", in + "fifo.job") +
          line("held by a writer or not settled, waits", in + "held.job") +
          line("would run", in + "other.job") + line("unsafe name, passed over", in + "q$x.job") +
          line("folder walked", in + "sub") + line("would run", in + "sub/c.job") +
          line("link to another user's file, not followed", in + "theirs.job") +
          line("folder passed over (a link, not followed)", in + "to-sub") +
          line("link not claimed, passed over", in + "z-mine.job") +
          line("in hand elsewhere (claimed into the work folder)", in + "gone.job"));
  EXPECT_EQ(tree.list("in").size(), 11u);
  EXPECT_EQ(tree.list("work"), std::vector<std::string>{"7-1.from"});
}

// The dry run and a pass over one inbox run the same files: each file the dry run says would run
// is run, and no other (a link with -p, a held file, a dot folder are passed over by both).
TEST(DryRun, AgreesWithAPass) {
  TempTree tree;
  for (const char* name : {"in/a.job", "in/sub/b.job", "in/.dot/c.job", "in/held.job"}) {
    tree.write(name, "1");
  }
  ASSERT_EQ(symlink("a.job", tree.path("in/link.job").c_str()), 0);
  tree.mkdir("work");
  chmod(tree.path("work").c_str(), 0700);
  const std::vector<std::string> args = {"-r", "-g", "0",     "-p",  "work",
                                         "-d", "in", "*.job", "true"};
  std::vector<std::string> dry = args;
  dry.insert(dry.begin(), "-n");
  const int writer = open(tree.path("in/held.job").c_str(), O_WRONLY);
  const std::string said = run(dry, tree.root()).out;
  const std::string ran = run(args, tree.root()).out;
  close(writer);
  auto paths = [](const std::string& text, const std::string& before, const std::string& after) {
    std::vector<std::string> found;
    for (std::size_t at = text.find(before); at != std::string::npos;
         at = text.find(before, at + 1)) {
      const std::size_t from = at + before.size();
      found.push_back(text.substr(from, text.find(after, from) - from));
    }
    return found;
  };
  const std::vector<std::string> would_run = paths(said, "Dry run: would run: '", "'\n");
  EXPECT_EQ(would_run, paths(ran, " File found and under processing: ", "\n")) << said << ran;
  EXPECT_EQ(would_run,
            (std::vector<std::string>{tree.path("in/a.job"), tree.path("in/sub/b.job")}));
}

}  // namespace
}  // namespace e2e
