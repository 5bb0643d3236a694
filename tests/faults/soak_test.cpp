// Soak test: a looping run with -E takes the files of a busy writer for about a minute. Every file
// must be processed exactly once and only when complete, and the program must not grow.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

constexpr int kFiles = 2000;

// Resident memory of a process in kB, from /proc; -1 when it cannot be read.
long resident_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

int open_descriptors(pid_t pid) {
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) {
    return -1;
  }
  int count = 0;
  while (readdir(folder) != nullptr) {
    ++count;
  }
  closedir(folder);
  return count - 2;
}

// The hotbatch process: the only child of this test whose parent is this test and whose
// program is hotbatch.
pid_t find_hotbatch() {
  DIR* proc = opendir("/proc");
  pid_t found_pid = -1;
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) {
      continue;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || text.find("(hotbatch)") == std::string::npos) {
      continue;
    }
    std::istringstream rest(text.substr(close + 2));
    char state;
    pid_t parent;
    rest >> state >> parent;
    if (parent == getpid()) {
      found_pid = pid;
    }
  }
  closedir(proc);
  return found_pid;
}

TEST(Soak, BusyWriterForAMinute) {
  TempTree tree;
  tree.mkdir("in");
  tree.mkdir("err");
  const std::string ledger = tree.path("ledger");
  Process hotbatch(
      {"-l", "-s", "1", "-g", "0", "-E", "-e", tree.path("err"), "-o", tree.path("run.log"),
       "*.job", std::string(FAULT_HELPER) + " verify " + ledger + " \"@1@\""},
      tree.path("in"));
  ASSERT_TRUE(hotbatch.wait_for(kStartRun));
  const pid_t pid = find_hotbatch();
  ASSERT_GT(pid, 0);

  std::string writer_program = FAULT_HELPER;
  std::string mode = "write";
  std::string folder = tree.path("in");
  std::string count = std::to_string(kFiles);
  std::string seed = "20261207";
  char* argv[] = {writer_program.data(), mode.data(), folder.data(),
                  count.data(),          seed.data(), nullptr};
  pid_t writer = -1;
  ASSERT_EQ(posix_spawn(&writer, argv[0], nullptr, nullptr, argv, environ), 0);

  // Samples of memory and descriptors while the writer works; the first ones once the program
  // is warm.
  std::vector<long> memory;
  std::vector<int> descriptors;
  int writer_status = -1;
  // The writer paces itself (about half a minute here); the bound only ends a hang, with room for
  // a slow or busy machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(200);
  while (std::chrono::steady_clock::now() < deadline) {
    hotbatch.wait_for("\n\x01", 1, Millis(500));  // reads output while waiting
    memory.push_back(resident_kb(pid));
    descriptors.push_back(open_descriptors(pid));
    if (writer > 0 && waitpid(writer, &writer_status, WNOHANG) == writer) {
      writer = -1;
    }
    if (writer < 0 && tree.list("in").empty()) {
      break;
    }
  }
  if (writer > 0) {
    kill(writer, SIGKILL);
    waitpid(writer, &writer_status, 0);
  }
  hotbatch.signal(SIGTERM);
  const RunResult result = hotbatch.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0)
      << "the writer did not finish in time";

  // Exactly once each, none incomplete, nothing left behind, nothing in the error folder.
  std::map<std::string, int> seen;
  std::istringstream lines(tree.read("ledger"));
  std::string verdict;
  std::string name;
  int bad = 0;
  while (lines >> verdict >> name) {
    ++seen[name];
    bad += verdict != "ok";
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(static_cast<int>(seen.size()), kFiles);
  for (const auto& [file, times] : seen) {
    EXPECT_EQ(times, 1) << file;
  }
  EXPECT_TRUE(tree.list("in").empty());
  EXPECT_TRUE(tree.list("err").empty());
  EXPECT_EQ(occurrences(result.out, "File erased"), kFiles);

  // Flat: the later half of the samples stays near the first quarter's.
  ASSERT_GE(memory.size(), 8u);
  const std::size_t quarter = memory.size() / 4;
  long early_memory = 0;
  int early_descriptors = 0;
  for (std::size_t i = 0; i < quarter; ++i) {
    early_memory = std::max(early_memory, memory[i]);
    early_descriptors = std::max(early_descriptors, descriptors[i]);
  }
  for (std::size_t i = memory.size() / 2; i < memory.size(); ++i) {
    EXPECT_LE(memory[i], early_memory + 2048) << "sample " << i;
    EXPECT_LE(descriptors[i], early_descriptors + 2) << "sample " << i;
  }
}

}  // namespace
}  // namespace e2e
