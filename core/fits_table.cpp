#include "core/fits_table.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/fits_header_check.h"
#include "core/table_rows.h"

namespace fazorn {

using table::ColumnPlan;
using table::LeftOut;
using table::RowCollector;

namespace {

constexpr long kChunkRows = 8192;
constexpr std::size_t kPreviewRows = 20;
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
  const std::string system = stringKey(f, "TIMESYS");
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
};

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

  // The first table with a time and a value column.
  std::vector<std::string> names, normalized;
  ColumnPlan plan;
  double timeScale = 1.0;  // days per unit of the time column
  std::string mission;
  std::string extension;
  std::string problem = "the FITS file holds no table";
  bool found = false;
  for (const FitsHduSummary& hdu : check.hdus) {
    // Only the tables the check has seen; cfitsio is never moved past them.
    if (!hdu.table) continue;
    int type = 0;
    status = 0;
    if (fits_movabs_hdu(f, hdu.number, &type, &status) != 0) {
      out.failed = true;
      out.failure = "the FITS file is damaged or truncated (" + errorText(status) + ")";
      return out;
    }
    if (type != BINARY_TBL && type != ASCII_TBL) continue;
    int columns = 0;
    fits_get_num_cols(f, &columns, &status);
    names.clear();
    normalized.clear();
    for (int c = 1; c <= columns; ++c) {
      std::string name = stringKey(f, ("TTYPE" + std::to_string(c)).c_str());
      if (name.empty()) name = std::to_string(c);
      names.push_back(name);
      normalized.push_back(table::normalizedName(name));
    }
    if (telescope.empty()) telescope = stringKey(f, "TELESCOP");
    plan = ColumnPlan{};
    const bool missionTable =
        std::find(normalized.begin(), normalized.end(), "time") != normalized.end() &&
        (std::find(normalized.begin(), normalized.end(), "pdcsap_flux") != normalized.end() ||
         std::find(normalized.begin(), normalized.end(), "sap_flux") != normalized.end());
    problem = table::planColumns(names, normalized, options, plan);
    // Band groups (WISE), bit masks (DASCH), AAVSO flags and star names are
    // applied by the text reader only; a FITS copy of such a table would be
    // read without them.
    if (problem.empty() &&
        (!plan.bandGroups.empty() || !plan.maskedFlags.empty() || plan.validation >= 0 ||
         plan.star >= 0 || plan.goodLetterColumn >= 0 || plan.positiveFlux >= 0))
      problem = "a " + plan.survey +
                " table is read from its text form (IPAC, CSV or VOTable), not from FITS";
    // Times stated in seconds, minutes or hours become days; years are refused.
    if (problem.empty()) {
      const std::string unit = stringKey(f, ("TUNIT" + std::to_string(plan.time + 1)).c_str());
      timeScale = table::daysPerTimeUnit(unit);
      if (timeScale == 0.0)
        problem = "the time column \"" + names[static_cast<std::size_t>(plan.time)] + "\" is in " +
                  unit + " (its TUNIT), not days; choose a time column in days with --columns";
    }
    if (problem.empty()) {
      if (missionTable) {
        mission = telescope == "TESS"     ? "TESS"
                  : telescope == "K2"     ? "K2"
                  : telescope == "Kepler" ? "Kepler"
                                          : "mission";
        plan.survey.clear();
      }
      extension = stringKey(f, "EXTNAME");
      found = true;
      break;
    }
  }
  if (!found) {
    out.failed = true;
    out.failure = problem;
    out.columnNames = names;
    return out;
  }
  out.columnNames = names;
  out.timeColumn = plan.time;
  out.valueColumn = plan.value;
  out.errorColumn = plan.error;
  out.bandColumn = plan.band;
  {
    std::string key = "fits:";
    for (const auto& n : normalized) key += n + "|";
    out.layoutKey = key;
  }

  LONGLONG rowCount = 0;
  fits_get_num_rowsll(f, &rowCount, &status);
  auto info = [&](int column) {
    ColumnInfo ci;
    int s = 0;
    fits_get_coltype(f, column + 1, &ci.type, &ci.repeat, &ci.width, &s);
    return ci;
  };
  for (int c : {plan.time, plan.value, plan.error, plan.fluxOverError}) {
    if (c < 0) continue;
    const ColumnInfo ci = info(c);
    if (ci.repeat != 1 || ci.type == TSTRING || ci.type == TLOGICAL) {
      out.failed = true;
      out.failure =
          "column \"" + names[static_cast<std::size_t>(c)] + "\" does not hold one number per row";
      return out;
    }
  }
  for (int c : plan.flags) {
    const ColumnInfo ci = info(c);
    if (ci.repeat != 1 || ci.type == TSTRING) {
      out.failed = true;
      out.failure = "flag column \"" + names[static_cast<std::size_t>(c)] +
                    "\" does not hold one flag per row";
      return out;
    }
  }
  if (plan.band >= 0) {
    const ColumnInfo ci = info(plan.band);
    if (ci.type == TSTRING ? ci.width > kMaxTextWidth : ci.repeat != 1) {
      out.failed = true;
      out.failure = "band column \"" + names[static_cast<std::size_t>(plan.band)] +
                    "\" does not hold one band name per row";
      return out;
    }
  }

  // The first rows as text, for the import dialog. Numbers are formatted
  // here rather than by cfitsio, whose text follows the header's TDISPn and
  // may be wider than any buffer given to it; text columns are read into
  // buffers of their own width.
  {
    const long previewRows = static_cast<long>(std::min<LONGLONG>(rowCount, kPreviewRows));
    out.previewRows.assign(static_cast<std::size_t>(previewRows),
                           std::vector<std::string>(names.size()));
    for (std::size_t c = 0; c < names.size() && previewRows > 0; ++c) {
      const ColumnInfo ci = info(static_cast<int>(c));
      int s = 0, anyNull = 0;
      if (ci.type == TSTRING) {
        if (ci.width < 1 || ci.width > kMaxTextWidth) continue;
        const std::size_t stride = static_cast<std::size_t>(ci.width) + 1;
        std::vector<char> storage(stride * kPreviewRows, '\0');
        char* pointers[kPreviewRows];
        for (std::size_t r = 0; r < kPreviewRows; ++r) pointers[r] = storage.data() + r * stride;
        if (fits_read_col_str(f, static_cast<int>(c) + 1, 1, 1, previewRows, const_cast<char*>(""),
                              pointers, &anyNull, &s) == 0)
          for (long r = 0; r < previewRows; ++r)
            out.previewRows[static_cast<std::size_t>(r)][c] = pointers[static_cast<std::size_t>(r)];
      } else if (ci.repeat == 1 && ci.type > 0 && ci.type != TLOGICAL && ci.type != TBIT) {
        double values[kPreviewRows];
        double nan = std::nan("");
        if (fits_read_col(f, TDOUBLE, static_cast<int>(c) + 1, 1, 1, previewRows, &nan, values,
                          &anyNull, &s) == 0)
          for (long r = 0; r < previewRows; ++r)
            out.previewRows[static_cast<std::size_t>(r)][c] =
                std::isnan(values[r]) ? std::string() : formatNumber(values[r]);
      }
      fits_clear_errmsg();
    }
  }

  // PDCSAP fluxes first; when a mission file has none usable, its SAP fluxes.
  for (int attempt = 0; attempt < 2; ++attempt) {
    RowCollector rows(options);
    std::vector<double> t(kChunkRows), v(kChunkRows), e(kChunkRows), snr(kChunkRows);
    std::vector<std::vector<double>> flagValues(plan.flags.size(), std::vector<double>(kChunkRows));
    std::vector<std::vector<char>> flagLogicals(plan.flags.size(), std::vector<char>(kChunkRows));
    std::vector<bool> flagIsLogical;
    for (int c : plan.flags) flagIsLogical.push_back(info(c).type == TLOGICAL);
    long bandWidth = plan.band >= 0 ? std::max(1L, info(plan.band).width) : 1;
    const bool bandIsString = plan.band >= 0 && info(plan.band).type == TSTRING;
    std::vector<char> bandStorage(
        bandIsString ? static_cast<std::size_t>(kChunkRows * (bandWidth + 1)) : 0);
    std::vector<char*> bandPointers(bandIsString ? kChunkRows : 0);
    for (long r = 0; bandIsString && r < kChunkRows; ++r)
      bandPointers[static_cast<std::size_t>(r)] = bandStorage.data() + r * (bandWidth + 1);
    std::vector<double> bandNumbers(plan.band >= 0 && !bandIsString ? kChunkRows : 0);
    double nan = std::nan("");
    bool stopped = false;
    status = 0;
    for (LONGLONG first = 1; first <= rowCount && !stopped && status == 0; first += kChunkRows) {
      const long n = static_cast<long>(std::min<LONGLONG>(kChunkRows, rowCount - first + 1));
      int anyNull = 0;
      fits_read_col(f, TDOUBLE, plan.time + 1, first, 1, n, &nan, t.data(), &anyNull, &status);
      fits_read_col(f, TDOUBLE, plan.value + 1, first, 1, n, &nan, v.data(), &anyNull, &status);
      if (plan.error >= 0)
        fits_read_col(f, TDOUBLE, plan.error + 1, first, 1, n, &nan, e.data(), &anyNull, &status);
      if (plan.fluxOverError >= 0)
        fits_read_col(f, TDOUBLE, plan.fluxOverError + 1, first, 1, n, &nan, snr.data(), &anyNull,
                      &status);
      for (std::size_t k = 0; k < plan.flags.size(); ++k) {
        if (flagIsLogical[k]) {
          char nullFlag = 0;
          fits_read_col(f, TLOGICAL, plan.flags[k] + 1, first, 1, n, &nullFlag,
                        flagLogicals[k].data(), &anyNull, &status);
        } else {
          double zero = 0;
          fits_read_col(f, TDOUBLE, plan.flags[k] + 1, first, 1, n, &zero, flagValues[k].data(),
                        &anyNull, &status);
        }
      }
      if (bandIsString)
        fits_read_col_str(f, plan.band + 1, first, 1, n, const_cast<char*>(""), bandPointers.data(),
                          &anyNull, &status);
      else if (plan.band >= 0)
        fits_read_col(f, TDOUBLE, plan.band + 1, first, 1, n, &nan, bandNumbers.data(), &anyNull,
                      &status);
      if (status != 0) break;
      for (long i = 0; i < n && !stopped; ++i) {
        const long line = static_cast<long>(first) + i;
        bool flagged = false;
        for (std::size_t k = 0; k < plan.flags.size() && !flagged; ++k)
          flagged = flagIsLogical[k] ? flagLogicals[k][static_cast<std::size_t>(i)] != 0
                                     : flagValues[k][static_cast<std::size_t>(i)] != 0.0;
        if (flagged) {
          rows.leaveOut(LeftOut::Flagged, line);
          continue;
        }
        const double ti = t[static_cast<std::size_t>(i)] * timeScale,
                     vi = v[static_cast<std::size_t>(i)];
        if (!std::isfinite(ti) || !std::isfinite(vi)) {
          rows.leaveOut(LeftOut::NotFinite, line);
          continue;
        }
        if (!mission.empty() && vi == 0.0) {
          rows.leaveOut(LeftOut::ZeroFluxGap, line);
          continue;
        }
        double ei = plan.error >= 0 ? e[static_cast<std::size_t>(i)] : nan;
        if (plan.fluxOverError >= 0) {
          const double s = snr[static_cast<std::size_t>(i)];
          ei = s > 0 ? 2.5 / std::log(10.0) / s : nan;
        }
        if (std::isinf(ei)) ei = nan;
        if (plan.valueIsMagnitude && (std::fabs(vi) >= 99.0 || (!std::isnan(ei) && ei >= 99.0))) {
          rows.leaveOut(LeftOut::Marker, line);
          continue;
        }
        std::string band;
        if (bandIsString) {
          band = bandPointers[static_cast<std::size_t>(i)];
          while (!band.empty() && band.back() == ' ') band.pop_back();
        } else if (plan.band >= 0) {
          band = formatNumber(bandNumbers[static_cast<std::size_t>(i)]);
        }
        if (!rows.add(ti, vi, ei, band)) stopped = true;
      }
    }
    if (status != 0) {
      out.failed = true;
      out.failure = "the FITS file is damaged or truncated (" + errorText(status) + ")";
      return out;
    }
    std::string what;
    if (!mission.empty()) {
      what = (mission == "mission" ? std::string("Mission") : mission) + " light curve (FITS";
      const std::string mode = stringKey(f, "OBSMODE");
      if (!mode.empty()) what += ", " + mode;
      if (!extension.empty()) what += ", table " + extension;
      what += ")";
    } else {
      what = (plan.survey.empty() ? std::string("FITS table") : plan.survey + " (FITS table)");
    }
    TableImport attemptOut = out;
    rows.finish(attemptOut, what, names, plan);
    const int sap = table::findColumn(normalized, {"sap_flux"});
    if (attempt == 0 && attemptOut.failed && !mission.empty() && options.columns.empty() &&
        normalized[static_cast<std::size_t>(plan.value)] == "pdcsap_flux" && sap >= 0) {
      plan.value = sap;
      plan.error = table::findColumn(normalized, {"sap_flux_err"});
      plan.errorsOfOne = plan.error < 0;
      out.notes.push_back("No usable PDCSAP_FLUX: the SAP_FLUX column was read instead.");
      continue;
    }
    out = std::move(attemptOut);
    break;
  }
  out.valueColumn = plan.value;
  out.errorColumn = plan.error;
  if (plan.value >= 0)
    out.valueUnit = stringKey(f, ("TUNIT" + std::to_string(plan.value + 1)).c_str());
  if (!out.failed) {
    out.notes.push_back(
        timeSystemNote(f, mission, names[static_cast<std::size_t>(plan.time)], plan.time));
    if (timeScale != 1.0)
      out.notes.push_back("The times were stated in " +
                          stringKey(f, ("TUNIT" + std::to_string(plan.time + 1)).c_str()) +
                          " (TUNIT): converted to days.");
    if (!plan.valueIsMagnitude)
      out.notes.push_back(
          "Values are fluxes as stored; \"Flux to mag\" (convert --to-mag) gives magnitudes.");
  }
  return out;
}

}  // namespace fazorn
