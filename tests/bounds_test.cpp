// End-to-end tests of what a dropper can cost and forge: warnings, error copies, collected output
// and watches stay bounded; names reach commands as variables and are masked in what we write.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

// Field `n` of /proc/<pid>/stat: 14 and 15 are the CPU ticks in user and system mode, 24 the
// resident pages.
long stat_field(pid_t pid, int n) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= n && fields >> field;) {
    ++i;
  }
  return std::stol(field);
}

// The inotify watches `pid` holds, from its descriptors' fdinfo.
int watches_held(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fdinfo/";
  int count = 0;
  DIR* listing = opendir(folder.c_str());
  while (dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
    std::ifstream in(folder + entry->d_name);
    for (std::string line; std::getline(in, line);) {
      count += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
    }
  }
  if (listing != nullptr) {
    closedir(listing);
  }
  return count;
}

// 100,000 unique unsafe names: 10,000 warnings, then one line for the rest, and the memory
// stays small.
TEST(Bounds, UnsafeNamesCostLittle) {
  TempTree tree;
  tree.mkdir("in");
  for (int i = 0; i < 100000; ++i) {
    close(
        open(tree.path("in/bad$" + std::to_string(i) + ".pdf").c_str(), O_CREAT | O_WRONLY, 0644));
  }
  const std::string metrics = tree.path("metrics");
  Process process({"-l", "-s", "1", "-g", "0", "-m", metrics, "-d", "in", "*.pdf", "true \"@1@\""},
                  tree.root());
  const bool said = process.wait_for("Further warnings of this kind are left out", 1);
  const double passes = metric(metrics, "hotbatch_passes_total");
  EXPECT_TRUE(
      process.wait_until([&] { return metric(metrics, "hotbatch_passes_total") >= passes + 2; }));
  const long rss_kb = stat_field(process.pid(), 24) * (sysconf(_SC_PAGESIZE) / 1024);
  process.signal(SIGTERM);
  const RunResult result = process.finish();
  ASSERT_TRUE(said);
  // A sanitizer's shadow memory and quarantine make the figure meaningless there.
  if (std::getenv("ASAN_OPTIONS") == nullptr) {
    EXPECT_LT(rss_kb, 16 * 1024);
  }
  EXPECT_EQ(occurrences(result.out, "Warning: Unsafe file name skipped"), 10000);
  EXPECT_EQ(occurrences(result.out, "Warning: Further warnings of this kind are left out\n"), 1);
}

// Error copies keep holes, and a copy that would leave the error folder's file system less than
// 5% free is not made (the file stays, with the copy-failed warning). The folder is a small tmpfs.
TEST(Bounds, ErrorCopiesKeepHolesAndRoom) {
  TempTree tree;
  tree.mkdir("err");
  if (mount("tmpfs", tree.path("err").c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "no tmpfs mount (needs root)";
  }
  const std::string sparse = tree.path("in/sparse.bin");
  tree.write("in/sparse.bin", "head");
  ASSERT_EQ(truncate(sparse.c_str(), 200 << 20), 0);
  {
    std::fstream end(sparse, std::ios::in | std::ios::out | std::ios::binary);
    end.seekp((100 << 20) + 3);
    end << "middle";
  }
  tree.write("in/full.bin", std::string(7800 << 10, 'x'));
  const RunResult result =
      run({"-g", "0", "-E", "-d", "in", "-e", tree.path("err"), "*.bin", "false"}, tree.root());
  struct stat copy {};
  const bool copied = stat(tree.path("err/sparse.bin").c_str(), &copy) == 0;
  const std::string content = tree.read("err/sparse.bin");
  umount(tree.path("err").c_str());
  ASSERT_TRUE(copied) << result.out;
  EXPECT_EQ(copy.st_size, 200 << 20);
  EXPECT_LT(copy.st_blocks * 512, 1 << 20);
  EXPECT_EQ(content.substr(0, 4), "head");
  EXPECT_EQ(content.substr((100 << 20) + 3, 6), "middle");
  EXPECT_TRUE(tree.exists("in/full.bin"));
  EXPECT_FALSE(tree.exists("in/sparse.bin"));
  EXPECT_EQ(occurrences(result.out, "copy into error folder failed: '" + tree.path("in/full.bin")),
            1);
}

// With -j above 1 a job's collected output keeps its first 1 MB and says that the rest was left
// out; a short output comes whole. 20 MB of output never reach the 8 MB of scratch space.
TEST(Bounds, CollectedOutputKeepsOneMegabyte) {
  TempTree tree;
  tree.write("in/big.job", "20000000");
  tree.write("in/small.job", "3");
  tree.mkdir("tmp");
  const bool small_tmp = mount("tmpfs", tree.path("tmp").c_str(), "tmpfs", 0, "size=8m") == 0;
  const RunResult result = run(
      {"-g", "0", "-j", "2", "-d", "in", "*.job", "head -c $(cat \"@1@\") /dev/zero | tr '\\0' x"},
      tree.root(), {"TMPDIR=" + tree.path("tmp")});
  umount(tree.path("tmp").c_str());
  const std::string cut = "Spoolex: Output of '" + tree.path("in/big.job") + "' cut after 1 MB\n";
  EXPECT_NE(result.out.find(std::string(1 << 20, 'x') + cut), std::string::npos);
  EXPECT_EQ(result.out.find(std::string((1 << 20) + 1, 'x')), std::string::npos);
  EXPECT_EQ(occurrences(result.out, "Datei was processed"), 2) << small_tmp;
  EXPECT_EQ(occurrences(result.out, "cut after"), 1);
}

// Folders made and removed without end wake at most one pass per second and cost little CPU;
// folders moved out of the tree give their watches back.
TEST(Bounds, FolderChurnAndWatches) {
  TempTree tree;
  for (int i = 0; i < 2000; ++i) {
    tree.mkdir("in/d" + std::to_string(i));
  }
  tree.mkdir("out");
  Process process({"-l", "-s", "3600", "-g", "0", "-w", "-r", "-d", "in", "*.job", "true"},
                  tree.root());
  // 2,000 folders, the source folder and its parent (for its return)
  ASSERT_TRUE(process.wait_until([&] { return watches_held(process.pid()) == 2002; }));
  const long before = stat_field(process.pid(), 14) + stat_field(process.pid(), 15);
  const auto churn_start = std::chrono::steady_clock::now();
  for (int i = 0; i < 60; ++i) {
    tree.mkdir("in/w");
    rmdir(tree.path("in/w").c_str());
    usleep(50000);
  }
  const long churn_ticks = stat_field(process.pid(), 14) + stat_field(process.pid(), 15) - before;
  const double seconds =  // 3 s, or longer on a busy machine: still at most a pass per second
      std::chrono::duration<double>(std::chrono::steady_clock::now() - churn_start).count();
  for (int i = 0; i < 1000; ++i) {
    rename(tree.path("in/d" + std::to_string(i)).c_str(),
           tree.path("out/d" + std::to_string(i)).c_str());
  }
  tree.mkdir("in/wake");
  EXPECT_TRUE(process.wait_until([&] { return watches_held(process.pid()) == 1003; }));
  process.signal(SIGTERM);
  process.finish();
  // A sanitizer makes every step a few times dearer; a pass per change would still be far above.
  const long slowdown = std::getenv("ASAN_OPTIONS") == nullptr ? 1 : 4;
  EXPECT_LT(churn_ticks, slowdown * sysconf(_SC_CLK_TCK) * seconds / 12)
      << "CPU ticks during " << seconds << " s of churn";
}

// 1,100 failing files with long paths, one per folder, wait for their next try at 1,024
// descriptors holding no folder: the walk enters every folder, and a later file runs at once.
TEST(Bounds, RetryingFilesHoldNoFolders) {
  TempTree tree;
  for (int i = 0; i < 1100; ++i) {
    tree.write("in/" + std::string(200, 'd') + std::to_string(i) + "/f.pdf", "1");
  }
  tree.write("in/~late/v.pdf", "1");
  RunOptions options;
  options.launcher = Launcher{{"/usr/bin/prlimit", "--nofile=1024"}, launcher().program};
  Process process({"-r", "-l", "-s", "300", "-b", "3", "-j", "4", "-g", "0", "-d", "in", "*.pdf",
                   "test \"@2@\" = v"},
                  tree.root(), options);
  EXPECT_TRUE(process.wait_for("Datei was processed: 'v.pdf'", 1, Millis(120000)));
  process.signal(SIGTERM);
  const std::string out = process.finish().out;
  EXPECT_EQ(occurrences(out, "Folder not entered"), 0);
  EXPECT_EQ(occurrences(out, "' tried again in 300 Sek"), 1100);
}

// Every command gets HOTBATCH_1 to HOTBATCH_5, whole: a template that uses only them runs for
// names that no placeholder may take (quotes, '$', backticks, a path over 2047 bytes); a template
// with a placeholder still skips them. Names are masked in the run log and the success file.
TEST(Bounds, NamesAsVariables) {
  TempTree tree;
  std::string deep = "in";
  while (deep.size() < 2100) {
    deep += "/" + std::string(200, 'd');
  }
  const std::vector<std::string> names = {"in/a\"b.job", "in/c$d.job", "in/e`f.job",
                                          "in/x\xe2\x80\xaey\xc2\x85.z.job", deep + "/g.job"};
  for (const std::string& name : names) {
    tree.write(name, "1");
  }
  tree.mkdir("ok");
  const std::string log = tree.path("vars.txt");
  const std::vector<std::string> options = {
      "-g",   "0", "-r", "-d", "in", "-o", tree.path("run.log"), "-t", tree.path("ok") + "/@2@.ok",
      "*.job"};
  std::vector<std::string> args = options;
  args.push_back(
      "printf '%s|%s|%s|%s|%s\\n' \"$HOTBATCH_1\" \"$HOTBATCH_2\" \"$HOTBATCH_3\" "
      "\"$HOTBATCH_4\" \"$HOTBATCH_5\" >> " +
      log);
  const RunResult result = run(args, tree.root(), {"HOTBATCH_1=stale"});
  EXPECT_EQ(occurrences(result.out, "Warning"), 0) << result.out;
  const std::string vars = tree.read("vars.txt");
  for (const std::string& name : names) {
    const std::string full = tree.path(name);
    const std::string bare = full.substr(full.rfind('/') + 1);
    EXPECT_NE(vars.find(full + "|" + bare.substr(0, bare.find('.')) + "|" +
                        bare.substr(bare.find('.') + 1) + "|" + full.substr(0, full.size() - 4) +
                        "|" + bare.substr(0, bare.size() - 4) + "\n"),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(tree.read("ok/x\xe2\x80\xaey\xc2\x85.ok"), "'x?y?' - ok\n");
  EXPECT_NE(tree.read("run.log").find("Datei was processed: 'x?y?.z.job'\n"), std::string::npos);

  args = options;
  args.push_back("true \"@1@\"");
  const RunResult textual = run(args, tree.root());
  EXPECT_EQ(occurrences(textual.out, "Warning: Unsafe file name skipped"), 3);
  EXPECT_EQ(occurrences(textual.out, "Warning: Path too long for the command"), 1);
}

}  // namespace
}  // namespace e2e
