// Support of the hostile-inbox suite: users, background processes, the service's launcher.
#include "hostile_support.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace hostile {
namespace {

const char* const kSkipReason =
    "SKIPPED: the hostile-inbox suite needs root (it changes users with setpriv, hands files to "
    "them and mounts small file systems); CI runs it as root";

bool become(uid_t uid) {
  return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

void Hostile::SetUp() {
  if (geteuid() != 0) {
    GTEST_SKIP() << kSkipReason;
  }
}

void HostileService::SetUp() {
  if (geteuid() != 0) {
    GTEST_SKIP() << kSkipReason;
  }
}

std::string service_name(const ::testing::TestParamInfo<uid_t>& info) {
  return info.param == 0 ? "ServiceAsRoot" : "ServiceAsUser" + std::to_string(info.param);
}

bool as_user(uid_t uid, const std::function<bool()>& action) {
  const pid_t pid = fork();
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    _exit(become(uid) && action() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool write_file(const std::string& path, const std::string& content, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    return false;
  }
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < content.size();) {
    const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
    ok = wrote > 0;
    done += ok ? static_cast<std::size_t>(wrote) : 0;
  }
  return close(fd) == 0 && ok;
}

bool make_link(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}

bool replace_by(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

Background::Background(uid_t uid, const std::function<bool()>& setup) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(report[0]);
    const char ok = become(uid) && setup() ? 1 : 0;
    (void)!write(report[1], &ok, 1);
    if (ok == 0) {
      _exit(1);
    }
    for (;;) {
      pause();
    }
  }
  close(report[1]);
  char ok = 0;
  ready_ = pid_ > 0 && read(report[0], &ok, 1) == 1 && ok == 1;
  close(report[0]);
}

Background::~Background() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

e2e::RunOptions as_service(uid_t uid, const std::vector<std::string>& setpriv_extra,
                           const std::vector<std::string>& env) {
  e2e::RunOptions options;
  options.env = env;
  if (uid != 0 || !setpriv_extra.empty()) {
    const std::string id = std::to_string(uid);
    e2e::Launcher chosen;
    chosen.prefix = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    chosen.prefix.insert(chosen.prefix.end(), setpriv_extra.begin(), setpriv_extra.end());
    chosen.prefix.insert(chosen.prefix.end(), e2e::launcher().prefix.begin(),
                         e2e::launcher().prefix.end());
    chosen.program = e2e::launcher().program;
    options.launcher = chosen;
  }
  return options;
}

void give(const std::string& path, uid_t uid, mode_t mode) {
  ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path;
  if (!is_link(path)) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  }
}

SharedInbox::SharedInbox(const e2e::TempTree& tree, uid_t service) : root_(tree.root()) {
  give(tree.root(), 0, 0755);
  srv = tree.path("srv");
  inbox = srv + "/inbox";
  failed = srv + "/failed";
  ok = srv + "/ok";
  log = srv + "/run.log";
  secret = tree.path("secret");
  important = tree.path("important");
  const std::string tag = tree.root().substr(tree.root().rfind('-') + 1);
  secret_text = "secret-of-the-service-" + tag;
  important_text = "important-file-" + tag;
  tree.mkdir("srv/inbox");
  tree.mkdir("srv/failed");
  tree.mkdir("srv/ok");
  give(srv, service, 0755);
  give(inbox, 0, 0777);
  give(failed, service, 0755);
  give(ok, 0, 0777);
  tree.write("secret", secret_text);
  give(secret, service, 0600);
  tree.write("important", important_text);
  give(important, service, 0644);
}

std::vector<std::string> SharedInbox::looping_args(const std::string& pattern,
                                                   const std::string& command,
                                                   const std::string& settle) const {
  return {"-l", "-s",   "1",  "-g", settle, "-E",           "-d",    inbox,
          "-e", failed, "-o", log,  "-t",   ok + "/@2@.ok", pattern, command};
}

std::string SharedInbox::read(const std::string& path) const {
  return slurp(path);
}

::testing::AssertionResult SharedInbox::untouched(const std::string& output) const {
  if (slurp(secret) != secret_text) {
    return ::testing::AssertionFailure() << "the secret was changed";
  }
  if (!is_plain_file(important) || slurp(important) != important_text) {
    return ::testing::AssertionFailure() << "the important file was changed";
  }
  if (output.find(secret_text) != std::string::npos) {
    return ::testing::AssertionFailure() << "the secret reached the console";
  }
  std::error_code error;
  fs::recursive_directory_iterator walk(root_, fs::directory_options::skip_permission_denied,
                                        error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    const std::string path = walk->path().string();
    struct stat info;
    // A copy of the secret is small; large files (a sparse 64 GiB one) are not read.
    if (path != secret && lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size < (1 << 20) && slurp(path).find(secret_text) != std::string::npos) {
      return ::testing::AssertionFailure() << "the secret was copied into " << path;
    }
  }
  return ::testing::AssertionSuccess();
}

std::string folders_for_length(const std::string& base, std::size_t total,
                               const std::string& name) {
  std::size_t left = total - base.size() - 1 - name.size() - 1;
  std::string folders;
  while (left > 250) {
    folders += std::string(200, 'd') + "/";
    left -= 201;
  }
  return folders + std::string(left, 'e');
}

bool make_deep_tree(const std::string& folder, int levels, const std::string& step,
                    const std::vector<std::pair<int, std::string>>& files) {
  int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = at >= 0;
  for (int depth = 1; ok && depth <= levels; ++depth) {
    ok = mkdirat(at, step.c_str(), 0755) == 0;
    const int next = ok ? openat(at, step.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(at);
    at = next;
    ok = ok && at >= 0;
    for (const auto& [where, name] : files) {
      if (ok && where == depth) {
        const int fd = openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ok = fd >= 0 && write(fd, "1", 1) == 1;
        close(fd);
      }
    }
  }
  if (at >= 0) {
    close(at);
  }
  return ok;
}

void remove_deep(const std::string& folder) {
  const fs::path path(folder);
  const int parent = open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent >= 0) {
    e2e::remove_at(parent, path.filename().c_str());
    close(parent);
  }
}

std::string warn_path_too_long(const std::string& shown) {
  return "Warning: Path too long for the command, file skipped: '" + shown + "'\n";
}
std::string warn_not_regular(const std::string& shown) {
  return "Warning: Not a regular file, skipped: '" + shown + "'\n";
}
std::string warn_foreign_link(const std::string& shown) {
  return "Warning: Link to another user's file skipped: '" + shown + "'\n";
}
std::string warn_too_deep(const std::string& shown) {
  return "Warning: Folder not entered (too deep): '" + shown + "'\n";
}
std::string warn_replaced(const std::string& shown) {
  return "Warning: File was replaced during its job, left in place: '" + shown + "'\n";
}
std::string warn_copy_failed(const std::string& shown) {
  return "Warning: File kept, copy into error folder failed: '" + shown + "'\n";
}
const char* const kLeaseWarning =
    "Warning: Cannot check for writers still holding files (no permission for leases); only the "
    "size test applies\n";

e2e::RunResult stop_after_passes(e2e::Process* process) {
  // Keeps reading its output meanwhile, so that a full pipe never holds the program up.
  process->wait_until([] { return false; }, e2e::Millis(2500));
  process->signal(SIGTERM);
  return process->finish();
}

std::vector<std::string> entries_of(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool is_plain_file(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool is_link(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace hostile
