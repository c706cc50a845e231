#include "core/table_rows.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <numeric>

namespace fazorn::table {

namespace {

constexpr std::size_t kMostBands = 256;
constexpr double kNoErrorHere = std::numeric_limits<double>::quiet_NaN();

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The time and value candidates of a header no usual name matched, and the
// exact option to give: names that say time (jd, mjd, time, date) or
// brightness (mag, flux).
// The columns whose names hold one of `words` and no error word (indices).
std::vector<int> namedLike(const std::vector<std::string>& names,
                           std::initializer_list<const char*> words, bool errors = false) {
  std::vector<int> found;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool isError = names[i].find("err") != std::string::npos ||
                         names[i].find("sig") != std::string::npos ||
                         names[i].find("unc") != std::string::npos;
    if (isError != errors) continue;
    for (const char* w : words)
      if (names[i].find(w) != std::string::npos) {
        found.push_back(static_cast<int>(i));
        break;
      }
  }
  return found;
}
const std::initializer_list<const char*> kTimeWords = {"jd", "time", "date"};

// A Julian-date name with the offset subtracted from it: "BJD - 2454833"
// (K2SFF's text light curves), "HJD-2450000", "JD - 2400000". Only whole
// names of this shape: a date string column ("date-obs") is not one.
bool isJulianDateWithOffset(std::string_view name) {
  std::size_t i = 0;
  while (i < name.size() && name[i] >= 'a' && name[i] <= 'z') ++i;
  const std::string_view word = name.substr(0, i);
  if (word != "jd" && word != "mjd" && word != "hjd" && word != "bjd" && word != "btjd" &&
      word != "bkjd")
    return false;
  while (i < name.size() && name[i] == ' ') ++i;
  if (i >= name.size() || name[i] != '-') return false;
  ++i;
  while (i < name.size() && name[i] == ' ') ++i;
  const std::size_t digits = i;
  while (i < name.size() && ((name[i] >= '0' && name[i] <= '9') || name[i] == '.')) ++i;
  return i == name.size() && i > digits;
}
const std::initializer_list<const char*> kValueWords = {"mag", "flux", "mpro"};

// An option's argument as a shell takes it whole ("BJD - 2454833,Corrected Flux").
std::string quotedIfBlank(const std::string& argument) {
  return argument.find(' ') == std::string::npos ? argument : "\"" + argument + "\"";
}

std::string candidateHint(const std::vector<std::string>& display,
                          const std::vector<std::string>& names, const ColumnPlan& plan) {
  auto pick = [&](std::initializer_list<const char*> words, int chosen) {
    std::vector<std::string> found;
    if (chosen >= 0) {
      found.push_back(display[static_cast<std::size_t>(chosen)]);
      return found;
    }
    for (int i : namedLike(names, words)) found.push_back(display[static_cast<std::size_t>(i)]);
    return found;
  };
  const auto times = pick(kTimeWords, plan.time);
  const auto values = pick(kValueWords, plan.value);
  auto joined = [](const std::vector<std::string>& v) {
    std::string s;
    for (std::size_t i = 0; i < v.size() && i < 12; ++i) s += (i ? ", " : "") + v[i];
    return s;
  };
  std::string hint = "; choose the columns";
  if (!times.empty() && !values.empty()) {
    hint += " (time candidates: " + joined(times) + "; value candidates: " + joined(values) +
            "), e.g. --columns " + quotedIfBlank(times.front() + "," + values.front());
  } else {
    hint += " with --columns TIME,VALUE[,ERROR]";
  }
  return hint;
}

}  // namespace

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string normalizedName(std::string_view name) {
  auto trim = [](std::string_view& s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '"' || s.front() == '\''))
      s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '"' ||
                          s.back() == '\'' || s.back() == '\r'))
      s.remove_suffix(1);
  };
  trim(name);
  while (!name.empty() && (name.front() == '#' || name.front() == '%' || name.front() == ';')) {
    name.remove_prefix(1);
    trim(name);
  }
  std::string out = lowerCase(name);
  const auto open = out.find('(');
  if (open != std::string::npos && open > 0 && out.back() == ')') {
    out.erase(open);
    while (!out.empty() && out.back() == ' ') out.pop_back();
  }
  return out;
}

int findColumn(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
  for (const auto& w : wanted)
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == w) return static_cast<int>(i);
  return -1;
}

double daysPerTimeUnit(std::string_view unit) {
  std::string u = lowerCase(unit);
  std::erase(u, ' ');
  for (const char* s : {"s", "sec", "second", "seconds"})
    if (u == s) return 1.0 / 86400.0;
  for (const char* m : {"min", "minute", "minutes"})
    if (u == m) return 1.0 / 1440.0;
  for (const char* h : {"h", "hr", "hour", "hours"})
    if (u == h) return 1.0 / 24.0;
  for (const char* y : {"yr", "year", "years", "a"})
    if (u == y) return 0.0;
  return 1.0;
}

int resolveUserColumn(const std::vector<std::string>& normalized, std::string_view given) {
  const std::string name = normalizedName(given);
  for (std::size_t i = 0; i < normalized.size(); ++i)
    if (normalized[i] == name) return static_cast<int>(i);
  // A column number, when no column has that name.
  if (!given.empty() &&
      std::all_of(given.begin(), given.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      given.size() < 6) {
    const int n = std::stoi(std::string(given));
    if (n >= 1 && static_cast<std::size_t>(n) <= normalized.size()) return n - 1;
  }
  return -1;
}

std::string planColumns(const std::vector<std::string>& displayNames,
                        const std::vector<std::string>& names, const ImportOptions& options,
                        ColumnPlan& plan) {
  auto has = [&](std::string_view n) { return contains(names, n); };
  // Survey exports, recognised by their headers.
  if (has("oid") && has("catflags") && has("filtercode"))
    plan.survey = "ZTF light curve";
  else if (has("hjd") && has("ut date") && has("camera") && has("mag_err"))
    plan.survey = "ASAS-SN light curve";
  // Sky Patrol v2 as its Python client writes it (asas_sn_id, camera or cam,
  // quality and phot_filter in its later versions).
  else if (has("jd") && has("mag_err") && has("limit") && has("fwhm") &&
           (has("asas_sn_id") || has("quality") || has("phot_filter") || has("camera") ||
            has("cam")))
    plan.survey = "ASAS-SN Sky Patrol light curve";
  // (by its own names: a copy whose time column was renamed is still one,
  // and its validation flags still apply).
  else if (has("magnitude") && has("band") &&
           (has("observer code") || has("observer_code") || has("hquncertainty") ||
            has("validation flag")))
    plan.survey = "AAVSO observations";
  else if (has("source_id") && has("transit_id") && has("band") && has("flux_over_error"))
    plan.survey = "Gaia epoch photometry";
  else if (has("masterid") && has("mag") && has("magerr") && has("mjd"))
    plan.survey = "Catalina light curve";
  // Pan-STARRS1 DR2 detections (MAST's Detection table): objID, detectID,
  // filterID, obsTime, ..., psfFlux, psfFluxErr, ..., apFlux, apFluxErr.
  else if (has("detectid") && has("filterid") && has("obstime") && has("psfflux"))
    plan.survey = "Pan-STARRS1 detections";
  else if (has("seqn") && has("red_mag") && has("blue_mag") && has("date"))
    plan.survey = "MACHO photometry";
  // CoRoT N2 light curves (the CoRoT Legacy Book's description of the
  // archive files): EN2_STAR_CHR (faint stars, exoplanet field) with
  // WHITEFLUX and its colours, AN2_STAR (bright stars) with RAWFLUX.
  else if ((has("whiteflux") && has("status")) || (has("rawflux") && has("rawstatus")))
    plan.survey = "CoRoT light curve";
  // SuperWASP light curves (its public archive: TMID, FLUX2, FLUX2_ERR,
  // TAMFLUX2, TAMFLUX2_ERR, IMAGEID, CCDX, CCDY, FLAG).
  else if (has("tmid") && has("tamflux2"))
    plan.survey = "SuperWASP light curve";

  else if (has("aflags") && has("magcal_magdep") && has("exposuredate"))
    plan.survey = "DASCH light curve";
  // AAVSO's observation exports through its web services (VSX): camel-case
  // names, the validation flag valFlag and a fainterThan column (1: the
  // magnitude is a "fainter than" limit).
  else if (has("mag") && has("band") && (has("valflag") || has("fainterthan")))
    plan.survey = "AAVSO observations";
  // ATLAS's per-exposure catalogues (.dph) keep DoPHOT's column layout (RA,
  // Dec, m, idx, Type, xtsk, ytsk, fitmag, dfitmag, ...); a copy without
  // the error column dfitmag is the same layout.
  else if (has("type") && has("fitmag") && (has("m") || has("dfitmag")))
    plan.survey = "ATLAS DoPHOT-layout photometry";
  // The AAVSO Extended Format (an observer's submission file) holds every star
  // of a night in one table, told apart only by NAME: each star and filter is
  // a series of its own, as bands are.
  const bool aavsoExtended = has("name") && has("date") && has("filt") && has("mtype");
  const bool cdips = has("tmid_bjd") && has("irm1") && has("irq1");
  if (cdips) plan.survey = "CDIPS light curve";
  if (aavsoExtended) plan.survey = "AAVSO Extended Format report";
  if (!options.columns.empty()) {
    if (options.columns.size() < 2 || options.columns.size() > 3)
      return "give two or three columns (time, value and optionally error)";
    int* roles[3] = {&plan.time, &plan.value, &plan.error};
    for (std::size_t k = 0; k < options.columns.size(); ++k) {
      *roles[k] = resolveUserColumn(names, options.columns[k]);
      if (*roles[k] < 0) {
        std::string list;
        for (std::size_t i = 0; i < displayNames.size() && i < 40; ++i)
          list += (i ? ", " : "") + displayNames[i];
        return "no column \"" + options.columns[k] + "\" (the columns are " + list + ")";
      }
    }
  } else if (aavsoExtended) {
    // The columns the AAVSO Extended Format defines: DATE (JD, HJD or Excel
    // date, as its #DATE line says), MAG, MERR ("na" when not known).
    plan.time = findColumn(names, {"date"});
    plan.value = findColumn(names, {"mag"});
    plan.error = findColumn(names, {"merr"});
  } else if (has("hjd") && has("mag_0") && has("mer_0") && has("grade")) {
    // ASAS-3 (Pojmanski 2002): HJD − 2450000, magnitudes MAG_0..MAG_4 in
    // apertures of 2 to 6 pixels with their errors MER_0..MER_4, and a GRADE
    // letter per row: A best, B mean, C as A or B with an aperture not
    // measured (29.999), D worst ("probably useless").
    plan.survey = "ASAS-3 light curve";
    plan.time = findColumn(names, {"hjd"});
    for (int k = 0; k <= 4; ++k) {
      const int v = findColumn(names, {"mag_" + std::to_string(k)});
      if (v >= 0)
        plan.bandGroups.push_back({"MAG_" + std::to_string(k), v,
                                   findColumn(names, {"mer_" + std::to_string(k)}), -1, ""});
    }
    plan.value = plan.bandGroups.front().value;
    plan.error = plan.bandGroups.front().error;
    plan.bestByScatter = true;
    plan.grade = findColumn(names, {"grade"});
    plan.markerAbove = 29.999;  // ASAS-3's "not measured"
  } else if (cdips) {
    // CDIPS (Bouma et al. 2019): three apertures, each with its
    // instrumental magnitude IRMn, its error IREn and its quality letter IRQn
    // ("0" or G good, X bad, as the product's column descriptions say);
    // TFAn and PCAn are the same magnitudes trend-filtered, without errors,
    // and may take out a star's own variability, so the raw magnitudes are
    // read. Time is TMID_BJD, the exposure's mid-time as a full BJD (TDB).
    plan.time = findColumn(names, {"tmid_bjd"});
    for (int k = 1; k <= 3; ++k) {
      const std::string n = std::to_string(k);
      const int v = findColumn(names, {"irm" + n});
      if (v >= 0)
        plan.bandGroups.push_back(
            {"IRM" + n, v, findColumn(names, {"ire" + n}), findColumn(names, {"irq" + n}), "G0"});
    }
    plan.value = plan.bandGroups.front().value;
    plan.error = plan.bandGroups.front().error;
    plan.bestByScatter = true;
  } else if (plan.survey == "ATLAS DoPHOT-layout photometry") {
    // m is the calibrated magnitude of the fit whose error is dfitmag (m is
    // fitmag plus the exposure's zero point). One exposure's catalogue holds
    // many stars and no time: only rows of one star gathered from many
    // exposures, with their MJD, make a light curve.
    plan.time = findColumn(names, {"mjd", "mjd_obs", "jd", "hjd", "bjd"});
    plan.value = findColumn(names, {"m"});
    // fitmag is instrumental (no zero point): never the value.
    if (plan.value < 0) plan.value = findColumn(names, {"mag", "magnitude"});
    plan.error = findColumn(names, {"dfitmag", "dm"});
    if (plan.time < 0)
      return "this is an ATLAS per-exposure catalogue (DoPHOT layout: RA, Dec, m, Type, fitmag, "
             "...) of one exposure: it holds many stars and no time column; gather one star's "
             "rows from many exposures with their MJD (a column named MJD) to make a light curve";
  } else if (plan.survey == "Pan-STARRS1 detections") {
    // As MAST describes the Detection table and reads it in its own
    // light-curve example: obsTime is the MJD of the exposure, psfFlux the PSF flux in janskys
    // (AB magnitude -2.5 log10(psfFlux) + 8.90) with its error psfFluxErr;
    // apFlux is an aperture flux of the same detection, not read. filterID
    // numbers the filters g, r, i, z, y from 1; -999 is the null value.
    plan.time = findColumn(names, {"obstime"});
    plan.value = findColumn(names, {"psfflux"});
    plan.error = findColumn(names, {"psffluxerr"});
  } else if (plan.survey == "MACHO photometry") {
    // The date is an MJD; each row holds a red and a blue magnitude with
    // their errors (the archive's READ_ME). A tile's file holds all its
    // stars, told apart by the sequence number: each star and band is a
    // series ("--band 1234/red"), the largest the default.
    plan.time = findColumn(names, {"date"});
    plan.bandGroups.push_back(
        {"red", findColumn(names, {"red_mag"}), findColumn(names, {"red_error"}), -1, ""});
    plan.bandGroups.push_back(
        {"blue", findColumn(names, {"blue_mag"}), findColumn(names, {"blue_error"}), -1, ""});
    plan.value = plan.bandGroups.front().value;
    plan.error = plan.bandGroups.front().error;
  } else if (plan.survey == "CoRoT light curve") {
    // The first table of each file: DATEBARTT (barycentric, TT) where the
    // file gives it, else DATETT (Julian date, TT); the white flux of the
    // exoplanet channel or the raw flux of the bright-star channel, in e-
    // per 32 s. Their ...DEV columns are the scatter of the summed 32-s
    // exposures, not an uncertainty of the flux, so no error is read. The
    // status flag (0: good) leaves rows out; the later tables hold fluxes
    // with the gaps filled by interpolation and are not read.
    plan.time = findColumn(names, {"datebartt", "datett"});
    plan.value = findColumn(names, {"whiteflux", "rawflux"});
  } else if (plan.survey == "SuperWASP light curve") {
    // TMID is the exposure's mid-time in seconds since the archive's
    // reference Julian date (the NASA Exoplanet Archive's description of
    // the files: HJD = reference + TMID / 86400); TAMFLUX2 is the flux
    // corrected by SYSREM (FLUX2 the raw one), in micro-Vegas.
    plan.time = findColumn(names, {"tmid"});
    plan.value = findColumn(names, {"tamflux2"});
    plan.error = findColumn(names, {"tamflux2_err"});
    plan.documentedTimeUnit = "s";
  } else if (plan.survey == "DASCH light curve") {
    // DASCH's magnitude-dependent calibrated magnitude and its local error
    // (the columns its light-curve pages plot).
    plan.time = findColumn(names, {"exposuredate"});
    plan.value = findColumn(names, {"magcal_magdep"});
    plan.error = findColumn(names, {"magcal_local_rms"});
  } else {
    plan.time = findColumn(names, usualTimeNames());
    // AAVSO downloads carry an HJD column that observers rarely fill.
    if (plan.survey == "AAVSO observations" && has("jd")) plan.time = findColumn(names, {"jd"});
    plan.value = findColumn(names, usualValueNames());
    // WISE and NEOWISE single-exposure tables: each band is a group of
    // columns (w1mpro, w1sigmpro; ... w4mpro), read as bands.
    // The AllWISE Multiepoch Photometry table names them w1mpro_ep,
    // w1sigmpro_ep ... (its per-epoch profile-fit magnitudes).
    const char* const wiseSuffix = has("w1mpro") ? "" : has("w1mpro_ep") ? "_ep" : nullptr;
    if (plan.value < 0 && plan.time >= 0 && wiseSuffix != nullptr) {
      for (int b = 1; b <= 4; ++b) {
        const std::string w = "w" + std::to_string(b);
        const int v = findColumn(names, {w + "mpro" + wiseSuffix});
        if (v < 0) continue;
        plan.bandGroups.push_back(
            {"W" + std::to_string(b), v, findColumn(names, {w + "sigmpro" + wiseSuffix}), -1, ""});
      }
      plan.value = plan.bandGroups.front().value;
      plan.error = plan.bandGroups.front().error;
      plan.survey =
          *wiseSuffix ? "AllWISE multiepoch photometry" : "WISE single-exposure photometry";
      plan.photQual = findColumn(names, {"ph_qual"});
      plan.ccFlags = findColumn(names, {"cc_flags"});
      plan.qualFrame = findColumn(names, {"qual_frame"});
      plan.imageQuality = findColumn(names, {"qi_fact"});
      plan.saaSeparation = findColumn(names, {"saa_sep"});
      plan.moonMasked = findColumn(names, {"moon_masked"});
    }
    if (plan.value >= 0 && plan.bandGroups.empty()) {
      // The error that belongs to the value column comes first.
      const std::string& v = names[static_cast<std::size_t>(plan.value)];
      plan.error = findColumn(names, {v + "_err", v + "err", v + "_error", "e_" + v, v + "_e",
                                      "sigma_" + v, v + "_sigma", v + "unc", "d" + v,
                                      // Names with blanks ("Mag Error", "Flux Error").
                                      v + " error", v + " err", v + " uncertainty"});
      if (plan.error < 0) {
        const bool isFlux = v.find("flux") != std::string::npos;
        std::vector<std::string> wanted = usualErrorNames();
        if (isFlux)  // a magnitude error never goes with a flux, nor the reverse
          wanted.erase(std::remove_if(
                           wanted.begin(), wanted.end(),
                           [](const std::string& w) { return w.find("mag") != std::string::npos; }),
                       wanted.end());
        else
          wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                      [](const std::string& w) {
                                        return w.find("flux") != std::string::npos;
                                      }),
                       wanted.end());
        plan.error = findColumn(names, wanted);
      }
    }
    // No usual name, but exactly one column whose name says time (JD_TT) or
    // brightness ("KELT_Instrumental Mag_Detrended"), and at most one error
    // of the same kind ("KELT_Mag_err"): the evidence is unambiguous. Two or
    // more candidates are refused with the list (WISE: w1mpro ... w4mpro).
    if (plan.time < 0 || plan.value < 0) {
      // Time only by a Julian-date name with a qualifier ("jd_tt", "hjd_utc"):
      // a broader word would take TIMECORR or a date string.
      std::vector<int> times;
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].find("err") != std::string::npos) continue;
        bool qualified = false;
        for (const char* p : {"jd_", "mjd_", "hjd_", "bjd_"}) qualified |= names[i].starts_with(p);
        if (qualified || isJulianDateWithOffset(names[i])) times.push_back(static_cast<int>(i));
      }
      auto values = namedLike(names, kValueWords);
      // Failing any brightness word, a column named by its photometric band
      // alone ("HJD I err" of OGLE, "JD V eV"): the magnitudes in that band,
      // when it is the only such column.
      bool bandNamed = false;
      if (values.empty()) {
        for (std::size_t i = 0; i < names.size(); ++i)
          for (const char* b : {"u", "b", "v", "r", "i", "j", "h", "k", "g", "z", "rc", "ic"})
            if (names[i] == b) values.push_back(static_cast<int>(i));
        bandNamed = !values.empty();
      }
      const int time = plan.time >= 0 ? plan.time : times.size() == 1 ? times[0] : -1;
      const int value = plan.value >= 0 ? plan.value : values.size() == 1 ? values[0] : -1;
      if (time >= 0 && value >= 0 && time != value) {
        const std::string& v = names[static_cast<std::size_t>(value)];
        const bool flux = v.find("flux") != std::string::npos;
        auto errors = namedLike(names, {flux ? "flux" : "mag"}, true);
        if (bandNamed) {
          errors.clear();
          const int e = findColumn(names, {"e" + v, "e_" + v, v + "err", v + "_err", "sig" + v,
                                           "sigma_" + v, "err", "error", "sigma"});
          if (e >= 0) errors.push_back(e);
        }
        if (plan.value < 0) plan.error = errors.size() == 1 ? errors[0] : -1;
        plan.time = time;
        plan.value = value;
      }
    }
    if (plan.time < 0 || plan.value < 0) {
      // A table without column names: the first columns in order. A header
      // of unknown names is never read by position (its first column is as
      // likely an index or an identifier as a time).
      const bool numbered = std::all_of(names.begin(), names.end(), [&](const std::string& n) {
        return n == std::to_string(&n - names.data() + 1);
      });
      if (names.size() >= 2 && plan.time < 0 && plan.value < 0 && numbered) {
        plan.time = 0;
        plan.value = 1;
        plan.error = names.size() >= 3 ? 2 : -1;
      } else {
        std::string list;
        for (std::size_t i = 0; i < displayNames.size() && i < 40; ++i)
          list += (i ? ", " : "") + displayNames[i];
        return std::string("no ") + (plan.time < 0 ? "time" : "value") +
               " column among the usual names (the columns are " + list + ")" +
               candidateHint(displayNames, names, plan);
      }
    }
  }
  // CDIPS columns chosen by the user (TFA2, PCA3 ...): the quality letter of
  // that aperture still applies.
  if (cdips && plan.bandGroups.empty() && plan.value >= 0) {
    const std::string& v = names[static_cast<std::size_t>(plan.value)];
    if (!v.empty() && v.back() >= '1' && v.back() <= '3') {
      const int q = findColumn(names, {std::string("irq") + v.back()});
      if (q >= 0) plan.letterFlags.push_back({q, "G0"});
    }
  }
  // An archive's layout recognised by some of its names whose time or
  // value column is missing (a cut or edited header).
  if (plan.time < 0 || plan.value < 0)
    return std::string("no ") + (plan.time < 0 ? "time" : "value") + " column for this " +
           (plan.survey.empty() ? std::string("table") : plan.survey) +
           candidateHint(displayNames, names, plan);
  if (plan.time == plan.value) return "the time and value columns must differ";
  const std::string& valueName = names[static_cast<std::size_t>(plan.value)];
  // "m" is ATLAS's magnitude (forced photometry and DoPHOT layouts alike).
  plan.valueIsMagnitude = valueName.find("mag") != std::string::npos || valueName == "m";
  if (plan.error < 0 && plan.survey == "Gaia epoch photometry" && plan.valueIsMagnitude)
    plan.fluxOverError = findColumn(names, {"flux_over_error"});
  plan.errorsOfOne = plan.error < 0 && plan.fluxOverError < 0;
  // ZTF alert and broker exports number their filters in "fid" (1 g, 2 r,
  // 3 i); ASAS-SN Sky Patrol v2 names its filter (V, g) "phot_filter".
  plan.band = findColumn(names, {"band", "filter", "filtercode", "passband", "filt", "bandpass",
                                 "phot_filter", "fid"});
  // Pan-STARRS's filters and null value apply to columns a user chose too.
  if (plan.survey == "Pan-STARRS1 detections") {
    plan.band = findColumn(names, {"filterid"});
    plan.bandCodes = {"g", "r", "i", "z", "y"};
    plan.nullNumber = -999.0;
    // infoFlag bits of a measurement not to trust (the PS1 DetectionFlags
    // table of MAST's metadata tables, from the PSPS schema): the fit failed
    // (FAIL 0x8), the model's peak is above saturation (SATSTAR 0x80), no
    // good PSF estimate (BADPSF 0x400), a defect (DEFECT 0x800), saturated
    // pixels (SATURATED 0x1000). POOR (low S/N or high chi-square, the fit
    // succeeded) and the informational bits are kept.
    const int info = findColumn(names, {"infoflag"});
    if (info >= 0)
      plan.maskedFlags.emplace_back(info, 0x8ull | 0x80ull | 0x400ull | 0x800ull | 0x1000ull);
  }
  // Sky Patrol v2 marks each measurement G (good) or B (bad) in "quality".
  int skyPatrolQuality = -1;
  if (plan.survey == "ASAS-SN Sky Patrol light curve") {
    skyPatrolQuality = findColumn(names, {"quality"});
    if (skyPatrolQuality >= 0) plan.letterFlags.push_back({skyPatrolQuality, "G"});
  }
  // ATLAS forced photometry (MJD m dm uJy duJy F err ...): the filter is "F"
  // and "err" is a flag (non-zero: the fit failed), not an error.
  const bool atlas = has("ujy") && has("dujy");
  if (plan.band < 0 && atlas) plan.band = findColumn(names, {"f"});
  if (atlas && plan.error >= 0 && names[static_cast<std::size_t>(plan.error)] == "err")
    plan.error = findColumn(names, {"dm"});
  // ATLAS's m is the AB magnitude of the uJy flux, which forced photometry
  // gives also where it is 0 or negative: no magnitude exists there (the
  // value then written is not one), so such rows are left out.
  if (atlas && options.columns.empty() && plan.valueIsMagnitude) {
    plan.positiveFlux = findColumn(names, {"ujy"});
    plan.valueIsMagnitude = true;
  }
  if (atlas) {
    const int c = findColumn(names, {"err"});
    if (c >= 0 && c != plan.error) plan.flags.push_back(c);
  }
  if (plan.survey == "AAVSO observations" && plan.band >= 0)
    plan.bandQualifier = findColumn(names, {"measurement method"});
  // AAVSO's validation flags: D marks an observation its validators found
  // discrepant (the AAVSO data download's "Validation Flag" documentation);
  // Z (prevalidated), V (validated), U and T are kept.
  if (plan.survey == "AAVSO observations") {
    plan.validation = findColumn(names, {"validation flag", "valflag"});
    plan.limitFlag = findColumn(names, {"fainterthan"});
    if (plan.bandQualifier < 0 && plan.band >= 0) plan.bandQualifier = findColumn(names, {"mtype"});
  }
  // DoPHOT's object type: 1 is a star whose fit succeeded ("perfect star");
  // the other types (extended, blended pair, failed or too faint to fit,
  // obliterated) give no trustworthy magnitude (Schechter, Mateo & Saha 1993).
  if (plan.survey == "ATLAS DoPHOT-layout photometry") {
    const int type = findColumn(names, {"type"});
    if (type >= 0) plan.requiredValues.push_back({type, 1.0});
    plan.markerAbove = 99.0;
    plan.valueIsMagnitude = true;
  }
  // ATLAS exposure names (Obs, expname: "02a59836o0498o" = unit 02a, MJD
  // 59836, exposure 0498, filter o) end with the filter letter: the band
  // when the table has no filter column.
  if (plan.band < 0 && plan.bandGroups.empty() && plan.star < 0)
    plan.exposureName = findColumn(names, {"obs", "expname", "exposure"});
  if (plan.survey == "MACHO photometry") plan.star = findColumn(names, {"seqn"});
  if (aavsoExtended) {
    plan.star = findColumn(names, {"name"});
    // MTYPE STD is standardised; DIF (differential) magnitudes are on another
    // scale and are a series of their own, as the download's DIFF method.
    plan.bandQualifier = findColumn(names, {"mtype"});
  }
  // DASCH AFLAGS: the warnings the DASCH team's own client rejects by
  // default (daschlab's standard rejections): high background (bit 7, 1-based),
  // large isophotal RMS (12), large local-smoothing RMS (13), too close to the
  // limiting magnitude (14), unmeasured bin drad (16). The other bits (plate
  // quality, blends) are left to the user.
  if (plan.survey == "DASCH light curve") {
    const int c = findColumn(names, {"aflags"});
    constexpr unsigned long long kRejected =
        (1ull << 6) | (1ull << 11) | (1ull << 12) | (1ull << 13) | (1ull << 15);
    if (c >= 0) plan.maskedFlags.emplace_back(c, kRejected);
  }
  // Documented rejection flags, 0 = good: K2SC outlier flags (mflags), K2SFF
  // thruster firings (MOVING), PATHOS data quality, ZTF forced-photometry
  // processing status and science-image info bits.
  for (const char* f :
       {"catflags", "quality", "sap_quality", "rejected_by_photometry", "rejected_by_variability",
        "mflags", "moving", "dquality", "procstatus", "infobitssci",
        // EVEREST (version 1) outliers masked in its fit; TGLC's TESS and
        // own quality flags.
        "outlier", "tess_flags", "tglc_flags"}) {
    // DASCH's "quality" describes the plate (patrol camera, narrow field...),
    // mostly not a fault; its AFLAGS are applied above instead.
    if (plan.survey == "DASCH light curve" && std::string_view(f) == "quality") continue;
    if (skyPatrolQuality >= 0 && std::string_view(f) == "quality") continue;
    const int c = findColumn(names, {f});
    if (c >= 0 && c != plan.time && c != plan.value && c != plan.error) plan.flags.push_back(c);
  }
  if (plan.survey == "CoRoT light curve") {
    const int c = findColumn(names, {"status", "rawstatus"});
    if (c >= 0 && c != plan.value && c != plan.error) plan.flags.push_back(c);
  }
  // EVEREST's CSV light curves: MASK 0 is a point its model used; 1 NaN raw
  // flux, 2 a flagged QUALITY bit, 3 an outlier (its own column description).
  if (has("cadn") && has("fraw") && has("mask")) {
    const int c = findColumn(names, {"mask"});
    if (c != plan.value && c != plan.error) plan.flags.push_back(c);
  }
  if (!options.band.empty() && plan.band < 0 && plan.bandGroups.empty() && plan.star < 0 &&
      plan.exposureName < 0)
    return "the file has no band column";
  return {};
}

std::vector<int> columnsOfPlan(const ColumnPlan& plan) {
  std::vector<int> used = {plan.time,         plan.value,         plan.error,
                           plan.band,         plan.fluxOverError, plan.bandQualifier,
                           plan.positiveFlux, plan.validation,    plan.star,
                           plan.photQual,     plan.ccFlags,       plan.qualFrame,
                           plan.imageQuality, plan.saaSeparation, plan.moonMasked,
                           plan.grade,        plan.limitFlag,     plan.exposureName};
  used.insert(used.end(), plan.flags.begin(), plan.flags.end());
  for (const auto& [column, mask] : plan.maskedFlags) used.push_back(column);
  for (const auto& l : plan.letterFlags) used.push_back(l.column);
  for (const auto& [column, value] : plan.requiredValues) used.push_back(column);
  for (const auto& g : plan.bandGroups) used.insert(used.end(), {g.value, g.error, g.flag});
  used.erase(std::remove(used.begin(), used.end(), -1), used.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  return used;
}

RowCollector::Band& RowCollector::bandNamed(std::string_view name) {
  if (last_ < bands_.size() && bands_[last_].name == name) return bands_[last_];
  for (std::size_t i = 0; i < bands_.size(); ++i)
    if (bands_[i].name == name) return bands_[last_ = i];
  if (bands_.size() >= kMostBands) {
    tooManyBands_ = true;
    return bands_.back();
  }
  bands_.push_back(Band{std::string(name), 0, {}, {}, {}});
  return bands_[last_ = bands_.size() - 1];
}

bool RowCollector::matchesBand(const std::string& name, bool exactly) const {
  const std::string lower = lowerCase(name);
  const std::string wanted = lowerCase(options_.band);
  if (lower == wanted) return true;
  return !exactly && lower.size() > wanted.size() && lower.compare(0, wanted.size(), wanted) == 0 &&
         lower[wanted.size()] == '/';
}

bool RowCollector::add(double time, double value, double error, std::string_view band) {
  ++rowsSeen_;
  Band& b = bandNamed(band);
  ++b.usable;
  // With a band given, the others are only counted. A star's name alone
  // ("V1021 HER") keeps each of its series ("V1021 HER/V", "V1021 HER/I").
  if (!options_.band.empty() && !matchesBand(b.name, false)) return true;
  if (options_.maxObservations > 0 && stored_ >= options_.maxObservations) {
    overLimit_ = true;
    return false;
  }
  b.time.push_back(time);
  b.value.push_back(value);
  b.error.push_back(error);
  ++stored_;
  return true;
}

void RowCollector::leaveOut(LeftOut why, long line) {
  ++rowsSeen_;
  const int k = static_cast<int>(why);
  if (leftOut_[k]++ == 0) firstLine_[k] = line;
}

void RowCollector::finish(TableImport& out, const std::string& what,
                          const std::vector<std::string>& names, const ColumnPlan& plan) {
  auto fail = [&](std::string reason) {
    out.failed = true;
    out.failure = std::move(reason);
    out.time.clear();
    out.value.clear();
    out.error.clear();
  };
  for (const auto& b : bands_) out.bands.emplace_back(b.name.empty() ? "(none)" : b.name, b.usable);

  if (overLimit_) {
    fail("more than " + std::to_string(options_.maxObservations) +
         " observations; the file is too large to load (split it or choose a band)");
    return;
  }
  if (tooManyBands_) {
    const int column = plan.band >= 0 ? plan.band : plan.star;
    fail("more than " + std::to_string(kMostBands) + " different values in the band column \"" +
         (column >= 0 ? names[static_cast<std::size_t>(column)] : std::string()) +
         "\"; choose the columns");
    return;
  }
  Band* chosen = nullptr;
  std::string scatterNote;
  if (!options_.band.empty()) {
    for (auto& b : bands_)
      if (matchesBand(b.name, true)) chosen = &b;
    // A star named without its filter: its largest series.
    if (chosen == nullptr)
      for (auto& b : bands_)
        if (matchesBand(b.name, false) && (chosen == nullptr || b.usable > chosen->usable))
          chosen = &b;
    if (chosen == nullptr) {
      std::string list;
      for (const auto& b : bands_) list += (list.empty() ? "" : ", ") + b.name;
      fail("no band \"" + options_.band + "\" in the file" +
           (list.empty() ? std::string() : " (its bands are " + list + ")"));
      return;
    }
  } else {
    for (auto& b : bands_)
      if (chosen == nullptr || b.usable > chosen->usable) chosen = &b;  // ties: the first seen
    if (plan.bestByScatter && chosen != nullptr) {
      // Apertures of one star: the least scatter (standard deviation of
      // the magnitudes) among those with at least half the largest's rows;
      // a star's variability is the same in each, the noise is not.
      const std::size_t most = chosen->time.size();
      double best = 0;
      bool found = false;
      for (auto& b : bands_) {
        const std::size_t m = b.value.size();
        if (m < 2 || 2 * m < most) continue;
        double mean = 0, squares = 0;
        for (double x : b.value) mean += x;
        mean /= static_cast<double>(m);
        for (double x : b.value) squares += (x - mean) * (x - mean);
        const double scatter = std::sqrt(squares / static_cast<double>(m - 1));
        if (!found || scatter < best) {
          found = true;
          best = scatter;
          chosen = &b;
        }
      }
      scatterNote = "Aperture " + chosen->name + " read: the least scatter (" +
                    std::to_string(best) + " mag) of the apertures.";
    }
  }

  // A time column that counts from 0 or 1 in steps of 1 over ten rows or
  // more (in file order) is a row index, never observation times; only the
  // user's own choice reads it.
  if (options_.columns.empty() && chosen != nullptr && chosen->time.size() >= 10 &&
      (chosen->time[0] == 0.0 || chosen->time[0] == 1.0)) {
    const auto& t = chosen->time;
    bool counter = true;
    for (std::size_t i = 0; i < t.size() && counter; ++i)
      counter = t[i] == std::floor(t[i]) && (i == 0 || t[i] - t[i - 1] == 1.0);
    if (counter) {
      fail("the column \"" + names[static_cast<std::size_t>(plan.time)] +
           "\" counts rows (consecutive whole numbers), it holds no times; choose the columns "
           "with --columns TIME,VALUE[,ERROR]");
      return;
    }
  }
  // A table without column names and with more columns than time, value
  // and error (two or three numbers a line keep reading as they always did)
  // is read by position only where the numbers bear it out: observation times advance (most steps
  // forward, as in any light curve written in the order it was taken) or at least span a day; a
  // first column that stands still or wanders within a fraction of a day out of order (an
  // identifier, a right ascension) is no time. Nor is a value of whole numbers beyond a million a
  // brightness (a catalogue identifier).
  const bool positional = options_.columns.empty() && plan.bandGroups.empty() && plan.time == 0 &&
                          plan.value == 1 && names.size() >= 4 && names[0] == "1" &&
                          names[1] == "2";
  if (positional && chosen != nullptr && chosen->time.size() >= 10) {
    const auto& t = chosen->time;
    std::size_t forward = 0;
    for (std::size_t i = 1; i < t.size(); ++i) forward += t[i] > t[i - 1] ? 1 : 0;
    const auto [low, high] = std::minmax_element(t.begin(), t.end());
    const bool advances = 2 * forward >= t.size() - 1;
    const bool spansDays = *high - *low >= 1.0;
    const auto& v = chosen->value;
    const bool identifiers = std::all_of(
        v.begin(), v.end(), [](double x) { return x == std::floor(x) && std::fabs(x) >= 1e6; });
    const bool constant = std::all_of(v.begin(), v.end(), [&](double x) { return x == v.front(); });
    // No magnitude and no calibrated flux is a whole number on every row:
    // such a column counts (cadence numbers, frames) or codes.
    const bool whole = std::all_of(v.begin(), v.end(), [](double x) { return x == std::floor(x); });
    const char* why = nullptr;
    if ((!advances && !spansDays) || *high == *low)
      why =
          "first column does not hold observation times (it does not advance and spans less "
          "than a day)";
    else if (identifiers)
      why =
          "second column holds identifiers (whole numbers of seven digits or more), not "
          "brightness";
    else if (constant)
      why = "second column is the same in every row (a coordinate or a setting), not brightness";
    else if (whole)
      why =
          "second column holds whole numbers only (a count, a cadence or frame number, or a "
          "code), not brightness";
    if (why != nullptr) {
      fail(std::string("the file has no column names, and its ") + why +
           "; choose the columns with --columns TIME,VALUE[,ERROR]");
      return;
    }
  }
  // Times beyond ten million are not days in any Julian-date system (a JD
  // is about 2.46 million today, MJD and offset dates are smaller): such a
  // column counts seconds (Unix or mission seconds) or something else.
  if (options_.columns.empty() && chosen != nullptr && !chosen->time.empty()) {
    const auto [low, high] = std::minmax_element(chosen->time.begin(), chosen->time.end());
    const double largest = std::max(std::fabs(*low), std::fabs(*high));
    if (largest > 1e7) {
      fail("the time column \"" + names[static_cast<std::size_t>(plan.time)] +
           "\" holds values up to " + std::to_string(largest) +
           ", which are not days in any Julian-date system (seconds?); convert them to days or "
           "choose the columns with --columns TIME,VALUE[,ERROR]");
      return;
    }
  }
  // An error column of whole numbers only, most of them 0, beside values
  // that are not whole is a flag or a code (ATLAS's "err" is the fit's error
  // code), not an uncertainty: read as errors, its zeros would weigh their
  // points infinitely. (A column of ones is a statement of equal weights.)
  // A group's series is its name, or "STAR/name" in a file of many stars.
  auto isGroupOf = [&](const ColumnPlan::BandGroup& g, const std::string& series) {
    return series == g.name ||
           (plan.star >= 0 && series.size() > g.name.size() && series.ends_with("/" + g.name));
  };
  int flagLike = plan.error;
  for (const auto& g : plan.bandGroups)
    if (chosen != nullptr && isGroupOf(g, chosen->name)) flagLike = g.error;
  if (options_.columns.empty() && chosen != nullptr && flagLike >= 0 &&
      chosen->error.size() >= 10) {
    auto whole = [](double x) { return std::isnan(x) || x == std::floor(x); };
    const auto& e = chosen->error;
    const auto zeros = static_cast<std::size_t>(std::count(e.begin(), e.end(), 0.0));
    const bool errorsWhole = std::all_of(e.begin(), e.end(), whole) && 2 * zeros >= e.size();
    const bool valuesWhole = std::all_of(chosen->value.begin(), chosen->value.end(), whole);
    const bool allZero = std::all_of(e.begin(), e.end(), [](double x) { return !(x != 0.0); });
    if (errorsWhole && !valuesWhole && allZero) {
      // Nothing but zeros (and blanks): no uncertainty was given at all.
      std::fill(chosen->error.begin(), chosen->error.end(), kNoErrorHere);
      out.notes.push_back("Every error in \"" + names[static_cast<std::size_t>(flagLike)] +
                          "\" is 0: read as no error.");
    } else if (errorsWhole && !valuesWhole) {
      fail("the error column \"" + names[static_cast<std::size_t>(flagLike)] +
           "\" holds only whole numbers beside fractional values: a flag or a count, not an "
           "uncertainty; choose the columns with --columns TIME,VALUE[,ERROR] (two columns give "
           "errors of 1)");
      return;
    }
  }
  if (!scatterNote.empty()) out.notes.push_back(scatterNote);
  // Column groups (WISE bands, ASAS-3 apertures): the chosen group's columns;
  // each row holds one measurement per group, and the counts are of those.
  const bool groups = !plan.bandGroups.empty();
  int valueColumn = plan.value, errorColumn = plan.error;
  for (const auto& g : plan.bandGroups)
    if (chosen != nullptr && isGroupOf(g, chosen->name)) {
      valueColumn = g.value;
      errorColumn = g.error;
    }
  std::string summary = what + ": time=" + names[static_cast<std::size_t>(plan.time)] +
                        ", value=" + names[static_cast<std::size_t>(valueColumn)];
  if (errorColumn >= 0)
    summary += ", error=" + names[static_cast<std::size_t>(errorColumn)];
  else if (plan.fluxOverError >= 0)
    summary += ", error from " + names[static_cast<std::size_t>(plan.fluxOverError)];
  else
    summary += ", no error column";
  if ((plan.band >= 0 || plan.star >= 0 || plan.exposureName >= 0 || !plan.bandGroups.empty()) &&
      chosen != nullptr) {
    out.chosenBand = chosen->name;
    summary += "; band " + (chosen->name.empty() ? std::string("(none)") : chosen->name) + " (" +
               std::to_string(chosen->usable) + " of " + std::to_string(rowsSeen_) +
               (groups ? " measurements" : " rows");
    if (bands_.size() > 1) {
      summary += "; other bands ";
      bool firstOther = true;
      // An observer's report can hold a hundred star-and-filter series: the
      // first few are named, the rest counted.
      constexpr std::size_t kNamed = 20;
      std::size_t named = 0;
      for (const auto& b : bands_) {
        if (&b == chosen) continue;
        if (named++ == kNamed) {
          summary += " and " + std::to_string(bands_.size() - 1 - kNamed) + " more";
          break;
        }
        summary += (firstOther ? "" : ", ") + (b.name.empty() ? std::string("(none)") : b.name) +
                   " " + std::to_string(b.usable);
        firstOther = false;
      }
      summary += " not read";
    }
    summary += ")";
  }
  static const char* const kWhy[] = {
      "with quality or rejection flags",
      "with upper limits (\"<\" or \">\")",
      "with missing-value markers (99.99)",
      "with an empty, null or non-finite time or value",
      "with a field that is not a number",
      "with too few fields",
      "with a flux of 0 (gap markers)",
      "with the AAVSO validation flag D (discrepant)",
      "cut short at the end of the file (fewer fields than the row before, or its last number "
      "cut off)",
      "with the table's null marker as time or value",
      "with a flux of 0 or below (no magnitude)"};
  static_assert(std::size(kWhy) == static_cast<std::size_t>(LeftOut::Count));
  for (int k = 0; k < static_cast<int>(LeftOut::Count); ++k) {
    if (leftOut_[k] == 0) continue;
    summary += "; " +
               (groups ? count(leftOut_[k], "measurement ", "measurements ")
                       : count(leftOut_[k], "row ", "rows ")) +
               kWhy[k] + " left out";
    if (static_cast<LeftOut>(k) == LeftOut::CutShort)
      summary += " (line " + std::to_string(firstLine_[k]) + ")";
    if (static_cast<LeftOut>(k) == LeftOut::Unreadable ||
        static_cast<LeftOut>(k) == LeftOut::MissingColumn)
      summary += " (first at line " + std::to_string(firstLine_[k]) + ")";
  }
  out.summary = summary;

  if (chosen == nullptr || chosen->time.empty()) {
    fail("no observation could be read (" + summary + ")");
    return;
  }
  std::vector<double> t = std::move(chosen->time), v = std::move(chosen->value),
                      e = std::move(chosen->error);
  // Rows without an error: all of them -> errors of 1; some -> left out.
  // Most rows without an error: equal weights for all rather than a few
  // rows carrying the whole fit.
  std::size_t withoutError = 0;
  for (double x : e) withoutError += std::isnan(x) ? 1 : 0;
  if (withoutError == e.size()) {
    std::fill(e.begin(), e.end(), 1.0);
    out.notes.push_back(plan.errorsOfOne
                            ? "No error column: every error is 1 (equal weights)."
                            : "No row has an error: every error is 1 (equal weights).");
  } else if (2 * withoutError > e.size()) {
    std::fill(e.begin(), e.end(), 1.0);
    out.notes.push_back(std::to_string(withoutError) + " of " + std::to_string(e.size()) +
                        " rows have no error: every error is 1 (equal weights).");
  } else if (withoutError > 0) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < t.size(); ++i)
      if (!std::isnan(e[i])) {
        t[k] = t[i];
        v[k] = v[i];
        e[k] = e[i];
        ++k;
      }
    t.resize(k);
    v.resize(k);
    e.resize(k);
    out.notes.push_back(count(withoutError, "row", "rows") + " without an error left out.");
  }
  std::size_t backward = 0;
  for (std::size_t i = 1; i < t.size(); ++i) backward += t[i] < t[i - 1] ? 1 : 0;
  if (backward > 0) {
    // Binning by night and by minutes take consecutive points as neighbours
    // in time, so the rows are put in time order (ties keep file order).
    std::vector<std::size_t> order(t.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return t[a] < t[b]; });
    std::vector<double> t2(t.size()), v2(t.size()), e2(t.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      t2[i] = t[order[i]];
      v2[i] = v[order[i]];
      e2[i] = e[order[i]];
    }
    t.swap(t2);
    v.swap(v2);
    e.swap(e2);
    out.rowsWereSorted = true;
    out.notes.push_back("The rows were not in time order (" + std::to_string(backward) +
                        " steps back in time); they were sorted by time.");
  }
  out.time = std::move(t);
  out.value = std::move(v);
  out.error = std::move(e);
}

}  // namespace fazorn::table

namespace fazorn {

const std::vector<std::string>& usualTimeNames() {
  static const std::vector<std::string> names = {
      // A full Julian date (jd, obsjd) before a modified one of the same
      // instant: which a table holds first must not decide.
      "bjd", "bjd_tdb", "hjd", "btjd", "bkjd", "time", "jd", "obsjd", "mjd", "obsmjd", "hmjd",
      "jd_obs", "mjd_obs", "date_obs_jd", "t", "epoch", "times", "x",
      // KELT (TT scale), DASCH plates, TESS full-frame-image products,
      // the detrended table of the K2 POLAR product (BJD - 2400000; its
      // FILTIME table holds fluxes filtered of the star's own variability).
      "jd_tt", "exposuredate", "tmid_bjd", "dettime"};
  return names;
}
const std::vector<std::string>& usualValueNames() {
  static const std::vector<std::string> names = {
      // Magnitudes before fluxes: a table that holds both (ASAS-SN, ATLAS,
      // Gaia) is a magnitude light curve whose fluxes are a by-product, and
      // the choice must not turn on which of the two names a copy uses.
      "mag", "magnitude", "mags", "psfmag", "mag_auto", "m", "pdcsap_flux", "sap_flux", "flux",
      "rel_flux", "norm_flux", "fluxes", "brightness", "value", "y",
      // K2SFF corrected flux, K2 DETFLUX, PATHOS PSF flux (its authors' advice),
      // ZTF forced-photometry difference flux (DN).
      "fcor", "detflux", "psf_flux_cor", "forcediffimflux",
      // TESS FFI products: the corrected flux of eleanor (CORR_FLUX) and of
      // the TASOC pipeline (FLUX_CORR), each as its documentation advises.
      "corr_flux", "flux_corr",
      // TGLC's calibrated PSF flux (the product's advised light curve).
      "cal_psf_flux"};
  return names;
}
const std::vector<std::string>& usualErrorNames() {
  static const std::vector<std::string> names = {
      "err", "error", "magerr", "mag_err", "e_mag", "emag", "mag_error", "magnitude_err", "sigma",
      "sig", "uncertainty", "merr", "dmag", "flux_err", "fluxerr", "flux_error", "e_flux",
      "pdcsap_flux_err", "sap_flux_err", "psfmagerr", "dy", "yerr", "sigma_y",
      // ATLAS: dm is the magnitude error ("err" there is an error flag).
      "dm",
      // AAVSO's web-service exports; QLP's only flux uncertainty (of its
      // detrended flux, on the same normalised scale as SAP_FLUX).
      "uncert", "kspsap_flux_err"};
  return names;
}

}  // namespace fazorn

namespace fazorn {

ValueKindGuess guessValueKind(const std::string& columnName, const std::string& unit,
                              const std::vector<double>& values) {
  ValueKindGuess guess;
  if (const auto stated = valueKindEvidence(columnName, unit)) {
    guess.kind = *stated;
    return guess;
  }
  std::vector<double> finite;
  finite.reserve(values.size());
  for (double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return guess;
  const auto mid = finite.begin() + static_cast<std::ptrdiff_t>(finite.size() / 2);
  std::nth_element(finite.begin(), mid, finite.end());
  guess.fromValues = true;
  guess.median = *mid;
  guess.kind = guess.median > kLargestMedianMagnitude ? ValueKind::Flux : ValueKind::Magnitude;
  return guess;
}

ValueKind valueKindOf(const std::string& columnName, const std::string& unit) {
  return valueKindEvidence(columnName, unit).value_or(ValueKind::Magnitude);
}

std::optional<ValueKind> valueKindEvidence(const std::string& columnName, const std::string& unit) {
  auto contains = [](const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
  };
  // A unit in parentheses in the name stands in for a missing unit.
  std::string u = table::lowerCase(unit);
  if (u.empty()) {
    const std::size_t open = columnName.find('(');
    const std::size_t close = columnName.rfind(')');
    if (open != std::string::npos && close != std::string::npos && close > open)
      u = table::lowerCase(columnName.substr(open + 1, close - open - 1));
  }
  std::erase(u, ' ');
  if (contains(u, "mag")) return ValueKind::Magnitude;
  // Flux units as the archives write them: TESS/Kepler "e-/s", K2 "electrons
  // per second", counts and detector units, janskys of any prefix
  // ("Jy", "mJy", "uJy", "microJy"), SDSS nanomaggies, cgs and SI flux densities.
  for (const char* fluxUnit :
       {"e-/s", "e/s", "electron", "count", "jy", "nmgy", "maggie", "erg", "w/m", "photon"})
    if (contains(u, fluxUnit)) return ValueKind::Flux;
  for (const char* detectorUnit : {"dn", "adu", "cts", "e-"})
    if (u == detectorUnit) return ValueKind::Flux;
  const std::string name = table::normalizedName(columnName);
  // WISE profile-fit magnitudes (w1mpro) and the TESS full-frame products'
  // magnitudes (IRM1..3, TFA1..3, PCA1..3) carry no "mag" in their names.
  if (contains(name, "mag") || contains(name, "mpro")) return ValueKind::Magnitude;
  for (const char* prefix : {"irm", "tfa", "pca"})
    if (name.rfind(prefix, 0) == 0) return ValueKind::Magnitude;
  for (const char* fluxName : {"flux", "fcor", "ujy", "mjy", "counts"})
    if (contains(name, fluxName)) return ValueKind::Flux;
  return std::nullopt;
}

}  // namespace fazorn
