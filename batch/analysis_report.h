// One light curve analysed from end to end (search, model, classification,
// derived files) and what it produced as an ordered list of named values.
// The command line prints the list as one JSON object per file; the Python
// module returns it as a result whose fields carry the same names, so a key
// added here appears in both at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "core/table_import.h"
#include "core/workspace.h"
#include "search/search_engine.h"
#include "search/search_result.h"

namespace fazorn {

// The search of a request: an engine, or none (the model at a given period).
using SearchMethod = std::optional<SearchEngine>;

// "aov", "aovtr", "ls" or "none": the names of the command line's --method
// and of the JSON key "method".
const char* searchMethodName(SearchMethod method);

// One value of a report. Numbers are written so that they read back exactly;
// a non-finite number is written as null.
struct ReportValue {
  enum class Kind { Null, Number, Integer, Boolean, Text, Raw };
  Kind kind = Kind::Null;
  double number = 0.0;
  long long integer = 0;
  bool boolean = false;
  std::string text;  // Text: the string; Raw: a value already in JSON form
};

struct ReportField {
  std::string key;
  ReportValue value;
};

// Keys in insertion order.
class AnalysisReport {
 public:
  AnalysisReport& add(std::string key, double number);
  AnalysisReport& add(std::string key, long long integer);
  AnalysisReport& add(std::string key, int integer) {
    return add(std::move(key), static_cast<long long>(integer));
  }
  AnalysisReport& add(std::string key, bool value);
  AnalysisReport& add(std::string key, std::string text);
  AnalysisReport& add(std::string key, const char* text) {
    return add(std::move(key), std::string(text));
  }
  AnalysisReport& addNull(std::string key);
  // A value already in JSON form (an array or an object).
  AnalysisReport& addRaw(std::string key, std::string json);

  const std::vector<ReportField>& fields() const { return fields_; }
  const ReportValue* find(const std::string& key) const;

 private:
  std::vector<ReportField> fields_;
};

// What to do with each light curve: the command line's analyse options.
struct AnalysisRequest {
  SearchMethod method = SearchEngine::Aov;
  SearchSettings settings;   // the window's first-start values
  double givenPeriod = 0.0;  // days, with no search (method empty)
  // How AoV and Lomb-Scargle compute (AoVtr is always exact); see
  // routeOf. A route other than Exact adds the key "route" to the report.
  std::optional<SearchRoute> route;
  bool savePeriodogram = false;
  bool savePhased = false;
  bool savePhasedBinned = false;
  // Beyond the window's commands (all off: the command's figures exactly).
  bool autoResolution = false;  // grid step from the time span
  double oversampling = 10.0;   // grid points per peak width with autoResolution
  bool minPeriodGiven = false;  // with autoResolution: otherwise from the data
  bool maxPeriodGiven = false;
  bool refine = false;        // refined period and its 1-sigma error
  bool resolveAlias = false;  // P, 2P or P/2 from the light curve
  // Lomb-Scargle with the mean fitted at every frequency and the points
  // weighted by 1 / error^2 (the command's own search only).
  bool floatingMean = false;
  ImportOptions import;  // how a table or FITS file is read (--columns, --band)
};

struct AnalysisResult {
  // True when the light curve could not be read or searched, or a derived
  // file could not be written.
  bool failed = false;
  // Messages and notes for the error stream, in order, without the file name.
  std::vector<std::string> diagnostics;
  // Empty when the search failed.
  AnalysisReport report;
  // The human-readable form of the report (what `analyse` prints without
  // --json), starting with the file name line.
  std::string text;
};

// The route a request computes on: the one asked for; without one, Auto
// for the search that follows the data (autoResolution, refine and
// resolveAlias together: `--auto`), whose peaks are refined anyway, and
// Exact (the command's own numbers) for everything else.
SearchRoute routeOf(const AnalysisRequest& request);

// Runs the request on a Workspace that already holds the observations (its
// settings are replaced by the request's). `name` is the "file" key.
AnalysisResult analyseWorkspace(Workspace& ws, const std::string& name,
                                const AnalysisRequest& request, const RunControl& rc);

// Reads the observation file and runs the request on it. Reading notes other
// than the point count go to the diagnostics.
AnalysisResult analyseObservationFile(const std::string& path, const AnalysisRequest& request,
                                      const RunControl& rc);
// The same into `ws`, which keeps the light curve, the periodogram and the
// model afterwards (for pictures of the star).
AnalysisResult analyseObservationFile(const std::string& path, const AnalysisRequest& request,
                                      const RunControl& rc, Workspace& ws);

}  // namespace fazorn
