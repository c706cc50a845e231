// fazorn-cli analyse: the window's search commands over many files. Each
// file runs the very operation of the window's button, so the figures agree
// to the last digit; files are analysed in parallel and reported in the
// order of the arguments.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
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
#include "cli/pictures.h"
#include "core/parallel_for.h"

namespace fazorn::cli {

std::string analyseHelp() {
  return std::string(
             "  analyse [--method aov|aovtr|ls] [--min-period P] [--max-period P]\n"
             "          [--harmonics H] [--resolution R|auto] [--oversampling K] [--refine]\n"
             "          [--resolve-alias] [--auto] [--period P] [--threads N] [--json]\n"
             "          [--route exact|fast|auto]\n"
             "          [--save-periodogram] [--save-phased] [--save-phased-binned]\n"
             "          [--plot DIR [--format png|pdf|svg] [--size WxH]] FILE...\n"
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
         "               / plot_file when written; numbers\n"
         "               read back exactly\n"
         "      --plot DIR  also writes each star's picture into DIR, as `plot` does\n"
         "      Ctrl+C (or SIGTERM) prints the files already analysed, stops the\n"
         "      others and exits with status 130.\n";
}

std::string plotHelp() {
  return std::string(
             "  plot [--out DIR] [--format png|pdf|svg] [--size WxH] [the options of\n"
             "       analyse] FILE...\n"
             "      Analyses each file as analyse does and writes the window's three charts\n"
             "      of it into one picture, DIR/NAME.png (NAME: the file's name without\n"
             "      its suffix; -2, -3... when two files share it): the light curve, the\n"
             "      phase diagram with the model and the periodogram with the adopted\n"
             "      period (dashed) and the highest peaks (triangles), under a heading\n"
             "      with the period, its error, the type and the warnings. Magnitudes\n"
             "      are drawn brighter up. Prints each picture's path; a file that\n"
             "      cannot be analysed or drawn is reported on stderr (exit status 1)\n"
             "      and the others are still drawn. Needs no display (Qt's offscreen\n"
             "      platform). Default DIR: the current directory.\n") +
         kPictureOptionsHelp;
}

namespace {

struct AnalyseOptions {
  AnalysisRequest request;
  int threads = 0;  // 0: every hardware thread
  bool json = false;
  PictureOptions pictures;
  // `plot`: the pictures are the output; their paths go to stdout.
  bool plotCommand = false;
};

enum class PictureState { None, Pending, Done };

// What one file produced, printed in argument order once it is done (and
// its picture written).
struct FileReport {
  AnalysisResult result;
  // The analysed star, kept only until its picture is drawn.
  std::unique_ptr<Workspace> ws;
  // Not analysed to the end because of Ctrl+C: nothing of it is printed.
  bool interrupted = false;
  PictureState picture = PictureState::None;
  std::string pictureError;  // "" once written
};

std::string reportJson(const AnalysisReport& report, const std::string& pictureFile) {
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
  if (!pictureFile.empty()) o.add("plot_file", std::string_view(pictureFile));
  return o.str();
}

FileReport analyseFile(const std::string& file, const AnalyseOptions& options,
                       const RunControl& rc) {
  FileReport report;
  // The files run on worker threads: running out of memory fails this file
  // (exit status 1) instead of ending the program.
  try {
    if (options.pictures.enabled) {
      report.ws = std::make_unique<Workspace>();
      report.result = analyseObservationFile(file, options.request, rc, *report.ws);
    } else {
      report.result = analyseObservationFile(file, options.request, rc);
    }
  } catch (const std::bad_alloc&) {
    report = FileReport{};
    report.result.diagnostics.push_back("not enough memory for the analysis");
    report.result.failed = true;
  } catch (const std::length_error&) {
    report = FileReport{};
    report.result.diagnostics.push_back("not enough memory for the analysis");
    report.result.failed = true;
  }
  // A star that was not searched has nothing to draw.
  if (report.result.report.fields().empty()) report.ws.reset();
  return report;
}

// The stderr and stdout text of a finished file.
void printReport(const std::string& file, const FileReport& r, const std::string& picturePath,
                 const AnalyseOptions& options) {
  std::string err;
  for (const auto& line : r.result.diagnostics) err += file + ": " + line + "\n";
  const bool pictureWritten = r.picture == PictureState::Done && r.pictureError.empty();
  if (r.picture == PictureState::Done && !r.pictureError.empty())
    err += file + ": cannot write the picture " + picturePath + ": " + r.pictureError + "\n";
  std::string out;
  if (options.plotCommand) {
    if (pictureWritten) out = picturePath + "\n";
  } else if (!r.result.report.fields().empty()) {
    out = options.json
              ? reportJson(r.result.report, pictureWritten ? picturePath : std::string()) + "\n"
              : r.result.text +
                    (pictureWritten ? "  Plot written to " + picturePath + "\n" : std::string());
  }
  std::fputs(err.c_str(), stderr);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

int runAnalysis(const char* command, const Args& args, AnalyseOptions options) {
  const std::string name = command;
  std::vector<std::string> files;
  bool optionsEnded = false;
  std::string pictureOptionGiven;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--json" && !options.plotCommand) {
      options.json = true;
    } else if (a == (options.plotCommand ? "--out" : "--plot")) {
      if (i + 1 >= args.size()) return usageError(name + ": " + a + " needs a directory");
      options.pictures.enabled = true;
      options.pictures.dir = args[++i];
    } else if (const auto taken = takePictureOption(command, args, i, options.pictures)) {
      if (*taken != kExitOk) return *taken;
      pictureOptionGiven = a;
    } else if (a == "--threads") {
      if (i + 1 >= args.size()) return usageError(name + ": --threads needs a value");
      const std::string& v = args[++i];
      const auto n = parseInteger(v);
      if (!n || *n < -1000000 || *n > 1000000)
        return usageError(name + ": --threads needs a whole number, not '" + v + "'");
      if (*n < 0) return usageError(name + ": --threads must not be negative");
      options.threads = static_cast<int>(*n);
    } else if (const AnalysisOption* option =
                   a.rfind("--", 0) == 0 ? findAnalysisOption(std::string_view(a).substr(2))
                                         : nullptr;
               option != nullptr && a.find('_') == std::string::npos) {
      // Every other option from the one table the Python module reads too.
      std::string text;
      if (option->kind != OptionKind::Flag) {
        if (i + 1 >= args.size()) return usageError(name + ": " + a + " needs a value");
        text = args[++i];
      }
      OptionValue value;
      std::string refusal;
      if (!optionValueFromText(*option, text, value, refusal) ||
          !(refusal = option->store(options.request, value)).empty())
        return usageError(name + ": " + a + " " + refusal);
    } else {
      return usageError(name + ": unknown option '" + a + "'");
    }
  }
  if (files.empty()) return usageError(name + ": no FILE given");
  if (!options.pictures.enabled && !pictureOptionGiven.empty())
    return usageError(name + ": " + pictureOptionGiven + " needs --plot DIR");
  if (options.request.givenPeriod > 0.0) options.request.method.reset();  // whatever --method said
  // What no file can be searched with is refused once, before any file, as
  // the Python module refuses it.
  const RequestCheck check = checkAnalysisRequest(options.request);
  if (!check.refusal.empty()) return usageError(name + ": " + check.refusal);
  if (check.harmonicsRaisedTo > 0)
    std::fprintf(stderr, "fazorn-cli: %s: --harmonics %d raised to %d\n", command,
                 options.request.settings.harmonics, check.harmonicsRaisedTo);

  // The pictures are drawn on this thread, which owns Qt's widgets; Qt
  // starts here before any other thread runs.
  std::vector<std::string> picturePathList;
  std::unique_ptr<ui::StarPictureWriter> writer;
  if (options.pictures.enabled) {
    if (const std::string refusal = checkPictureOptions(options.pictures); !refusal.empty())
      return usageError(name + ": " + refusal);
    picturePathList = picturePaths(files, options.pictures);
    writer = makePictureWriter();
    if (!writer) return usageError(name + ": the pictures cannot be drawn in this build");
  }

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
  // Stars waiting to be drawn on this thread, and drawn pictures waiting to
  // be written (PNG compression) by the writer threads. A worker waits
  // while too many stars wait, so that the Workspaces of a large survey do
  // not pile up in memory when drawing is the slower step.
  std::vector<std::size_t> toDraw;
  std::size_t mostWaiting = 2 * static_cast<std::size_t>(fileWorkers) + 2;
  struct WriteJob {
    std::size_t file;
    std::function<std::string()> finish;
  };
  std::vector<WriteJob> toWrite;
  bool writersStop = false;
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
            if (r.result.failed && interrupted()) {
              r = FileReport{};
              r.interrupted = true;
            }
            std::unique_lock<std::mutex> lock(mutex);
            if (r.ws) {
              ready.wait(lock, [&] { return toDraw.size() < mostWaiting; });
              r.picture = PictureState::Pending;
              toDraw.push_back(k);
            }
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
  auto writePictures = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      ready.wait(lock, [&] { return writersStop || !toWrite.empty(); });
      if (toWrite.empty()) return;
      WriteJob job = std::move(toWrite.back());
      toWrite.pop_back();
      ready.notify_all();
      lock.unlock();
      std::string error;
      try {
        error = job.finish();
      } catch (...) {
        error = "not enough memory for the picture";
      }
      job.finish = nullptr;  // the picture's pixels go now
      lock.lock();
      reports[job.file].pictureError = error;
      reports[job.file].picture = PictureState::Done;
      ready.notify_all();
    }
  };
  std::vector<std::thread> pictureWriters;
  if (writer) {
    try {
      for (int t = 0; t < fileWorkers; ++t) pictureWriters.emplace_back(writePictures);
    } catch (const std::system_error&) {
      // Fewer threads than asked: the ones there write (none: this thread).
    }
  }
  std::thread producer;
  try {
    producer = std::thread(produce);
  } catch (const std::system_error&) {
    // No thread to spare (process limits): the files are analysed here
    // first, and their lines printed after; nobody else would draw.
    mostWaiting = files.size() + 1;
    produce();
  }

  // Draws the stars waiting (called with the lock held; it is released
  // while drawing).
  auto drawWaiting = [&](std::unique_lock<std::mutex>& lock) {
    while (!toDraw.empty()) {
      const std::size_t k = toDraw.back();
      toDraw.pop_back();
      std::unique_ptr<Workspace> ws = std::move(reports[k].ws);
      const AnalysisResult& result = reports[k].result;  // no worker writes it again
      ready.notify_all();
      lock.unlock();
      std::function<std::string()> finish;
      try {
        finish = writer->draw(*ws, pictureText(files[k], result), options.pictures.format,
                              options.pictures.width, options.pictures.height, picturePathList[k]);
      } catch (...) {
        finish = [] { return std::string("not enough memory for the picture"); };
      }
      ws.reset();
      if (pictureWriters.empty()) {
        const std::string error = finish();
        lock.lock();
        reports[k].pictureError = error;
        reports[k].picture = PictureState::Done;
      } else {
        lock.lock();
        // One picture waiting per writer thread at most: a drawn picture is
        // width x height x 4 bytes of pixels.
        ready.wait(lock, [&] { return toWrite.size() < pictureWriters.size(); });
        toWrite.push_back({k, std::move(finish)});
        ready.notify_all();
      }
    }
  };

  int status = kExitOk;
  for (std::size_t k = 0; k < files.size(); ++k) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      drawWaiting(lock);
      if (done[k] && reports[k].picture != PictureState::Pending) break;
      ready.wait(lock, [&] {
        return !toDraw.empty() || (done[k] && reports[k].picture != PictureState::Pending);
      });
    }
    const FileReport r = std::move(reports[k]);
    lock.unlock();
    if (r.interrupted) continue;
    printReport(files[k], r, writer ? picturePathList[k] : std::string(), options);
    if (r.result.failed || (r.picture == PictureState::Done && !r.pictureError.empty()))
      status = kExitFileError;
  }
  if (producer.joinable()) producer.join();
  {
    std::lock_guard<std::mutex> lock(mutex);
    writersStop = true;
    ready.notify_all();
  }
  for (std::thread& t : pictureWriters) t.join();
  if (failure) std::rethrow_exception(failure);
  if (interrupted()) {
    std::size_t finished = 0;
    for (std::size_t k = 0; k < files.size(); ++k) finished += done[k] && !reports[k].interrupted;
    std::fprintf(stderr, "fazorn-cli: %s: interrupted after %zu of %zu files\n", command, finished,
                 files.size());
    return kExitInterrupted;
  }
  return status;
}

}  // namespace

int runAnalyse(const Args& args) { return runAnalysis("analyse", args, AnalyseOptions{}); }

int runPlot(const Args& args) {
  AnalyseOptions options;
  options.plotCommand = true;
  options.pictures.enabled = true;
  return runAnalysis("plot", args, options);
}

}  // namespace fazorn::cli
