#include "batch/analysis_options.h"

#include <array>
#include <cmath>

#include "search/search_settings.h"

namespace fazorn {

namespace {

std::string quotedText(const std::string& s) { return "'" + s + "'"; }

// One whole number of the options' range: the settings hold int32, and
// nothing sensible lies beyond a million (harmonics, threads).
constexpr long kLargestWhole = 1000000;

std::string storeMethod(AnalysisRequest& r, const OptionValue& v) {
  const std::optional<SearchEngine> engine = parseEngine(v.text);
  if (!engine) return "must be aov, aovtr or ls, not " + quotedText(v.text);
  r.method = *engine;
  return {};
}

std::string storeRoute(AnalysisRequest& r, const OptionValue& v) {
  if (v.text == "exact")
    r.route = SearchRoute::Exact;
  else if (v.text == "fast")
    r.route = SearchRoute::Fast;
  else if (v.text == "auto")
    r.route = SearchRoute::Auto;
  else
    return "must be exact, fast or auto, not " + quotedText(v.text);
  return {};
}

// An on/off option of the request.
template <bool AnalysisRequest::*Flag>
std::string storeFlag(AnalysisRequest& r, const OptionValue& v) {
  r.*Flag = v.flag;
  return {};
}

constexpr std::array<AnalysisOption, 18> kOptions{{
    {"method", OptionKind::Choice, "aov|aovtr|ls", "", "", storeMethod},
    {"min-period", OptionKind::Number, "", "", "",
     [](AnalysisRequest& r, const OptionValue& v) {
       r.settings.minPeriod = v.number;
       r.minPeriodGiven = true;
       return std::string();
     }},
    {"max-period", OptionKind::Number, "", "", "",
     [](AnalysisRequest& r, const OptionValue& v) {
       r.settings.maxPeriod = v.number;
       r.maxPeriodGiven = true;
       return std::string();
     }},
    {"harmonics", OptionKind::Whole, "", "", "",
     [](AnalysisRequest& r, const OptionValue& v) {
       r.settings.harmonics = static_cast<std::int32_t>(v.whole);
       return std::string();
     }},
    {"resolution", OptionKind::NumberOrAuto, "", "--resolution auto",
     "grid step from the time span T: 1 / (K T) for AoV\n"
     "               and Lomb-Scargle, d / (K T) for AoVtr (d its box duty cycle,\n"
     "               1 / (10 H)); periods not given run from 0.05 d (less for\n"
     "               dense sampling) to half the span or 500 d, whichever is longer",
     [](AnalysisRequest& r, const OptionValue& v) {
       // The last of "--resolution auto" and "--resolution R" counts.
       r.autoResolution = v.text == "auto";
       if (!r.autoResolution) r.settings.resolution = v.number;
       return std::string();
     }},
    {"oversampling", OptionKind::Number, "", "--oversampling K",
     "grid points per peak width (default 10)",
     [](AnalysisRequest& r, const OptionValue& v) {
       if (!(v.number > 0.0)) return std::string("must be a positive number");
       r.oversampling = v.number;
       return std::string();
     }},
    {"refine", OptionKind::Flag, "", "--refine",
     "refine the highest peak by maximising the same statistic;\n"
     "               period is then the refined period and period_error its\n"
     "               1-sigma uncertainty",
     storeFlag<&AnalysisRequest::refine>},
    {"resolve-alias", OptionKind::Flag, "", "--resolve-alias",
     "decide between P, 2P and P/2 from the light curve\n"
     "               (eclipsing binaries at their orbital period); key alias",
     storeFlag<&AnalysisRequest::resolveAlias>},
    {"auto", OptionKind::Flag, "", "--auto", "--resolution auto --refine --resolve-alias",
     [](AnalysisRequest& r, const OptionValue& v) {
       if (v.flag) r.autoResolution = r.refine = r.resolveAlias = true;
       return std::string();
     }},
    {"route", OptionKind::Choice, "exact|fast|auto", "--route R",
     "exact (default: the window's numbers), fast (AoV and\n"
     "               Lomb-Scargle from Fourier transforms of the whole grid:\n"
     "               powers within 1e-8; AoVtr without ordering the points\n"
     "               inside its groups: within 1e-12; the peak recomputed\n"
     "               exactly) or auto (fast where cheaper; the default with\n"
     "               --auto); JSON then has the key route",
     storeRoute},
    {"period", OptionKind::Number, "", "--period P",
     "no search: fit and classify at the period P (days), as\n"
     "               \"Get statistics\" does; method is then \"none\"",
     [](AnalysisRequest& r, const OptionValue& v) {
       if (!(v.number > 0.0)) return std::string("must be a positive number");
       r.givenPeriod = v.number;
       return std::string();
     }},
    {"save-periodogram", OptionKind::Flag, "", "--save-periodogram, --save-phased",
     "write FILE-period and FILE-phased\n"
     "               beside each input, as the File menu does",
     storeFlag<&AnalysisRequest::savePeriodogram>},
    {"save-phased", OptionKind::Flag, "", "", "", storeFlag<&AnalysisRequest::savePhased>},
    {"save-phased-binned", OptionKind::Flag, "", "--save-phased-binned",
     "write FILE-phasedBinned (the phased curve in\n"
     "               200 phase bins) beside each input, as \"Save Phased Binned\" does",
     storeFlag<&AnalysisRequest::savePhasedBinned>},
    {"columns", OptionKind::Columns, "", "", "",
     [](AnalysisRequest& r, const OptionValue& v) {
       const std::string given = v.text.empty() ? std::string() : ", not " + quotedText(v.text);
       for (const auto& c : v.columns)
         if (c.empty() || c == "0")
           return "needs TIME,VALUE[,ERROR] (names or numbers from 1)" + given;
       if (v.columns.size() < 2 || v.columns.size() > 3)
         return "needs two or three columns (time, value, error)" + given;
       r.import.columns = v.columns;
       return std::string();
     }},
    {"band", OptionKind::Text, "", "", "",
     [](AnalysisRequest& r, const OptionValue& v) {
       if (v.text.empty()) return std::string("needs a band name");
       r.import.band = v.text;
       return std::string();
     }},
    {"values", OptionKind::Choice, "mag|flux", "--values mag|flux",
     "whether the values are magnitudes or fluxes (default:\n"
     "               from the value column's unit and name; plain files are\n"
     "               magnitudes). A flux light curve is searched on its fluxes\n"
     "               and modelled and classified on -2.5 log10(flux / median\n"
     "               flux); JSON key value_kind",
     [](AnalysisRequest& r, const OptionValue& v) {
       if (v.text == "mag")
         r.import.valueKind = ValueKind::Magnitude;
       else if (v.text == "flux")
         r.import.valueKind = ValueKind::Flux;
       else
         return "must be mag or flux, not " + quotedText(v.text);
       return std::string();
     }},
    {"floating-mean", OptionKind::Flag, "", "--floating-mean",
     "Lomb-Scargle with the mean fitted at every frequency\n"
     "               and the points weighted by 1 / error^2 (the generalised\n"
     "               periodogram, its power scaled as the classical one); not\n"
     "               with --auto, --refine or --resolve-alias; JSON then has the\n"
     "               key floating_mean",
     storeFlag<&AnalysisRequest::floatingMean>},
}};

}  // namespace

std::span<const AnalysisOption> analysisOptions() { return kOptions; }

const AnalysisOption* findAnalysisOption(std::string_view name) {
  std::string spelt(name);
  for (char& c : spelt)
    if (c == '_') c = '-';
  for (const AnalysisOption& o : kOptions)
    if (o.name == spelt) return &o;
  return nullptr;
}

bool optionValueFromText(const AnalysisOption& option, const std::string& text, OptionValue& value,
                         std::string& refusal) {
  value = OptionValue{};
  value.text = text;
  switch (option.kind) {
    case OptionKind::Flag:
      value.flag = true;
      return true;
    case OptionKind::Choice:
    case OptionKind::Text:
      return true;
    case OptionKind::NumberOrAuto:
      if (text == "auto") return true;
      [[fallthrough]];
    case OptionKind::Number: {
      std::size_t pos = 0;
      double x = 0;
      // The C conversion, no blanks before or after, finite.
      const bool ok = !text.empty() && text[0] != ' ' && text[0] != '\t' && [&] {
        char* end = nullptr;
        x = std::strtod(text.c_str(), &end);
        pos = static_cast<std::size_t>(end - text.c_str());
        return pos == text.size();
      }() && std::isfinite(x);
      if (!ok) {
        refusal = "needs a number, not " + quotedText(text);
        return false;
      }
      value.number = x;
      return true;
    }
    case OptionKind::Whole: {
      char* end = nullptr;
      const long long n = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || text[0] == ' ' || end != text.c_str() + text.size() ||
          n < -kLargestWhole || n > kLargestWhole) {
        refusal = "needs a whole number, not " + quotedText(text);
        return false;
      }
      value.whole = static_cast<long>(n);
      return true;
    }
    case OptionKind::Columns: {
      for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        value.columns.push_back(
            text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      return true;
    }
  }
  return true;
}

RequestCheck checkAnalysisRequest(const AnalysisRequest& request) {
  RequestCheck out;
  if (!request.method || request.givenPeriod > 0.0) return out;
  const SearchEngine engine = *request.method;
  if (request.floatingMean && engine != SearchEngine::LombScargle) {
    out.refusal = "--floating-mean is an option of the Lomb-Scargle search (--method ls)";
    return out;
  }
  if (request.floatingMean && (request.autoResolution || request.refine || request.resolveAlias)) {
    out.refusal = "--floating-mean is not available with --auto, --refine or --resolve-alias";
    return out;
  }
  SearchSettings settings = request.settings;
  // A grid from the data has no step of its own to check.
  if (request.autoResolution && !(settings.resolution > 0))
    settings.resolution = SearchSettings{}.resolution;
  const SettingsCheck check = checkSearchSettings(settings, engine);
  if (!check.ok()) {
    out.refusal = check.refusal;
    return out;
  }
  // Lomb-Scargle has no harmonics.
  if (check.harmonicsRaised && engine != SearchEngine::LombScargle)
    out.harmonicsRaisedTo = check.harmonics;
  return out;
}

std::string analysisOptionsHelp() {
  std::string text;
  for (const AnalysisOption& o : kOptions)
    if (!o.help.empty())
      text += "      " + std::string(o.heading) + "   " + std::string(o.help) + "\n";
  return text;
}

}  // namespace fazorn
