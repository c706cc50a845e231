// Reading observation files: plain text, whitespace-separated numbers taken
// three at a time (time, value, error) across line breaks, exactly as
// repeated "%lf %lf %lf" conversions would take them, independent of the
// user's locale. Reading stops silently at the first group that does not
// give three numbers; everything before it is kept.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "core/table_import.h"
#include "core/workspace.h"

namespace fazorn {

struct ObservationRead {
  // False when the file could not be opened or read (missing, unreadable, a
  // directory); nothing else is then valid.
  bool opened = false;
  std::string openError;  // the system's reason, for notes and stderr

  std::vector<double> time, value, error;

  // True when reading stopped before the end of the text: a token that is
  // not a number, or an incomplete group at the end.
  bool stoppedEarly = false;
  long stopLine = 0;             // 1-based line of the offending token
  std::string stopText;          // the offending token (shortened), or a description
  bool incompleteAtEnd = false;  // the text ended inside a group
  bool byteOrderMarkSkipped = false;

  // Points with an error of 0 (infinite weight) and points with a number
  // that is not finite (nan, inf) in any column.
  std::size_t zeroErrorCount = 0;
  std::size_t nonFiniteCount = 0;
};

// Converts one number at text[pos] the way the C conversion "%lf" does on
// glibc (leading white space skipped, optional sign, decimal or "0x" hex
// digits, "inf", "infinity", "nan", a dangling exponent marker consumed).
// Returns true and advances pos past the consumed characters on success.
bool scanDouble(std::string_view text, std::size_t& pos, double& out);

// Reads observations from text already in memory.
ObservationRead parseObservations(std::string_view text);

// Reads observations from a file.
ObservationRead readObservations(const std::string& path);
// The same from an open stream (left open) whose first bytes, `head`, were
// already taken from it.
ObservationRead readObservations(std::FILE* file, std::string_view head);

// Puts observations into the Workspace as "Open Data" does after reading a
// file: weights (1/e)/e, no marks, the state after a load, statistics and
// caption. ws.files must already name the data (splitDataPath).
void fillLightCurve(Workspace& ws, std::vector<double> time, std::vector<double> value,
                    std::vector<double> error);

// The "Open Data" command after its dialog: records `path` as dataPath and
// splits it (also when the file cannot be opened), reads the file and, when
// it gave at least one observation, replaces the light curve (marks 0, weights (1/e)/e, zero-filled
// scratch arrays), resets the results panel and the command states for a
// loaded file, recomputes the statistics and sets the caption.
// The outcome carries "I/O Error! Unable to open file." when the file cannot
// be opened, a warning when no observation could be read, and notes on how
// many points were read, where reading stopped early, and on errors of 0 and
// non-finite numbers.
Outcome loadObservations(Workspace& ws, const std::string& path);

// The notes of a successful load worth showing beside the results: all but
// the first, the point count (where reading stopped, what a table reader
// read and left out).
std::vector<std::string> loadNotesWorthShowing(const Outcome& loaded);

// What a load did, for front ends that show more than the outcome.
struct LoadDetails {
  bool opened = false;  // the file could be opened and read
  FileKind reader = FileKind::Plain;
  std::size_t points = 0;
  std::string summary;  // table readers: what was read and how
};

// "Open Data" with the readers of table_import.h: a plain file of numbers
// (with no columns chosen) is read exactly as above; a text table or FITS
// file is read by its columns, a band chosen, and the outcome's second note
// says which reader read what. A file from which no observation could be
// read is a failure (ok false, a warning naming the reason) that leaves the
// light curve as it was (dataPath names the file, as after a failed open). After a table or FITS
// file the derived files are named ".dat" and "Save Data" no longer writes over the original.
Outcome loadObservations(Workspace& ws, const std::string& path, const ImportOptions& options,
                         LoadDetails* details = nullptr);

}  // namespace fazorn
