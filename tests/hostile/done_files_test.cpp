// Done files (-f) under attack: forged, reached through a link, or a claimed file's name taken.
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "hostile_support.h"

namespace hostile {
namespace {

// Shell lines as the dropper, then as the victim (kOtherDropper), before a pass of a root service
// with `options`, and `check` after it. $IN: the inbox; $T: the tree, with the work folder and the
// service's own $T/flags/victim.done (newer than every file).
struct DoneAttack {
  const char* name;
  std::string dropper, victim, options, command, check;  // options: words before -d inbox
};

const DoneAttack kDoneAttacks[] = {
    {"ForgedBeforehand", "touch -d '+1 hour' $IN/report.done", "printf ha > $IN/report.txt",
     "-f @4@.done", "cat \"$HOTBATCH_1\" >> $T/ledger", "test ! -e $T/ledger"},
    {"ThroughALink",
     "mkdir -m 777 $IN/mine && ln -s $T/flags $IN/mine/flags && echo x > $IN/mine/victim.txt", "",
     "-r -f flags/@5@.done", "true", "test -e $T/flags/victim.done"},
    // The first try hands the name to the dropper; the second must run the victim's file.
    {"NameTakenDuringAClaim", "", "echo victim > $IN/report.txt && touch $IN/report.done",
     "-s 1 -b 2 -p work -f @4@.done",
     "if [ -e $T/mark ]; then cat \"$HOTBATCH_1\" >> $T/ledger; else touch $T/mark; setpriv "
     "--reuid=65534 --regid=65534 --clear-groups sh -c 'echo evil > $IN/report.txt'; exit 1; fi",
     "test \"$(cat $T/ledger $IN/report.txt)\" = \"$(printf 'victim\\nevil')\""},
};

TEST_F(Hostile, DoneFilesCannotBeForgedOrFollowed) {
  for (const DoneAttack& attack : kDoneAttacks) {
    SCOPED_TRACE(attack.name);
    e2e::TempTree tree;
    SharedInbox box(tree, 0);
    setenv("IN", box.inbox.c_str(), 1);
    setenv("T", tree.root().c_str(), 1);
    ASSERT_TRUE(as_user(kDropper, [&] { return std::system(attack.dropper.c_str()) == 0; }));
    ASSERT_TRUE(as_user(kOtherDropper, [&] { return std::system(attack.victim.c_str()) == 0; }));
    ASSERT_EQ(
        std::system("mkdir -m 700 $T/work $T/flags && touch -d '+1 hour' $T/flags/victim.done"), 0);
    std::vector<std::string> args = {"-g", "0", "-E"};
    std::istringstream words(attack.options);
    args.insert(args.end(), std::istream_iterator<std::string>(words), {});
    args.insert(args.end(), {"-d", box.inbox, "*.txt", attack.command});
    const e2e::RunResult result =
        e2e::run(args, tree.root(), {"IN=" + box.inbox, "T=" + tree.root()});
    EXPECT_EQ(std::system(attack.check.c_str()), 0) << result.out;
  }
}

}  // namespace
}  // namespace hostile
