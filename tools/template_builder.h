// Building the built-in template curves from the real light curves and
// measuring how well the classification recognises those light curves.
// Shared by the generator (make_templates.cpp) and the tests.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "model/classification.h"

namespace fazorn::tools {

// One row of the real-data catalogue (catalog.csv).
struct CatalogEntry {
  std::string file;    // relative to the real-data folder, "RRAB/....dat"
  std::string type;    // catalogued type code
  double period = 0;   // catalogued period, days
  int points = 0;      // observations in the file
  double theta = 1.0;  // fold-quality figure from the notes (0 clean, 1 none)
  std::string band;
  std::string sourceRepo;  // repository the light curve was copied from
};

// True for light curves from the public survey releases (SDSS Stripe 82,
// OGLE, Catalina) rather than from repositories that put their own licence
// on their copies; only these become built-in templates.
bool fromSurveyRelease(const CatalogEntry& e);

// Reads <dir>/catalog.csv (quoted fields allowed). Empty when unreadable.
std::vector<CatalogEntry> readCatalog(const std::filesystem::path& dir);

// The table position of a type code, or -1.
int typeIndex(const std::string& code);

// The template curve of one star exactly as "Add as a template" writes it
// after the star is fitted at `period` and phased on the epoch its type uses
// (minimum light for the eclipsing types, maximum light otherwise); values
// read back from the written "%6.4f" lines. Empty when the file cannot be
// read or the curve cannot be normalised.
std::optional<std::array<float, kTemplateNodes>> makeTemplateCurve(
    const std::filesystem::path& dataFile, double period, int epochAtMinimum,
    const std::filesystem::path& scratchFile);

// The classification of one star at its catalogued period as an analysis
// run leaves it: provisional phases from time 0, fit, classify, phase on the
// new t0, fit, classify. Returns the Workspace's type text ("" when the file
// cannot be read).
std::string classifyAtPeriod(const std::filesystem::path& dataFile, double period,
                             const TypeTemplateTable& table);

// The observed curve of the classification for one star at `period`, on the
// phases from time 0 (as the first classification of an analysis run sees
// it), with the fitted amplitude. Empty when the file cannot be read.
struct Observation {
  std::array<double, kTemplateNodes> curve{};
  double amplitude = 0.0;
};
std::optional<Observation> observeAtPeriod(const std::filesystem::path& dataFile, double period);

struct TypeQuality {
  std::string type;
  int stars = 0;
  int firstRight = 0;  // catalogued type shown first
  int listed = 0;      // catalogued type among the types shown
};

// One classified star of the evaluation.
struct Classified {
  CatalogEntry entry;
  std::string typeText;  // as the "Type:" label shows it
};

// Classifies every catalogued light curve at its catalogued period against
// the built-in table without the curve made from that same star. One entry
// per type in table order, then the total; `stars`, when given, receives
// every star with its type text.
std::vector<TypeQuality> evaluateLeaveOneOut(const std::filesystem::path& dir,
                                             std::vector<Classified>* stars = nullptr);

}  // namespace fazorn::tools
