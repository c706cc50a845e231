// The compiled half of the Python package: light curves in and out as
// contiguous float64 numpy arrays, the end-to-end analysis of
// batch/analysis_report.h, the randomisation test and the prewhitening
// cascade of fazorn-cli frequencies. The pure-Python
// package (python/fazorn) checks and converts the arguments and carries the
// documentation; this module trusts that the arrays are 1-D float64 of equal
// length and reports everything else the way the command line does.
//
// The engines run with the GIL released. Each call works on a Workspace of
// its own, so several Python threads may analyse at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch/analysis_options.h"
#include "batch/analysis_report.h"
#include "commands/frequencies.h"
#include "commands/significance.h"
#include "core/file_names.h"
#include "core/observation_file.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "search/search_settings.h"

namespace py = pybind11;

namespace fazorn::python {
namespace {

using Array = py::array_t<double, py::array::c_style>;

// A numpy array that owns the vector's storage (no copy).
py::array_t<double> toNumpy(std::vector<double>&& v) {
  auto* owned = new std::vector<double>(std::move(v));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
  return py::array_t<double>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

std::vector<double> toVector(const Array& a) {
  const double* p = a.data();
  return std::vector<double>(p, p + a.size());
}

// Raised for files that cannot be read: FileNotFoundError when the path does
// not exist, OSError otherwise; the text is what the command line prints.
[[noreturn]] void raiseFileError(const std::string& path, const std::string& text) {
  std::error_code ec;
  PyErr_SetString(std::filesystem::exists(path, ec) ? PyExc_OSError : PyExc_FileNotFoundError,
                  text.c_str());
  throw py::error_already_set();
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += (s.empty() ? "" : "\n") + l;
  return s;
}

// Puts observations into a Workspace exactly as "Open Data" does after
// reading a file (weights (1/e)/e, zero marks, the state after a load), so
// that arrays and files give the same analysis to the last bit.
void loadArrays(Workspace& ws, std::vector<double>&& t, std::vector<double>&& y,
                std::vector<double>&& dy, const std::string& name) {
  splitDataPath(name, ws.files);
  fillLightCurve(ws, std::move(t), std::move(y), std::move(dy));
}

// ---- options: Python keyword -> AnalysisRequest ----------------------------
// One entry per keyword of analyse(); a keyword not listed here is refused
// with the list of those that are, so a new request field needs one line.

double numberOption(const std::string& name, py::handle v) {
  if (py::isinstance<py::bool_>(v) || !(py::isinstance<py::float_>(v) ||
                                        py::isinstance<py::int_>(v) || py::hasattr(v, "__float__")))
    throw py::value_error(name + " needs a number, not " + std::string(py::repr(v)));
  const double x = v.cast<double>();
  if (!std::isfinite(x))
    throw py::value_error(name + " needs a finite number, not " + std::string(py::repr(v)));
  return x;
}

long wholeOption(const std::string& name, py::handle v) {
  if (py::isinstance<py::bool_>(v))
    throw py::value_error(name + " needs a whole number, not " + std::string(py::repr(v)));
  if (py::isinstance<py::int_>(v) || py::hasattr(v, "__index__")) {
    const long long n = py::int_(py::reinterpret_borrow<py::object>(v)).cast<long long>();
    if (n < -1000000 || n > 1000000) throw py::value_error(name + " is out of range");
    return static_cast<long>(n);
  }
  if (!(py::isinstance<py::float_>(v) || py::hasattr(v, "__float__")))
    throw py::value_error(name + " needs a whole number, not " + std::string(py::repr(v)));
  const double x = numberOption(name, v);
  if (x != std::floor(x) || std::fabs(x) > 1e6)
    throw py::value_error(name + " needs a whole number, not " + std::string(py::repr(v)));
  return static_cast<long>(x);
}

bool flagOption(const std::string& name, py::handle v) {
  if (!py::isinstance<py::bool_>(v) && !(py::isinstance<py::int_>(v)))
    throw py::value_error(name + " needs True or False, not " + std::string(py::repr(v)));
  return v.cast<bool>();
}

// A keyword's value in the option's kind, as optionValueFromText makes one
// from the command line's text.
OptionValue optionValue(const AnalysisOption& option, const std::string& key, py::handle v) {
  OptionValue value;
  const bool text = py::isinstance<py::str>(v);
  value.text = text ? v.cast<std::string>() : std::string(py::repr(v));
  switch (option.kind) {
    case OptionKind::Flag:
      value.flag = flagOption(key, v);
      break;
    case OptionKind::Number:
      value.number = numberOption(key, v);
      break;
    case OptionKind::Whole:
      value.whole = wholeOption(key, v);
      break;
    case OptionKind::Choice:
      break;
    case OptionKind::Text:
      if (!text) throw py::value_error(key + " needs a text, not " + value.text);
      break;
    case OptionKind::NumberOrAuto:
      // "auto": the step from the time span, as --resolution auto.
      if (!(text && value.text == "auto")) value.number = numberOption(key, v), value.text.clear();
      break;
    case OptionKind::Columns:
      // "TIME,VALUE,ERROR" as on the command line, or a sequence of names
      // and 1-based numbers.
      if (text) {
        std::string refusal;
        const std::string given = value.text;  // (the call resets value)
        optionValueFromText(option, given, value, refusal);
      } else if (py::isinstance<py::sequence>(v)) {
        for (py::handle c : v) value.columns.push_back(py::str(c).cast<std::string>());
      }
      break;
  }
  return value;
}

// The keywords, in alphabetical order.
std::vector<std::string> keywordNames() {
  std::vector<std::string> names;
  for (const AnalysisOption& o : analysisOptions()) {
    std::string name(o.name);
    for (char& c : name)
      if (c == '-') c = '_';
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string sortedNames() {
  std::string all;
  for (const auto& n : keywordNames()) all += (all.empty() ? "" : ", ") + n;
  return all;
}

// The request of the keywords, from the table the command line reads too; a
// keyword not in it is refused with the list of those that are. None leaves
// a setting at its default, as an option not given on the command line does.
AnalysisRequest requestOf(const py::dict& options) {
  AnalysisRequest request;
  for (const auto& [k, v] : options) {
    const std::string key = py::str(k);
    const AnalysisOption* option =
        key.find('-') == std::string::npos ? findAnalysisOption(key) : nullptr;
    if (option == nullptr)
      throw py::type_error("unknown option '" + key + "' (options: " + sortedNames() + ")");
    if (v.is_none()) continue;
    const std::string refusal = option->store(request, optionValue(*option, key, v));
    if (!refusal.empty()) throw py::value_error(key + " " + refusal);
  }
  // As on the command line: a given period means no search, whatever the method.
  if (request.givenPeriod > 0.0) request.method.reset();
  return request;
}

// What the settings decide alone, checked once before any light curve as
// the command line checks its options (the same check): a refusal raises
// ValueError with the command line's text, raised harmonics warn as the
// command line says it on stderr.
void checkSettings(const AnalysisRequest& request) {
  const RequestCheck check = checkAnalysisRequest(request);
  if (!check.refusal.empty()) throw py::value_error(check.refusal);
  if (check.harmonicsRaisedTo > 0) {
    const std::string text = "harmonics " + std::to_string(request.settings.harmonics) +
                             " raised to " + std::to_string(check.harmonicsRaisedTo);
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) != 0) throw py::error_already_set();
  }
}

RunControl runControl(int threads) {
  RunControl rc;
  rc.threads = std::max(0, threads);
  return rc;
}

// Runs work(rc) without the GIL on a thread of its own, while the calling
// thread looks for Ctrl-C every 0.1 s: an interrupt sets the run's cancel
// flag (the engines stop at their next block) and raises KeyboardInterrupt
// once the work has returned. Only the main thread sees signals; elsewhere
// this is a plain run.
void runInterruptibly(RunControl rc, const std::function<void(const RunControl&)>& work) {
  std::atomic<bool> cancel{false};
  rc.cancel = &cancel;
  std::exception_ptr error;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread worker([&] {
      try {
        work(rc);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; })) {
      if (interrupted) continue;
      lock.unlock();
      {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) interrupted = true;  // the exception stays set
      }
      if (interrupted) cancel = true;
      lock.lock();
    }
    lock.unlock();
    worker.join();
  }
  if (interrupted) throw py::error_already_set();
  if (error) std::rethrow_exception(error);
}

// ---- results -----------------------------------------------------------------

py::object valueOf(const ReportValue& v, const py::object& jsonLoads) {
  switch (v.kind) {
    case ReportValue::Kind::Null:
      return py::none();
    case ReportValue::Kind::Number:
      // The command line writes a non-finite number as null.
      return std::isfinite(v.number) ? py::object(py::float_(v.number)) : py::object(py::none());
    case ReportValue::Kind::Integer:
      return py::int_(v.integer);
    case ReportValue::Kind::Boolean:
      return py::bool_(v.boolean);
    case ReportValue::Kind::Text:
      return py::str(v.text);
    case ReportValue::Kind::Raw:
      return jsonLoads(v.text);
  }
  return py::none();
}

// The report as a list of (key, value) pairs in the command line's order.
py::list fieldsOf(const AnalysisReport& report) {
  const py::object jsonLoads = py::module_::import("json").attr("loads");
  py::list fields;
  for (const auto& f : report.fields())
    fields.append(py::make_tuple(f.key, valueOf(f.value, jsonLoads)));
  return fields;
}

// What one analysis hands back to Python: the report and, on request, the
// periodogram arrays of the Workspace.
struct Analysed {
  AnalysisResult result;
  bool unreadable = false;  // the file could not be opened
  std::vector<double> frequency, power;
};

py::tuple toPython(Analysed&& a) {
  py::object frequency = py::none(), power = py::none();
  if (!a.frequency.empty() || !a.power.empty()) {
    frequency = toNumpy(std::move(a.frequency));
    power = toNumpy(std::move(a.power));
  }
  // "unreadable": the file could not be opened; "failed": the search was
  // refused (no fields) or a derived file could not be written.
  const char* status = a.unreadable ? "unreadable" : a.result.failed ? "failed" : "ok";
  return py::make_tuple(status, fieldsOf(a.result.report), py::cast(a.result.diagnostics),
                        frequency, power);
}

Analysed analyseLoaded(Workspace& ws, const std::string& name, const AnalysisRequest& request,
                       const RunControl& rc, bool keepPeriodogram) {
  Analysed a;
  // values="mag"|"flux" holds for arrays as for files (a file's load has
  // already applied it).
  if (request.import.valueKind) ws.lightCurve.valueKind = *request.import.valueKind;
  a.result = analyseWorkspace(ws, name, request, rc);
  if (keepPeriodogram && !a.result.failed && request.method) {
    const auto n = static_cast<std::size_t>(ws.periodogram.frequencyCount);
    a.frequency = std::move(ws.periodogram.frequency);
    a.power = std::move(ws.periodogram.power);
    a.frequency.resize(n);
    a.power.resize(n);
  }
  return a;
}

// The light curve of one call, copied out of numpy while the GIL is held.
struct Curve {
  std::vector<double> t, y, dy;
  std::string name;
};

// The package checks lengths with a friendlier message; this keeps a direct
// call of the compiled module from reading past an array.
Curve curveOf(const Array& t, const Array& y, const Array& dy, std::string name) {
  if (t.ndim() != 1 || y.ndim() != 1 || dy.ndim() != 1 || t.size() != y.size() ||
      t.size() != dy.size())
    throw py::value_error("t, y and dy must be 1-D arrays of the same length");
  return {toVector(t), toVector(y), toVector(dy), std::move(name)};
}

// analyse(t, y, dy, name, options, threads, periodogram)
//   -> (status, fields, diagnostics, frequency or None, power or None)
py::tuple analyseArrays(const Array& t, const Array& y, const Array& dy, const std::string& name,
                        const py::dict& options, int threads, bool keepPeriodogram) {
  const AnalysisRequest request = requestOf(options);
  checkSettings(request);
  if (request.savePeriodogram || request.savePhased || request.savePhasedBinned)
    throw py::value_error(
        "save_periodogram, save_phased and save_phased_binned need a file: use analyse_file");
  Curve c = curveOf(t, y, dy, name);
  Analysed a;
  runInterruptibly(runControl(threads), [&](const RunControl& rc) {
    Workspace ws;
    loadArrays(ws, std::move(c.t), std::move(c.y), std::move(c.dy), c.name);
    a = analyseLoaded(ws, c.name, request, rc, keepPeriodogram);
  });
  return toPython(std::move(a));
}

// Reading a file as analyseObservationFile does: the reading notes (other
// than the point count) first among the diagnostics.
Analysed analyseOneFile(const std::string& path, const AnalysisRequest& request,
                        const RunControl& rc, bool keepPeriodogram) {
  Workspace ws;
  const Outcome loaded = loadObservations(ws, path, request.import);
  if (!loaded.ok) {
    Analysed a;
    a.result.failed = true;
    a.unreadable = true;
    if (loaded.message) a.result.diagnostics.push_back(loaded.message->text);
    for (const auto& note : loaded.notes) a.result.diagnostics.push_back(note);
    return a;
  }
  Analysed a = analyseLoaded(ws, path, request, rc, keepPeriodogram);
  a.result.diagnostics.insert(a.result.diagnostics.begin(), loaded.notes.begin() + 1,
                              loaded.notes.end());
  return a;
}

py::tuple analyseFile(const std::string& path, const py::dict& options, int threads,
                      bool keepPeriodogram) {
  const AnalysisRequest request = requestOf(options);
  checkSettings(request);
  Analysed a;
  runInterruptibly(runControl(threads), [&](const RunControl& rc) {
    a = analyseOneFile(path, request, rc, keepPeriodogram);
  });
  if (a.unreadable) raiseFileError(path, path + ": " + joinLines(a.result.diagnostics));
  return toPython(std::move(a));
}

// Many light curves at once, as `fazorn-cli analyse` runs many files: the
// threads go to the curves first, and the few curves left at the end share
// nothing (each runs on rc.threads = total / workers). `job(k)` analyses
// curve k; results come back in input order.
std::vector<Analysed> runMany(std::size_t count, const RunControl& all,
                              const std::function<Analysed(std::size_t, const RunControl&)>& job) {
  std::vector<Analysed> out(count);
  if (count == 0) return out;
  const int total = all.effectiveThreads(1L << 30);
  const int workers = std::min<int>(total, static_cast<int>(count));
  RunControl rc;
  rc.threads = std::max(1, total / workers);
  rc.cancel = all.cancel;
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    for (std::size_t k; !rc.cancelled() && (k = next.fetch_add(1)) < count;) out[k] = job(k, rc);
  };
  std::vector<std::thread> pool;
  try {
    for (int w = 1; w < workers; ++w) pool.emplace_back(worker);
  } catch (const std::system_error&) {
    // No more threads to be had (process limits): the ones started share
    // the files, this one included.
  }
  worker();
  for (auto& th : pool) th.join();
  return out;
}

// analyse_files(paths, options, threads) -> list of (status, fields, diagnostics, None, None)
py::list analyseFiles(const std::vector<std::string>& paths, const py::dict& options, int threads) {
  const AnalysisRequest request = requestOf(options);
  checkSettings(request);
  std::vector<Analysed> done;
  runInterruptibly(runControl(threads), [&](const RunControl& all) {
    done = runMany(paths.size(), all, [&](std::size_t k, const RunControl& rc) {
      return analyseOneFile(paths[k], request, rc, false);
    });
  });
  py::list out;
  for (auto& a : done) out.append(toPython(std::move(a)));
  return out;
}

// analyse_curves([(t, y, dy, name), ...], options, threads) -> as analyse_files
py::list analyseCurves(const py::list& curves, const py::dict& options, int threads) {
  const AnalysisRequest request = requestOf(options);
  checkSettings(request);
  if (request.savePeriodogram || request.savePhased || request.savePhasedBinned)
    throw py::value_error(
        "save_periodogram, save_phased and save_phased_binned need a file: use analyse_file");
  std::vector<Curve> input;
  input.reserve(curves.size());
  for (const auto& item : curves) {
    const auto c = item.cast<py::tuple>();
    input.push_back(curveOf(c[0].cast<Array>(), c[1].cast<Array>(), c[2].cast<Array>(),
                            c[3].cast<std::string>()));
  }
  std::vector<Analysed> done;
  runInterruptibly(runControl(threads), [&](const RunControl& all) {
    done = runMany(input.size(), all, [&](std::size_t k, const RunControl& rc) {
      Workspace ws;
      Curve& c = input[k];
      loadArrays(ws, std::move(c.t), std::move(c.y), std::move(c.dy), c.name);
      return analyseLoaded(ws, c.name, request, rc, false);
    });
  });
  py::list out;
  for (auto& a : done) out.append(toPython(std::move(a)));
  return out;
}

// read(path) -> (time, value, error, notes)
py::tuple readFile(const std::string& path) {
  Workspace ws;
  Outcome loaded;
  {
    py::gil_scoped_release release;
    loaded = loadObservations(ws, path);
  }
  if (!loaded.ok) {
    std::vector<std::string> lines;
    if (loaded.message) lines.push_back(loaded.message->text);
    lines.insert(lines.end(), loaded.notes.begin(), loaded.notes.end());
    raiseFileError(path, path + ": " + joinLines(lines));
  }
  LightCurve& lc = ws.lightCurve;
  return py::make_tuple(toNumpy(std::move(lc.time)), toNumpy(std::move(lc.value)),
                        toNumpy(std::move(lc.error)), py::cast(loaded.notes));
}

// significance(t, y, dy, name, method, randomize, iterations, seed, output,
//              settings dict, threads) -> dict of the command line's keys
py::dict significance(const Array& t, const Array& y, const Array& dy, const std::string& name,
                      const std::string& method, const std::string& randomize, long iterations,
                      std::uint64_t seed, const std::string& output, const py::dict& settings,
                      int threads) {
  SignificanceOptions options;
  const std::optional<SearchEngine> engine = parseEngine(method);
  if (!engine || *engine == SearchEngine::AovTransit)
    throw py::value_error("method must be aov or ls, not '" + method + "'");
  options.method = *engine;
  if (randomize == "permute")
    options.randomization = Randomization::Permute;
  else if (randomize == "noise")
    options.randomization = Randomization::WhiteNoise;
  else
    throw py::value_error("randomize must be permute or noise, not '" + randomize + "'");
  if (iterations < 1) throw py::value_error("iterations must be at least 1");
  // As on the command line: more runs take days and tell nothing more.
  if (iterations > 10'000'000) throw py::value_error("iterations must be at most 10000000");
  options.iterations = iterations;
  options.seed = seed;
  options.outputPath = output;
  // The search settings through the same keywords as analyse().
  const AnalysisRequest request = requestOf(settings);
  // As on the command line: the runs share the times' work unless asked.
  options.route = request.route.value_or(SearchRoute::Auto);
  AnalysisRequest checked = request;
  checked.method = options.method;
  checked.givenPeriod = 0.0;
  checkSettings(checked);

  Curve c = curveOf(t, y, dy, name);
  SignificanceResult r;
  Outcome out;
  runInterruptibly(runControl(threads), [&](const RunControl& rc) {
    Workspace ws;
    loadArrays(ws, std::move(c.t), std::move(c.y), std::move(c.dy), c.name);
    ws.settings = request.settings;
    normaliseSearchSettings(ws.settings);
    out = runSignificanceTest(ws, options, rc, &r);
  });
  if (!out.ok) {
    std::vector<std::string> lines;
    if (out.message) lines.push_back(out.message->text);
    lines.insert(lines.end(), out.notes.begin(), out.notes.end());
    // The only file the test opens is its output.
    if (out.failure == Failure::Io) {
      const std::string text = "cannot write the runs: " + joinLines(lines);
      PyErr_SetString(PyExc_OSError, text.c_str());
      throw py::error_already_set();
    }
    throw py::value_error(joinLines(lines));
  }
  py::dict d;
  d["file"] = name;
  d["method"] = method;
  d["randomize"] = randomize;
  d["iterations"] = r.runsDone;
  d["seed"] = seed;
  d["observed_period"] = r.observedPeriod;
  d["observed_power"] = r.observedPower;
  d["runs_at_or_above"] = r.runsAtOrAbove;
  d["empirical_false_alarm_probability"] = r.empiricalFalseAlarmProbability;
  d["uncertainty"] = r.uncertainty;
  d["output"] = r.file;
  return d;
}

// ---- frequencies: the prewhitening cascade ----------------------------------

// The cascade's settings from the keywords of fazorn.frequencies, checked
// as fazorn-cli frequencies checks its options.
PrewhiteningOptions prewhiteningOptions(double snr, double noiseWindow, long maxCount,
                                        double maxFrequency, double minFrequency, bool weights,
                                        bool stopAtErrors, bool freeHarmonics, double maxFap) {
  if (!std::isfinite(maxFap) || maxFap < 0.0 || maxFap >= 1.0)
    throw py::value_error("max_fap needs a probability between 0 and 1 (0: none)");
  for (const auto& [name, x] : {std::pair{"snr", snr}, std::pair{"max_frequency", maxFrequency},
                                std::pair{"min_frequency", minFrequency}})
    if (!std::isfinite(x) || x < 0.0)
      throw py::value_error(std::string(name) + " needs a number >= 0");
  if (!std::isfinite(noiseWindow) || !(noiseWindow > 0.0))
    throw py::value_error("noise_window needs a number > 0 (cycles per day)");
  if (maxCount < 0 || maxCount > 10000) throw py::value_error("max_count needs a count 0..10000");
  PrewhiteningOptions o;
  o.snrLimit = snr;
  o.noiseWindow = noiseWindow;
  o.maxCount = static_cast<int>(maxCount);
  o.maxFrequency = maxFrequency;
  o.minFrequency = minFrequency;
  o.fit.useWeights = weights;
  o.stopAtStatedErrors = stopAtErrors;
  o.harmonicSeries = !freeHarmonics;
  o.maxFalseAlarm = maxFap;
  return o;
}

// The table and spectra as Python objects: a dict with the command line's
// JSON keys for the table's header, the terms as columns (numpy arrays and
// a list of relations) and the grid, spectra and residuals as arrays.
py::dict frequenciesToPython(PrewhiteningResult&& r) {
  const FrequencyTable& t = r.table;
  const std::size_t k = t.terms.size();
  std::vector<double> f(k), a(k), ph(k), sf(k), sa(k), sp(k), mf(k), ma(k), mp(k), snr(k), fap(k);
  py::list relation, fixed;
  for (std::size_t i = 0; i < k; ++i) {
    const FrequencyTerm& x = t.terms[i];
    f[i] = x.frequency, a[i] = x.amplitude, ph[i] = x.phase;
    sf[i] = x.frequencyError, sa[i] = x.amplitudeError, sp[i] = x.phaseError;
    mf[i] = x.frequencyErrorMO, ma[i] = x.amplitudeErrorMO, mp[i] = x.phaseErrorMO;
    snr[i] = x.snr;
    fap[i] = termFalseAlarmProbability(t, i);
    if (x.combination.valid())
      relation.append(combinationText(x.combination));
    else
      relation.append(py::none());
    fixed.append(x.fixedToCombination && x.combination.valid());
  }
  py::dict d;
  d["points"] = t.points;
  d["time_span"] = t.timeSpan;
  d["epoch"] = t.epoch;
  d["zero_point"] = t.zeroPoint;
  d["residual_rms"] = t.residualRms;
  d["max_frequency"] = r.grid.maxFrequency;
  d["stop_reason"] = r.stopReason;
  d["independent_frequencies"] = t.independentFrequencies;
  d["frequency"] = toNumpy(std::move(f));
  d["amplitude"] = toNumpy(std::move(a));
  d["phase"] = toNumpy(std::move(ph));
  d["sigma_frequency"] = toNumpy(std::move(sf));
  d["sigma_amplitude"] = toNumpy(std::move(sa));
  d["sigma_phase"] = toNumpy(std::move(sp));
  d["mo_sigma_frequency"] = toNumpy(std::move(mf));
  d["mo_sigma_amplitude"] = toNumpy(std::move(ma));
  d["mo_sigma_phase"] = toNumpy(std::move(mp));
  d["snr"] = toNumpy(std::move(snr));
  d["fap"] = toNumpy(std::move(fap));
  d["relation"] = relation;
  d["fixed"] = fixed;
  d["text"] = formatFrequencyTable(t);
  d["grid"] = toNumpy(std::move(r.frequency));
  d["spectrum"] = toNumpy(std::move(r.originalAmplitude));
  d["window"] = toNumpy(std::move(r.window));
  d["residual_spectrum"] = toNumpy(std::move(r.residualAmplitude));
  d["residual"] = toNumpy(std::move(r.residual));
  return d;
}

// frequencies(t, y, dy, snr, noise_window, max_count, max_frequency,
//             min_frequency, weights, stop_at_errors, free_harmonics,
//             max_fap) -> dict
py::dict frequenciesOfArrays(const Array& t, const Array& y, const Array& dy, double snr,
                             double noiseWindow, long maxCount, double maxFrequency,
                             double minFrequency, bool weights, bool stopAtErrors,
                             bool freeHarmonics, double maxFap) {
  const PrewhiteningOptions options =
      prewhiteningOptions(snr, noiseWindow, maxCount, maxFrequency, minFrequency, weights,
                          stopAtErrors, freeHarmonics, maxFap);
  Curve c = curveOf(t, y, dy, "");
  PrewhiteningResult r;
  runInterruptibly(runControl(1),
                   [&](const RunControl& rc) { r = prewhiten(c.t, c.y, c.dy, options, {}, rc); });
  if (!r.ok) throw py::value_error(r.message);
  return frequenciesToPython(std::move(r));
}

// frequencies_file(path, import options dict, ...) -> dict, the file read
// as fazorn-cli frequencies reads it (its reading notes under "notes").
py::dict frequenciesOfFile(const std::string& path, const py::dict& import, double snr,
                           double noiseWindow, long maxCount, double maxFrequency,
                           double minFrequency, bool weights, bool stopAtErrors, bool freeHarmonics,
                           double maxFap) {
  const PrewhiteningOptions options =
      prewhiteningOptions(snr, noiseWindow, maxCount, maxFrequency, minFrequency, weights,
                          stopAtErrors, freeHarmonics, maxFap);
  const AnalysisRequest request = requestOf(import);
  PrewhiteningResult r;
  Outcome loaded;
  runInterruptibly(runControl(1), [&](const RunControl& rc) {
    Workspace ws;
    loaded = loadObservations(ws, path, request.import);
    if (!loaded.ok) return;
    const LightCurve& lc = ws.lightCurve;
    r = prewhiten(lc.time, lc.value, lc.error, options, {}, rc);
  });
  if (!loaded.ok) {
    std::vector<std::string> lines;
    if (loaded.message) lines.push_back(loaded.message->text);
    lines.insert(lines.end(), loaded.notes.begin(), loaded.notes.end());
    raiseFileError(path, path + ": " + joinLines(lines));
  }
  if (!r.ok) throw py::value_error(path + ": " + r.message);
  py::dict d = frequenciesToPython(std::move(r));
  d["notes"] = py::cast(loaded.notes);
  return d;
}

}  // namespace
}  // namespace fazorn::python

PYBIND11_MODULE(_fazorn, m) {
  using namespace fazorn::python;
  m.doc() = "Compiled core of the fazorn package; use the functions of fazorn instead.";
  m.def("read", &readFile, py::arg("path"));
  m.def("analyse", &analyseArrays, py::arg("t"), py::arg("y"), py::arg("dy"), py::arg("name"),
        py::arg("options"), py::arg("threads"), py::arg("periodogram"));
  m.def("analyse_file", &analyseFile, py::arg("path"), py::arg("options"), py::arg("threads"),
        py::arg("periodogram"));
  m.def("analyse_files", &analyseFiles, py::arg("paths"), py::arg("options"), py::arg("threads"));
  m.def("analyse_curves", &analyseCurves, py::arg("curves"), py::arg("options"),
        py::arg("threads"));
  m.def("significance", &significance, py::arg("t"), py::arg("y"), py::arg("dy"), py::arg("name"),
        py::arg("method"), py::arg("randomize"), py::arg("iterations"), py::arg("seed"),
        py::arg("output"), py::arg("settings"), py::arg("threads"));
  m.def("option_names", &keywordNames);
  m.def("frequencies", &frequenciesOfArrays, py::arg("t"), py::arg("y"), py::arg("dy"),
        py::arg("snr"), py::arg("noise_window"), py::arg("max_count"), py::arg("max_frequency"),
        py::arg("min_frequency"), py::arg("weights"), py::arg("stop_at_errors"),
        py::arg("free_harmonics"), py::arg("max_fap") = 0.0);
  m.def("frequencies_file", &frequenciesOfFile, py::arg("path"), py::arg("import_options"),
        py::arg("snr"), py::arg("noise_window"), py::arg("max_count"), py::arg("max_frequency"),
        py::arg("min_frequency"), py::arg("weights"), py::arg("stop_at_errors"),
        py::arg("free_harmonics"), py::arg("max_fap") = 0.0);
}
