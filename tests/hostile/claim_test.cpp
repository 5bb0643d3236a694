// The work folder (-p) under attack: a dropper who swaps folders, files and outputs for links
// around the readiness test gets neither a root file read nor one written; files of a killed run
// come back; two services on one inbox run every file once.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
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

// One attack on a root service with -p: shell lines the dropper runs in the inbox before the run
// and once the metric `step` of the run has reached 1 ($PRIVATE: a root-only folder holding
// secret.txt; $SECRET, $IMPORTANT: see SharedInbox), the run's options and command ($LEDGER: where
// it appends what it read).
struct Attack {
  const char* name;
  std::string prepare, during;
  const char* step;
  std::vector<std::string> options;  // before -E -p work -d inbox
  std::string command;
};

// A folder for us alone in `tree`, as a work folder must be.
std::string private_folder(const TempTree& tree, const std::string& rel) {
  tree.mkdir(rel);
  chmod(tree.path(rel).c_str(), 0700);
  return tree.path(rel);
}

void PrintTo(const Attack& attack, std::ostream* out) {
  *out << attack.name;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Attack kAttacks[] = {
    // A: the folder the walk entered is swapped for a link to a root-only folder between the
    // first readiness probe and the job.
    {"FolderSwappedForALink",
     "mkdir -p d/e && echo dropped > d/e/secret.txt",
     "mv d/e d/old && ln -s $PRIVATE d/e",
     "hotbatch_files_waiting",
     {"-r", "-g", "3"},
     "cat \"@1@\" >> \"$LEDGER\""},
    // C: the file is swapped for a link to the secret and back, resting as the file just long
    // enough to be found ready (in a folder of the dropper's, where no sticky bit protects the
    // link); at last it stays the file.
    {"FileSwappedForALink",
     "mkdir c && echo dropped > c/keep",
     "cd c && timeout 3 sh -c 'while :; do ln -f keep t && mv -Tf t c.pdf; sleep 0.02; "
     "ln -sf $SECRET t && mv -Tf t c.pdf; done'; [ ! -L c.pdf ] || { ln -f keep t && mv -Tf t "
     "c.pdf; }",
     "hotbatch_passes_total",
     {"-r", "-l", "-s", "1", "-g", "0"},
     "cat \"@1@\" >> \"$LEDGER\""},
    // D: a link planted where the command writes "@4@.pdf".
    {"OutputLinkPlanted",
     "mkdir s && echo dropped > s/x.txt && ln -s $IMPORTANT s/x.pdf",
     "",
     nullptr,
     {"-r", "-g", "0"},
     "cp \"@1@\" \"@4@.pdf\" && cat \"$HOTBATCH_1\" >> \"$LEDGER\""},
};

class Claimed : public Hostile, public ::testing::WithParamInterface<Attack> {};

// The command reads only the dropper's own file, and nothing outside the inbox is read or written.
TEST_P(Claimed, AttackGetsNothingOutside) {
  const Attack& attack = GetParam();
  TempTree tree;
  SharedInbox box(tree, 0);
  tree.write("private/secret.txt", "root-only\n");
  give(tree.path("private"), 0, 0700);
  private_folder(tree, "srv/work");
  const std::string ledger = box.srv + "/ledger";
  const auto dropper = [&](const std::string& script) {
    ASSERT_TRUE(as_user(kDropper, [&] {
      return std::system(("cd " + box.inbox + " && PRIVATE=" + tree.path("private") +
                          " SECRET=" + box.secret + " IMPORTANT=" + box.important + "; " + script)
                             .c_str()) == 0;
    }));
  };
  dropper(attack.prepare);
  std::vector<std::string> args = attack.options;
  const std::string metrics = tree.path("metrics");
  args.insert(args.end(), {"-m", metrics, "-E", "-p", box.srv + "/work", "-d", box.inbox, "*.*",
                           attack.command});
  Process hotbatch(args, box.inbox, {"LEDGER=" + ledger});
  ASSERT_TRUE(attack.step == nullptr ||
              hotbatch.wait_until([&] { return e2e::metric(metrics, attack.step) >= 1; }));
  dropper(attack.during);
  if (attack.options[1] == "-l") {
    EXPECT_TRUE(hotbatch.wait_until([&] { return !box.read(ledger).empty(); }));
    hotbatch.signal(SIGTERM);
  }
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0) << result.out;
  const std::string read = box.read(ledger);
  EXPECT_TRUE(!read.empty() && occurrences(read, "dropped\n") * 8 == static_cast<int>(read.size()))
      << read << result.out;
  EXPECT_TRUE(box.untouched(result.out + read));
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
  private_folder(tree, "good");
  // Each made by a shell command in the tree, $P standing for its path.
  const std::map<std::string, std::string> cases = {{"missing", ":"},
                                                    {"", ":"},
                                                    {"plain", "touch $P"},
                                                    {"link", "ln -s good $P"},
                                                    {"foreign", "mkdir $P && chown 65534 $P"},
                                                    {"group-writable", "mkdir -m 770 $P"},
                                                    {"others-writable", "mkdir -m 1777 $P"},
                                                    {"in/inside", "mkdir -m 700 $P"}};
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
  const std::string work = private_folder(tree, "work");
  tree.write("in/a.txt", "a\n");
  const std::string ledger = tree.path("ledger");
  {
    Process first({"-g", "0", "-p", work, "-d", tree.path("in"), "*.txt",
                   "cat \"@1@\" >> " + ledger + "; exec sleep 60"},
                  "");
    ASSERT_TRUE(first.wait_until([&] { return read_all(ledger) == "a\n"; }));
    kill(first.pid(), SIGKILL);
    first.finish();
    // A temporary file of the killed run goes at the next start; one of a live process stays. So
    // does a sub-folder it made but wrote no record for.
    tree.write("work/.hotbatch-" + std::to_string(first.pid()) + "-1.tmp", "x");
    tree.mkdir("work/" + std::to_string(first.pid()) + "-999");
  }
  const std::string live = ".hotbatch-" + std::to_string(getpid()) + "-1.tmp";
  tree.write("work/" + live, "x");
  EXPECT_EQ(entries_of(tree.path("in")), std::vector<std::string>{});
  const RunResult again = e2e::run(
      {"-g", "0", "-E", "-p", work, "-d", tree.path("in"), "*.txt", "cat \"@1@\" >> " + ledger},
      "");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(read_all(ledger), "a\na\n") << again.out;
  EXPECT_EQ(occurrences(again.out, "Spoolex: File of an unfinished run put back: '" +
                                       tree.path("in/a.txt") + "'\n"),
            1);
  EXPECT_EQ(entries_of(tree.path("in")), std::vector<std::string>{});
  EXPECT_EQ(entries_of(work), std::vector<std::string>{live});
}

// Records of an unfinished run that could lead a file elsewhere (A and the link 999-1 to a
// root-only folder are the dropper's) move nothing and are warned about; a safe one of 1.2 is read.
TEST_F(WorkFolder, RecoveryMovesNothingByAMisreadRecord) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string work = private_folder(tree, "srv/work"), in = box.inbox,
                    v1 = "hotbatch claim 1";
  tree.mkdir("private");
  give(tree.path("private"), 0, 0700);
  ASSERT_TRUE(as_user(kDropper, [&] {
    return mkdir((in + "/A").c_str(), 0755) == 0 && make_link(tree.path("private"), in + "/999-1");
  }));
  const struct {
    std::string record;
    bool put_back;  // else: left, with the warning
  } cases[] = {
      {in + "/A\n../999-1\nf.txt", false},  // a folder named with a line end
      {in + "/A\n../999-1/f.txt", false},   // a name with separators
      {v1 + '\0' + in + "/A" + '\0' + "../999-1/f.txt" + '\0', false},
      {v1 + '\0' + in + "/999-1" + '\0' + "f.txt" + '\0', false},  // a link on the way
      {in + "/A\nf.txt", true},                                    // a record of 1.2
  };
  for (const auto& c : cases) {
    tree.write("srv/work/999-1/f.txt", "f\n");
    std::ofstream(work + "/999-1.from", std::ios::binary) << c.record;
    const RunResult result = e2e::run({"-p", work, "-d", in, "*.none", "true"}, "");
    EXPECT_EQ(entries_of(tree.path("private")), std::vector<std::string>{}) << c.record;
    EXPECT_EQ(fs::remove(in + "/A/f.txt"), c.put_back) << c.record << result.out;
    EXPECT_EQ(
        occurrences(result.out, "Warning: Claim record not trusted, left in the work folder: '" +
                                    work + "/999-1.from'\n"),
        c.put_back ? 0 : 1);
  }
}

// A trusted link claimed would be opened by the command wherever it leads by then: never claimed.
TEST_F(WorkFolder, LinkNeverClaimed) {
  TempTree tree;
  SharedInbox box(tree, 0);
  const std::string work = private_folder(tree, "srv/work");
  ASSERT_TRUE(as_user(kDropper, [&] {
    return write_file(box.inbox + "/own", "dropped\n") &&
           make_link(box.inbox + "/own", box.inbox + "/l.txt");
  }));
  const std::string ledger = box.srv + "/ledger";
  std::vector<std::string> args = box.looping_args("*.txt", "cat \"@1@\" >> " + ledger);
  args.insert(args.end() - 2, {"-p", work});
  Process hotbatch(args, box.inbox);
  const RunResult result = stop_after_passes(&hotbatch);
  EXPECT_EQ(occurrences(result.out,
                        "Warning: Link not claimed, passed over: '" + box.inbox + "/l.txt'\n"),
            1);
  EXPECT_EQ(box.read(ledger), "");
  EXPECT_TRUE(is_link(box.inbox + "/l.txt"));
}

// Two services on one inbox, each with its own work folder: the move decides who takes a file,
// and each of 1,000 files runs exactly once.
TEST_F(WorkFolder, TwoServicesRunEachFileOnce) {
  TempTree tree;
  tree.mkdir("in");
  const std::string ledger = tree.path("ledger");
  std::vector<std::unique_ptr<Process>> services;
  for (const char* work : {"work1", "work2"}) {
    services.push_back(std::make_unique<Process>(
        std::vector<std::string>{"-l", "-s", "1", "-g", "0", "-j", "4", "-E", "-p",
                                 private_folder(tree, work), "-d", tree.path("in"), "*.txt",
                                 "echo @2@ >> " + ledger},
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
  const std::string text = read_all(ledger);
  std::istringstream lines(text);
  const std::set<std::string> names{std::istream_iterator<std::string>(lines), {}};
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1000);
  EXPECT_EQ(names.size(), 1000u);
}

}  // namespace
}  // namespace hostile
