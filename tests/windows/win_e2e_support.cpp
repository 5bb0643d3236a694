// Harness of the Windows end-to-end suite: spawning Wine with hotbatch.exe, capturing its output.
#include "win_e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

extern char** environ;

namespace fs = std::filesystem;

namespace win_e2e {
namespace {

// Only there to turn a hang into a failure.
constexpr int kTimeoutMs = 60000;

std::string required_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') {
    std::fprintf(stderr, "%s is not set: run this suite through scripts/test-windows.sh\n", name);
    std::abort();
  }
  return value;
}

}  // namespace

Process::Process(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv_text = {required_env("HOTBATCH_WINE"),
                                        required_env("HOTBATCH_WIN_EXE")};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "TZ=", 3) != 0) {
      env_text.push_back(*entry);
    }
  }
  env_text.insert(env_text.end(), env.begin(), env.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& text : env_text) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);

  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  // Wine's own complaints are not part of what a user sees in the console.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  out_fd_ = out_pipe[0];
}

Process::~Process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) {
    close(out_fd_);
  }
}

bool Process::pump(int timeout_ms) {
  if (out_fd_ < 0) {
    return false;
  }
  pollfd wanted{out_fd_, POLLIN, 0};
  if (poll(&wanted, 1, timeout_ms) <= 0) {
    return true;
  }
  char buffer[4096];
  ssize_t got = read(out_fd_, buffer, sizeof buffer);
  if (got <= 0) {
    close(out_fd_);
    out_fd_ = -1;
    return false;
  }
  out_.append(buffer, static_cast<std::size_t>(got));
  return true;
}

bool Process::wait_for(const std::string& text) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (out_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || !pump(100)) {
      return out_.find(text) != std::string::npos;
    }
  }
  return true;
}

void Process::interrupt() {
  if (pid_ > 0) {
    kill(pid_, SIGINT);
  }
}

RunResult Process::finish() {
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (pump(100) && std::chrono::steady_clock::now() < deadline) {
  }
  if (pid_ > 0) {
    if (out_fd_ >= 0) {
      kill(pid_, SIGKILL);  // still writing after the time ran out
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = out_;
  return result;
}

RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  Process process(args, env);
  return process.finish();
}

TempTree::TempTree() {
  char pattern[] = "/tmp/hotbatch-win-XXXXXX";
  const char* made = mkdtemp(pattern);
  root_ = made != nullptr ? fs::canonical(made).string() : std::string("/nonexistent");
}

TempTree::~TempTree() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string TempTree::path(const std::string& rel) const {
  return rel.empty() ? root_ : root_ + "/" + rel;
}

std::string TempTree::win_path(const std::string& rel) const {
  std::string text = "Z:" + path(rel);
  for (char& c : text) {
    if (c == '/') {
      c = '\\';
    }
  }
  return text;
}

void TempTree::write(const std::string& rel, const std::string& content) const {
  fs::create_directories(fs::path(path(rel)).parent_path());
  std::ofstream(path(rel), std::ios::binary) << content;
}

void TempTree::mkdir(const std::string& rel) const {
  fs::create_directories(path(rel));
}

void TempTree::link(const std::string& rel, const std::string& target) const {
  fs::create_symlink(target, path(rel));
}

bool TempTree::exists(const std::string& rel) const {
  return fs::exists(fs::symlink_status(path(rel)));
}

std::string TempTree::read(const std::string& rel) const {
  std::ifstream in(path(rel), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string masked(const std::string& text) {
  static const std::regex stamp(
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
      "[0-9]{4}");
  return std::regex_replace(text, stamp, "<T>");
}

}  // namespace win_e2e
