// Harness of the Windows end-to-end suite: runs hotbatch.exe under Wine from a Linux test program.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace win_e2e {

struct RunResult {
  int status = -1;  // exit status (Wine passes on its low 8 bits)
  std::string out;  // standard output, CR LF line ends as written
};

// One running hotbatch.exe with its standard output on a pipe; killed if still running at the end.
class Process {
 public:
  // `env` holds NAME=value entries added to the environment (TZ is removed unless given).
  explicit Process(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool wait_for(const std::string& text);  // false when the program ended or time ran out first
  void interrupt();                        // SIGINT, which Wine turns into Ctrl+C
  RunResult finish();

 private:
  bool pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string out_;
};

RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// A fresh folder under /tmp, removed at the end.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  std::string path(const std::string& rel = "") const;      // Linux path
  std::string win_path(const std::string& rel = "") const;  // the same as Z:\... for the program
  void write(const std::string& rel, const std::string& content) const;
  void mkdir(const std::string& rel) const;
  void link(const std::string& rel, const std::string& target) const;
  bool exists(const std::string& rel) const;
  std::string read(const std::string& rel) const;

 private:
  std::string root_;
};

// The text with every well-formed time stamp ('Mmm DD hh:mm:ss YYYY') replaced by "<T>".
std::string masked(const std::string& text);

}  // namespace win_e2e
