// Harness of the end-to-end suite: spawning the program, capturing its output, temporary trees.
#include "e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {
namespace {

// The program sees a small, fixed environment: the tests must not depend on the caller's, except
// for the variables a suite asks to pass on.
std::vector<std::string> make_environment(const RunOptions& options) {
  std::map<std::string, std::string> env = {
      {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"TZ", "UTC"}, {"LC_ALL", "C"}, {"HOME", "/"}};
  for (const std::string& name : options.unset) {
    env.erase(name);
  }
  for (const std::string& name : options.inherit) {
    if (const char* value = std::getenv(name.c_str())) {
      env[name] = value;
    }
  }
  for (const std::string& entry : options.env) {
    const std::size_t eq = entry.find('=');
    env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : env) {
    result.push_back(name + "=" + value);
  }
  return result;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

// Appends what can be read now; false at end of file (the descriptor is then closed).
bool read_available(int* fd, std::string* into) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(*fd, buffer, sizeof buffer);
    if (got > 0) {
      into->append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == EAGAIN) {
      return true;
    } else {
      close(*fd);
      *fd = -1;
      return false;
    }
  }
}

RunOptions with_env(const std::vector<std::string>& env) {
  RunOptions options;
  options.env = env;
  return options;
}

}  // namespace

const Launcher& launcher() {
  static const Launcher chosen = [] {
    Launcher result;
    result.program = HOTBATCH_BINARY;
    if (const char* program = std::getenv("HOTBATCH_E2E_PROGRAM")) {
      result.program = program;
    }
    const char* prefix = std::getenv("HOTBATCH_E2E_LAUNCHER");
    std::istringstream words(prefix != nullptr ? prefix : "");
    for (std::string word; words >> word;) {
      result.prefix.push_back(word);
    }
    return result;
  }();
  return chosen;
}

Process::Process(const std::vector<std::string>& args, const std::string& folder,
                 const std::vector<std::string>& env)
    : Process(args, folder, with_env(env)) {}

Process::Process(const std::vector<std::string>& args, const std::string& folder,
                 const RunOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const Launcher& chosen = options.launcher ? *options.launcher : launcher();
  std::vector<std::string> argv = chosen.prefix;
  argv.push_back(chosen.program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = make_environment(options);
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_envp = c_strings(envp);
  const int failed =
      posix_spawn(&pid_, c_argv[0], &actions, &attributes, c_argv.data(), c_envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  fcntl(err_fd_, F_SETFL, O_NONBLOCK);
  if (failed != 0) {
    ADD_FAILURE() << "cannot start " << c_argv[0] << ": " << std::strerror(failed);
    pid_ = -1;
    exited_ = true;
  }
}

Process::~Process() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    if (!exited_) {
      waitpid(pid_, nullptr, 0);
    }
  }
  if (out_fd_ >= 0) {
    close(out_fd_);
  }
  if (err_fd_ >= 0) {
    close(err_fd_);
  }
}

void Process::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) > 0) {
    if (out_fd_ >= 0 && fds[0].revents != 0) {
      read_available(&out_fd_, &out_);
    }
    if (err_fd_ >= 0 && fds[1].revents != 0) {
      read_available(&err_fd_, &err_);
    }
  }
  if (!exited_ && pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
}

// After the exit, everything the program wrote is already in the pipes. Commands it left behind
// may still hold them open, so this reads what is there instead of waiting for their end.
void Process::drain() {
  if (out_fd_ >= 0) {
    read_available(&out_fd_, &out_);
  }
  if (err_fd_ >= 0) {
    read_available(&err_fd_, &err_);
  }
}

bool Process::wait_until(const std::function<bool()>& done, Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    pump(20);
  }
  return true;
}

bool Process::wait_for(const std::string& text, int count, Millis timeout) {
  const auto seen = [&] { return occurrences(out_, text) >= count; };
  wait_until([&] { return seen() || exited_; }, timeout);
  drain();
  return seen();
}

bool Process::has_member(const std::string& name) const {
  // Each command runs in a process group of its own, so its processes are found by descent.
  std::map<pid_t, pid_t> parents;
  std::map<pid_t, std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (pid.find_first_not_of("0123456789") != std::string::npos || !std::getline(stat, line)) {
      continue;
    }
    std::size_t close = line.rfind(')');  // the name in parentheses may hold blanks
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    parents[std::stoi(pid)] = parent;
    names[std::stoi(pid)] = line.substr(line.find('(') + 1, close - line.find('(') - 1);
  }
  for (const auto& [pid, comm] : names) {
    for (pid_t up = parents[pid]; comm == name && up > 1; up = parents[up]) {
      if (up == pid_) {
        return true;
      }
    }
  }
  return false;
}

RunOptions started_through(const std::vector<std::string>& prefix) {
  RunOptions options;
  options.launcher = launcher();
  options.launcher->prefix.insert(options.launcher->prefix.begin(), prefix.begin(), prefix.end());
  return options;
}

bool running_anywhere(const std::string& text) {
  return std::system(("exec pgrep -f -- '" + text + "' >/dev/null").c_str()) == 0;
}

void Process::signal(int sig) {
  if (pid_ > 0 && !exited_) {
    kill(pid_, sig);
  }
}

void Process::signal_group(int sig) {
  if (pid_ > 0) {
    kill(-pid_, sig);
  }
}

RunResult Process::finish(Millis timeout) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_ && std::chrono::steady_clock::now() < deadline) {
    pump(20);
  }
  if (!exited_) {
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    result.timed_out = true;
  }
  drain();
  result.status = status_;
  result.out = out_;
  result.err = err_;
  return result;
}

RunResult run(const std::vector<std::string>& args, const std::string& folder,
              const std::vector<std::string>& env) {
  return run(args, folder, with_env(env));
}

RunResult run(const std::vector<std::string>& args, const std::string& folder,
              const RunOptions& options) {
  Process process(args, folder, options);
  return process.finish();
}

TempTree::TempTree() {
  const char* base = std::getenv("TMPDIR");
  std::string templ =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/hotbatch-e2e-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << templ;
    return;
  }
  root_ = fs::canonical(templ).string();
}

TempTree::~TempTree() {
  std::error_code ignored;
  if (!root_.empty()) {
    fs::remove_all(root_, ignored);
  }
}

std::string TempTree::path(const std::string& rel) const {
  return rel.empty() ? root_ : root_ + "/" + rel;
}

void TempTree::write(const std::string& rel, const std::string& content) const {
  const fs::path target = path(rel);
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << content;
  EXPECT_TRUE(out.good()) << "cannot write " << target;
}

void TempTree::mkdir(const std::string& rel) const {
  fs::create_directories(path(rel));
}

bool TempTree::exists(const std::string& rel) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path(rel), ignored));
}

std::string TempTree::read(const std::string& rel) const {
  std::ifstream in(path(rel), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> TempTree::list(const std::string& rel) const {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(path(rel), ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void TempTree::drop(const std::string& rel, const std::string& content) const {
  write(rel + ".partial~", content);
  fs::rename(path(rel + ".partial~"), path(rel));
}

const char* const kStartRun = "\nStart Run...\n";

std::string masked(const std::string& text) {
  static const std::regex stamp(
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
      "[0-9]{4}");
  return std::regex_replace(text, stamp, "<T>");
}

std::string found(const std::string& full_path) {
  return "<T> File found and under processing: " + full_path + "\n";
}

std::string processed(const std::string& name) {
  return "<T> Datei was processed: '" + name + "'\n";
}

std::string erased(const std::string& full_path) {
  return "<T> File erased: " + full_path + "\n";
}

std::string error_block(const std::string& command) {
  const std::string stars = std::string(79, '*') + "\n";
  return stars + "ERROR DURING PROCESSING!\nCommand '" + command + "'\n" + stars;
}

std::string ended(const std::string& full_path, const std::string& how) {
  return "Spoolex: Job of '" + full_path + "' ended " + how + "\n";
}

std::string failure_entry(const std::string& command, const std::string& name,
                          const std::string& how, const std::string& try_of) {
  return "<T> ERROR\n*** Error during processing:\n*** " + command +
         "\n*** File was moved to error folder:\n*** " + name + "\n\n*** Command ended " + how +
         ", try " + try_of + "\n";
}

std::string after_start(const std::string& out) {
  const std::size_t at = out.find(kStartRun);
  return masked(at == std::string::npos ? out : out.substr(at + std::strlen(kStartRun)));
}

std::string unsafe(const std::string& shown_path) {
  return "Warning: Unsafe file name skipped: '" + shown_path + "'\n";
}

int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

double metric(const std::string& metrics_file, const std::string& name) {
  std::ifstream in(metrics_file);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > name.size() && line.compare(0, name.size() + 1, name + " ") == 0) {
      return std::atof(line.c_str() + name.size() + 1);
    }
  }
  return -1;
}

void remove_at(int at, const char* name) {
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(at, name, 0);
    return;
  }
  DIR* folder = fdopendir(fd);
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  for (const std::string& child : names) {
    remove_at(dirfd(folder), child.c_str());
  }
  closedir(folder);
  unlinkat(at, name, AT_REMOVEDIR);
}

SmallFileSystem::SmallFileSystem(const std::string& where) : where_(where) {
  mounted_ = mount("hotbatch-test", where.c_str(), "tmpfs", 0, "size=64k") == 0;
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) {
    umount2(where_.c_str(), MNT_DETACH);
  }
}

}  // namespace e2e
