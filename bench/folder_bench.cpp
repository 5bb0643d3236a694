// Folder benchmarks: builds test trees in a temporary folder and times hotbatch passes side by
// side with find and a bare spawn loop, then prints one table.
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system time of the child
  long max_rss_kb = 0;
  int status = -1;
};

double now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double to_ms(const timeval& tv) {
  return tv.tv_sec * 1e3 + tv.tv_usec / 1e3;
}

// Starts `args` with standard output going to `out` (a file path) and waits for it; with
// `stop_after` seconds, the child is asked to stop (SIGTERM) after that long. Times and peak
// resident size come from wait4. The kernel counts a spawned child's peak from its parent's
// size at the spawn, so this driver keeps itself small.
Sample run_child(const std::vector<std::string>& args, const std::string& out = "/dev/null",
                 double stop_after = 0) {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Sample sample;
  pid_t child = 0;
  double start = now_ms();
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(2);
  }
  if (stop_after > 0) {
    timespec pause = {static_cast<time_t>(stop_after),
                      static_cast<long>((stop_after - static_cast<time_t>(stop_after)) * 1e9)};
    while (nanosleep(&pause, &pause) != 0) {
    }
    kill(child, SIGTERM);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
  }
  sample.wall_ms = now_ms() - start;
  posix_spawn_file_actions_destroy(&actions);
  sample.cpu_ms = to_ms(usage.ru_utime) + to_ms(usage.ru_stime);
  sample.max_rss_kb = usage.ru_maxrss;
  sample.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return sample;
}

// The floor for jobs: `count` commands started one after the other, nothing else.
Sample run_spawn_loop(int count) {
  const char* argv[] = {"sh", "-c", "true", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  Sample sample;
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  double self_before = to_ms(before.ru_utime) + to_ms(before.ru_stime);
  double start = now_ms();
  for (int i = 0; i < count; ++i) {
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                    environ) != 0) {
      std::exit(2);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
    }
    sample.cpu_ms += to_ms(usage.ru_utime) + to_ms(usage.ru_stime);
  }
  sample.wall_ms = now_ms() - start;
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  sample.cpu_ms += to_ms(self.ru_utime) + to_ms(self.ru_stime) - self_before;
  posix_spawn_file_actions_destroy(&actions);
  sample.status = 0;
  return sample;
}

void make_folder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    std::perror(path.c_str());
    std::exit(2);
  }
}

void make_file(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, "data\n", 5) != 5) {
    std::perror(path.c_str());
    std::exit(2);
  }
  close(fd);
}

// `count` files in `folder`; every `stride`-th one (if stride > 0) is named to match '*.EPS'.
void fill_folder(const std::string& folder, int count, int stride, const char* other_suffix) {
  char name[64];
  for (int i = 0; i < count; ++i) {
    bool match = stride > 0 && i % stride == 0;
    std::snprintf(name, sizeof name, "%s-%07d.%s", match ? "job" : "file", i,
                  match ? "EPS" : other_suffix);
    make_file(folder + "/" + name);
  }
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void remove_tree(const std::string& path) {
  nftw(path.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS);
}

int count_lines_with(const std::string& path, const char* text) {
  std::ifstream in(path);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.find(text) != std::string::npos) {
      ++count;
    }
  }
  return count;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "median (min–max)" of a series.
std::string summary(const std::vector<double>& values, const char* unit, int digits) {
  char text[128];
  auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::snprintf(text, sizeof text, "%.*f %s (%.*f–%.*f)", digits, median(values), unit, digits,
                *low, digits, *high);
  return text;
}

struct Row {
  std::string name;
  std::string ours;
  std::string theirs;
  std::string ratio;
  std::string target;
  bool met;
};

std::vector<Row> rows;

// Runs `ours` and every reference alternately, `rounds` times after one warm-up round, and adds
// a row per reference. The ratio is the median of the per-round ratios of elapsed time, so a
// noisy round slows both sides alike; the ratio of CPU time (children included) is shown beside
// it, as it suffers less from other work on the machine.
void compare(const std::string& name, int rounds, const std::function<Sample()>& ours,
             const std::vector<std::pair<std::string, std::function<Sample()>>>& references,
             const std::vector<double>& limits) {
  ours();
  for (const auto& reference : references) {
    reference.second();
  }
  std::vector<double> our_ms;
  std::vector<std::vector<double>> their_ms(references.size());
  std::vector<std::vector<double>> ratios(references.size());
  std::vector<std::vector<double>> cpu_ratios(references.size());
  for (int round = 0; round < rounds; ++round) {
    // Who goes first alternates, so that a slow phase of the machine does not always fall on
    // the same side.
    Sample mine = round % 2 == 0 ? ours() : Sample();
    std::vector<Sample> theirs(references.size());
    for (size_t i = 0; i < references.size(); ++i) {
      theirs[i] = references[i].second();
    }
    if (round % 2 == 1) {
      mine = ours();
    }
    our_ms.push_back(mine.wall_ms);
    for (size_t i = 0; i < references.size(); ++i) {
      their_ms[i].push_back(theirs[i].wall_ms);
      ratios[i].push_back(mine.wall_ms / theirs[i].wall_ms);
      cpu_ratios[i].push_back(mine.cpu_ms / theirs[i].cpu_ms);
    }
  }
  for (size_t i = 0; i < references.size(); ++i) {
    char ratio[128];
    auto [low, high] = std::minmax_element(ratios[i].begin(), ratios[i].end());
    std::snprintf(ratio, sizeof ratio, "%.2f (%.2f–%.2f); CPU %.2f", median(ratios[i]), *low, *high,
                  median(cpu_ratios[i]));
    char target[32];
    std::snprintf(target, sizeof target, "≤ %.2f", limits[i]);
    rows.push_back({i == 0 ? name : "", summary(our_ms, "ms", 1),
                    references[i].first + ": " + summary(their_ms[i], "ms", 1), ratio, target,
                    median(ratios[i]) <= limits[i]});
  }
}

// Runs `ours` `rounds` times and adds a row for one of its measures against an absolute limit
// (none when `limit` is negative).
void measure(const std::string& name, int rounds, const std::function<double()>& ours,
             const char* unit, int digits, double limit, const std::string& note) {
  ours();
  std::vector<double> values;
  for (int round = 0; round < rounds; ++round) {
    values.push_back(ours());
  }
  char target[32] = "";
  if (limit >= 0) {
    std::snprintf(target, sizeof target, "≤ %.0f %s", limit, unit);
  }
  rows.push_back({name, summary(values, unit, digits), note, "", target,
                  limit < 0 || median(values) <= limit});
}

void expect_announcements(const std::string& binary_out, int expected, const char* what) {
  int found = count_lines_with(binary_out, "File found and under processing");
  if (found != expected) {
    std::fprintf(stderr, "%s: expected %d announcements, got %d\n", what, expected, found);
    std::exit(2);
  }
}

std::string first_line_with(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, std::strlen(key), key) == 0) {
      size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

void print_machine(const std::string& root) {
  utsname system{};
  uname(&system);
  struct statfs fs {};
  statfs(root.c_str(), &fs);
  std::printf("Machine: %s, %ld cores online; Linux %s; trees on %s (%s)\n",
              first_line_with("/proc/cpuinfo", "model name").c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              system.release, root.c_str(), fs.f_type == TMPFS_MAGIC_NUMBER ? "tmpfs" : "disk");
}

void usage() {
  std::fprintf(stderr,
               "usage: folder_bench [--hotbatch PATH] [--dir PARENT] [--rounds N] "
               "[--cases flat,tree,jobs,memory,idle] [--no-million]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string hotbatch = HOTBATCH_BINARY;
  std::string parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  int rounds = 7;
  bool million = true;
  std::string cases = "flat,tree,jobs,memory,idle";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--hotbatch" && i + 1 < argc) {
      hotbatch = argv[++i];
    } else if (arg == "--dir" && i + 1 < argc) {
      parent = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--cases" && i + 1 < argc) {
      cases = argv[++i];
    } else if (arg == "--no-million") {
      million = false;
    } else {
      usage();
    }
  }
  std::string root_template = parent + "/hotbatch-bench-XXXXXX";
  std::vector<char> root_buffer(root_template.begin(), root_template.end());
  root_buffer.push_back('\0');
  if (mkdtemp(root_buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string root = root_buffer.data();
  const std::string out = root + "/out.txt";  // outside every scanned tree
  print_machine(root);
  std::printf("hotbatch: %s; %d rounds per case after a warm-up; figures are median (min–max)\n",
              hotbatch.c_str(), rounds);
  std::fflush(stdout);

  auto wanted = [&](const char* name) {
    return ("," + cases + ",").find("," + std::string(name) + ",") != std::string::npos;
  };
  auto pass = [&](const std::string& folder, const std::vector<std::string>& extra,
                  const char* pattern, const char* command, const std::string& to = "/dev/null") {
    std::vector<std::string> args{hotbatch, "-g", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-d", folder, pattern, command});
    return run_child(args, to);
  };

  // 1. Flat folder (kept for the memory case).
  std::string flat = root + "/flat";
  if (wanted("flat") || wanted("memory")) {
    make_folder(flat);
    fill_folder(flat, 100000, 100, "dat");
  }
  if (wanted("flat")) {
    pass(flat, {}, "*.EPS", "", out);
    expect_announcements(out, 1000, "flat");
    compare("Flat pass, 100,000 entries, 1,000 match", rounds,
            [&] { return pass(flat, {}, "*.EPS", ""); },
            {{"find -maxdepth 1",
              [&] {
                return run_child({"find", flat, "-maxdepth", "1", "-name", "*.EPS"});
              }}},
            {0.75});
  }

  // 2. Tree.
  if (wanted("tree")) {
    std::string tree = root + "/tree";
    make_folder(tree);
    for (int i = 0; i < 1000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/dir-%04d", i);
      make_folder(tree + name);
      fill_folder(tree + name, 100, 100, "dat");
    }
    pass(tree, {"-r"}, "*.EPS", "", out);
    expect_announcements(out, 1000, "tree");
    compare("Tree pass, 1,000 folders × 100 files, -r", rounds,
            [&] { return pass(tree, {"-r"}, "*.EPS", ""); },
            {{"find",
              [&] {
                return run_child({"find", tree, "-name", "*.EPS"});
              }}},
            {1.0});
    remove_tree(tree);
  }

  // 3. Jobs.
  if (wanted("jobs")) {
    std::string jobs = root + "/jobs";
    make_folder(jobs);
    fill_folder(jobs, 2000, 0, "x");
    pass(jobs, {}, "*.x", "true", out);
    expect_announcements(out, 2000, "jobs");
    compare("Jobs, 2,000 × 'true'", std::max(3, rounds - 2),
            [&] { return pass(jobs, {}, "*.x", "true"); },
            {{"find -exec sh -c true",
              [&] {
                return run_child({"find", jobs, "-name", "*.x", "-exec", "sh", "-c", "true", ";"});
              }},
             {"posix_spawn loop", [&] { return run_spawn_loop(2000); }}},
            {0.9, 1.1});
    remove_tree(jobs);
  }

  // 4. Memory: the flat folder again, then a million entries. The figure is the child's peak as
  // the kernel reports it, which is never below this driver's own size at the spawn.
  if (wanted("memory")) {
    measure(
        "Peak RSS, one pass, 100,000 entries", 3,
        [&] { return pass(flat, {}, "*.EPS", "").max_rss_kb / 1024.0; }, "MB", 1, 8, "");
  }
  remove_tree(flat);
  if (wanted("memory") && million) {
    std::string big = root + "/million";
    make_folder(big);
    fill_folder(big, 1000000, 100, "dat");
    pass(big, {}, "*.EPS", "", out);
    expect_announcements(out, 10000, "million");
    measure(
        "Peak RSS, one pass, 1,000,000 entries", 3,
        [&] { return pass(big, {}, "*.EPS", "").max_rss_kb / 1024.0; }, "MB", 1, 64, "");
    remove_tree(big);
  }
  if (wanted("memory")) {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    char note[64];
    std::snprintf(note, sizeof note, "driver itself: %.1f MB", self.ru_maxrss / 1024.0);
    rows.back().theirs = note;
  }

  // 5. Idle: a folder where nothing matches, passed over LOOP_PASSES times by one looping run;
  // the process's CPU time (start-up included) per pass. A single pass and an empty folder show
  // how much of it is start-up.
  if (wanted("idle")) {
    constexpr int LOOP_PASSES = 8;
    std::string idle = root + "/idle";
    make_folder(idle);
    fill_folder(idle, 10000, 0, "dat");
    std::string empty = root + "/empty";
    make_folder(empty);
    measure(
        "Idle looping, CPU per pass, 10,000 entries", std::max(3, rounds / 2),
        [&] {
          std::vector<std::string> args{hotbatch, "-l", "-s", "1",     "-g",
                                        "0",      "-d", idle, "*.EPS", ""};
          return run_child(args, "/dev/null", LOOP_PASSES - 0.5).cpu_ms / LOOP_PASSES;
        },
        "ms", 2, 10, "-l -s 1, 8 passes, then stopped");
    measure(
        "  one pass, whole process", rounds, [&] { return pass(idle, {}, "*.EPS", "").cpu_ms; },
        "ms", 2, -1, "start-up included");
    measure(
        "  one pass over an empty folder", rounds,
        [&] { return pass(empty, {}, "*.EPS", "").cpu_ms; }, "ms", 2, -1, "start-up alone");
  }

  remove_tree(root);

  std::printf(
      "\n| Case | hotbatch | reference | ratio of elapsed times; of CPU | target | met |\n");
  std::printf("|---|---|---|---|---|---|\n");
  bool all = true;
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.name.c_str(), row.ours.c_str(),
                row.theirs.c_str(), row.ratio.c_str(), row.target.c_str(),
                row.target.empty() ? ""
                : row.met          ? "yes"
                                   : "NO");
    all = all && row.met;
  }
  std::printf("\n%s\n", all ? "Every target met." : "Some targets missed (see NO above).");
  return 0;
}
