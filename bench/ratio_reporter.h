#pragma once
// A console reporter that, after the run, prints each benchmark's time as a ratio against the
// baseline it names, so figures compare within one run on one machine.

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vexa32::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // "name" is reported as a multiple of "baseline" (both benchmark names as printed).
  void compare(std::string name, std::string baseline) { pairs_.emplace_back(std::move(name), std::move(baseline)); }

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::map<std::string, double> ns_per_iteration_;
  std::set<std::string> medians_;
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// Runs the registered benchmarks with the reporter; returns the process exit code.
int run_with_ratios(int argc, char** argv, RatioReporter& reporter);

}  // namespace vexa32::bench
