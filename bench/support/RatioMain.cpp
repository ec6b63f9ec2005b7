// Runs the benchmarks of one executable, then prints each one's time as a ratio to the baseline
// measured in the same process (the benchmark whose name starts with "Baseline"), so that results
// compare across machines.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const std::string name = run.benchmark_name();
      order_.push_back(name);
      // CPU time: other work on the machine inflates wall time, not the work done here.
      perIteration_[name] = run.GetAdjustedCPUTime();
    }
  }

  void PrintRatios() const {
    const std::string* baseline = nullptr;
    for (const auto& name : order_) {
      if (name.rfind("Baseline", 0) == 0) {
        baseline = &name;
        break;
      }
    }
    if (baseline == nullptr) return;
    const double base = perIteration_.at(*baseline);
    std::printf("\nRatios to %s (same process):\n", baseline->c_str());
    for (const auto& name : order_) {
      if (&name == baseline) continue;
      std::printf("  %-60s %10.2f x\n", name.c_str(), perIteration_.at(name) / base);
    }
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, double> perIteration_;
};

// A reporter of our own does not follow --benchmark_color, so the flag is read here: colour on a
// terminal only, unless the flag says otherwise.
benchmark::ConsoleReporter::OutputOptions Options(int argc, char** argv) {
  bool colour = ::isatty(STDOUT_FILENO) == 1;
  if (const char* term = std::getenv("TERM"); term != nullptr && std::strcmp(term, "dumb") == 0) {
    colour = false;
  }
  constexpr const char kFlag[] = "--benchmark_color=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kFlag, sizeof(kFlag) - 1) != 0) continue;
    const std::string value = argv[i] + sizeof(kFlag) - 1;
    if (value == "true" || value == "yes" || value == "1") colour = true;
    if (value == "false" || value == "no" || value == "0") colour = false;
  }
  return colour ? benchmark::ConsoleReporter::OO_ColorTabular
                : benchmark::ConsoleReporter::OO_Tabular;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = Options(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
