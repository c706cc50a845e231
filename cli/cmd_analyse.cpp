// fazorn-cli analyse: the window's search commands over many files. Each
// file runs the very operation of the window's button, so the figures agree
// to the last digit; files are analysed in parallel and reported in the
// order of the arguments.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/derived_files.h"
#include "core/number_format.h"
#include "core/observation_file.h"
#include "core/workspace.h"
#include "edit/binning.h"
#include "model/template_ops.h"
#include "search/analysis.h"

namespace fazorn::cli {

const char* const kAnalyseHelp =
    "  analyse [--method aov|aovtr|ls] [--min-period P] [--max-period P]\n"
    "          [--harmonics H] [--resolution R] [--period P] [--threads N] [--json]\n"
    "          [--save-periodogram] [--save-phased] [--save-phased-binned]\n"
    "          [--columns TIME,VALUE[,ERROR]] [--band NAME] FILE...\n"
    "      Searches each file for its period with the window's command: the\n"
    "      multiharmonic AoV (default), the transit search AoVtr or\n"
    "      Lomb-Scargle. Defaults: periods 0.2 to 500 d, 2 harmonics,\n"
    "      resolution 0.0003 per day (the Lomb-Scargle grid is the multiples of\n"
    "      1 / max period). Files are analysed in parallel on N threads (default\n"
    "      all cores) and reported in the order given. Each search ends with\n"
    "      the model of the phased curve and the variability type.\n"
    "      --period P   no search: fit and classify at the period P (days), as\n"
    "               \"Get statistics\" does; method is then \"none\"\n"
    "      --save-periodogram, --save-phased   write FILE-period and FILE-phased\n"
    "               beside each input, as the File menu does\n"
    "      --save-phased-binned   write FILE-phasedBinned (the phased curve in\n"
    "               200 phase bins) beside each input, as \"Save Phased Binned\" does\n"
    "      --json   one JSON object per file and line, with the keys file,\n"
    "               points, method, frequency_count, best_frequency, period,\n"
    "               period_error, max_power, false_alarm_probability (ls only),\n"
    "               t0, t0_from_minimum, epoch_of_minimum, epoch_of_maximum,\n"
    "               mag_at_maximum (null when not available), amplitude, type\n"
    "               and score (as the window's \"Type:\" and \"Score:\" labels),\n"
    "               and periodogram_file / phased_file / phased_binned_file\n"
    "               when written; numbers\n"
    "               read back exactly\n";

namespace {

// None: no search, the model at a given period.
enum class Method { Aov, AovTransit, LombScargle, None };

const char* methodName(Method m) {
  switch (m) {
    case Method::Aov:
      return "aov";
    case Method::AovTransit:
      return "aovtr";
    case Method::LombScargle:
      return "ls";
    case Method::None:
      return "none";
  }
  return "";
}

struct AnalyseOptions {
  Method method = Method::Aov;
  SearchSettings settings;   // the window's first-start values
  double givenPeriod = 0.0;  // days, with Method::None
  int threads = 0;           // 0: every hardware thread
  bool json = false;
  bool savePeriodogram = false;
  bool savePhased = false;
  bool savePhasedBinned = false;
  ImportOptions import;      // --columns, --band
};

// What one file produced: its stdout and stderr text, printed in argument
// order once it is done.
struct FileReport {
  std::string out, err;
  bool failed = false;
};

Outcome runMethod(const AnalyseOptions& options, Workspace& ws, const RunControl& rc) {
  switch (options.method) {
    case Method::None:
      return analyseAtPeriod(ws, options.givenPeriod);
    case Method::Aov:
      return analyseAov(ws, rc);
    case Method::AovTransit:
      return analyseAovTransit(ws, rc);
    case Method::LombScargle:
      return analyseLombScargle(ws, rc);
  }
  return {};
}

void appendOutcome(FileReport& report, const std::string& file, const Outcome& outcome) {
  if (outcome.message) report.err += file + ": " + outcome.message->text + "\n";
  for (const auto& note : outcome.notes) report.err += file + ": " + note + "\n";
}

// The keys of the search. Further groups of keys (the model, the
// classification) go after these in the same object.
void addSearchKeys(JsonObject& o, const Workspace& ws, Method method) {
  if (method == Method::None) {
    o.add("method", methodName(method))
        .add("frequency_count", 0)
        .add("best_frequency", 1.0 / ws.period)
        .add("period", ws.period)
        .addNull("period_error")
        .addNull("max_power");
    return;
  }
  o.add("method", methodName(method))
      .add("frequency_count", ws.periodogram.frequencyCount)
      .add("best_frequency", ws.bestFrequency)
      .add("period", ws.period)
      .add("period_error", ws.periodError)
      .add("max_power", ws.periodogram.maxPower);
  if (method == Method::LombScargle) o.add("false_alarm_probability", ws.falseAlarmProbability);
}

// The keys of the model and the classification.
void addModelKeys(JsonObject& o, const Workspace& ws) {
  o.add("t0", ws.t0)
      .add("t0_from_minimum", ws.t0FromMinimum == 1)
      .add("epoch_of_minimum", ws.epochOfMinimum)
      .add("epoch_of_maximum", ws.epochOfMaximum);
  if (ws.magAtMaximumValid)
    o.add("mag_at_maximum", ws.magAtMaximum);
  else
    o.addNull("mag_at_maximum");
  o.add("amplitude", ws.amplitude).add("type", ws.typeText).add("score", ws.scoreText);
}

std::string textReport(const std::string& file, const Workspace& ws, Method method) {
  std::string s = file + "\n";
  s += formatPrintf("  Method:       %s\n", methodName(method));
  s += formatPrintf("  Data points:  %d\n", ws.lightCurve.pointCount);
  if (method != Method::None)
    s += formatPrintf("  Frequencies:  %d\n", ws.periodogram.frequencyCount);
  s += "  Period:       " + formatFixed(ws.period, 6, 10) + "\n";
  if (method != Method::None) {
    s += "  Error:        " + formatFixed(ws.periodError, 6, 10) + "\n";
    s += "  Max power:    " + formatFixed(ws.periodogram.maxPower, 6, 9) + "\n";
  }
  if (method == Method::LombScargle)
    s += "  FAP:          " + formatFixed(ws.falseAlarmProbability * 100, 1, 3) + " %\n";
  s += "  T0:           " + formatFixed(ws.t0, 6, 15) + "\n";
  s +=
      "  Max mag:      " + (ws.magAtMaximumValid ? formatFixed(ws.magAtMaximum, 3, 5) : "-") + "\n";
  s += "  Amplitude:    " + formatFixed(ws.amplitude, 3, 4) + "\n";
  s += "  Type:         " + ws.typeText + "\n";
  s += "  Score:        " + ws.scoreText + "\n";
  return s;
}

FileReport analyseFile(const std::string& file, const AnalyseOptions& options,
                       const RunControl& rc) {
  FileReport report;
  Workspace ws;
  const Outcome loaded = loadObservations(ws, file, options.import);
  if (!loaded.ok) {
    appendOutcome(report, file, loaded);
    report.failed = true;
    return report;
  }
  report.err += loadNotesText(file, loaded);
  ws.settings = options.settings;
  const Outcome searched = runMethod(options, ws, rc);
  if (!searched.ok) {
    appendOutcome(report, file, searched);
    report.failed = true;
    return report;
  }
  std::string periodogramFile, phasedFile, phasedBinnedFile;
  auto save = [&](Outcome (*writer)(Workspace&), std::string& path) {
    const Outcome saved = writer(ws);
    if (!saved.ok) {
      appendOutcome(report, file, saved);
      report.failed = true;
    } else {
      path = ws.files.outputPath;
    }
  };
  if (options.savePeriodogram) save(savePeriodogram, periodogramFile);
  if (options.savePhased) save(savePhasedData, phasedFile);
  if (options.savePhasedBinned) save(savePhasedBinned, phasedBinnedFile);

  if (options.json) {
    JsonObject o;
    o.add("file", file).add("points", ws.lightCurve.pointCount);
    addSearchKeys(o, ws, options.method);
    addModelKeys(o, ws);
    if (!periodogramFile.empty()) o.add("periodogram_file", periodogramFile);
    if (!phasedFile.empty()) o.add("phased_file", phasedFile);
    if (!phasedBinnedFile.empty()) o.add("phased_binned_file", phasedBinnedFile);
    report.out = o.str() + "\n";
  } else {
    report.out = textReport(file, ws, options.method);
    if (!periodogramFile.empty())
      report.out += "  Periodogram written to " + periodogramFile + "\n";
    if (!phasedFile.empty()) report.out += "  Phased data written to " + phasedFile + "\n";
    if (!phasedBinnedFile.empty())
      report.out += "  Phased binned data written to " + phasedBinnedFile + "\n";
  }
  return report;
}

}  // namespace

int runAnalyse(const Args& args) {
  AnalyseOptions options;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--save-periodogram") {
      options.savePeriodogram = true;
    } else if (a == "--save-phased") {
      options.savePhased = true;
    } else if (a == "--save-phased-binned") {
      options.savePhasedBinned = true;
    } else if (auto status = takeImportOption("analyse", args, i, options.import)) {
      if (*status != kExitOk) return *status;
    } else if (a == "--method" || a == "--min-period" || a == "--max-period" ||
               a == "--harmonics" || a == "--resolution" || a == "--threads" || a == "--period") {
      if (i + 1 >= args.size()) return usageError("analyse: " + a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--method") {
        if (v == "aov")
          options.method = Method::Aov;
        else if (v == "aovtr")
          options.method = Method::AovTransit;
        else if (v == "ls")
          options.method = Method::LombScargle;
        else
          return usageError("analyse: --method must be aov, aovtr or ls");
      } else if (a == "--harmonics" || a == "--threads") {
        const auto n = parseInteger(v);
        if (!n || *n < -1000000 || *n > 1000000)
          return usageError("analyse: " + a + " needs a whole number, not '" + v + "'");
        if (a == "--threads") {
          if (*n < 0) return usageError("analyse: --threads must not be negative");
          options.threads = static_cast<int>(*n);
        } else {
          options.settings.harmonics = static_cast<int>(*n);
        }
      } else {
        const auto x = parseNumber(v);
        if (!x) return usageError("analyse: " + a + " needs a number, not '" + v + "'");
        if (a == "--period") {
          if (!(*x > 0.0)) return usageError("analyse: --period must be a positive number");
          options.givenPeriod = *x;
        } else if (a == "--min-period")
          options.settings.minPeriod = *x;
        else if (a == "--max-period")
          options.settings.maxPeriod = *x;
        else
          options.settings.resolution = *x;
      }
    } else {
      return usageError("analyse: unknown option '" + a + "'");
    }
  }
  if (files.empty()) return usageError("analyse: no FILE given");
  if (options.givenPeriod > 0.0) options.method = Method::None;  // whatever --method said

  // Threads go to files first; a few files share the rest inside the engine.
  RunControl all;
  all.threads = options.threads;
  const int total = all.effectiveThreads(1L << 30);
  const int fileWorkers = std::min<int>(total, static_cast<int>(files.size()));
  RunControl rc;
  rc.threads = std::max(1, total / fileWorkers);

  std::vector<FileReport> reports(files.size());
  std::vector<char> done(files.size(), 0);
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    for (std::size_t k; (k = next.fetch_add(1)) < files.size();) {
      FileReport r = analyseFile(files[k], options, rc);
      std::lock_guard<std::mutex> lock(mutex);
      reports[k] = std::move(r);
      done[k] = 1;
      ready.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < fileWorkers; ++t) pool.emplace_back(worker);

  int status = kExitOk;
  for (std::size_t k = 0; k < files.size(); ++k) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return done[k] != 0; });
    const FileReport r = std::move(reports[k]);
    lock.unlock();
    std::fputs(r.err.c_str(), stderr);
    std::fputs(r.out.c_str(), stdout);
    std::fflush(stdout);
    if (r.failed) status = kExitFileError;
  }
  for (auto& t : pool) t.join();
  return status;
}

}  // namespace fazorn::cli
