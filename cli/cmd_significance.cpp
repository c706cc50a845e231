// fazorn-cli significance: the empirical false-alarm probability of the
// highest peak by randomisation (permutation or white noise).
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "commands/significance.h"
#include "core/observation_file.h"

namespace fazorn::cli {

const char* const kSignificanceHelp =
    "  significance --method aov|ls --randomize permute|noise [--iterations N]\n"
    "               [--seed S] [--min-period P] [--max-period P] [--harmonics H]\n"
    "               [--resolution R] [--threads N] [--output PATH] [--json]\n"
    "               [--route exact|fast|auto]\n"
    "               [--columns TIME,VALUE[,ERROR]] [--band NAME] FILE\n"
    "      Repeats the search on N randomised copies of the light curve (default\n"
    "      100000, at most 10000000; the values permuted together with their\n"
    "      errors over the fixed times, or replaced by white noise of the same\n"
    "      mean and rms) and prints\n"
    "      the share of runs whose highest power reached the real light curve's:\n"
    "      the empirical false-alarm probability, with its binomial uncertainty.\n"
    "      One line per run goes to test-b.dat, rand-permuteN.dat or\n"
    "      rand-permuteAoVN.dat in the working directory (or to --output).\n"
    "      The same seed gives the same runs whatever the thread count.\n"
    "      --route R   auto (default): AoV runs share the work that depends only\n"
    "               on the times (Fourier transforms of the grid, powers within\n"
    "               1e-8) and Lomb-Scargle takes its Fourier route where that is\n"
    "               cheaper; fast: always so; exact: every run with the window's\n"
    "               own sums\n"
    "      --json   one object with the keys file, method, randomize, iterations,\n"
    "               seed, observed_period, observed_power, runs_at_or_above,\n"
    "               empirical_false_alarm_probability, uncertainty, output;\n"
    "               after Ctrl+C also cancelled (true) and runs_done\n"
    "      Ctrl+C (or SIGTERM) stops early: the finished runs stay in the file,\n"
    "      the result of those runs is printed and the exit status is 130.\n";

namespace {

// More runs than this take days even for small light curves, and the
// estimate's uncertainty is by then far below what the number can tell.
constexpr long kMaxIterations = 10'000'000;

}  // namespace

int runSignificance(const Args& args) {
  SignificanceOptions options;
  SearchSettings settings;
  RunControl rc;
  rc.threads = 0;
  bool json = false, haveMethod = false, haveRandomize = false;
  ImportOptions import;
  std::string file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "--json") {
      json = true;
    } else if (auto status = takeImportOption("significance", args, i, import)) {
      if (*status != kExitOk) return *status;
    } else if (a == "--method" || a == "--randomize" || a == "--iterations" || a == "--seed" ||
               a == "--min-period" || a == "--max-period" || a == "--harmonics" ||
               a == "--resolution" || a == "--threads" || a == "--output" || a == "--route") {
      const std::string* v = value();
      if (!v) return usageError("significance: " + a + " needs a value");
      if (a == "--method") {
        haveMethod = true;
        // AoVtr's box has no randomisation runs here.
        const std::optional<SearchEngine> engine = parseEngine(*v);
        if (!engine || *engine == SearchEngine::AovTransit)
          return usageError("significance: --method must be aov or ls");
        options.method = *engine;
      } else if (a == "--randomize") {
        haveRandomize = true;
        if (*v == "permute")
          options.randomization = Randomization::Permute;
        else if (*v == "noise")
          options.randomization = Randomization::WhiteNoise;
        else
          return usageError("significance: --randomize must be permute or noise");
      } else if (a == "--output") {
        options.outputPath = *v;
      } else if (a == "--route") {
        if (*v == "exact")
          options.route = SearchRoute::Exact;
        else if (*v == "fast")
          options.route = SearchRoute::Fast;
        else if (*v == "auto")
          options.route = SearchRoute::Auto;
        else
          return usageError("significance: --route must be exact, fast or auto");
      } else if (a == "--iterations" || a == "--harmonics" || a == "--threads" || a == "--seed") {
        auto n = parseInteger(*v);
        if (!n) return usageError("significance: " + a + " needs a whole number, not '" + *v + "'");
        if (a == "--iterations") {
          if (*n < 1) return usageError("significance: --iterations must be at least 1");
          if (*n > kMaxIterations)
            return usageError("significance: --iterations must be at most 10000000");
          options.iterations = *n;
        } else if (a == "--harmonics") {
          settings.harmonics = static_cast<int>(*n);
        } else if (a == "--threads") {
          if (*n < 0) return usageError("significance: --threads must not be negative");
          rc.threads = static_cast<int>(*n);
        } else {
          options.seed = static_cast<std::uint64_t>(*n);
        }
      } else {
        auto x = parseNumber(*v);
        if (!x) return usageError("significance: " + a + " needs a number, not '" + *v + "'");
        if (a == "--min-period")
          settings.minPeriod = *x;
        else if (a == "--max-period")
          settings.maxPeriod = *x;
        else
          settings.resolution = *x;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return usageError("significance: unknown option '" + a + "'");
    } else {
      if (!file.empty()) return usageError("significance: one FILE only");
      file = a;
    }
  }
  if (!haveMethod || !haveRandomize)
    return usageError("significance: --method and --randomize are required");
  if (file.empty()) return usageError("significance: no FILE given");
  if (!searchOptionsUsable("significance", settings, options.method)) return kExitUsage;

  Workspace ws;
  if (!loadForCommand(ws, file, import)) return kExitFileError;
  ws.settings = settings;
  normaliseSearchSettings(ws.settings);
  const auto start = std::chrono::steady_clock::now();
  const bool tty = isatty(fileno(stderr));
  if (tty) {
    rc.progress = [&](double done) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double left = done > 0 ? elapsed * (1 - done) / done : 0;
      std::fprintf(stderr, "\r%5.1f %% done, about %.0f s left   ", 100 * done, left);
    };
  }
  // Ctrl+C keeps the finished runs in the file and reports on them.
  rc.cancel = installInterruptHandlers();
  SignificanceResult r;
  Outcome out = runSignificanceTest(ws, options, rc, &r);
  if (tty) std::fprintf(stderr, "\n");
  if (!out.ok) {
    printOutcomeToStderr(file, out);
    return kExitFileError;
  }
  if (json) {
    JsonObject o;
    o.add("file", file)
        .add("method", engineName(options.method))
        .add("randomize", options.randomization == Randomization::Permute ? "permute" : "noise")
        .add("iterations", static_cast<long long>(r.runsDone))
        .add("seed", static_cast<long long>(options.seed))
        .add("observed_period", r.observedPeriod)
        .add("observed_power", r.observedPower)
        .add("runs_at_or_above", static_cast<long long>(r.runsAtOrAbove))
        .add("empirical_false_alarm_probability", r.empiricalFalseAlarmProbability)
        .add("uncertainty", r.uncertainty)
        .add("output", r.file);
    // Only a stopped run has these keys (a complete one keeps its keys).
    if (r.cancelled) o.add("cancelled", true).add("runs_done", static_cast<long long>(r.runsDone));
    std::printf("%s\n", o.str().c_str());
  } else {
    std::printf(
        "%s\n  observed peak: period %.10g d, power %.9g\n"
        "  empirical false-alarm probability: %.6g +- %.2g (%ld of %ld runs)\n"
        "  runs written to %s\n",
        file.c_str(), r.observedPeriod, r.observedPower, r.empiricalFalseAlarmProbability,
        r.uncertainty, r.runsAtOrAbove, r.runsDone, r.file.c_str());
    if (r.cancelled)
      std::printf("  cancelled after %ld of %ld runs\n", r.runsDone, options.iterations);
  }
  return r.cancelled ? kExitInterrupted : kExitOk;
}

}  // namespace fazorn::cli
