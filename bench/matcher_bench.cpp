// Matcher benchmark: nanoseconds per match of hotbatch's matcher against the C library's
// fnmatch on the same pattern/name pairs, typical and adversarial, then a comparison table.
#include <benchmark/benchmark.h>
#include <fnmatch.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "match/wildcard.h"

namespace {

struct Pair {
  std::string label;
  std::string pattern;
  std::string name;
  bool typical;
};

std::string repeat(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += piece;
  }
  return text;
}

// `stars` stars between single 'a's, ending in a 'b' that the 255-byte name of 'a's lacks: the
// shape that makes a naive backtracking matcher exponential in the number of stars.
Pair many_stars(int stars) {
  return {"stars " + std::to_string(stars) + ", 255 bytes, no match",
          repeat("*a", stars - 1) + "*b", std::string(255, 'a'), false};
}

std::vector<Pair> pairs() {
  std::string long_name = std::string(251, 'x') + ".EPS";
  std::vector<Pair> list = {
      {"*.EPS hit", "*.EPS", "invoice-2024-0042.EPS", true},
      {"*.EPS miss", "*.EPS", "invoice-2024-0042.pdf", true},
      {"*.EPS miss, no dot", "*.EPS", "README", true},
      {"scan_????.tif hit", "scan_????.tif", "scan_0042.tif", true},
      {"*.[Ee][Pp][Ss] hit", "*.[Ee][Pp][Ss]", "invoice-2024-0042.eps", true},
      {"[a-m]*.txt miss", "[a-m]*.txt", "report.txt", true},
      {"*.EPS, 255-byte hit", "*.EPS", long_name, false},
      {"*x*x*.EPS, 255-byte hit", "*x*x*.EPS", long_name, false},
      {"*?*?*?*?*?*?*?*?.PDF, 255 bytes, miss", repeat("*?", 8) + ".PDF", long_name, false},
  };
  for (int stars : {2, 4, 8, 16, 32, 64}) {
    list.push_back(many_stars(stars));
  }
  return list;
}

// Records the medians that the console reporter prints, for the comparison at the end.
class Recorder : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> medians;

  // Plain text: the output is meant to be read in logs and pasted as well as seen on a terminal.
  Recorder() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<Pair> list = pairs();
  std::vector<std::string> mismatches;
  for (const Pair& pair : list) {
    bool ours = match_name(pair.pattern.c_str(), pair.name.c_str());
    bool theirs = fnmatch(pair.pattern.c_str(), pair.name.c_str(), 0) == 0;
    if (ours != theirs) {
      mismatches.push_back(pair.label);
    }
    benchmark::RegisterBenchmark(("hotbatch/" + pair.label).c_str(), [pair](benchmark::State& s) {
      for (auto _ : s) {
        benchmark::DoNotOptimize(match_name(pair.pattern.c_str(), pair.name.c_str()));
      }
    });
    benchmark::RegisterBenchmark(("fnmatch/" + pair.label).c_str(), [pair](benchmark::State& s) {
      for (auto _ : s) {
        benchmark::DoNotOptimize(fnmatch(pair.pattern.c_str(), pair.name.c_str(), 0));
      }
    });
  }

  // Several repetitions by default, so that the median and the spread are reported.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  std::string min_time = "--benchmark_min_time=0.05";
  args.insert(args.begin() + 1, {repetitions.data(), aggregates.data(), min_time.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();

  std::printf("\n| Pattern and name | hotbatch ns | fnmatch ns | ratio |\n|---|---|---|---|\n");
  bool typical_ok = true;
  for (const Pair& pair : list) {
    auto ours = recorder.medians.find("hotbatch/" + pair.label);
    auto theirs = recorder.medians.find("fnmatch/" + pair.label);
    if (ours == recorder.medians.end() || theirs == recorder.medians.end()) {
      continue;  // filtered out on the command line
    }
    double ratio = ours->second / theirs->second;
    if (pair.typical && ratio > 1.0) {
      typical_ok = false;
    }
    std::printf("| %s%s | %.1f | %.1f | %.2f |\n", pair.label.c_str(),
                pair.typical ? "" : " (adversarial)", ours->second, theirs->second, ratio);
  }
  std::printf("\nTypical patterns %s fnmatch.\n", typical_ok ? "no slower than" : "SLOWER than");
  for (const std::string& label : mismatches) {
    std::printf("Note: hotbatch and fnmatch disagree on '%s'.\n", label.c_str());
  }
  return 0;
}
