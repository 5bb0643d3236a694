// The work folder (-p) under attack: a dropper who swaps folders, files and outputs for links
// around the readiness test gets neither a root file read nor one written; files of a killed run
// come back; two services on one inbox run every file once.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "hostile_support.h"

namespace fs = std::filesystem;

namespace hostile {
namespace {

using e2e::occurrences;
using e2e::Process;
using e2e::RunResult;
using e2e::TempTree;

// One attack on a root service with -p: what the dropper prepares, the options and command of
// the run, what the dropper does once the run has started, and what must hold afterwards.
struct Attack {
  const char* name;
  std::vector<std::string> options;                                  // before -p work -d inbox
  std::string command;                                               // $LEDGER is the ledger's path
  std::function<bool(const SharedInbox&, const TempTree&)> prepare;  // as the dropper
  std::function<void(const SharedInbox&, const TempTree&)> during;   // as the dropper
  std::function<void(const SharedInbox&, const std::string& ledger, const RunResult&)> check;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child of the dropper's background process that swaps `name` between a plain file of the
// dropper and a link to `target` without pause, until that process goes.
bool swap_in_a_loop(const std::string& folder, const std::string& target) {
  const pid_t pid = fork();
  if (pid != 0) {
    return pid > 0;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const std::string keep = folder + "/keep", name = folder + "/c.pdf";
  for (;;) {
    unlink((folder + "/t1").c_str());
    unlink((folder + "/t2").c_str());
    if (link(keep.c_str(), (folder + "/t1").c_str()) == 0) {
      rename((folder + "/t1").c_str(), name.c_str());
    }
    if (symlink(target.c_str(), (folder + "/t2").c_str()) == 0) {
      rename((folder + "/t2").c_str(), name.c_str());
    }
  }
}

const Attack kAttacks[] = {
    // A: the folder the walk entered is swapped for a link to a root-only folder between the
    // first readiness probe and the job: the command still gets the dropper's file.
    {"FolderSwappedForALink",
     {"-r", "-g", "3"},
     "cat \"@1@\" >> \"$LEDGER\"",
     [](const SharedInbox& box, const TempTree&) {
       return fs::create_directories(box.inbox + "/d/e") &&
              write_file(box.inbox + "/d/e/secret.txt", "dropped\n");
     },
     [](const SharedInbox& box, const TempTree& tree) {
       ASSERT_TRUE(as_user(kDropper, [&] {
         return replace_by(box.inbox + "/d/e", box.inbox + "/d/old") &&
                make_link(tree.path("private"), box.inbox + "/d/e");
       }));
     },
     [](const SharedInbox& box, const std::string& ledger, const RunResult& result) {
       EXPECT_EQ(box.read(ledger), "dropped\n") << result.out;
     }},
    // C: the file is swapped for a link to the secret and back without pause, in a folder of the
    // dropper's (no sticky bit): the command reads what was moved into the work folder, and what
    // arrives there is checked, so a link never reaches it.
    {"FileSwappedForALink",
     {"-r", "-l", "-s", "1", "-g", "0"},
     "cat \"@1@\" >> \"$LEDGER\"",
     [](const SharedInbox& box, const TempTree&) {
       return fs::create_directories(box.inbox + "/c") &&
              write_file(box.inbox + "/c/keep", "dropped\n");
     },
     [](const SharedInbox& box, const TempTree&) {
       Background swapper(kDropper, [&] { return swap_in_a_loop(box.inbox + "/c", box.secret); });
       ASSERT_TRUE(swapper.ready());
       std::this_thread::sleep_for(std::chrono::seconds(3));
     },
     [](const SharedInbox& box, const std::string& ledger, const RunResult& result) {
       EXPECT_NE(box.read(ledger), "") << result.out;
       EXPECT_EQ(occurrences(box.read(ledger), box.secret_text), 0);
     }},
    // D: a link planted where the command writes "@4@.pdf" (in a folder of the dropper's, where
    // no sticky bit protects it): with -p that name is in the work folder, so the link in the
    // inbox is not written through.
    {"OutputLinkPlanted",
     {"-r", "-g", "0"},
     "cp \"@1@\" \"@4@.pdf\"",
     [](const SharedInbox& box, const TempTree&) {
       return fs::create_directories(box.inbox + "/s") &&
              write_file(box.inbox + "/s/x.txt", "dropped\n") &&
              make_link(box.important, box.inbox + "/s/x.pdf");
     },
     nullptr,
     [](const SharedInbox& box, const std::string&, const RunResult&) {
       EXPECT_TRUE(is_link(box.inbox + "/s/x.pdf"));
     }},
};

class Claimed : public ::testing::TestWithParam<Attack> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "SKIPPED: needs root";
    }
  }
};

TEST_P(Claimed, AttackGetsNothingOutside) {
  const Attack& attack = GetParam();
  TempTree tree;
  SharedInbox box(tree, 0);
  tree.mkdir("private");
  tree.write("private/secret.txt", "root-only\n");
  give(tree.path("private"), 0, 0700);
  tree.mkdir("srv/work");
  give(tree.path("srv/work"), 0, 0700);
  const std::string ledger = box.srv + "/ledger";
  ASSERT_TRUE(as_user(kDropper, [&] { return attack.prepare(box, tree); }));
  std::vector<std::string> args = attack.options;
  args.insert(args.end(), {"-E", "-p", box.srv + "/work", "-d", box.inbox, "*.*", attack.command});
  Process hotbatch(args, box.inbox, {"LEDGER=" + ledger});
  ASSERT_TRUE(hotbatch.wait_for("Start Run..."));
  if (attack.during) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    attack.during(box, tree);
  }
  if (std::find(args.begin(), args.end(), "-l") != args.end()) {
    hotbatch.signal(SIGTERM);
  }
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0) << result.out;
  attack.check(box, ledger, result);
  EXPECT_EQ(box.read(tree.path("private/secret.txt")), "root-only\n");
  EXPECT_TRUE(box.untouched(result.out + box.read(ledger)));
}

INSTANTIATE_TEST_SUITE_P(Attacks, Claimed, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) {
                           return std::string(info.param.name);
                         });

class WorkFolder : public Hostile {};

// Every folder that would let someone else reach a claimed file is refused at start.
TEST_F(WorkFolder, NotUsableEndsTheStart) {
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("good");
  give(tree.path("good"), 0, 0700);
  // Each made by a shell command in the tree, $P standing for its path.
  const std::map<std::string, std::string> cases = {{"missing", ":"},
                                                    {"", ":"},
                                                    {"plain", "touch $P"},
                                                    {"link", "ln -s good $P"},
                                                    {"foreign", "mkdir $P && chown 65534 $P"},
                                                    {"group-writable", "mkdir -m 770 $P"},
                                                    {"others-writable", "mkdir -m 1777 $P"}};
  for (const auto& [name, make] : cases) {
    const std::string path = name.empty() ? "" : tree.path(name);
    ASSERT_EQ(std::system(("cd " + tree.root() + " && P=" + path + " && " + make).c_str()), 0);
    const RunResult result = e2e::run({"-p", path, "-d", tree.path("in"), "*", "true"}, "");
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(occurrences(result.out, "Spoolex: Work folder '" + path + "' is not usable\n"), 1)
        << name << result.out;
  }
}

// A run killed during a job leaves its file in the work folder: the next start puts it back,
// runs it again, and leaves the work folder empty.
TEST_F(WorkFolder, KilledRunsFileComesBack) {
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("work");
  give(tree.path("work"), 0, 0700);
  tree.write("in/a.txt", "a\n");
  const std::string ledger = tree.path("ledger");
  {
    Process first({"-g", "0", "-p", tree.path("work"), "-d", tree.path("in"), "*.txt",
                   "cat \"@1@\" >> " + ledger + "; exec sleep 60"},
                  "");
    ASSERT_TRUE(first.wait_until([&] { return read_all(ledger) == "a\n"; }));
    kill(first.pid(), SIGKILL);
    first.finish();
  }
  EXPECT_EQ(entries_of(tree.path("in")), std::vector<std::string>{});
  const RunResult again = e2e::run({"-g", "0", "-E", "-p", tree.path("work"), "-d", tree.path("in"),
                                    "*.txt", "cat \"@1@\" >> " + ledger},
                                   "");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(read_all(ledger), "a\na\n") << again.out;
  EXPECT_EQ(entries_of(tree.path("in")), std::vector<std::string>{});
  EXPECT_EQ(entries_of(tree.path("work")), std::vector<std::string>{});
}

// Two services on one inbox, each with its own work folder: the move decides who takes a file,
// and each of 1,000 files runs exactly once.
TEST_F(WorkFolder, TwoServicesRunEachFileOnce) {
  TempTree tree;
  tree.mkdir("in");
  const std::string ledger = tree.path("ledger");
  std::vector<std::unique_ptr<Process>> services;
  for (const char* work : {"work1", "work2"}) {
    tree.mkdir(work);
    give(tree.path(work), 0, 0700);
    services.push_back(std::make_unique<Process>(
        std::vector<std::string>{"-l", "-s", "1", "-g", "0", "-j", "4", "-E", "-p", tree.path(work),
                                 "-d", tree.path("in"), "*.txt", "echo @2@ >> " + ledger},
        ""));
  }
  for (int i = 0; i < 1000; ++i) {
    tree.drop("in/f" + std::to_string(i) + ".txt", "x\n");
  }
  services[0]->wait_until(
      [&] {
        // The other one's output is read too, so that a full pipe never holds it up.
        services[1]->wait_until([] { return false; }, e2e::Millis(10));
        const std::string text = read_all(ledger);
        return std::count(text.begin(), text.end(), '\n') >= 1000;
      },
      e2e::Millis(60000));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto& service : services) {
    service->signal(SIGTERM);
    service->finish();
  }
  std::map<std::string, int> runs;
  std::istringstream lines(read_all(ledger));
  for (std::string line; std::getline(lines, line);) {
    ++runs[line];
  }
  EXPECT_EQ(runs.size(), 1000u);
  for (const auto& [name, count] : runs) {
    EXPECT_EQ(count, 1) << name;
  }
}

}  // namespace
}  // namespace hostile
