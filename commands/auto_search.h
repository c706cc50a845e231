// Searches beyond the three commands: a grid that follows the time span,
// the refinement of the highest peak with its uncertainty, the decision
// between P, 2P and P/2 from the light curve itself, and the adoption of a
// chosen periodogram peak. Without any of the options the search is the
// command's own, to the last digit, and only the report is added.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/outcome.h"
#include "core/run_control.h"
#include "core/workspace.h"
#include "search/period_refinement.h"
#include "search/search_grid.h"

namespace fazorn {

struct AutoSearchOptions {
  SearchEngine engine = SearchEngine::Aov;
  // Grid step peakWidth / oversampling from the time span instead of the
  // "Resolution:" setting (Lomb-Scargle: instead of 1 / max period).
  bool autoResolution = false;
  double oversampling = 10.0;  // grid points per peak width (> 0)
  // With autoResolution: take the shortest / longest period from the data
  // (autoPeriodLimits) instead of the settings.
  bool autoMinPeriod = false;
  bool autoMaxPeriod = false;
  bool refine = false;        // refine the highest peak, with its 1-sigma error
  bool resolveAlias = false;  // decide between P, 2P and P/2
  // How the grid passes compute AoV and Lomb-Scargle powers: Fast and Auto
  // may take the Fourier routes (powers within 1e-8; every peak that is
  // kept is refined or recomputed exactly).
  SearchRoute route = SearchRoute::Exact;
};

// Options for `fazorn-cli analyse --auto` and the window's "Auto".
AutoSearchOptions autoSearchOptions(SearchEngine engine);

// A period the alias step weighed, judged by the Bayesian information
// criterion of its best multiharmonic Fourier series (fitFourierSeries).
struct Candidate {
  double period = 0.0;     // days
  double criterion = 0.0;  // BIC; smaller is better, differences count
  int harmonics = 0;       // the number of harmonics the criterion chose
  std::string why;         // "peak", "daily alias", "yearly alias", "half", "double"
};

// Criterion differences below this are no more than "positive" evidence on
// the scale of Kass & Raftery (1995, J. Am. Stat. Assoc. 90, 773): 2 to 6
// positive, 6 to 10 strong, above 10 very strong.
inline constexpr double kCloseCriterion = 6.0;
// The evidence that takes a candidate in the place of the grid's highest
// peak: "positive" on the same scale (2 ln B above 2). Both are scores of
// the same kind of model on the same points, so the better posterior is
// taken once the data say more than "not worth more than a bare mention";
// P/2 and 2P, where irregular cycles always favour the longer fold, keep
// asking strong evidence.
inline constexpr double kPositiveEvidence = 2.0;

// What a search adds to the Workspace's results.
struct SearchReport {
  double gridPeriod = 0.0;  // days, the maximum of the grid before refinement
  std::vector<Peak> peaks;  // the 5 highest independent peaks, highest first
  std::vector<std::string> warnings;
  std::optional<AliasDecision> alias;  // empty without alias resolution
  // With alias resolution: the adopted period first, then the others best
  // first (at least the half and the double of the adopted period).
  std::vector<Candidate> candidates;
  // With alias resolution, when no type's period and amplitude ranges admit
  // the star: the type whose templates fit the folded curve best, ranges
  // aside ("" otherwise).
  std::string templateType;
  bool refined = false;                     // periodError is then the 1-sigma error
  double step = 0.0;                        // fine grid step, cycles per day
  double timeSpan = 0.0;                    // days
  double peakWidth = 0.0;                   // cycles per day
  double minPeriod = 0.0, maxPeriod = 0.0;  // days, the limits searched
};

// Runs the search of `options.engine` with the options on ws.settings, then
// the model chain; fills `report` when given. Without any option this is
// analyseAov, analyseAovTransit or analyseLombScargle unchanged.
Outcome analyseAutoSearch(Workspace& ws, const AutoSearchOptions& options, const RunControl& rc,
                          SearchReport* report = nullptr);

// "Runner-up: 0.61234 d (half), criterion +3.2" when the best other
// candidate is within kCloseCriterion of the adopted one, "" otherwise.
std::string runnerUpNote(const SearchReport& report, char decimalSeparator = '.');

// The report of the last search of `engine` as it stands in the Workspace
// (peaks of the stored periodogram, grid warning), for searches run without
// the extended options.
SearchReport reportForStoredSearch(const Workspace& ws, SearchEngine engine);

// True when some type's period and amplitude ranges admit the current
// period and amplitude (otherwise every type scores 1e13).
bool typeAdmitted(const Workspace& ws);

// "Refine period": refines ws.period with the statistic of `engine` within
// 0.75 peak widths of it, sets the period and its 1-sigma
// error, and runs the model chain.
Outcome refineCurrentPeriod(Workspace& ws, SearchEngine engine, const RunControl& rc);

// The index of the highest point of the periodogram peak under
// `frequency`: the highest point within +- tolerance of it (what a cursor
// covers on the chart; the nearest point when none), then uphill to the
// top of its peak. -1 for an empty periodogram.
std::int32_t peakUnder(const Periodogram& periodogram, double frequency, double tolerance = 0.0);

// Adopts periodogram point `index` as the period and runs the chain of the
// Lomb-Scargle command (fit, classification, phasing); the error is half a
// local grid step in period.
Outcome adoptPeriodogramPeak(Workspace& ws, std::int32_t index);

}  // namespace fazorn
