#include "ratio_reporter.h"

#include <cstdio>

namespace vexa32::bench {

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const auto& r : runs) {
    // With repetitions the median stands for the benchmark; otherwise its single run.
    if (r.iterations <= 0) continue;
    const double ns = r.real_accumulated_time / static_cast<double>(r.iterations) * 1e9;
    if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
      ns_per_iteration_[r.run_name.function_name] = ns;
      medians_.insert(r.run_name.function_name);
    } else if (r.run_type == Run::RT_Iteration && !medians_.count(r.run_name.function_name)) {
      ns_per_iteration_[r.run_name.function_name] = ns;
    }
  }
  ConsoleReporter::ReportRuns(runs);
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::printf("\nRatios against the baseline of the same run (lower is better):\n");
  for (const auto& [name, base] : pairs_) {
    auto a = ns_per_iteration_.find(name), b = ns_per_iteration_.find(base);
    if (a == ns_per_iteration_.end() || b == ns_per_iteration_.end() || b->second <= 0) continue;
    std::printf("  %-48s %8.2fx  %s\n", name.c_str(), a->second / b->second, base.c_str());
  }
}

int run_with_ratios(int argc, char** argv, RatioReporter& reporter) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace vexa32::bench
