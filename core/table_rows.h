// Shared by the text-table and FITS readers: choosing columns by their usual
// names, and collecting rows into per-band series with the count of every
// row left out and why.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/table_import.h"

namespace fazorn::table {

std::string lowerCase(std::string_view text);
// A column name as it is compared: lower case, blanks and quotes trimmed, a
// leading comment mark dropped and a unit in parentheses removed
// ("flux(mJy)" -> "flux").
std::string normalizedName(std::string_view name);

// The 0-based index of the first of `wanted` found among `names` (already
// normalized), or -1.
int findColumn(const std::vector<std::string>& names, const std::vector<std::string>& wanted);

// Days in one unit of a time column's stated unit (FITS TUNITn, IPAC unit
// line, VOTable unit): 1/86400 for seconds, 1/1440 for minutes, 1/24 for
// hours, 0 for years (refused: a year is not a fixed number of days in every
// convention), and 1 for days and for every other text (Julian-date names,
// "BJD - 2457000, days", none at all).
double daysPerTimeUnit(std::string_view unit);

// Resolves a user's column ("mag" or "2") against the names; -1 when absent.
int resolveUserColumn(const std::vector<std::string>& normalized, std::string_view given);

// The columns a reader uses, by 0-based index (-1: none).
struct ColumnPlan {
  int time = -1, value = -1, error = -1, band = -1;
  // Gaia epoch photometry gives no magnitude error but the flux's
  // signal-to-noise ratio; the error is then 2.5 / ln 10 / (flux / flux error).
  int fluxOverError = -1;
  // AAVSO's measurement method: differential (DIFF) magnitudes are on
  // another scale than standard ones, so they count as a band of their own.
  int bandQualifier = -1;
  std::vector<int> flags;  // a row with any non-zero (or true) flag is left out
  // Bit-mask flags: a row is left out when its integer flag has any of the
  // bits of the mask (DASCH AFLAGS, where some bits are only information).
  std::vector<std::pair<int, unsigned long long>> maskedFlags;
  // Quality letters of which only some values are good: ASAS-SN Sky
  // Patrol's "quality" (G good, B bad), CDIPS's IRQn ("0" or G good, X bad).
  // A row whose cell is not one of the good letters is left out.
  struct LetterFlag {
    int column = -1;
    std::string good;  // the letters that pass, e.g. "G" or "G0"
  };
  std::vector<LetterFlag> letterFlags;
  // ATLAS forced photometry: its magnitude m stands for a flux in uJy that
  // may be negative or zero (no magnitude then); such rows are left out.
  int positiveFlux = -1;
  // AAVSO's validation flag: "D" (discrepant) rows are left out.
  int validation = -1;
  // AAVSO Extended Format: the star's name; each star is a series of its own
  // (with its filter: "V1023 HER/V").
  int star = -1;
  // WISE/NEOWISE tables hold one band per group of columns (w1mpro,
  // w1sigmpro ... w4mpro): each row gives up to four observations. `band`
  // and `value` then name the first group's columns.
  struct BandGroup {
    std::string name;  // "W1"
    int value = -1, error = -1;
    // A quality letter of this group alone (CDIPS's IRQn per aperture), with
    // the letters that pass; -1: none.
    int flag = -1;
    std::string flagGood;
  };
  std::vector<BandGroup> bandGroups;
  int photQual = -1, ccFlags = -1, qualFrame = -1;  // WISE per-band letters and frame score
  // WISE/NEOWISE frame quality: qi_fact 0 (poor image quality), saa_sep
  // below 0 (inside the South Atlantic Anomaly), moon_masked 1 for the band.
  int imageQuality = -1, saaSeparation = -1, moonMasked = -1;
  // A column whose true value (1, T, true) marks the value as a limit, not
  // a measurement (AAVSO's fainterThan).
  int limitFlag = -1;
  // Columns that must hold one value for a row to be read (DoPHOT's Type 1).
  std::vector<std::pair<int, double>> requiredValues;
  // An ATLAS exposure name whose last letter is the filter (-1: none).
  int exposureName = -1;
  // ASAS-3: the groups are the five apertures of one star (MAG_0/MER_0 ...);
  // the one with the least scatter is read unless --band names another.
  bool bestByScatter = false;
  int grade = -1;             // ASAS-3 GRADE: D ("worst data, probably useless") left out
  double markerAbove = 99.0;  // magnitudes at or above this are missing-value markers
  // A number the archive writes for "no value" in any column (Pan-STARRS
  // -999): as a value it leaves the row out, as an error it is no error.
  double nullNumber = std::numeric_limits<double>::quiet_NaN();
  // Band names of a numbered filter column: code k (1-based) is
  // bandCodes[k - 1] (Pan-STARRS filterID 1..5 = g r i z y). Empty: the
  // cell is the band's name.
  std::vector<std::string> bandCodes;
  // The time unit a product documents for a time column whose file states
  // none (SuperWASP's TMID: seconds); empty: days.
  std::string documentedTimeUnit;
  bool valueIsMagnitude = false;
  // Early TESS data-alert light curves mark gap cadences with a flux of
  // exactly 0 instead of NaN: such rows are gaps, not observations.
  bool zeroValueIsGap = false;
  bool errorsOfOne = false;  // no error column: every error is 1
  std::string survey;        // "ZTF light curve", ... (empty for a generic table)
};

// Every column a plan reads (0-based, without repeats), for readers that
// can skip the others (FITS).
std::vector<int> columnsOfPlan(const ColumnPlan& plan);

// Fills the plan from the column names (normalized) and the user's options.
// Returns an empty text on success, else the reason for the user.
std::string planColumns(const std::vector<std::string>& displayNames,
                        const std::vector<std::string>& normalized, const ImportOptions& options,
                        ColumnPlan& plan);

enum class LeftOut {
  Flagged,        // a quality or rejection flag is set
  Limit,          // a "<" or ">" limit instead of a measurement
  Marker,         // a missing-value marker such as 99.990 in a magnitude column
  NotFinite,      // empty, null, NaN or infinite time or value
  Unreadable,     // a field that is not a number
  MissingColumn,  // fewer fields than the chosen columns need
  ZeroFluxGap,    // flux of exactly 0, the gap marker of early mission files
  Discrepant,     // AAVSO validation flag D
  CutShort,       // the last row, cut short (fewer fields, or its last number cut)
  NullMarker,     // the table's declared null value (an IPAC header's null line)
  NotPositive,    // a flux of 0 or below behind a magnitude (ATLAS)
  Count
};

// Collects rows into series per band and counts the rows left out.
class RowCollector {
 public:
  explicit RowCollector(const ImportOptions& options) : options_(options) {}

  // A usable row. `error` NaN means the row has no error. Returns false when
  // the observation limit is exceeded (reading must stop).
  bool add(double time, double value, double error, std::string_view band);
  void leaveOut(LeftOut why, long line);
  std::size_t rowsSeen() const { return rowsSeen_; }

  // Chooses the band, resolves missing errors, sorts by time when needed
  // and fills `out`'s series, band list, notes and summary (the summary
  // starts with `what`, e.g. "CSV with header"). Sets out.failed when no
  // observation remains or the band is unknown.
  void finish(TableImport& out, const std::string& what, const std::vector<std::string>& names,
              const ColumnPlan& plan);

 private:
  struct Band {
    std::string name;
    std::size_t usable = 0;
    std::vector<double> time, value, error;
  };
  Band& bandNamed(std::string_view name);
  // Whether a series is the band the options name: the same name (any
  // case) or, unless `exactly`, a star's series "STAR/FILTER" for "STAR".
  bool matchesBand(const std::string& name, bool exactly) const;

  const ImportOptions& options_;
  std::vector<Band> bands_;
  std::size_t last_ = 0;
  std::size_t stored_ = 0;
  std::size_t rowsSeen_ = 0;
  bool overLimit_ = false;
  bool tooManyBands_ = false;
  std::size_t leftOut_[static_cast<int>(LeftOut::Count)] = {};
  long firstLine_[static_cast<int>(LeftOut::Count)] = {};
};

// Where the row stage takes its rows from: text lines, VOTable cells or
// FITS table rows, each given as text fields.
class RowFeed {
 public:
  enum Kind { End, Row, CutShort };
  virtual ~RowFeed() = default;
  // The next row's fields in fields[0..n) and its line (or row) number;
  // CutShort: the last row, cut short, which is counted and left out. The
  // fields are views that stay valid until the next call.
  virtual Kind next(std::vector<std::string_view>& fields, std::size_t& n, long& line) = 0;
  // Why reading stopped before the end (empty when it did not).
  virtual std::string failure() const { return {}; }
  // What the reader should know of the rows (sections read together).
  virtual std::vector<std::string> notes() const { return {}; }
};

// What a reader adds to the plan the names give (the FITS reader: gap
// markers of mission files).
struct PlanExtras {
  bool zeroValueIsGap = false;
};

// The row stage shared by the text, VOTable and FITS readers: plans the
// columns from the names (with `planOptions`, which may carry columns chosen
// from a VOTable's UCDs) and collects the rows into `out`. `units` (may be
// empty) are the columns' units as the file states them; `nulls` (may be
// empty) each column's declared null marker (empty: none declared): such a
// time or value leaves its row out under a count of its own, such an error
// counts as no error, such a flag as not set. `what` starts the summary,
// `layout` names the file's layout in the import dialog's key.
TableImport readRows(TableImport& out, const std::vector<std::string>& names,
                     const std::vector<std::string>& units, std::string what, const char* layout,
                     bool decimalComma, const ImportOptions& options,
                     const ImportOptions& planOptions, RowFeed& feed,
                     const std::vector<std::string>& nulls = {}, PlanExtras extras = {});

}  // namespace fazorn::table
