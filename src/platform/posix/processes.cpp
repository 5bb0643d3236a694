// POSIX commands: /bin/sh -c in a process group of its own (and on Linux a cgroup of its own,
// where one can be had), a guard process that ends them all when we end however we end, and a
// wait that a command's end, a stop request or a change in a watched folder ends at once.
#include "platform/processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/shared_state.h"
#include "platform/signals.h"

extern char** environ;

const int COMMAND_NOT_STARTED = 127;
const char* const QUOTE_BREAKERS = "\"$`\\";
const char VARIABLE_MARK = '\0';

volatile sig_atomic_t commands_running = 0;

namespace {

// A pipe that wakes wait_for_commands: a byte is written to it when a command ends or a stop is
// requested.
int wake_pipe[2] = {-1, -1};

void on_child_ended(int) {
  wake_up();
}

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

// The process groups of the commands that run, for the stop handler, which may pass a request on
// to them, and for the guard, which ends them when we are gone; 0 marks a free place. Each
// command's group has the number of its shell. The guard shares the page (see prepare_commands),
// so it needs no word from us while we run.
constexpr int MAX_GROUPS = 256;
volatile sig_atomic_t own_groups[MAX_GROUPS];
volatile sig_atomic_t* command_groups = own_groups;

void note_group(pid_t group, bool running) {
  for (int i = 0; i < MAX_GROUPS; ++i) {
    volatile sig_atomic_t& place = command_groups[i];
    if (running ? place == 0 : place == group) {
      place = running ? group : 0;
      return;
    }
  }
}

// Puts the list of groups into memory that a process forked from now on shares with us.
void share_groups() {
  void* page =
      mmap(nullptr, sizeof own_groups, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page != MAP_FAILED) {
    command_groups = static_cast<volatile sig_atomic_t*>(page);
  }
}

// Where a run keeps its commands' cgroups: a folder of its own below our cgroup in the unified
// hierarchy, one sub-folder per command. -1 where none can be had (no cgroup2, no permission);
// then process groups alone hold the commands.
int run_cgroup = -1;
int own_cgroup = -1;   // the folder of our own cgroup, which holds the run's
std::string run_name;  // the run's folder in it

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

std::string job_cgroup_name(std::uint32_t number) {
  return "job-" + std::to_string(number);
}

// Sends `sig` to every process of the cgroup `folder`. SIGKILL goes through cgroup.kill where the
// kernel has it, which also catches a process forking at that moment.
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

// True while the cgroup `folder` holds a process.
bool cgroup_populated(int folder) {
  std::string events;
  return read_small_file(folder, "cgroup.events", &events) &&
         events.find("populated 1") != std::string::npos;
}

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

// Makes the run's cgroup folder, once. What a run whose program and guard are both gone left
// behind (its processes included) is cleared first. False when there is no cgroup to be had.
bool prepare_cgroups() {
  static bool tried = false;
#ifdef __linux__
  if (!tried) {
    tried = true;
    std::string folder;
    if (own_cgroup_folder(&folder)) {
      own_cgroup = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (own_cgroup >= 0) {
      for (const std::string& name : names_in(own_cgroup, "hotbatch-")) {
        long owner = std::strtol(name.c_str() + 9, nullptr, 10);
        if (owner > 0 && owner != getpid() && kill(static_cast<pid_t>(owner), 0) != 0 &&
            errno == ESRCH) {
          clear_run_cgroup(own_cgroup, name);
        }
      }
      run_name = "hotbatch-" + std::to_string(getpid());
      if (mkdirat(own_cgroup, run_name.c_str(), 0755) == 0 || errno == EEXIST) {
        run_cgroup = openat(own_cgroup, run_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }
    }
  }
#endif
  (void)tried;
  return run_cgroup >= 0;
}

// Job cgroups that are empty and may take the next command: made once and used again, so that a
// command costs no cgroup to make and remove.
struct IdleCgroup {
  std::uint32_t number;
  int folder;
};
std::vector<IdleCgroup> idle_cgroups;

// Job cgroups that still held processes when their command ended (a command may leave a process
// behind on purpose): removed once they are empty.
std::set<std::string> lingering;

void remove_job_cgroup(const std::string& name) {
  if (unlinkat(run_cgroup, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
    lingering.erase(name);
  } else {
    lingering.insert(name);
  }
}

// The guard: a process of our own, in a process group of its own, that ends every command we
// started (and everything in the run's cgroup) as soon as we end, whatever ends us, kill -9
// included: it learns of our end from the pipe we hold, which the kernel closes with us, and
// finds the commands' groups in the page it shares with us.
int guard_pipe = -1;

[[noreturn]] void run_guard(int from_us) {
  setpgid(0, 0);
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3 && null >= 0; ++fd) {
    dup2(null, fd);
  }
  // Nothing else of ours is kept open: a pipe a test or a service manager reads to its end must
  // not wait for the guard.
  std::vector<int> inherited;
  if (DIR* open_files = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(open_files)) {
      int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
      if (fd > 2 && fd != from_us && fd != own_cgroup && fd != dirfd(open_files)) {
        inherited.push_back(fd);
      }
    }
    closedir(open_files);
  }
  for (int fd : inherited) {
    close(fd);
  }
  // Nothing is ever written: the read ends when we do.
  for (char byte;;) {
    ssize_t got = read(from_us, &byte, 1);
    if (got == 0 || (got < 0 && errno != EINTR)) {
      break;
    }
  }
  signal_commands(SIGKILL);
  if (own_cgroup >= 0) {
    clear_run_cgroup(own_cgroup, run_name);
  }
  _exit(0);
}

// Starts the guard once. Without it (no pipe, no process) commands still run.
void start_guard() {
  static bool tried = false;
  if (tried) {
    return;
  }
  tried = true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return;
  }
  pid_t guard = fork();
  if (guard == 0) {
    run_guard(fds[0]);
  }
  close(fds[0]);
  if (guard < 0) {
    close(fds[1]);
    return;
  }
  guard_pipe = fds[1];
}

// Creates the wake pipe and the handler that feeds it when a command ends, once.
bool prepare_waiting() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe[0] = wake_pipe[1] = -1;
    return false;
  }
  static bool child_handler = false;
  if (!child_handler) {
    struct sigaction action {};
    action.sa_handler = on_child_ended;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    child_handler = sigaction(SIGCHLD, &action, nullptr) == 0;
  }
  return true;
}

}  // namespace

void wake_up() {
  if (wake_pipe[1] >= 0) {
    int saved = errno;
    char byte = 0;
    ssize_t ignored = write(wake_pipe[1], &byte, 1);  // a full pipe wakes the waiter just as well
    (void)ignored;
    errno = saved;
  }
}

void signal_commands(int sig) {
  for (int i = 0; i < MAX_GROUPS; ++i) {
    if (command_groups[i] != 0) {
      kill(-static_cast<pid_t>(command_groups[i]), sig);
    }
  }
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
  if (!idle_cgroups.empty()) {
    number = idle_cgroups.back().number;
    tree = idle_cgroups.back().folder;
    idle_cgroups.pop_back();
  } else if (run_cgroup >= 0) {
    number = ++counter;
    std::string name = job_cgroup_name(number);
    if (mkdirat(run_cgroup, name.c_str(), 0755) == 0) {
      tree = openat(run_cgroup, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
      idle_cgroups.push_back(IdleCgroup{number, tree});
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
  if (running->tree >= 0) {
    const int tree = static_cast<int>(running->tree);
    if (cgroup_populated(tree)) {
      close(tree);
      remove_job_cgroup(job_cgroup_name(running->number));
    } else {
      idle_cgroups.push_back(IdleCgroup{running->number, tree});
    }
  }
  for (auto name = lingering.begin(); name != lingering.end();) {
    std::string left = *name++;
    remove_job_cgroup(left);
  }
  *result = running->result;
  if (ended_by_signal != nullptr) {
    *ended_by_signal = running->signal;
  }
  *running = RunningCommand{};
  return true;
}

void wait_for_commands(const std::vector<RunningCommand>& running,
                       const std::vector<FileHandle>& outputs, std::int64_t timeout_ms,
                       bool changes) {
  // The pipe first: a stop request that comes after the look below writes to it. After a stop
  // request only the commands are waited for: their end still writes to the pipe.
  if (timeout_ms <= 0 || !prepare_waiting() || (stop_requested() && running.empty())) {
    return;
  }
  std::vector<struct pollfd> waits{{wake_pipe[0], POLLIN, 0}};
  // Changes stay queued for the one who reads them; polling for them otherwise would never wait.
  if (changes && watch_fd >= 0) {
    waits.push_back({watch_fd, POLLIN, 0});
  }
  for (FileHandle output : outputs) {
    waits.push_back({static_cast<int>(output.value), POLLIN, 0});
  }
  int timeout = timeout_ms > 60000 ? 60000 : static_cast<int>(timeout_ms);
  // The end of what a stopped command started is no signal of ours: it is looked for often.
  for (const RunningCommand& command : running) {
    if (command.shell_ended && timeout > 50) {
      timeout = 50;
    }
  }
  if (poll(waits.data(), waits.size(), timeout) > 0 && (waits[0].revents & POLLIN) != 0) {
    char drained[64];
    while (read(wake_pipe[0], drained, sizeof drained) > 0) {
    }
  }
}
