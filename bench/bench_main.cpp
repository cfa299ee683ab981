// main() of zrdb_bench. Runs the benchmarks as Google Benchmark would, then
// prints the ratio ZRDB / baseline for every pair of benchmarks whose names
// differ only in a "/zrdb" and a baseline part (access_get/zrdb beside
// access_get/raw and access_get/floor; arguments may follow). The ratio uses median CPU times: on a busy machine
// CPU time leaves out the time the process was not running.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char *kZrdbPart = "/zrdb";
// The baselines a ZRDB operation is compared with: the raw twin, the
// out-of-line floor of an access, the strongest third-party equivalent, the
// bare secure transport a VLINK transaction rides on.
constexpr const char *kBaselineParts[] = {"/raw", "/floor", "/spsc", "/zmq"};

double to_ns(double t, benchmark::TimeUnit unit) {
  switch (unit) {
    case benchmark::kNanosecond:
      return t;
    case benchmark::kMicrosecond:
      return t * 1e3;
    case benchmark::kMillisecond:
      return t * 1e6;
    case benchmark::kSecond:
      return t * 1e9;
  }
  return t;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Passes everything on to the usual display reporter and keeps the CPU time
// per operation of every run for the summary.
class PairSummary : public benchmark::BenchmarkReporter {
 public:
  explicit PairSummary(benchmark::BenchmarkReporter *display) : display_(display) {}

  bool ReportContext(const Context &context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run> &runs) override {
    display_->ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.error_occurred) {
        failed_ = true;
        continue;
      }
      const std::string name = run.run_name.str();
      if (times_.find(name) == times_.end()) order_.push_back(name);
      Times &t = times_[name];
      // Cross-process pairs measure wall time; the CPU time of the measuring
      // process alone says nothing about their latency.
      const bool real = run.run_name.time_type == "real_time";
      const double ns =
          to_ns(real ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(), run.time_unit);
      if (run.run_type == Run::RT_Iteration) {
        t.runs.push_back(ns);
      } else if (run.aggregate_name == "median" && run.aggregate_unit == benchmark::kTime) {
        t.median = ns;
        t.repetitions = run.repetitions;
      }
    }
  }

  void Finalize() override { display_->Finalize(); }

  bool any_failed() const { return failed_; }

  // Prints one line per pair that has both members; false when none has.
  bool print(FILE *out) const {
    bool header = false;
    for (const std::string &name : order_) {
      const Times &zrdb = times_.at(name);
      const size_t at = name.find(kZrdbPart);
      if (at == std::string::npos) continue;
      for (const char *part : kBaselineParts) {
        std::string baseName = name;
        baseName.replace(at, std::strlen(kZrdbPart), part);
        const auto base = times_.find(baseName);
        if (base == times_.end()) continue;
        const double z = zrdb.value();
        const double b = base->second.value();
        if (z < 0 || b <= 0) continue;
        if (!header) {
          std::fprintf(out,
                       "\nZRDB / baseline: median time per operation, CPU (wall for real-time "
                       "pairs) (%s)\n",
                       zrdb.describe().c_str());
          std::fprintf(out, "%-40s %10s %10s %8s %12s\n", "operation vs baseline", "zrdb ns",
                       "base ns", "ratio", "zrdb-base ns");
          header = true;
        }
        std::string op = name;
        op.erase(at, std::strlen(kZrdbPart));
        op.append(" vs ").append(part + 1);
        std::fprintf(out, "%-40s %10.2f %10.2f %7.2fx %12.2f\n", op.c_str(), z, b, z / b, z - b);
      }
    }
    return header;
  }

 private:
  struct Times {
    std::vector<double> runs;  // per repetition, when they are reported
    double median = -1;        // the aggregate, when it is reported
    int64_t repetitions = 0;
    double value() const { return median >= 0 ? median : ::median(runs); }
    std::string describe() const {
      const int64_t n = median >= 0 ? repetitions : static_cast<int64_t>(runs.size());
      return std::to_string(n) + (n == 1 ? " repetition" : " repetitions");
    }
  };

  benchmark::BenchmarkReporter *display_;
  std::map<std::string, Times> times_;
  std::vector<std::string> order_;
  bool failed_ = false;  // as run, so the table follows the registration
};

// The summary goes to standard error when standard output carries JSON or
// CSV, so that output stays machine-readable.
bool console_format(int argc, char **argv) {
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    constexpr const char *kFlag = "--benchmark_format=";
    if (std::strncmp(argv[i], kFlag, std::strlen(kFlag)) == 0) {
      console = std::strcmp(argv[i] + std::strlen(kFlag), "console") == 0;
    }
  }
  return console;
}

}  // namespace

int main(int argc, char **argv) {
  const bool console = console_format(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The library keeps the default reporter for the life of the process.
  PairSummary summary(benchmark::CreateDefaultDisplayReporter());
  benchmark::RunSpecifiedBenchmarks(&summary);
  std::fflush(stdout);
  summary.print(console ? stdout : stderr);
  benchmark::Shutdown();
  // A skipped benchmark (no database, say) must not pass for a result.
  return summary.any_failed() ? 1 : 0;
}
