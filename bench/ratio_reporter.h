#pragma once
// A console reporter that also remembers one time per benchmark (the single
// run, or the median of repetitions), so that a program can print the ratio
// of our time to the reference implementation's after the runs.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class TClock { Real, CPU };
  explicit TRatioReporter(TClock aClock) : FClock(aClock) {}

  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      const double time = FClock == TClock::Real ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration && !Times.count(name)) Times[name] = time;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") Times[name] = time;
    }
    ConsoleReporter::ReportRuns(aRuns);
  }

  std::map<std::string, double> Times;

 private:
  TClock FClock;
};
