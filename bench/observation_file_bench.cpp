// Reading observation files: a million-line file must load well under a
// second, with the plain reader and as a CSV table with a header and a band
// column (the same numbers), so the two readers' speeds can be compared.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "core/observation_file.h"
#include "core/table_import.h"
#include "core/workspace.h"

namespace {

std::string makeFile(int lines) {
  const auto path =
      std::filesystem::temp_directory_path() / ("fazorn-bench-" + std::to_string(lines) + ".dat");
  if (std::filesystem::exists(path)) return path.string();
  std::FILE* f = std::fopen(path.c_str(), "w");
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  double t = 2450000.0;
  for (int i = 0; i < lines; ++i) {
    t += 0.01 * u(rng);
    std::fprintf(f, "%14.7f\t%14.8f\t%14.8f\n", t, 12.0 + u(rng), 0.01 + 0.01 * u(rng));
  }
  std::fclose(f);
  return path.string();
}

void BM_LoadObservations(benchmark::State& state) {
  const std::string path = makeFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    fazorn::Workspace ws;
    auto out = fazorn::loadObservations(ws, path);
    benchmark::DoNotOptimize(ws.lightCurve.pointCount);
  }
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LoadObservations)->Arg(1000000)->Unit(benchmark::kMillisecond);

std::string makeCsv(int lines) {
  const auto path =
      std::filesystem::temp_directory_path() / ("fazorn-bench-" + std::to_string(lines) + ".csv");
  if (std::filesystem::exists(path)) return path.string();
  std::FILE* f = std::fopen(path.c_str(), "w");
  std::fprintf(f, "# benchmark light curve\nhjd,mag,mag_err,filter\n");
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  double t = 2450000.0;
  for (int i = 0; i < lines; ++i) {
    t += 0.01 * u(rng);
    std::fprintf(f, "%.7f,%.8f,%.8f,V\n", t, 12.0 + u(rng), 0.01 + 0.01 * u(rng));
  }
  std::fclose(f);
  return path.string();
}

void BM_LoadCsvTable(benchmark::State& state) {
  const std::string path = makeCsv(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    fazorn::Workspace ws;
    auto out = fazorn::loadObservations(ws, path);
    if (ws.lightCurve.pointCount != state.range(0)) state.SkipWithError("CSV not read in full");
    benchmark::DoNotOptimize(ws.lightCurve.pointCount);
  }
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LoadCsvTable)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The two readers alone, without the statistics and the Workspace that a
// load adds to both (a sort of the times that takes most of a load's time
// and would hide the readers' own difference).
void BM_ReadPlainOnly(benchmark::State& state) {
  const std::string path = makeFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto read = fazorn::readObservations(path);
    if (read.time.size() != static_cast<std::size_t>(state.range(0)))
      state.SkipWithError("plain file not read in full");
    benchmark::DoNotOptimize(read.time.data());
  }
}
BENCHMARK(BM_ReadPlainOnly)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_ReadCsvOnly(benchmark::State& state) {
  const std::string path = makeCsv(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto read = fazorn::importTable(path, {});
    if (read.time.size() != static_cast<std::size_t>(state.range(0)))
      state.SkipWithError("CSV not read in full");
    benchmark::DoNotOptimize(read.time.data());
  }
}
BENCHMARK(BM_ReadCsvOnly)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
