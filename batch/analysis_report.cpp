#include "batch/analysis_report.h"

#include <cmath>

#include "commands/analysis.h"
#include "commands/auto_search.h"
#include "commands/model_chain.h"
#include "core/derived_files.h"
#include "core/number_format.h"
#include "core/observation_file.h"
#include "edit/binning.h"

namespace fazorn {

const char* searchMethodName(SearchMethod method) { return method ? engineName(*method) : "none"; }

AnalysisReport& AnalysisReport::add(std::string key, double number) {
  ReportValue v;
  v.kind = ReportValue::Kind::Number;
  v.number = number;
  fields_.push_back({std::move(key), std::move(v)});
  return *this;
}

AnalysisReport& AnalysisReport::add(std::string key, long long integer) {
  ReportValue v;
  v.kind = ReportValue::Kind::Integer;
  v.integer = integer;
  fields_.push_back({std::move(key), std::move(v)});
  return *this;
}

AnalysisReport& AnalysisReport::add(std::string key, bool value) {
  ReportValue v;
  v.kind = ReportValue::Kind::Boolean;
  v.boolean = value;
  fields_.push_back({std::move(key), std::move(v)});
  return *this;
}

AnalysisReport& AnalysisReport::add(std::string key, std::string text) {
  ReportValue v;
  v.kind = ReportValue::Kind::Text;
  v.text = std::move(text);
  fields_.push_back({std::move(key), std::move(v)});
  return *this;
}

AnalysisReport& AnalysisReport::addNull(std::string key) {
  fields_.push_back({std::move(key), ReportValue{}});
  return *this;
}

AnalysisReport& AnalysisReport::addRaw(std::string key, std::string json) {
  ReportValue v;
  v.kind = ReportValue::Kind::Raw;
  v.text = std::move(json);
  fields_.push_back({std::move(key), std::move(v)});
  return *this;
}

const ReportValue* AnalysisReport::find(const std::string& key) const {
  for (const auto& f : fields_)
    if (f.key == key) return &f.value;
  return nullptr;
}

namespace {

// The command's own search (on the requested route) when none of the
// options beyond it is set; otherwise the search that follows the data.
Outcome runMethod(const AnalysisRequest& request, Workspace& ws, const RunControl& rc,
                  SearchReport& report) {
  if (!request.method) return analyseAtPeriod(ws, request.givenPeriod);
  const SearchEngine engine = *request.method;
  if (!request.autoResolution && !request.refine && !request.resolveAlias) {
    const Outcome out = request.floatingMean && engine == SearchEngine::LombScargle
                            ? analyseLombScargleOnRoute(ws, rc, routeOf(request), true)
                            : analyseWith(engine, ws, rc, routeOf(request));
    if (out.ok) report = reportForStoredSearch(ws, engine);
    return out;
  }
  AutoSearchOptions o;
  o.engine = engine;
  o.autoResolution = request.autoResolution;
  o.oversampling = request.oversampling;
  o.autoMinPeriod = request.autoResolution && !request.minPeriodGiven;
  o.autoMaxPeriod = request.autoResolution && !request.maxPeriodGiven;
  o.refine = request.refine;
  o.resolveAlias = request.resolveAlias;
  o.route = routeOf(request);
  return analyseAutoSearch(ws, o, rc, &report);
}

std::string peaksJson(const std::vector<Peak>& peaks) {
  std::string s = "[";
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (i > 0) s += ",";
    s += "{\"period\":" + formatPrintf("%.17g", 1.0 / peaks[i].frequency) +
         ",\"power\":" + formatPrintf("%.17g", peaks[i].power) + "}";
  }
  return s + "]";
}

std::string jsonText(const std::string& text) {
  std::string s = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      s += formatPrintf("\\u%04x", static_cast<unsigned>(c));
    } else {
      s += c;
    }
  }
  return s + "\"";
}

std::string candidatesJson(const std::vector<Candidate>& candidates) {
  std::string s = "[";
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    s += i > 0 ? ",{" : "{";
    s += "\"period\":" + formatPrintf("%.17g", c.period) + ",\"criterion\":" +
         (std::isfinite(c.criterion) ? formatPrintf("%.10g", c.criterion) : std::string("null")) +
         ",\"harmonics\":" + formatPrintf("%d", c.harmonics) + ",\"why\":" + jsonText(c.why) + "}";
  }
  return s + "]";
}

std::string warningsJson(const std::vector<std::string>& warnings) {
  std::string s = "[";
  for (std::size_t i = 0; i < warnings.size(); ++i) s += (i > 0 ? "," : "") + jsonText(warnings[i]);
  return s + "]";
}

// The keys every search line carries beyond the command's own.
void addReportKeys(AnalysisReport& r, const SearchReport& report, SearchMethod method) {
  if (!method)
    r.addNull("grid_period");
  else
    r.add("grid_period", report.gridPeriod);
  r.addRaw("peaks", peaksJson(report.peaks)).addRaw("warnings", warningsJson(report.warnings));
  if (report.alias)
    r.add("alias", aliasName(*report.alias));
  else
    r.addNull("alias");
  r.addRaw("candidates", candidatesJson(report.candidates));
}

void appendOutcome(AnalysisResult& result, const Outcome& outcome) {
  if (outcome.message) result.diagnostics.push_back(outcome.message->text);
  for (const auto& note : outcome.notes) result.diagnostics.push_back(note);
}

// The keys of the search. Further groups of keys (the model, the
// classification) go after these in the same object.
void addSearchKeys(AnalysisReport& r, const Workspace& ws, SearchMethod method) {
  if (!method) {
    r.add("method", searchMethodName(method))
        .add("frequency_count", 0)
        .add("best_frequency", 1.0 / ws.period)
        .add("period", ws.period)
        .addNull("period_error")
        .addNull("max_power");
    return;
  }
  r.add("method", searchMethodName(method))
      .add("frequency_count", ws.periodogram.frequencyCount)
      .add("best_frequency", ws.bestFrequency)
      .add("period", ws.period)
      .add("period_error", ws.periodError)
      .add("max_power", ws.periodogram.maxPower);
  if (method == SearchEngine::LombScargle)
    r.add("false_alarm_probability", ws.falseAlarmProbability);
}

// The keys of the model and the classification.
void addModelKeys(AnalysisReport& r, const Workspace& ws) {
  r.add("t0", ws.t0)
      .add("t0_from_minimum", ws.t0FromMinimum == 1)
      .add("epoch_of_minimum", ws.epochOfMinimum)
      .add("epoch_of_maximum", ws.epochOfMaximum);
  if (ws.magAtMaximumValid)
    r.add("mag_at_maximum", ws.magAtMaximum);
  else
    r.addNull("mag_at_maximum");
  r.add("amplitude", ws.amplitude).add("type", ws.typeText).add("score", ws.scoreText);
  r.add("type_admitted", typeAdmitted(ws));
  const bool flux = ws.lightCurve.valueKind == ValueKind::Flux;
  r.add("value_kind", flux ? "flux" : "mag").add("model_points_left_out", ws.modelPointsLeftOut);
}

std::string textReport(const std::string& file, const Workspace& ws, SearchMethod method,
                       const SearchReport& report) {
  std::string s = file + "\n";
  s += formatPrintf("  Method:       %s\n", searchMethodName(method));
  s += formatPrintf("  Data points:  %d\n", ws.lightCurve.pointCount);
  if (method) s += formatPrintf("  Frequencies:  %d\n", ws.periodogram.frequencyCount);
  s += "  Period:       " + formatFixed(ws.period, 6, 10) + "\n";
  if (method) {
    s += report.refined ? "  Error:        " + formatPrintf("%.3g", ws.periodError) + " (1 sigma)\n"
                        : "  Error:        " + formatFixed(ws.periodError, 6, 10) + "\n";
    s += "  Grid period:  " + formatFixed(report.gridPeriod, 6, 10) + "\n";
    if (report.alias) s += std::string("  Alias:        ") + aliasName(*report.alias) + "\n";
    if (const std::string note = runnerUpNote(report); !note.empty()) s += "  " + note + "\n";
    s += "  Max power:    " + formatFixed(ws.periodogram.maxPower, 6, 9) + "\n";
  }
  if (method == SearchEngine::LombScargle)
    s += "  FAP:          " + formatFixed(ws.falseAlarmProbability * 100, 1, 3) + " %\n";
  s += "  T0:           " + formatFixed(ws.t0, 6, 15) + "\n";
  s +=
      "  Max mag:      " + (ws.magAtMaximumValid ? formatFixed(ws.magAtMaximum, 3, 5) : "-") + "\n";
  s += "  Amplitude:    " + formatFixed(ws.amplitude, 3, 4) + "\n";
  s += "  Type:         " + ws.typeText + "\n";
  s += "  Score:        " + ws.scoreText + "\n";
  if (!typeAdmitted(ws)) s += "  Type admitted: no (no type's period and amplitude ranges)\n";
  if (ws.lightCurve.valueKind == ValueKind::Flux)
    s += "  Values:       flux; modelled as -2.5 log10(flux / " +
         formatPrintf("%.6g", ws.modelReferenceFlux) + ")" +
         (ws.modelPointsLeftOut > 0
              ? ", " + std::to_string(ws.modelPointsLeftOut) + " points with flux <= 0 left out"
              : std::string()) +
         "\n";
  if (!report.peaks.empty()) {
    s += "  Peaks:       ";
    for (const Peak& p : report.peaks)
      s += " " + formatFixed(1.0 / p.frequency, 6, 10) + " (" + formatFixed(p.power, 4, 6) + ")";
    s += "\n";
  }
  for (const std::string& w : report.warnings) s += "  Warning:      " + w + "\n";
  return s;
}

}  // namespace

AnalysisResult analyseWorkspace(Workspace& ws, const std::string& name,
                                const AnalysisRequest& request, const RunControl& rc) {
  AnalysisResult result;
  ws.settings = request.settings;
  SearchReport searchReport;
  const Outcome searched = runMethod(request, ws, rc, searchReport);
  if (!searched.ok) {
    appendOutcome(result, searched);
    result.failed = true;
    return result;
  }
  for (const std::string& w : searchReport.warnings) result.diagnostics.push_back("Warning: " + w);
  std::string periodogramFile, phasedFile, phasedBinnedFile;
  auto save = [&](Outcome (*writer)(Workspace&), std::string& path) {
    const Outcome saved = writer(ws);
    if (!saved.ok) {
      appendOutcome(result, saved);
      result.failed = true;
    } else {
      path = ws.files.outputPath;
    }
  };
  if (request.savePeriodogram) save(savePeriodogram, periodogramFile);
  if (request.savePhased) save(savePhasedData, phasedFile);
  if (request.savePhasedBinned) save(savePhasedBinned, phasedBinnedFile);

  AnalysisReport& r = result.report;
  r.add("file", name).add("points", ws.lightCurve.pointCount);
  addSearchKeys(r, ws, request.method);
  addReportKeys(r, searchReport, request.method);
  if (const SearchRoute route = routeOf(request); route != SearchRoute::Exact)
    r.add("route", route == SearchRoute::Fast ? "fast" : "auto");
  if (request.floatingMean) r.add("floating_mean", true);
  addModelKeys(r, ws);
  if (!periodogramFile.empty()) r.add("periodogram_file", periodogramFile);
  if (!phasedFile.empty()) r.add("phased_file", phasedFile);
  if (!phasedBinnedFile.empty()) r.add("phased_binned_file", phasedBinnedFile);

  result.text = textReport(name, ws, request.method, searchReport);
  if (!periodogramFile.empty()) result.text += "  Periodogram written to " + periodogramFile + "\n";
  if (!phasedFile.empty()) result.text += "  Phased data written to " + phasedFile + "\n";
  if (!phasedBinnedFile.empty())
    result.text += "  Phased binned data written to " + phasedBinnedFile + "\n";
  return result;
}

AnalysisResult analyseObservationFile(const std::string& path, const AnalysisRequest& request,
                                      const RunControl& rc) {
  Workspace ws;
  return analyseObservationFile(path, request, rc, ws);
}

AnalysisResult analyseObservationFile(const std::string& path, const AnalysisRequest& request,
                                      const RunControl& rc, Workspace& ws) {
  const Outcome loaded = loadObservations(ws, path, request.import);
  if (!loaded.ok) {
    AnalysisResult result;
    appendOutcome(result, loaded);
    result.failed = true;
    return result;
  }
  const std::vector<std::string> readingNotes = loadNotesWorthShowing(loaded);
  AnalysisResult result = analyseWorkspace(ws, path, request, rc);
  result.diagnostics.insert(result.diagnostics.begin(), readingNotes.begin(), readingNotes.end());
  return result;
}

SearchRoute routeOf(const AnalysisRequest& request) {
  if (request.route) return *request.route;
  return request.autoResolution && request.refine && request.resolveAlias ? SearchRoute::Auto
                                                                          : SearchRoute::Exact;
}

}  // namespace fazorn
