#include "core/fits_table.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/fits_header_check.h"
#include "core/table_rows.h"

namespace fazorn {

using table::ColumnPlan;
using table::LeftOut;
using table::RowCollector;

namespace {

constexpr long kChunkRows = 8192;
// Text columns wider than this are neither previewed nor taken as bands
// (a band or filter name is a few characters; a header may claim any width).
constexpr long kMaxTextWidth = 70;

struct FitsCloser {
  void operator()(fitsfile* f) const {
    int status = 0;
    fits_close_file(f, &status);
  }
};
using FitsFile = std::unique_ptr<fitsfile, FitsCloser>;

std::string errorText(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  fits_clear_errmsg();
  return text;
}

// A string keyword of the current header, or empty.
std::string stringKey(fitsfile* f, const char* name) {
  char value[FLEN_VALUE] = {};
  int status = 0;
  if (fits_read_key(f, TSTRING, name, value, nullptr, &status) != 0) {
    fits_clear_errmsg();
    return {};
  }
  return value;
}

bool doubleKey(fitsfile* f, const char* name, double& out) {
  int status = 0;
  if (fits_read_key(f, TDOUBLE, name, &out, nullptr, &status) != 0) {
    fits_clear_errmsg();
    return false;
  }
  return true;
}

std::string formatNumber(double x) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.10g", x);
  return buffer;
}

// What the stored times mean, from the mission or the header keywords.
std::string timeSystemNote(fitsfile* f, const std::string& mission, const std::string& timeName,
                           int timeColumn) {
  std::string note = "Times are " + timeName + " as stored";
  const std::string unit = stringKey(f, ("TUNIT" + std::to_string(timeColumn + 1)).c_str());
  // A column's own time scale (TCTYPn, the FITS time standard) before the
  // table's default (TIMESYS).
  std::string system = stringKey(f, ("TCTYP" + std::to_string(timeColumn + 1)).c_str());
  if (system.empty()) system = stringKey(f, "TIMESYS");
  double refInt = 0, refFrac = 0, ref = 0;
  const bool hasRefInt = doubleKey(f, "BJDREFI", refInt);
  doubleKey(f, "BJDREFF", refFrac);
  const bool hasRef = doubleKey(f, "BJDREF", ref);
  if (mission == "TESS")
    note += ": BTJD = BJD - 2457000";
  else if (mission == "Kepler" || mission == "K2")
    note += ": BKJD = BJD - 2454833";
  else if (hasRefInt || hasRef)
    note += ": BJD - " + formatNumber(hasRefInt ? refInt + refFrac : ref);
  else if (!unit.empty())
    note += " (unit " + unit + ")";
  if (!system.empty()) note += ", time scale " + system;
  note += ".";
  return note;
}

struct ColumnInfo {
  int type = 0;
  long repeat = 0;
  long width = 0;
  // An astropy Time column: two doubles a row whose sum, plus the header's
  // reference (JDREF), is the Julian date (astropy's FITS writer: "Time
  // columns are jd = jd1 + jd2", the time scale in TCTYPn after the FITS
  // time standard, Rots et al. 2015). Read as that one number.
  bool jdPair = false;
  double jdReference = 0.0;
};

// The rows of one FITS table as text cells, in chunks, for the row stage
// the text readers share: numbers in their shortest exact decimal form (a
// single-precision column converts exactly, as it did read as double),
// logical values as T or F, strings without their padding. A null integer
// or logical is an empty cell (no flag, no value), a NaN float "nan"; vector
// and bit columns, which hold no single number per row, are empty cells.
class FitsRowFeed : public table::RowFeed {
 public:
  // `used` marks the columns the row stage reads; the others are given for
  // the first rows only (the import dialog's preview) and left empty after.
  FitsRowFeed(fitsfile* f, LONGLONG rows, const std::vector<ColumnInfo>& columns,
              std::vector<bool> used)
      : f_(f), rows_(rows), columns_(columns), used_(std::move(used)), cells_(columns.size()) {
    for (const ColumnInfo& c : columns_) {
      Column& k = data_.emplace_back();
      // A string column's repeat is its width in characters (one string per
      // row when they agree); other columns hold one value when it is 1.
      if (c.type == TSTRING)
        k.kind = c.width >= 1 && c.width <= kMaxTextWidth && c.repeat == c.width ? Column::Text
                                                                                 : Column::Skip;
      else if (c.jdPair)
        k.kind = Column::JdPair;
      else if (c.repeat != 1 || c.type == TBIT || c.type <= 0)
        k.kind = Column::Skip;
      else if (c.type == TLOGICAL)
        k.kind = Column::Logical;
      else
        k.kind = c.type == TFLOAT || c.type == TDOUBLE ? Column::Float : Column::Integer;
    }
  }

  std::string failure() const override { return failure_; }

  Kind next(std::vector<std::string_view>& fields, std::size_t& n, long& line) override {
    if (row_ >= rows_ || !failure_.empty()) return End;
    if (row_ >= chunkFirst_ + chunkRows_ && !loadChunk()) return End;
    const std::size_t i = static_cast<std::size_t>(row_ - chunkFirst_);
    if (fields.size() < columns_.size()) fields.resize(columns_.size());
    const bool preview = row_ < kPreviewRows;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      const Column& k = data_[c];
      std::string& cell = cells_[c];
      cell.clear();
      fields[c] = cell;
      if (!preview && !used_[c]) continue;
      switch (k.kind) {
        case Column::Skip:
          break;
        case Column::Text:
          cell = k.text[i];
          while (!cell.empty() && cell.back() == ' ') cell.pop_back();
          break;
        case Column::Logical:
          if (k.logical[i] != 0) cell = k.logical[i] == 1 ? "T" : "F";
          break;
        case Column::Integer:
        case Column::JdPair:
        case Column::Float: {
          const double x = k.number[i];
          if (std::isnan(x)) {
            if (k.kind != Column::Integer) cell = "nan";
          } else {
            char buffer[32];
            const auto r = std::to_chars(buffer, buffer + sizeof buffer, x);
            cell.assign(buffer, r.ptr);
          }
          break;
        }
      }
      fields[c] = cell;
    }
    n = columns_.size();
    line = static_cast<long>(row_ + 1);
    ++row_;
    return Row;
  }

 private:
  struct Column {
    enum Kind { Skip, Text, Logical, Integer, Float, JdPair } kind = Skip;
    std::vector<double> number;
    std::vector<char> logical;
    std::vector<std::string> text;
  };

  bool loadChunk() {
    chunkFirst_ = row_;
    // The first chunk holds the preview rows (every column read), the
    // others only the columns used.
    chunkRows_ = std::min<LONGLONG>(row_ == 0 ? kPreviewRows : kChunkRows, rows_ - row_);
    const long n = static_cast<long>(chunkRows_);
    int status = 0;
    for (std::size_t c = 0; c < columns_.size() && status == 0; ++c) {
      if (row_ > 0 && !used_[c]) continue;
      Column& k = data_[c];
      const int column = static_cast<int>(c) + 1;
      int anyNull = 0;
      if (k.kind == Column::JdPair) {
        // Both halves of each row, in row order (cfitsio reads the elements
        // of consecutive rows in one call).
        std::vector<double> pairs(2 * static_cast<std::size_t>(n));
        double nan = std::nan("");
        fits_read_col(f_, TDOUBLE, column, chunkFirst_ + 1, 1, 2 * n, &nan, pairs.data(), &anyNull,
                      &status);
        k.number.resize(static_cast<std::size_t>(n));
        for (std::size_t r = 0; r < k.number.size(); ++r)
          k.number[r] = pairs[2 * r] + pairs[2 * r + 1] + columns_[c].jdReference;
      } else if (k.kind == Column::Integer || k.kind == Column::Float) {
        k.number.resize(static_cast<std::size_t>(n));
        double nan = std::nan("");
        fits_read_col(f_, TDOUBLE, column, chunkFirst_ + 1, 1, n, &nan, k.number.data(), &anyNull,
                      &status);
      } else if (k.kind == Column::Logical) {
        // cfitsio gives 1 (T), 0 (F) and the null value for undefined ones.
        k.logical.resize(static_cast<std::size_t>(n));
        std::vector<char> raw(static_cast<std::size_t>(n));
        char nullValue = 2;
        fits_read_col(f_, TLOGICAL, column, chunkFirst_ + 1, 1, n, &nullValue, raw.data(), &anyNull,
                      &status);
        for (std::size_t r = 0; r < raw.size(); ++r)
          k.logical[r] = raw[r] == 2 ? 0 : raw[r] != 0 ? 1 : 2;
      } else if (k.kind == Column::Text) {
        const std::size_t stride = static_cast<std::size_t>(columns_[c].width) + 1;
        std::vector<char> storage(stride * static_cast<std::size_t>(n), '\0');
        std::vector<char*> pointers(static_cast<std::size_t>(n));
        for (std::size_t r = 0; r < pointers.size(); ++r) pointers[r] = storage.data() + r * stride;
        fits_read_col_str(f_, column, chunkFirst_ + 1, 1, n, const_cast<char*>(""), pointers.data(),
                          &anyNull, &status);
        k.text.assign(pointers.begin(), pointers.end());
      }
    }
    if (status != 0) {
      failure_ = "the FITS file is damaged or truncated (" + errorText(status) + ")";
      return false;
    }
    return true;
  }

  // The import dialog's preview rows (the row stage keeps as many).
  static constexpr LONGLONG kPreviewRows = 20;
  fitsfile* f_;
  LONGLONG rows_;
  const std::vector<ColumnInfo>& columns_;
  std::vector<bool> used_;
  std::vector<Column> data_;
  std::vector<std::string> cells_;
  LONGLONG row_ = 0, chunkFirst_ = 0, chunkRows_ = 0;
  std::string failure_;
};

bool sameName(const std::string& a, const std::string& b) {
  return table::lowerCase(a) == table::lowerCase(b);
}

// Names for a message: the first 24, then how many more.
std::string joined(const std::vector<std::string>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size() && i < 24; ++i) list += (i ? ", " : "") + names[i];
  if (names.size() > 24) list += " and " + std::to_string(names.size() - 24) + " more";
  return list;
}

}  // namespace

TableImport importFitsTable(const std::string& path, const ImportOptions& options) {
  TableImport out;
  out.kind = FileKind::Fits;
  // Every header is checked before cfitsio parses any of it (see
  // fits_header_check.h); a damaged one is refused with its place.
  FitsHeaderCheck check;
  {
    std::FILE* plain = std::fopen(path.c_str(), "rb");
    if (plain == nullptr) {
      out.openError = std::strerror(errno);
      return out;
    }
    check = checkFitsHeaders(plain);
    std::fclose(plain);
  }
  out.opened = true;
  if (!check.problem.empty()) {
    out.failed = true;
    out.failure = check.problem;
    return out;
  }
  int status = 0;
  fitsfile* raw = nullptr;
  // The disk-file open takes the name literally (no "[...]" filters): file
  // names with brackets or spaces are common in archive downloads.
  if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status) != 0) {
    out.opened = true;
    out.failed = true;
    out.failure =
        "the FITS file cannot be read (" + errorText(status) + "); it may be damaged or truncated";
    return out;
  }
  out.opened = true;
  FitsFile file(raw);
  fitsfile* f = file.get();
  std::string telescope = stringKey(f, "TELESCOP");

  // The tables the check has seen (cfitsio is never moved past them), with
  // their names and columns.
  struct TableHdu {
    int number = 0;
    std::string extension;
    std::vector<std::string> names, normalized;
  };
  std::vector<TableHdu> tables;
  for (const FitsHduSummary& hdu : check.hdus) {
    if (!hdu.table) continue;
    int type = 0;
    status = 0;
    if (fits_movabs_hdu(f, hdu.number, &type, &status) != 0) {
      out.failed = true;
      out.failure = "the FITS file is damaged or truncated (" + errorText(status) + ")";
      return out;
    }
    if (type != BINARY_TBL && type != ASCII_TBL) continue;
    TableHdu t;
    t.number = hdu.number;
    t.extension = stringKey(f, "EXTNAME");
    int columns = 0;
    fits_get_num_cols(f, &columns, &status);
    for (int c = 1; c <= columns; ++c) {
      std::string name = stringKey(f, ("TTYPE" + std::to_string(c)).c_str());
      if (name.empty()) name = std::to_string(c);
      t.normalized.push_back(table::normalizedName(name));
      t.names.push_back(std::move(name));
    }
    if (telescope.empty()) telescope = stringKey(f, "TELESCOP");
    tables.push_back(std::move(t));
  }

  // Products with one table per aperture or per kind of correction (K2SFF:
  // BESTAPER, CIRC_APER0..9, PRF_APER0..9; K2SC: PDC, SAP) read the first
  // unless --band names another table by its EXTNAME.
  ImportOptions rowOptions = options;
  const TableHdu* named = nullptr;
  if (!options.band.empty())
    for (const TableHdu& t : tables)
      if (!t.extension.empty() && sameName(t.extension, options.band)) named = &t;
  if (named != nullptr) rowOptions.band.clear();

  // The first table with a time and a value column.
  ColumnPlan plan;
  const TableHdu* chosen = nullptr;
  std::string problem = "the FITS file holds no table";
  for (const TableHdu& t : tables) {
    if (named != nullptr && &t != named) continue;
    plan = ColumnPlan{};
    problem = table::planColumns(t.names, t.normalized, rowOptions, plan);
    if (problem.empty()) {
      chosen = &t;
      break;
    }
  }
  if (chosen == nullptr) {
    out.failed = true;
    out.failure = problem;
    if (!options.band.empty() && problem == "the file has no band column") {
      std::vector<std::string> extensions;
      for (const TableHdu& t : tables)
        if (!t.extension.empty()) extensions.push_back(t.extension);
      out.failure =
          "no band column and no table \"" + options.band + "\" in the file" +
          (extensions.empty() ? std::string() : " (its tables are " + joined(extensions) + ")");
    }
    if (!tables.empty()) out.columnNames = tables.back().names;
    return out;
  }
  const std::vector<std::string>& names = chosen->names;
  const std::vector<std::string>& normalized = chosen->normalized;
  int type = 0;
  status = 0;
  fits_movabs_hdu(f, chosen->number, &type, &status);
  const std::string& extension = chosen->extension;

  // Other tables of the same columns: the choice is named in the notes.
  std::vector<std::string> sameLayout;
  for (const TableHdu& t : tables)
    if (t.normalized == normalized)
      sameLayout.push_back(t.extension.empty() ? "HDU " + std::to_string(t.number - 1)
                                               : t.extension);

  auto hasColumn = [&](const char* n) {
    return std::find(normalized.begin(), normalized.end(), n) != normalized.end();
  };
  const bool missionTable =
      hasColumn("time") && (hasColumn("pdcsap_flux") || hasColumn("sap_flux"));
  std::string mission;
  if (missionTable)
    mission = telescope == "TESS"     ? "TESS"
              : telescope == "K2"     ? "K2"
              : telescope == "Kepler" ? "Kepler"
                                      : "mission";

  LONGLONG rowCount = 0;
  fits_get_num_rowsll(f, &rowCount, &status);
  std::vector<ColumnInfo> columns(names.size());
  std::vector<std::string> units(names.size());
  for (std::size_t c = 0; c < names.size(); ++c) {
    int s = 0;
    fits_get_coltype(f, static_cast<int>(c) + 1, &columns[c].type, &columns[c].repeat,
                     &columns[c].width, &s);
    units[c] = stringKey(f, ("TUNIT" + std::to_string(c + 1)).c_str());
    double reference = 0.0;
    if (columns[c].type == TDOUBLE && columns[c].repeat == 2 &&
        !stringKey(f, ("TCTYP" + std::to_string(c + 1)).c_str()).empty() &&
        doubleKey(f, "JDREF", reference) && std::isfinite(reference)) {
      columns[c].jdPair = true;
      columns[c].jdReference = reference;
    }
  }
  fits_clear_errmsg();
  auto scalarNumber = [&](int c) {
    const ColumnInfo& ci = columns[static_cast<std::size_t>(c)];
    return ci.jdPair ||
           (ci.repeat == 1 && ci.type != TSTRING && ci.type != TLOGICAL && ci.type != TBIT);
  };
  std::vector<int> numeric = {plan.time, plan.value, plan.error, plan.fluxOverError};
  for (const auto& g : plan.bandGroups) numeric.insert(numeric.end(), {g.value, g.error});
  for (int c : numeric) {
    if (c < 0 || scalarNumber(c)) continue;
    out.failed = true;
    out.failure =
        "column \"" + names[static_cast<std::size_t>(c)] + "\" does not hold one number per row";
    out.columnNames = names;
    return out;
  }
  for (int c : plan.flags) {
    const ColumnInfo& ci = columns[static_cast<std::size_t>(c)];
    if (ci.repeat != 1 || ci.type == TSTRING) {
      out.failed = true;
      out.failure = "flag column \"" + names[static_cast<std::size_t>(c)] +
                    "\" does not hold one flag per row";
      out.columnNames = names;
      return out;
    }
  }
  if (plan.band >= 0) {
    const ColumnInfo& ci = columns[static_cast<std::size_t>(plan.band)];
    if (ci.type == TSTRING ? ci.width > kMaxTextWidth : ci.repeat != 1) {
      out.failed = true;
      out.failure = "band column \"" + names[static_cast<std::size_t>(plan.band)] +
                    "\" does not hold one band name per row";
      out.columnNames = names;
      return out;
    }
  }

  std::string what;
  if (!mission.empty()) {
    what = (mission == "mission" ? std::string("Mission") : mission) + " light curve (FITS";
    const std::string mode = stringKey(f, "OBSMODE");
    if (!mode.empty()) what += ", " + mode;
    if (!extension.empty()) what += ", table " + extension;
    what += ")";
  } else {
    what = sameLayout.size() > 1 && !extension.empty() ? "FITS table " + extension : "FITS table";
  }
  // Early TESS data-alert files mark gap cadences with a flux of 0.
  table::PlanExtras extras;
  extras.zeroValueIsGap = !mission.empty();

  // PDCSAP fluxes first; when a mission file has none usable, its SAP fluxes.
  ImportOptions planOptions = rowOptions;
  // The columns the rows are read from: the plan's, the ZTF reference
  // columns the row stage looks up by name, and the SAP fluxes a mission
  // file may fall back on.
  std::vector<bool> used(names.size(), false);
  for (int c : table::columnsOfPlan(plan)) used[static_cast<std::size_t>(c)] = true;
  for (const char* n : {"zpdiff", "nearestrefmag", "nearestrefmagunc", "dnearestrefsrc", "sap_flux",
                        "sap_flux_err"}) {
    const int c = table::findColumn(normalized, {n});
    if (c >= 0) used[static_cast<std::size_t>(c)] = true;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    FitsRowFeed feed(f, rowCount, columns, used);
    TableImport attemptOut = out;
    attemptOut = table::readRows(attemptOut, names, units, what, "fits", false, rowOptions,
                                 planOptions, feed, {}, extras);
    const int sap = table::findColumn(normalized, {"sap_flux"});
    if (attempt == 0 && attemptOut.failed && !mission.empty() && options.columns.empty() &&
        normalized[static_cast<std::size_t>(plan.value)] == "pdcsap_flux" && sap >= 0 &&
        attemptOut.failure.rfind("no observation could be read", 0) == 0) {
      planOptions.columns = {names[static_cast<std::size_t>(plan.time)],
                             names[static_cast<std::size_t>(sap)]};
      const int sapError = table::findColumn(normalized, {"sap_flux_err"});
      if (sapError >= 0) planOptions.columns.push_back(names[static_cast<std::size_t>(sapError)]);
      out.notes.push_back("No usable PDCSAP_FLUX: the SAP_FLUX column was read instead.");
      continue;
    }
    out = std::move(attemptOut);
    break;
  }
  out.kind = FileKind::Fits;
  if (!out.failed) {
    if (plan.time >= 0)
      out.notes.push_back(
          timeSystemNote(f, mission, names[static_cast<std::size_t>(plan.time)], plan.time));
    if (sameLayout.size() > 1) {
      out.notes.push_back("The file holds " + std::to_string(sameLayout.size()) +
                          " tables of these columns (" + joined(sameLayout) + "); table " +
                          (extension.empty()
                               ? std::string("HDU ") + std::to_string(chosen->number - 1)
                               : extension) +
                          " was read (--band NAME reads another).");
    }
    if (out.valueColumn >= 0 && valueKindOf(names[static_cast<std::size_t>(out.valueColumn)],
                                            out.valueUnit) == ValueKind::Flux)
      out.notes.push_back(
          "Values are fluxes as stored; \"Flux to mag\" (convert --to-mag) gives magnitudes.");
  } else if (out.failure.rfind("no band \"", 0) == 0 && sameLayout.size() > 1) {
    out.failure = "no table or band \"" + options.band + "\" in the file (its tables of these " +
                  "columns are " + joined(sameLayout) + ")";
  }
  return out;
}

}  // namespace fazorn
