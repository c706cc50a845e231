// fazorn-cli analyse: the window's search commands over many files. Each
// file runs the very operation of the window's button, so the figures agree
// to the last digit; files are analysed in parallel and reported in the
// order of the arguments.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch/analysis_options.h"
#include "batch/analysis_report.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "core/parallel_for.h"

namespace fazorn::cli {

std::string analyseHelp() {
  return std::string(
             "  analyse [--method aov|aovtr|ls] [--min-period P] [--max-period P]\n"
             "          [--harmonics H] [--resolution R|auto] [--oversampling K] [--refine]\n"
             "          [--resolve-alias] [--auto] [--period P] [--threads N] [--json]\n"
             "          [--route exact|fast|auto]\n"
             "          [--save-periodogram] [--save-phased] [--save-phased-binned] FILE...\n"
             "          (also --columns TIME,VALUE[,ERROR] and --band NAME, as for every command)\n"
             "      Searches each file for its period with the window's command: the\n"
             "      multiharmonic AoV (default), the transit search AoVtr or\n"
             "      Lomb-Scargle. Defaults: periods 0.2 to 500 d, 2 harmonics,\n"
             "      resolution 0.0003 per day (the Lomb-Scargle grid is the multiples of\n"
             "      1 / max period). Files are analysed in parallel on N threads (default\n"
             "      all cores) and reported in the order given. Each search ends with\n"
             "      the model of the phased curve and the variability type.\n") +
         analysisOptionsHelp() +
         "      --json   one JSON object per file and line, with the keys file,\n"
         "               points, method, frequency_count, best_frequency, period,\n"
         "               period_error, max_power, false_alarm_probability (ls only),\n"
         "               t0, t0_from_minimum, epoch_of_minimum, epoch_of_maximum,\n"
         "               mag_at_maximum (null when not available), amplitude, type\n"
         "               and score (as the window's \"Type:\" and \"Score:\" labels),\n"
         "               grid_period (the grid maximum), peaks (the 5 highest\n"
         "               independent peaks, {period, power}), warnings (a list),\n"
         "               alias (none/doubled/halved; null without --resolve-alias),\n"
         "               type_admitted (false when no type admits the star),\n"
         "               value_kind (mag or flux), model_points_left_out (fluxes\n"
         "               of 0 or less, which have no magnitude for the model),\n"
         "               and periodogram_file / phased_file / phased_binned_file\n"
         "               when written; numbers\n"
         "               read back exactly\n"
         "      Ctrl+C (or SIGTERM) prints the files already analysed, stops the\n"
         "      others and exits with status 130.\n";
}

namespace {

struct AnalyseOptions {
  AnalysisRequest request;
  int threads = 0;  // 0: every hardware thread
  bool json = false;
};

// What one file produced: its stdout and stderr text, printed in argument
// order once it is done.
struct FileReport {
  std::string out, err;
  bool failed = false;
  // Not analysed to the end because of Ctrl+C: nothing of it is printed.
  bool interrupted = false;
};

std::string reportJson(const AnalysisReport& report) {
  JsonObject o;
  for (const auto& f : report.fields()) {
    const ReportValue& v = f.value;
    switch (v.kind) {
      case ReportValue::Kind::Null:
        o.addNull(f.key);
        break;
      case ReportValue::Kind::Number:
        o.add(f.key, v.number);
        break;
      case ReportValue::Kind::Integer:
        o.add(f.key, v.integer);
        break;
      case ReportValue::Kind::Boolean:
        o.add(f.key, v.boolean);
        break;
      case ReportValue::Kind::Text:
        o.add(f.key, std::string_view(v.text));
        break;
      case ReportValue::Kind::Raw:
        o.addRaw(f.key, v.text);
        break;
    }
  }
  return o.str();
}

FileReport analyseFile(const std::string& file, const AnalyseOptions& options,
                       const RunControl& rc) {
  FileReport report;
  AnalysisResult result;
  // The files run on worker threads: running out of memory fails this file
  // (exit status 1) instead of ending the program.
  try {
    result = analyseObservationFile(file, options.request, rc);
  } catch (const std::bad_alloc&) {
    report.err = file + ": not enough memory for the analysis\n";
    report.failed = true;
    return report;
  } catch (const std::length_error&) {
    report.err = file + ": not enough memory for the analysis\n";
    report.failed = true;
    return report;
  }
  report.failed = result.failed;
  for (const auto& line : result.diagnostics) report.err += file + ": " + line + "\n";
  if (result.report.fields().empty()) return report;
  report.out = options.json ? reportJson(result.report) + "\n" : result.text;
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
    } else if (a == "--threads") {
      if (i + 1 >= args.size()) return usageError("analyse: --threads needs a value");
      const std::string& v = args[++i];
      const auto n = parseInteger(v);
      if (!n || *n < -1000000 || *n > 1000000)
        return usageError("analyse: --threads needs a whole number, not '" + v + "'");
      if (*n < 0) return usageError("analyse: --threads must not be negative");
      options.threads = static_cast<int>(*n);
    } else if (const AnalysisOption* option =
                   a.rfind("--", 0) == 0 ? findAnalysisOption(std::string_view(a).substr(2))
                                         : nullptr;
               option != nullptr && a.find('_') == std::string::npos) {
      // Every other option from the one table the Python module reads too.
      std::string text;
      if (option->kind != OptionKind::Flag) {
        if (i + 1 >= args.size()) return usageError("analyse: " + a + " needs a value");
        text = args[++i];
      }
      OptionValue value;
      std::string refusal;
      if (!optionValueFromText(*option, text, value, refusal) ||
          !(refusal = option->store(options.request, value)).empty())
        return usageError("analyse: " + a + " " + refusal);
    } else {
      return usageError("analyse: unknown option '" + a + "'");
    }
  }
  if (files.empty()) return usageError("analyse: no FILE given");
  if (options.request.givenPeriod > 0.0) options.request.method.reset();  // whatever --method said
  // What no file can be searched with is refused once, before any file, as
  // the Python module refuses it.
  const RequestCheck check = checkAnalysisRequest(options.request);
  if (!check.refusal.empty()) return usageError("analyse: " + check.refusal);
  if (check.harmonicsRaisedTo > 0)
    std::fprintf(stderr, "fazorn-cli: analyse: --harmonics %d raised to %d\n",
                 options.request.settings.harmonics, check.harmonicsRaisedTo);

  // Threads go to files first; a few files share the rest inside the engine.
  RunControl all;
  all.threads = options.threads;
  const int total = all.effectiveThreads(1L << 30);
  const int fileWorkers = std::min<int>(total, static_cast<int>(files.size()));
  RunControl rc;
  rc.threads = std::max(1, total / fileWorkers);
  // Ctrl+C: the files already analysed are still printed, the ones under
  // way stop and print nothing, no further file starts; exit status 130.
  rc.cancel = installInterruptHandlers();

  std::vector<FileReport> reports(files.size());
  std::vector<char> done(files.size(), 0);
  std::mutex mutex;
  std::condition_variable ready;
  // The files go through the engines' parallel loop (one file a block, on
  // fileWorkers threads, no further file once interrupted) on a thread of
  // their own, so that this thread prints each file's lines in the order
  // given as soon as they are ready.
  RunControl fileControl;
  fileControl.threads = fileWorkers;
  fileControl.cancel = rc.cancel;
  std::exception_ptr failure;
  auto produce = [&] {
    WorkMeter meter(fileControl, static_cast<std::int64_t>(files.size()));
    try {
      parallelFor(
          static_cast<std::int64_t>(files.size()), 1, meter, [] { return 0; },
          [&](int, std::int64_t first, std::int64_t) {
            const auto k = static_cast<std::size_t>(first);
            FileReport r = analyseFile(files[k], options, rc);
            // A failure after the signal is the search stopping, not the file.
            if (r.failed && interrupted()) r = FileReport{{}, {}, false, true};
            std::lock_guard<std::mutex> lock(mutex);
            reports[k] = std::move(r);
            done[k] = 1;
            ready.notify_all();
          });
    } catch (...) {
      // Rethrown on this thread once the lines so far are printed, where
      // the command line reports it (running out of memory) as before.
      failure = std::current_exception();
    }
    // Files never started (interrupted) are done too, with nothing to print.
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t k = 0; k < files.size(); ++k)
      if (!done[k]) reports[k].interrupted = true, done[k] = 1;
    ready.notify_all();
  };
  std::thread producer;
  try {
    producer = std::thread(produce);
  } catch (const std::system_error&) {
    // No thread to spare (process limits): the files are analysed here
    // first, and their lines printed after.
    produce();
  }

  int status = kExitOk;
  for (std::size_t k = 0; k < files.size(); ++k) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return done[k] != 0; });
    const FileReport r = std::move(reports[k]);
    lock.unlock();
    if (r.interrupted) continue;
    std::fputs(r.err.c_str(), stderr);
    std::fputs(r.out.c_str(), stdout);
    std::fflush(stdout);
    if (r.failed) status = kExitFileError;
  }
  if (producer.joinable()) producer.join();
  if (failure) std::rethrow_exception(failure);
  if (interrupted()) {
    std::size_t finished = 0;
    for (const FileReport& r : reports) finished += r.interrupted ? 0 : 1;
    std::fprintf(stderr, "fazorn-cli: analyse: interrupted after %zu of %zu files\n", finished,
                 files.size());
    return kExitInterrupted;
  }
  return status;
}

}  // namespace fazorn::cli
