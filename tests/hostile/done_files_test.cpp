// Done files (-f) under attack: one forged by another user, one reached through a dropper's link,
// and the name of a claimed file taken while it waits for its next try.
#include <sys/stat.h>

#include <cstdlib>

#include "hostile_support.h"

namespace hostile {
namespace {

// Shell lines run as the dropper, then as the victim (kOtherDropper), before a single pass of a
// root service, and `check` after it ($IN: the inbox, $T: the tree, with the service's own
// $T/flags/victim.done and the work folder $T/work).
struct DoneAttack {
  const char* name;
  std::string dropper, victim;
  std::vector<std::string> options;  // before -d inbox
  std::string command, check;
};

const DoneAttack kDoneAttacks[] = {
    // The dropper's done file, made beforehand with a time to come, for a file still written.
    {"ForgedBeforehand",
     "touch -d '+1 hour' $IN/report.done",
     "printf ha > $IN/report.txt",
     {"-f", "@4@.done"},
     "cat \"$HOTBATCH_1\" >> $T/ledger",
     "test ! -e $T/ledger"},
    // The done file's folder is the dropper's link to a folder holding the service's own file.
    {"ThroughALink",
     "mkdir -m 777 $IN/mine && ln -s $T/flags $IN/mine/flags && echo x > $IN/mine/victim.txt",
     "",
     {"-r", "-f", "flags/@5@.done"},
     "true",
     "test -e $T/flags/victim.done"},
    // While the victim's file waits for its next try, the dropper takes its name: the try runs
    // the victim's file, and the dropper's stays as it is.
    {"NameTakenDuringAClaim",
     "",
     "echo victim > $IN/report.txt && touch $IN/report.done",
     {"-s", "1", "-b", "2", "-p", "work", "-f", "@4@.done"},
     "if [ -e $T/mark ]; then cat \"$HOTBATCH_1\" >> $T/ledger; else touch $T/mark; setpriv "
     "--reuid=65534 --regid=65534 --clear-groups sh -c 'echo evil > $IN/report.txt'; exit 1; fi",
     "test \"$(cat $T/ledger)\" = victim -a \"$(cat $IN/report.txt)\" = evil -a ! -e "
     "$IN/report~2.txt"},
};

TEST_F(Hostile, DoneFilesCannotBeForgedOrFollowed) {
  for (const DoneAttack& attack : kDoneAttacks) {
    SCOPED_TRACE(attack.name);
    e2e::TempTree tree;
    SharedInbox box(tree, 0);
    tree.write("flags/victim.done", "");
    tree.mkdir("work");
    chmod(tree.path("work").c_str(), 0700);
    setenv("IN", box.inbox.c_str(), 1);
    setenv("T", tree.root().c_str(), 1);
    for (const auto& [user, lines] :
         {std::make_pair(kDropper, attack.dropper), std::make_pair(kOtherDropper, attack.victim)}) {
      ASSERT_TRUE(as_user(user, [&] { return std::system(lines.c_str()) == 0; })) << lines;
    }
    std::system("touch -d '+1 hour' $T/flags/victim.done");  // newer than any file of the case
    std::vector<std::string> args = {"-g", "0", "-E"};
    args.insert(args.end(), attack.options.begin(), attack.options.end());
    args.insert(args.end(), {"-d", box.inbox, "*.txt", attack.command});
    const e2e::RunResult result =
        e2e::run(args, tree.root(), {"IN=" + box.inbox, "T=" + tree.root()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(std::system(attack.check.c_str()), 0) << result.out;
  }
}

}  // namespace
}  // namespace hostile
