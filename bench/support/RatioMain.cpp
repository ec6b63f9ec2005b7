// Runs the benchmarks of one executable, then prints each one's time as a ratio to the baseline
// measured in the same process (the benchmark whose name starts with "Baseline"), so that results
// compare across machines.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
