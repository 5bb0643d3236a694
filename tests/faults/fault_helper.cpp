// Helper processes of the fault and soak tests: writers that behave like real producers, and a
// command that checks what it was handed.
//   fault_helper write FOLDER COUNT SEED   writes COUNT files with checksum trailers, some slowly
//   fault_helper hold FILE MILLIS          writes half a file, keeps it open MILLIS ms, finishes
//   fault_helper reopen FOLDER COUNT       opens f0.job .. f<COUNT-1>.job for writing, forever
//   fault_helper verify LEDGER FILE        checks FILE's trailer; appends "ok NAME" or "bad NAME"
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "fault_trailer.h"

namespace {

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

void pause_ms(long millis) {
  std::this_thread::sleep_for(std::chrono::milliseconds(millis));
}

// A file is written under its final name. Most arrive in one write; some in several pieces with
// pauses, the writer keeping the file open all along, as a slow network copy does.
int write_files(const std::string& folder, int count, unsigned seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < count; ++i) {
    std::string body(random() % 20000, '\0');
    for (char& c : body) {
      c = static_cast<char>(random());
    }
    const std::string content = with_trailer(body);
    char name[32];
    std::snprintf(name, sizeof name, "/s%05d.job", i);
    int fd = open((folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::perror(name);
      return 1;
    }
    const bool slow = random() % 30 == 0;
    const std::size_t pieces = slow ? 2 + random() % 3 : 1;
    const std::size_t step = content.size() / pieces + 1;
    for (std::size_t at = 0; at < content.size(); at += step) {
      if (!write_all(fd, content.substr(at, step))) {
        return 1;
      }
      if (slow) {
        pause_ms(20 + static_cast<long>(random() % 180));
      }
    }
    close(fd);
    if (random() % 50 == 0) {
      pause_ms(100);
    }
  }
  return 0;
}

int hold_file(const std::string& path, long millis) {
  const std::string content = with_trailer("written by a slow producer\n");
  const std::size_t half = content.size() / 2;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || !write_all(fd, content.substr(0, half))) {
    return 1;
  }
  pause_ms(millis);
  bool ok = write_all(fd, content.substr(half));
  return close(fd) == 0 && ok ? 0 : 1;
}

int reopen_files(const std::string& folder, int count) {
  for (unsigned long i = 0;; ++i) {
    const std::string path = folder + "/f" + std::to_string(i % count) + ".job";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
    }
  }
}

int verify(const std::string& ledger, const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
  }
  const bool ok = fd >= 0 && has_valid_trailer(content);
  const std::size_t slash = path.rfind('/');
  const std::string line = (ok ? "ok " : "bad ") + path.substr(slash + 1) + "\n";
  // One write of a short line to a file opened for appending: lines never mix.
  int out = open(ledger.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0 || !write_all(out, line)) {
    return 2;
  }
  close(out);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 5) {
    return write_files(argv[2], std::atoi(argv[3]), static_cast<unsigned>(std::atoi(argv[4])));
  }
  if (mode == "hold" && argc == 4) {
    return hold_file(argv[2], std::atol(argv[3]));
  }
  if (mode == "reopen" && argc == 4) {
    return reopen_files(argv[2], std::atoi(argv[3]));
  }
  if (mode == "verify" && argc == 4) {
    return verify(argv[2], argv[3]);
  }
  std::fprintf(stderr, "usage: fault_helper write|hold|reopen|verify ...\n");
  return 64;
}
