// The one check of the search settings ("Min period:", "Max period:",
// "Harmonics:", "Resolution:") before a search: either what the search will
// run over (the grid of trial frequencies, the harmonic terms, the
// Lomb-Scargle options) or the text that refuses it. The window's commands,
// the significance runs and the command line all ask this one function, so
// a setting is accepted or refused the same way everywhere.
#pragma once

#include <cstdint>
#include <string>

#include "core/workspace.h"
#include "search/frequency_grid.h"
#include "search/lomb_scargle.h"
#include "search/search_engine.h"

namespace fazorn {

inline constexpr const char* kPeriodRangeWarning =
    "Min period is negative or greater than Max period! Calculation aborted";

// AoVtr: the box of the transit search holds 1 / (10 binFactor) of the
// points; with fewer than this many points in it the power of a box is the
// scatter of one or two points, not a transit.
inline constexpr int kMinPointsPerTransitBin = 3;

struct SettingsCheck {
  // Empty when the search can run; otherwise the whole text to show (the
  // window's warning box, the command line's error line).
  std::string refusal;
  // True when the refusal is about the period range alone (the command
  // line treats it as a usage error).
  bool badPeriodRange = false;
  int harmonics = 1;               // the setting raised to at least 1
  bool harmonicsRaised = false;    // the setting was 0 or below
  std::int32_t harmonicTerms = 3;  // 2 * harmonics + 1 (AoV)
  FrequencyGrid grid;              // AoV, AoVtr: the trial frequencies
  LombScargleOptions lombScargle;  // Lomb-Scargle, when a light curve was given
  bool ok() const { return refusal.empty(); }
};

// Checks, in this order: the period range (minPeriod > 0 and below
// maxPeriod); for AoV and AoVtr the resolution and the size of the grid
// from 1 / maxPeriod upward (makeFrequencyGrid). With a light curve also
// what makes it unsearchable (fewer than 2 points, times or values that are
// not numbers, no variation, for AoV and AoVtr infinite weights), and what
// the data bound: for AoV more distinct times than harmonic terms, for
// AoVtr at least kMinPointsPerTransitBin points per bin, for Lomb-Scargle a
// grid that fits in memory. Without a light curve (nullptr) only what the
// settings decide alone, as a front end checks its options once before
// many files. Nothing is changed: a command that raises "Harmonics:" stores
// `harmonics` itself.
// The settings as every search uses them, stored once: "Harmonics:" of 0 or
// below raised to 1 (what checkSearchSettings reports as harmonicsRaised).
inline void normaliseSearchSettings(SearchSettings& s) {
  if (s.harmonics < 1) s.harmonics = 1;
}

// The grid step checked: the settings' resolution, or none when the caller
// makes its grid from another step (the grid from the data of the auto
// search, the local grid of a refinement), which makeFrequencyGrid or the
// grid search then checks where the grid is made.
enum class GridStep { FromSettings, MadeElsewhere };
SettingsCheck checkSearchSettings(const SearchSettings& settings, SearchEngine engine,
                                  const LightCurve* lightCurve = nullptr,
                                  GridStep step = GridStep::FromSettings);

}  // namespace fazorn
