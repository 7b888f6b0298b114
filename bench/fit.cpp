// The model fit over a year of records: a full fit, a refit with nothing new, and a
// refit after 10,000 new rows, each against `wc -l` over the same files (page cache
// warm), plus the peak memory of a process that does one full fit, and a day's rows
// through the row parser against its general reader alone.
//
//   bench_fit [--history DIR] [benchmark options]
//
// Without --history the history is generated once into $TMPDIR/nuvlet-bench-history.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/HistoryGenerator.h"
#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/learning/TelemetryLineParser.h"

extern char** environ;

namespace nuvlet::bench {
namespace {

struct Setup {
  std::filesystem::path dir;
  FitSources sources;
  std::vector<std::string> files;  // everything the fit reads, for wc -l
  std::filesystem::path today;
  std::uintmax_t todaySize = 0;
};
Setup setup;

std::vector<std::filesystem::path> prepare(const std::filesystem::path& dir) {
  const HistoryShape shape;
  const auto marker = dir / "complete";
  std::vector<std::filesystem::path> telemetry;
  if (!std::filesystem::exists(marker)) {
    std::fprintf(stderr, "Generating %lld telemetry rows over %d days in %s ...\n",
                 static_cast<long long>(shape.telemetryRows), shape.days, dir.c_str());
    std::filesystem::remove_all(dir);
    HistoryGenerator generator(shape.seed);
    telemetry = generator.write(dir, shape);
    std::ofstream(marker) << std::filesystem::file_size(telemetry.back()) << "\n";
  } else {
    for (const auto& e : std::filesystem::directory_iterator(dir / "telemetry")) {
      telemetry.push_back(e.path());
    }
    std::sort(telemetry.begin(), telemetry.end());
    // Undo the rows an earlier run appended.
    std::uintmax_t size = 0;
    std::ifstream(marker) >> size;
    std::filesystem::resize_file(telemetry.back(), size);
  }
  return telemetry;
}

pid_t spawn(const std::vector<std::string>& args, bool quiet) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Processor time of wc, kept beside its real time: on a shared machine the real times
// of both sides swing with the load, their processor times much less.
double wcCpuSeconds = 0;

void BM_WcFloor(benchmark::State& state) {
  std::vector<std::string> args{"wc", "-l"};
  args.insert(args.end(), setup.files.begin(), setup.files.end());
  double cpu = 0;
  for (auto _ : state) {
    pid_t pid = spawn(args, true);
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || status != 0) {
      state.SkipWithError("wc -l failed");
      return;
    }
    cpu += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  }
  wcCpuSeconds = cpu / static_cast<double>(state.iterations());
}

// The rows of the newest day file, each with the padding the parser may read.
std::vector<std::string> dayRows() {
  std::ifstream in(setup.today, std::ios::binary);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) {
    rows.push_back(line + std::string(TelemetryLineParser::kPadding, ' '));
  }
  return rows;
}

// One day's rows through the parser the fit uses, and through its general reader
// alone: the plain pass is only worth having while it beats the general one here.
void parseRows(benchmark::State& state, bool generalOnly) {
  const auto rows = dayRows();
  TelemetryLineParser parser;
  std::int64_t learned = 0;
  for (auto _ : state) {
    for (const auto& row : rows) {
      const std::size_t n = row.size() - TelemetryLineParser::kPadding;
      learned +=
          (generalOnly ? parser.parseWithGeneralReader(row.data(), n) : parser.parse(row.data(), n))
              .has_value();
    }
  }
  benchmark::DoNotOptimize(learned);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows.size()));
}
void BM_RowsParsed(benchmark::State& state) { parseRows(state, false); }
void BM_RowsGeneralReader(benchmark::State& state) { parseRows(state, true); }

void BM_FullFit(benchmark::State& state) {
  for (auto _ : state) {
    auto result = ModelFitter::fit(setup.sources, 0, nullptr);
    benchmark::DoNotOptimize(result);
    state.counters["observations"] = static_cast<double>(result.model.observationCount);
  }
}

void BM_FullFitOneThread(benchmark::State& state) {
  FitOptions options;
  options.maxThreads = 1;
  for (auto _ : state) {
    auto result = ModelFitter::fit(setup.sources, 0, nullptr, options);
    benchmark::DoNotOptimize(result);
  }
}

void BM_RefitUnchanged(benchmark::State& state) {
  FitCache cache;
  ModelFitter::fit(setup.sources, 0, &cache);
  for (auto _ : state) {
    auto result = ModelFitter::fit(setup.sources, 0, &cache);
    benchmark::DoNotOptimize(result);
  }
}

// What the refit that follows a user's correction costs: one new line in the log.
void BM_RefitAfterOneCorrection(benchmark::State& state) {
  FitCache cache;
  ModelFitter::fit(setup.sources, 0, &cache);
  const auto logSize = std::filesystem::file_size(setup.sources.adjustmentLog);
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(setup.sources.adjustmentLog, std::ios::app | std::ios::binary)
        << "2026-12-01T10:00:00Z,scroll,0.5000,0.6000,0.4000,0.5000,org.example.Editor,"
           "0.1000,0.0500,0.0200,0.0000,0.4000\n";
    state.ResumeTiming();
    auto result = ModelFitter::fit(setup.sources, 0, &cache);
    benchmark::DoNotOptimize(result);
  }
  std::filesystem::resize_file(setup.sources.adjustmentLog, logSize);
}

void BM_RefitAfter10kRows(benchmark::State& state) {
  FitCache cache;
  ModelFitter::fit(setup.sources, 0, &cache);
  HistoryGenerator generator(99);
  double t = 1796472000.0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string rows;
    for (int i = 0; i < 10000; ++i) rows += generator.row(t += 5);
    std::ofstream(setup.today, std::ios::app | std::ios::binary) << rows;
    state.ResumeTiming();
    auto result = ModelFitter::fit(setup.sources, 0, &cache);
    benchmark::DoNotOptimize(result);
  }
  std::filesystem::resize_file(setup.today, setup.todaySize);
}

BENCHMARK(BM_WcFloor)
    ->Name("floor/wc -l")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_RowsParsed)->Name("rows/parser")->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_RowsGeneralReader)
    ->Name("rows/general reader alone")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_FullFit)
    ->Name("fit/full")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_FullFitOneThread)
    ->Name("fit/full, one thread")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_RefitUnchanged)
    ->Name("fit/refit, nothing new")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_RefitAfterOneCorrection)
    ->Name("fit/refit after one correction")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_RefitAfter10kRows)
    ->Name("fit/refit after 10,000 rows")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// Keeps each benchmark's mean real time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.iterations > 0 && run.run_type == Run::RT_Iteration) {
        seconds[run.run_name.function_name] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
        cpuSeconds[run.run_name.function_name] =
            run.cpu_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
  std::map<std::string, double> cpuSeconds;  // of the thread that ran the benchmark
};

// Peak resident memory, in KiB, of a child process that does one full fit.
long peakMemoryOfOneFit() {
  pid_t pid = spawn({"/proc/self/exe", "--fit-once", setup.dir.string()}, true);
  if (pid < 0) return -1;
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid || status != 0) return -1;
  return usage.ru_maxrss;
}

}  // namespace
}  // namespace nuvlet::bench

int main(int argc, char** argv) {
  using namespace nuvlet::bench;
  if (argc == 3 && std::strcmp(argv[1], "--fit-once") == 0) {
    const std::filesystem::path dir = argv[2];
    auto result = nuvlet::ModelFitter::fit({dir / "telemetry", dir / "adjustments.csv"}, 0);
    return result.model.observationCount > 0 ? 0 : 1;
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "nuvlet-bench-history";
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--history") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  const auto telemetry = prepare(dir);
  setup.dir = dir;
  setup.sources = {dir / "telemetry", dir / "adjustments.csv"};
  for (const auto& f : telemetry) setup.files.push_back(f.string());
  setup.files.push_back(setup.sources.adjustmentLog.string());
  setup.today = telemetry.back();
  setup.todaySize = std::filesystem::file_size(setup.today);
  // Warm the page cache before anything is timed.
  {
    std::vector<std::string> args{"cat"};
    args.insert(args.end(), setup.files.begin(), setup.files.end());
    pid_t pid = spawn(args, true);
    int status;
    if (pid > 0) ::waitpid(pid, &status, 0);
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const long peakKiB = peakMemoryOfOneFit();

  auto& s = reporter.seconds;
  auto ratio = [&](const char* a, const char* b, const char* goal) {
    if (!s.count(a) || !s.count(b)) return;
    std::printf("  %-42s %6.3f   (goal: %s)\n", (std::string(a) + " / " + b).c_str(), s[a] / s[b],
                goal);
  };
  std::printf("\nRatios (same run)\n");
  ratio("fit/full", "floor/wc -l", "at most 3");
  ratio("fit/full, one thread", "floor/wc -l", "for comparison");
  const auto& cpu = reporter.cpuSeconds;
  if (cpu.count("fit/full, one thread") && wcCpuSeconds > 0) {
    std::printf("  %-42s %6.3f   (processor time of each)\n", "fit/full, one thread / wc -l",
                cpu.at("fit/full, one thread") / wcCpuSeconds);
  }
  if (cpu.count("rows/parser") && cpu.count("rows/general reader alone")) {
    std::printf("  %-42s %6.3f   (below 1: the plain pass is worth having)\n",
                "rows/parser / rows/general reader alone",
                cpu.at("rows/parser") / cpu.at("rows/general reader alone"));
  }
  ratio("fit/refit, nothing new", "fit/full", "at most 0.1");
  ratio("fit/refit after one correction", "fit/full", "at most 0.1");
  ratio("fit/refit after 10,000 rows", "fit/full", "at most 0.15");
  std::printf("  %-42s %6.1f MiB (goal: at most 150 MiB)\n", "peak memory of one full fit",
              static_cast<double>(peakKiB) / 1024);
  return 0;
}
