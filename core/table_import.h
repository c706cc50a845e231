// Reading light curves from the files astronomers download: text tables with
// comment lines, a header line of column names and comma, semicolon, tab or
// white-space separators (survey exports among them), and FITS binary tables
// (space-mission light curves and generic tables). A plain file of numbers,
// three per observation, is left to the plain reader (observation_file.h);
// these readers take over only when a file is recognisably something else.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/workspace.h"

namespace fazorn {

// What the user chose; every field empty means "guess".
struct ImportOptions {
  // Time, value and (optionally) error column, each a column name (any case)
  // or a 1-based column number. Empty: chosen from the usual names. Two
  // entries give errors of 1.
  std::vector<std::string> columns;
  // The photometric band to keep (any case). Empty: the band with the most
  // usable rows.
  std::string band;
  // Read as a table even when the file looks like plain numbers.
  bool forceTable = false;
  // Whether the values are magnitudes or fluxes (--values mag|flux). Empty:
  // from the value column's unit and name; a plain file is magnitudes.
  std::optional<ValueKind> valueKind;
  // Refuse files with more usable rows than this (the Workspace keeps about
  // 60 bytes per point); 0 means no limit.
  std::size_t maxObservations = 10'000'000;
};

enum class FileKind {
  Plain,      // numbers, three per observation: the plain reader
  TextTable,  // comments, a header, separators other than white space, or two columns
  Fits,       // FITS (first bytes "SIMPLE  =")
};

// The cheap look at a file's first bytes that decides the reader.
struct FileSniff {
  bool opened = false;
  std::string openError;
  FileKind kind = FileKind::Plain;
  // Plain files only: every line seen held exactly three numbers (what
  // "Save Data" writes back).
  bool threeNumbersPerLine = false;
  // Plain files only: the count of numbers on every line seen when it is the
  // same on each line and not 3 (0 otherwise).
  int uniformNumbersPerLine = 0;
  // The file is gzip-compressed; the rest describes what it decompresses to.
  bool compressed = false;
};
FileSniff sniffObservationFile(const std::string& path);
FileSniff sniffObservationText(std::string_view start);
// The bytes the sniff looks at.
inline constexpr std::size_t kSniffBytes = 1 << 16;

// A light curve read by a table reader, with what the reader did.
struct TableImport {
  bool opened = false;  // false: the file could not be opened (openError)
  std::string openError;
  // True when the file was read but no light curve came from it (a damaged
  // FITS file, an unknown column or band, no usable row); `failure` says why.
  bool failed = false;
  std::string failure;

  FileKind kind = FileKind::TextTable;
  std::vector<double> time, value, error;

  // One line on what was read ("CSV with header: time=HJD, value=mag,
  // error=mag_err; band V (412 of 530 rows)") and further notes (rows left
  // out and why, time system, errors of 1, sorting).
  std::string summary;
  std::vector<std::string> notes;

  // For the import dialog: the column names (numbers "1", "2"... when the
  // file has no header), the first rows as text, the chosen columns as
  // 0-based indices (-1: none), the bands with their usable row counts in
  // order of first appearance, the chosen band, and a key naming the layout
  // of the header (the same for every file with the same columns).
  std::vector<std::string> columnNames;
  std::vector<std::vector<std::string>> previewRows;
  int timeColumn = -1, valueColumn = -1, errorColumn = -1, bandColumn = -1;
  // The unit of the value column as the file states it (FITS TUNITn; empty
  // when not stated).
  std::string valueUnit;
  std::vector<std::pair<std::string, std::size_t>> bands;
  std::string chosenBand;
  std::string layoutKey;
  bool rowsWereSorted = false;  // rows were not in time order and were sorted
};

// Reads a file with the text-table or FITS reader (by its first bytes).
TableImport importTable(const std::string& path, const ImportOptions& options);
// The same from a stream that can be read only once (standard input, a
// pipe): `head` holds the bytes already taken from it for the sniff, the
// rest is read from `file` (left open). A FITS file is refused there: its
// reader needs a file on disk.
TableImport importTableStream(std::FILE* file, std::string head, const ImportOptions& options);
// The text-table reader over text in memory (tests and fuzzing).
TableImport importTableText(std::string_view text, const ImportOptions& options);

// The names a column is chosen by when the user does not say (lower case;
// tried in this order).
const std::vector<std::string>& usualTimeNames();
const std::vector<std::string>& usualValueNames();
const std::vector<std::string>& usualErrorNames();

// Magnitudes or fluxes, from the value column's unit (FITS TUNITn, or a unit
// in parentheses in the name, "flux(mJy)") and else its name: a magnitude
// unit or a name with "mag" (w1mpro, IRM1, TFA1 are magnitudes too) gives
// Magnitude; a flux unit (e-/s, electrons, counts, ADU, DN, Jy, mJy, uJy,
// nmgy) or a flux name (FLUX, FCOR, DETFLUX, forcediffimflux, uJy) gives
// Flux. Anything else is taken as magnitudes, as plain files always were.
ValueKind valueKindOf(const std::string& columnName, const std::string& unit);
// The same without the default: empty when neither unit nor name says.
std::optional<ValueKind> valueKindEvidence(const std::string& columnName, const std::string& unit);

// No star is fainter than about magnitude 30 in any survey (and markers such
// as 99.99 are rare rows), so values whose median exceeds this are fluxes.
inline constexpr double kLargestMedianMagnitude = 40.0;

// What the values of a column are, as the load and the import dialog decide
// it: the unit and name first (valueKindEvidence), else the median of the
// finite values (fluxes above kLargestMedianMagnitude, else magnitudes).
struct ValueKindGuess {
  ValueKind kind = ValueKind::Magnitude;
  bool fromValues = false;  // neither unit nor name said: the median decided
  double median = 0.0;      // of the finite values, when fromValues
};
ValueKindGuess guessValueKind(const std::string& columnName, const std::string& unit,
                              const std::vector<double>& values);

}  // namespace fazorn
