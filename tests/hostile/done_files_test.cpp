// Done files (-f) under attack: one forged by another user, one reached through a dropper's link,
// and the name of a claimed file taken while it waits for its next try.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostile_support.h"

namespace hostile {
namespace {

struct DoneAttack {
  const char* name;
  std::vector<std::string> options;  // before -d inbox; $LEDGER, $INBOX, $MARK in `command`
  std::string command;
  std::function<bool(const SharedInbox&, const e2e::TempTree&)> prepare;
  std::function<void(const SharedInbox&, const e2e::TempTree&)> check;
};

// Text with $NAME replaced by `value`.
std::string with(std::string text, const std::string& name, const std::string& value) {
  for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
    text.replace(at, name.size(), value);
  }
  return text;
}

bool dropped_by_victim(const SharedInbox& box) {
  return as_user(kOtherDropper, [&] {
    return write_file(box.inbox + "/report.txt", "victim\n") &&
           write_file(box.inbox + "/report.done", "");
  });
}

const DoneAttack kDoneAttacks[] = {
    // The dropper's done file, made beforehand with a time to come, for a file still written.
    {"ForgedBeforehand",
     {"-f", "@4@.done"},
     "cat \"@1@\" >> $LEDGER",
     [](const SharedInbox& box, const e2e::TempTree&) {
       const timespec later[2] = {{time(nullptr) + 3600, 0}, {time(nullptr) + 3600, 0}};
       return as_user(kDropper,
                      [&] {
                        return write_file(box.inbox + "/report.done", "") &&
                               utimensat(AT_FDCWD, (box.inbox + "/report.done").c_str(), later,
                                         0) == 0;
                      }) &&
              as_user(kOtherDropper, [&] { return write_file(box.inbox + "/report.txt", "ha"); });
     },
     [](const SharedInbox& box, const e2e::TempTree& tree) {
       EXPECT_FALSE(tree.exists("ledger"));
       EXPECT_EQ(box.read(box.inbox + "/report.txt"), "ha");
     }},
    // The done file's folder is the dropper's link to a folder holding the service's own file.
    {"ThroughALink",
     {"-r", "-f", "flags/@5@.done"},
     "true",
     [](const SharedInbox& box, const e2e::TempTree& tree) {
       tree.mkdir("flags");
       tree.write("flags/victim.done", "");
       return as_user(kDropper, [&] {
         return mkdir((box.inbox + "/mine").c_str(), 0777) == 0 &&
                make_link(tree.path("flags"), box.inbox + "/mine/flags") &&
                write_file(box.inbox + "/mine/victim.txt", "x");
       });
     },
     [](const SharedInbox& box, const e2e::TempTree& tree) {
       EXPECT_TRUE(tree.exists("flags/victim.done"));
       EXPECT_EQ(box.read(box.inbox + "/mine/victim.txt"), "x");
     }},
    // While the victim's file waits for its next try, the dropper takes its name: the try runs
    // the victim's file, under its own name.
    {"NameTakenDuringAClaim",
     {"-s", "1", "-b", "2", "-p", "$WORK", "-f", "@4@.done"},
     "if [ -e $MARK ]; then cat \"@1@\" >> $LEDGER; else touch $MARK; setpriv --reuid=65534 "
     "--regid=65534 --clear-groups sh -c 'echo evil > $INBOX/report.txt'; exit 1; fi",
     [](const SharedInbox& box, const e2e::TempTree&) { return dropped_by_victim(box); },
     [](const SharedInbox& box, const e2e::TempTree& tree) {
       EXPECT_EQ(tree.read("ledger"), "victim\n");
       EXPECT_EQ(box.read(box.inbox + "/report.txt"), "evil\n");
       EXPECT_FALSE(tree.exists("srv/inbox/report~2.txt"));
     }},
};

TEST_F(Hostile, DoneFilesCannotBeForgedOrFollowed) {
  for (const DoneAttack& attack : kDoneAttacks) {
    SCOPED_TRACE(attack.name);
    e2e::TempTree tree;
    SharedInbox box(tree, 0);
    tree.mkdir("work");
    chmod(tree.path("work").c_str(), 0700);
    ASSERT_TRUE(attack.prepare(box, tree));
    std::vector<std::string> args = {"-g", "0", "-E"};
    for (const std::string& option : attack.options) {
      args.push_back(with(option, "$WORK", tree.path("work")));
    }
    std::string command = with(attack.command, "$LEDGER", tree.path("ledger"));
    command = with(with(command, "$MARK", tree.path("mark")), "$INBOX", box.inbox);
    args.insert(args.end(), {"-d", box.inbox, "*.txt", command});
    const e2e::RunResult result = e2e::run(args, tree.root());
    EXPECT_EQ(result.status, 0) << result.out;
    attack.check(box, tree);
  }
}

}  // namespace
}  // namespace hostile
