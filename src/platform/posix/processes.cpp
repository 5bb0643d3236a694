// POSIX commands: /bin/sh -c in a process group of its own and, where one can be had, a cgroup of
// its own (process_tree.cpp); the guard (guard.cpp) ends them all when we end however we end, and
// the program's one wait (wait.cpp) ends at once when one of them ends.
#include "platform/processes.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/processes_internal.h"
#include "platform/posix/shared_state.h"

extern char** environ;

const int COMMAND_NOT_STARTED = 127;
const char* const QUOTE_BREAKERS = "\"$`\\";
const char VARIABLE_MARK = '\0';

volatile sig_atomic_t commands_running = 0;

namespace {

// What a job's result is for a wait status.
int result_of(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 127;
}

// The descriptor limit we were started with, which commands get back; RLIM_INFINITY while it was
// not changed. Set at start-up only.
rlim_t commands_descriptor_limit = RLIM_INFINITY;

}  // namespace

std::uint64_t raise_descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t given = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
      commands_descriptor_limit = given;
    } else {
      getrlimit(RLIMIT_NOFILE, &limit);
    }
  }
  return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint32_t process_number() {
  return static_cast<std::uint32_t>(getpid());
}

bool process_alive(std::uint32_t number) {
  // A number beyond pid_t would ask about a process group or about every process.
  if (number == 0 || number > 0x7fffffffu) {
    return false;
  }
  return kill(static_cast<pid_t>(number), 0) == 0 || errno != ESRCH;
}

std::uint64_t process_start(std::uint32_t number) {
#ifdef __linux__
  // The boot's identity mixed with the start time in clock ticks since that boot (field 22 of
  // the process's stat line, counted after its name, which may hold blanks and parentheses).
  const auto read_text = [](const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buffer[1024];
      ssize_t got = read(fd, buffer, sizeof buffer);
      text.assign(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
      close(fd);
    }
    return text;
  };
  const std::string stat = read_text("/proc/" + std::to_string(number) + "/stat");
  std::size_t at = stat.rfind(')');
  for (int field = 2; at != std::string::npos && field < 21; ++field) {
    at = stat.find(' ', at + 1);
  }
  if (at == std::string::npos) {
    return 0;
  }
  const std::uint64_t ticks = std::strtoull(stat.c_str() + at + 1, nullptr, 10);
  std::uint64_t start = 14695981039346656037ull;
  for (char c : read_text("/proc/sys/kernel/random/boot_id")) {
    start = (start ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return ticks == 0 ? 0 : start ^ ticks;
#else
  (void)number;
  return 0;
#endif
}

bool random_bytes(void* data, std::size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = read(fd, static_cast<char*>(data) + done, size - done);
    if (got <= 0 && errno != EINTR) {
      break;
    }
    done += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  close(fd);
  return done == size;
}

bool commands_can_start_in(const Folder&) {
  return true;
}

void prepare_commands() {
  static bool prepared = false;
  if (prepared) {
    return;
  }
  prepared = true;
  prepare_waiting();
  prepare_cgroups();
  share_groups();
  start_guard();
}

namespace {

// Our environment with `variables` added, each replacing an entry of its name. Made before fork,
// since the child may not allocate; `entries` holds the pointers, valid while `variables` lives.
void command_environment(const std::vector<std::string>& variables,
                         std::vector<const char*>* entries) {
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& variable : variables) {
      std::size_t name = variable.find('=') + 1;
      replaced = replaced || std::strncmp(*entry, variable.c_str(), name) == 0;
    }
    if (!replaced) {
      entries->push_back(*entry);
    }
  }
  for (const std::string& variable : variables) {
    entries->push_back(variable.c_str());
  }
  entries->push_back(nullptr);
}

}  // namespace

bool start_command(const std::string& command, const std::vector<std::string>& variables,
                   const Folder& folder, FileHandle output, RunningCommand* running) {
  prepare_commands();
  if (wake_pipe[0] < 0 || folder.handles.empty()) {
    return false;
  }
  static std::uint32_t counter = 0;
  std::uint32_t number = 0;
  int tree = -1;
  if (!cgroups.idle.empty()) {
    number = cgroups.idle.back().number;
    tree = cgroups.idle.back().folder;
    cgroups.idle.pop_back();
  } else if (cgroups.run >= 0) {
    number = ++counter;
    std::string name = job_cgroup_name(number);
    if (mkdirat(cgroups.run, name.c_str(), 0755) == 0) {
      tree = openat(cgroups.run, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
  }
  int procs = tree >= 0 ? openat(tree, "cgroup.procs", O_WRONLY | O_CLOEXEC) : -1;
  const int folder_fd = descriptor_of(folder);
  const int output_fd = static_cast<int>(output.value);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  std::vector<const char*> environment;
  command_environment(variables, &environment);
  const pid_t parent = getpid();
  commands_running = commands_running + 1;
  // vfork rather than posix_spawn: the child must join its process group and cgroup before the
  // command can start anything, so that nothing it starts escapes either. vfork rather than fork:
  // a copy of our memory for each command costs more than the command's own start. The child
  // shares our memory until it runs the shell, so it makes plain system calls only, changes no
  // variable and never returns from here.
  pid_t child = vfork();
  if (child == 0) {
    setpgid(0, 0);
    if (procs >= 0) {
      ssize_t ignored = write(procs, "0", 1);
      (void)ignored;
    }
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
#endif
    (void)parent;
    if (fchdir(folder_fd) != 0) {
      _exit(127);
    }
    // Many programs still take descriptors above 1,024 for a fault (select).
    if (commands_descriptor_limit != RLIM_INFINITY) {
      struct rlimit given;
      if (getrlimit(RLIMIT_NOFILE, &given) == 0) {
        given.rlim_cur = commands_descriptor_limit;
        setrlimit(RLIMIT_NOFILE, &given);
      }
    }
    if (output_fd >= 0 &&
        (dup2(output_fd, STDOUT_FILENO) < 0 || dup2(output_fd, STDERR_FILENO) < 0)) {
      _exit(127);
    }
    execve("/bin/sh", const_cast<char* const*>(argv), const_cast<char* const*>(environment.data()));
    _exit(127);
  }
  if (procs >= 0) {
    close(procs);
  }
  if (child < 0) {
    commands_running = commands_running - 1;
    if (tree >= 0) {
      cgroups.idle.push_back(IdleCgroup{number, tree});
    }
    return false;
  }
  setpgid(child, child);  // the child does the same; whichever comes first
  note_group(child, true);
  *running = RunningCommand{};
  running->process = child;
  running->tree = tree;
  running->number = number;
  return true;
}

bool open_output_pipe(FileHandle* read_end, FileHandle* write_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return false;
  }
  // Only our end never blocks: the command writes as it would to any pipe.
  if (fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) {
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  read_end->value = ends[0];
  write_end->value = ends[1];
  return true;
}

std::int64_t read_available(FileHandle read_end, char* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = read(static_cast<int>(read_end.value), buffer, size);
  } while (got < 0 && errno == EINTR);
  // A read error other than "nothing there" ends the pipe for us, as its end would.
  if (got < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : 0;
  }
  return got;
}

void stop_command(RunningCommand* running, bool forced) {
  const int sig = forced ? SIGKILL : SIGTERM;
  running->asked_to_end = true;
  running->forced = running->forced || forced;
  kill(-static_cast<pid_t>(running->process), sig);
  if (running->tree >= 0) {
    signal_cgroup(static_cast<int>(running->tree), sig);
  }
}

namespace {

// True while something the command started still runs: in its cgroup, or else in its group.
bool tree_running(const RunningCommand& running) {
  if (running.tree >= 0) {
    return cgroup_populated(static_cast<int>(running.tree));
  }
  return kill(-static_cast<pid_t>(running.process), 0) == 0;
}

}  // namespace

bool command_ended(RunningCommand* running, int* result, int* ended_by_signal) {
  if (!running->shell_ended) {
    int status = 0;
    pid_t waited;
    do {
      waited = waitpid(static_cast<pid_t>(running->process), &status, WNOHANG);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) {
      return false;
    }
    running->shell_ended = true;
    running->result = waited < 0 ? 127 : result_of(status);
    running->signal = waited >= 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  // A command asked to end has ended once everything it started has: until then it may still be
  // ended by force.
  if (running->asked_to_end && !running->forced && tree_running(*running)) {
    return false;
  }
  commands_running = commands_running - 1;
  note_group(static_cast<pid_t>(running->process), false);
  release_cgroup(running->number, static_cast<int>(running->tree));
  *result = running->result;
  if (ended_by_signal != nullptr) {
    *ended_by_signal = running->signal;
  }
  *running = RunningCommand{};
  return true;
}
