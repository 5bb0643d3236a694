// Support of the hostile-inbox suite: other users, background processes of theirs, the service
// started as another user, and the warnings the program prints about what droppers leave.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace hostile {

// The user who drops files into the inbox and owns nothing else; a second one for cases that
// need two; the user a service runs as when it is not root.
constexpr uid_t kDropper = 65534;
constexpr uid_t kOtherDropper = 65533;
constexpr uid_t kServiceUser = 4242;

// Every case needs root: it changes users, hands files to them and mounts small file systems.
// Without root each case is skipped with the reason, and the suite passes.
class Hostile : public ::testing::Test {
 protected:
  void SetUp() override;
};

// The same, for cases run once with the service as root and once as kServiceUser.
class HostileService : public ::testing::TestWithParam<uid_t> {
 protected:
  void SetUp() override;
  uid_t service() const { return GetParam(); }
};
std::string service_name(const ::testing::TestParamInfo<uid_t>& info);

// Runs `action` in a child process as `uid` (group of the same number, no other groups).
// True when it returned true.
bool as_user(uid_t uid, const std::function<bool()>& action);

// Convenience actions for as_user, each true on success. Files are writable for all by default,
// as a service user needs them to be: the readiness test opens each file for appending.
bool write_file(const std::string& path, const std::string& content, mode_t mode = 0666);
bool make_link(const std::string& target, const std::string& link);
bool replace_by(const std::string& from, const std::string& to);  // rename over

// A process of another user that holds on to what `setup` opened until this object goes.
class Background {
 public:
  // Returns once `setup` has run as `uid`; ready() tells whether it succeeded.
  Background(uid_t uid, const std::function<bool()>& setup);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// How the program under test is started for a service that runs as `uid` (0: root, as it is),
// with further setpriv arguments such as capabilities.
e2e::RunOptions as_service(uid_t uid, const std::vector<std::string>& setpriv_extra = {},
                           const std::vector<std::string>& env = {});

// Owner and permission bits of a path (links not followed); chown/chmod that fail the test.
void give(const std::string& path, uid_t uid, mode_t mode);

// The README's layout of a shared inbox, inside `tree`: srv/inbox (everyone may write),
// srv/failed (the service's), srv/ok (everyone may write, as the success files of a shared
// folder are), srv/run.log, and files outside srv that no job may read or change.
struct SharedInbox {
  SharedInbox(const e2e::TempTree& tree, uid_t service);
  std::string inbox, failed, ok, log, srv;
  std::string secret;     // the service user's private file (mode 0600)
  std::string important;  // the service user's file that droppers may read but not change
  std::string secret_text, important_text;

  std::string read(const std::string& path) const;  // empty when missing

  // The README's options -d inbox -E -e failed -o run.log -t ok/@2@.ok, looping with a pause
  // of one second and the settle time `settle`.
  std::vector<std::string> looping_args(const std::string& pattern, const std::string& command,
                                        const std::string& settle = "0") const;
  // True while the secret is in no file of the tree but its own, nor in `output`, and the
  // important file is unchanged.
  ::testing::AssertionResult untouched(const std::string& output) const;

 private:
  std::string root_;
};

// Folder path below `base` (without `base`) such that base + '/' + folders + '/' + name is
// exactly `total` bytes long.
std::string folders_for_length(const std::string& base, std::size_t total, const std::string& name);

// Makes `levels` nested folders named `step` below `folder` as the current user, by descriptors
// (the path may be longer than the system accepts); in the folder at depth d (1 = the first)
// it writes each file named in `files` under that depth. Returns false on failure.
bool make_deep_tree(const std::string& folder, int levels, const std::string& step,
                    const std::vector<std::pair<int, std::string>>& files);

// Removes `folder` with everything in it, however deep.
void remove_deep(const std::string& folder);

// The program's warnings about single files and folders.
std::string warn_path_too_long(const std::string& shown);
std::string warn_not_regular(const std::string& shown);
std::string warn_foreign_link(const std::string& shown);
std::string warn_too_deep(const std::string& shown);
std::string warn_replaced(const std::string& shown);
std::string warn_copy_failed(const std::string& shown);
extern const char* const kLeaseWarning;

// Lets a looping run make a few passes (with -s 1 -g 0), then asks it to stop and waits.
e2e::RunResult stop_after_passes(e2e::Process* process);

// Names of every entry of a folder (dot files too), sorted; empty when it cannot be listed.
std::vector<std::string> entries_of(const std::string& folder);

// Whether the entry itself (not what a link leads to) is a regular file, a link, and its size.
bool is_plain_file(const std::string& path);
bool is_link(const std::string& path);

}  // namespace hostile
