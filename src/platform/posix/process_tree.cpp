// The POSIX trees of the commands: on Linux, where one can be had, a cgroup of its own for each
// command below the run's, which holds everything the command starts so that it can be ended as
// one. Job cgroups are made once and used again.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/processes_internal.h"

CgroupPool cgroups;

namespace {

// Reads the whole small file `path` (relative to `folder`) into `text`.
bool read_small_file(int folder, const char* path, std::string* text) {
  int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    text->append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return got == 0;
}

#ifdef __linux__
// Our cgroup's folder: the mount point of cgroup2 and our path below it.
bool own_cgroup_folder(std::string* folder) {
  std::string groups;
  std::string mounts;
  if (!read_small_file(AT_FDCWD, "/proc/self/cgroup", &groups) ||
      !read_small_file(AT_FDCWD, "/proc/self/mountinfo", &mounts)) {
    return false;
  }
  std::size_t at = groups.rfind("0::");
  if (at != 0 && (at == std::string::npos || groups[at - 1] != '\n')) {
    return false;
  }
  std::string path = groups.substr(at + 3, groups.find('\n', at) - at - 3);
  // A mountinfo line: id parent major:minor root mount-point options ... - type source ...
  for (std::size_t line = 0; line < mounts.size();) {
    std::size_t end = mounts.find('\n', line);
    std::string text = mounts.substr(line, end - line);
    line = end == std::string::npos ? mounts.size() : end + 1;
    if (text.find(" - cgroup2 ") == std::string::npos) {
      continue;
    }
    char root[512];
    char point[512];
    if (std::sscanf(text.c_str(), "%*s %*s %*s %511s %511s", root, point) == 2 &&
        std::strcmp(root, "/") == 0) {
      *folder = std::string(point) + (path == "/" ? "" : path);
      return true;
    }
  }
  return false;
}
#endif

// The names in the folder `folder` that begin with `prefix`.
std::vector<std::string> names_in(int folder, const char* prefix) {
  std::vector<std::string> names;
  int copy = dup(folder);
  DIR* listing = copy >= 0 ? fdopendir(copy) : nullptr;
  if (listing == nullptr) {
    if (copy >= 0) {
      close(copy);
    }
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0) {
      names.push_back(entry->d_name);
    }
  }
  closedir(listing);
  return names;
}

// Ends every process in the job cgroups of the run folder `name` in `parent` and removes them and
// the folder.
void clear_run_cgroup(int parent, const std::string& name) {
  int run = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (run < 0) {
    return;
  }
  for (const std::string& job : names_in(run, "job-")) {
    int folder = openat(run, job.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      signal_cgroup(folder, SIGKILL);
      for (int wait = 0; wait < 100 && cgroup_populated(folder); ++wait) {
        usleep(10000);
      }
      close(folder);
    }
    unlinkat(run, job.c_str(), AT_REMOVEDIR);
  }
  close(run);
  unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

void remove_job_cgroup(const std::string& name) {
  if (unlinkat(cgroups.run, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
    cgroups.lingering.erase(name);
  } else {
    cgroups.lingering.insert(name);
  }
}

}  // namespace

std::string job_cgroup_name(std::uint32_t number) {
  return "job-" + std::to_string(number);
}

void signal_cgroup(int folder, int sig) {
  if (sig == SIGKILL) {
    int kill_file = openat(folder, "cgroup.kill", O_WRONLY | O_CLOEXEC);
    bool killed = kill_file >= 0 && write(kill_file, "1", 1) == 1;
    if (kill_file >= 0) {
      close(kill_file);
    }
    if (killed) {
      return;
    }
  }
  std::string members;
  read_small_file(folder, "cgroup.procs", &members);
  for (std::size_t at = 0; at < members.size();) {
    kill(static_cast<pid_t>(std::strtol(members.c_str() + at, nullptr, 10)), sig);
    std::size_t end = members.find('\n', at);
    at = end == std::string::npos ? members.size() : end + 1;
  }
}

bool cgroup_populated(int folder) {
  std::string events;
  return read_small_file(folder, "cgroup.events", &events) &&
         events.find("populated 1") != std::string::npos;
}

bool prepare_cgroups() {
#ifdef __linux__
  if (!cgroups.tried) {
    cgroups.tried = true;
    std::string folder;
    if (own_cgroup_folder(&folder)) {
      cgroups.own = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (cgroups.own >= 0) {
      for (const std::string& name : names_in(cgroups.own, "hotbatch-")) {
        long owner = std::strtol(name.c_str() + 9, nullptr, 10);
        if (owner > 0 && owner != getpid() && kill(static_cast<pid_t>(owner), 0) != 0 &&
            errno == ESRCH) {
          clear_run_cgroup(cgroups.own, name);
        }
      }
      cgroups.run_name = "hotbatch-" + std::to_string(getpid());
      if (mkdirat(cgroups.own, cgroups.run_name.c_str(), 0755) == 0 || errno == EEXIST) {
        cgroups.run =
            openat(cgroups.own, cgroups.run_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }
    }
  }
#endif
  return cgroups.run >= 0;
}

void release_cgroup(std::uint32_t number, int tree) {
  if (tree >= 0) {
    if (cgroup_populated(tree)) {
      close(tree);
      remove_job_cgroup(job_cgroup_name(number));
    } else {
      cgroups.idle.push_back(IdleCgroup{number, tree});
    }
  }
  for (auto name = cgroups.lingering.begin(); name != cgroups.lingering.end();) {
    std::string left = *name++;
    remove_job_cgroup(left);
  }
}

int own_cgroup_fd() {
  return cgroups.own;
}

void clear_run_cgroups() {
  if (cgroups.own >= 0) {
    clear_run_cgroup(cgroups.own, cgroups.run_name);
  }
}
