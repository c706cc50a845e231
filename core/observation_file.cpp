#include "core/observation_file.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/file_names.h"
#include "core/input_stream.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "core/table_import.h"

namespace fazorn {

namespace {

bool isSpace(char c) {
  // The C locale's white space, as the conversion skips it.
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool matchesWord(std::string_view text, std::size_t pos, const char* word) {
  const std::size_t n = std::strlen(word);
  if (pos + n > text.size()) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (lower(text[pos + i]) != word[i]) return false;
  return true;
}

// Converts a well-formed numeric text (no sign). from_chars is exact and
// locale-free; values out of its range (overflow to infinity, underflow to
// denormals or zero) go through strtod in the C locale, as "%lf" would.
double convert(std::string_view digits, bool hex) {
  double out = 0.0;
  const auto fmt = hex ? std::chars_format::hex : std::chars_format::general;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), out, fmt);
  if (r.ec == std::errc() && r.ptr == digits.data() + digits.size()) return out;
  std::string text = hex ? "0x" + std::string(digits) : std::string(digits);
  static locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
  return strtod_l(text.c_str(), nullptr, cLocale);
}

}  // namespace

bool scanDouble(std::string_view text, std::size_t& pos, double& out) {
  std::size_t p = pos;
  const std::size_t n = text.size();
  while (p < n && isSpace(text[p])) ++p;
  bool negative = false;
  if (p < n && (text[p] == '+' || text[p] == '-')) {
    negative = text[p] == '-';
    ++p;
  }
  if (p >= n) return false;

  double magnitude;
  const char first = lower(text[p]);
  if (first == 'i' && matchesWord(text, p, "inf")) {
    p += 3;
    if (p < n && lower(text[p]) == 'i') {
      // glibc takes "inf" followed by 'i' as the start of "infinity" and
      // fails when the rest does not follow.
      if (!matchesWord(text, p, "inity")) return false;
      p += 5;
    }
    magnitude = HUGE_VAL;
  } else if (first == 'n' && matchesWord(text, p, "nan")) {
    p += 3;
    magnitude = std::nan("");
  } else if (text[p] == '0' && p + 1 < n && lower(text[p + 1]) == 'x') {
    std::size_t q = p + 2;
    const std::size_t start = q;
    bool any = false;
    while (q < n && isHexDigit(text[q])) ++q, any = true;
    if (q < n && text[q] == '.') {
      ++q;
      while (q < n && isHexDigit(text[q])) ++q, any = true;
    }
    if (!any) return false;
    std::size_t mantissaEnd = q;
    std::size_t end = q;
    if (q < n && lower(text[q]) == 'p') {
      ++q;
      if (q < n && (text[q] == '+' || text[q] == '-')) ++q;
      const std::size_t expDigits = q;
      while (q < n && isDigit(text[q])) ++q;
      end = q;
      if (q > expDigits) mantissaEnd = q;
    }
    magnitude = convert(text.substr(start, mantissaEnd - start), true);
    p = end;
  } else {
    // The digits are gathered into an integer as they are scanned, for the
    // exact fast path below.
    std::size_t q = p;
    bool any = false;
    std::uint64_t digits = 0;
    int digitCount = 0;  // significant digits gathered (leading zeros skipped)
    int decimalShift = 0;
    bool exact = true;  // all digits fit in `digits`
    auto take = [&](char c, bool fraction) {
      any = true;
      if (digitCount == 0 && c == '0') {
        if (fraction) --decimalShift;
        return;
      }
      if (digitCount < 19) {
        digits = digits * 10 + static_cast<unsigned>(c - '0');
        ++digitCount;
        if (fraction) --decimalShift;
      } else {
        exact = false;
      }
    };
    while (q < n && isDigit(text[q])) take(text[q++], false);
    if (q < n && text[q] == '.') {
      ++q;
      while (q < n && isDigit(text[q])) take(text[q++], true);
    }
    if (!any) return false;
    std::size_t mantissaEnd = q;
    bool hasExponent = false;
    std::size_t end = q;
    if (q < n && lower(text[q]) == 'e') {
      // An exponent marker without digits is consumed but adds nothing.
      ++q;
      if (q < n && (text[q] == '+' || text[q] == '-')) ++q;
      const std::size_t expDigits = q;
      while (q < n && isDigit(text[q])) ++q;
      end = q;
      if (q > expDigits) {
        mantissaEnd = q;
        hasExponent = true;
      }
    }
    // Clinger's exact case: an integer below 2^53 times or divided by an
    // exact power of ten up to 10^22 is one correctly rounded operation.
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (exact && !hasExponent && digits < (std::uint64_t{1} << 53) && decimalShift >= -22) {
      const double m = static_cast<double>(digits);
      magnitude = decimalShift == 0 ? m : m / kPowersOfTen[-decimalShift];
    } else {
      magnitude = convert(text.substr(p, mantissaEnd - p), false);
    }
    p = end;
  }
  out = negative ? -magnitude : magnitude;
  pos = p;
  return true;
}

namespace {

// The longest run of characters without white space that the streaming
// reader holds while it waits for the rest of a number; a longer one ends
// reading as a token that is not a number (no number is that long).
constexpr std::size_t kLongestToken = 1 << 20;

bool canStartNumber(char c) {
  return isDigit(c) || c == '+' || c == '-' || c == '.' || lower(c) == 'i' || lower(c) == 'n';
}

// The group-of-three reading over a window of the text. It reads groups
// from the start of `text` and returns where the first unread group starts;
// `final` says that no more text follows. Without `final` it never decides
// on a token that touches the window's end, so that a stream cut anywhere
// reads exactly as the whole text would (the conversion never looks past a
// white-space character, so a token ending before one is complete).
class GroupReader {
 public:
  explicit GroupReader(ObservationRead& r) : r_(r) {}

  // True once reading has ended (a stop or the end of the text).
  bool finished() const { return finished_; }

  std::size_t read(std::string_view text, bool final) {
    // Tokens starting before `safeEnd` (just past the last white space)
    // end inside the window.
    std::size_t safeEnd = text.size();
    if (!final) {
      while (safeEnd > 0 && !isSpace(text[safeEnd - 1])) --safeEnd;
    }
    std::size_t pos = 0;
    for (;;) {
      const std::size_t groupStart = pos;
      double v[3];
      int got = 0;
      for (; got < 3; ++got) {
        std::size_t p = pos;
        while (p < text.size() && isSpace(text[p])) ++p;
        if (!final && p >= safeEnd) {
          // The token (or the white space) runs to the window's end. Wait
          // for more text unless the token cannot be a number at all.
          if (p < text.size() && text.size() - p > kLongestToken) {
            stop(text, groupStart, p, got);
            return p;
          }
          if (p >= text.size() || canStartNumber(text[p])) return groupStart;
        }
        if (!scanDouble(text, p, v[got])) break;
        pos = p;
      }
      if (got == 3) {
        store(v);
        continue;
      }
      stop(text, groupStart, pos, got);
      return pos;
    }
  }

  // Counts the line breaks of text that is about to be dropped.
  void passOver(std::string_view text) {
    for (char c : text)
      if (c == '\n') ++line_;
  }

 private:
  void store(const double* v) {
    r_.time.push_back(v[0]);
    r_.value.push_back(v[1]);
    r_.error.push_back(v[2]);
    if (v[2] == 0.0) ++r_.zeroErrorCount;
    if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2])) ++r_.nonFiniteCount;
  }

  long lineAt(std::string_view text, std::size_t at) const {
    long line = line_;
    for (std::size_t i = 0; i < at && i < text.size(); ++i)
      if (text[i] == '\n') ++line;
    return line;
  }

  void stop(std::string_view text, std::size_t groupStart, std::size_t pos, int got) {
    finished_ = true;
    std::size_t p = pos;
    while (p < text.size() && isSpace(text[p])) ++p;
    if (p >= text.size()) {
      if (got > 0) {
        std::size_t g = groupStart;
        while (g < text.size() && isSpace(text[g])) ++g;
        r_.stoppedEarly = true;
        r_.incompleteAtEnd = true;
        r_.stopLine = lineAt(text, g);
        r_.stopText = got == 1 ? "1 number" : "2 numbers";
      }
      return;
    }
    r_.stoppedEarly = true;
    r_.stopLine = lineAt(text, p);
    std::size_t e = p;
    while (e < text.size() && !isSpace(text[e]) && e - p < 40) ++e;
    for (std::size_t i = p; i < e; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      r_.stopText += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
  }

  ObservationRead& r_;
  long line_ = 1;  // line of the first character still held
  bool finished_ = false;
};

bool startsWithByteOrderMark(std::string_view text) {
  return text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
         static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF;
}

}  // namespace

ObservationRead parseObservations(std::string_view text) {
  ObservationRead r;
  r.opened = true;
  if (startsWithByteOrderMark(text)) {
    text.remove_prefix(3);
    r.byteOrderMarkSkipped = true;
  }
  const std::size_t estimate = text.size() / 24 + 1;
  r.time.reserve(estimate);
  r.value.reserve(estimate);
  r.error.reserve(estimate);
  GroupReader reader(r);
  reader.read(text, /*final=*/true);
  return r;
}

ObservationRead readObservations(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    ObservationRead r;
    r.openError = std::strerror(errno);
    return r;
  }
  ObservationRead r = readObservations(f, {});
  std::fclose(f);
  return r;
}

ObservationRead readObservations(std::FILE* f, std::string_view head) {
  ObservationRead r;
  // Read in blocks and keep only the unread group: memory stays bounded by
  // the light curve itself, whatever the file holds after the last group
  // (a device that never ends, a huge trailer).
  constexpr std::size_t kBlock = 1 << 16;
  std::string held;
  std::size_t start = 0;  // first unread character of `held`
  bool first = true;
  bool failed = false;
  int readErrno = 0;
  GroupReader reader(r);
  struct stat info {};
  if (fstat(fileno(f), &info) == 0 && S_ISREG(info.st_mode)) {
    // About 24 bytes per point in files written with "%14.7f\t..." formats;
    // capped so a huge file of something else does not reserve in vain.
    const std::size_t estimate = std::min<std::size_t>(
        static_cast<std::size_t>(info.st_size) / 24 + 1, std::size_t{1} << 24);
    r.time.reserve(estimate);
    r.value.reserve(estimate);
    r.error.reserve(estimate);
  }
  std::vector<char> block(std::max(kBlock, head.size()));
  bool headTaken = head.empty();
  for (;;) {
    std::size_t got = 0;
    bool final = false;
    if (!headTaken) {
      // The bytes a sniff already took from a stream, as the first block.
      std::memcpy(block.data(), head.data(), head.size());
      got = head.size();
      headTaken = true;
    } else {
      got = std::fread(block.data(), 1, kBlock, f);
      if (got < kBlock && std::ferror(f)) {
        failed = true;
        readErrno = errno;
        break;
      }
      final = got < kBlock;
    }
    if (start > 0) {
      reader.passOver(std::string_view(held).substr(0, start));
      held.erase(0, start);
      start = 0;
    }
    held.append(block.data(), got);
    if (first) {
      if (held.size() < 3 && !final) continue;
      first = false;
      if (startsWithByteOrderMark(held)) {
        held.erase(0, 3);
        r.byteOrderMarkSkipped = true;
      }
    }
    start = reader.read(held, final);
    if (final || reader.finished()) break;
  }
  if (failed) {
    // A directory opens on some systems but cannot be read.
    r = ObservationRead{};
    r.openError = std::strerror(readErrno);
    return r;
  }
  r.opened = true;
  return r;
}

void fillLightCurve(Workspace& ws, std::vector<double> time, std::vector<double> value,
                    std::vector<double> error) {
  LightCurve& lc = ws.lightCurve;
  const std::size_t n = time.size();
  lc.pointCount = static_cast<std::int32_t>(n);
  lc.time = std::move(time);
  lc.value = std::move(value);
  lc.error = std::move(error);
  lc.weight.resize(n);
  for (std::size_t i = 0; i < n; ++i) lc.weight[i] = (1.0 / lc.error[i]) / lc.error[i];
  lc.mark.assign(n, 0);
  lc.scratchValue.assign(n, 0.0);
  lc.scratchError.assign(n, 0.0);

  resetAfterLoad(ws);
  ws.normalized = 0;
  refreshLightCurveStatistics(ws);
  ws.caption = "Fazorn * " + ws.files.dataPath;
}

namespace {

std::string pointsNote(std::size_t n) {
  return "Read " + std::to_string(n) + (n == 1 ? " point." : " points.");
}

void addValueNotes(Outcome& out, std::size_t zeroErrors, std::size_t nonFinite) {
  if (zeroErrors > 0)
    out.addNote(
        std::to_string(zeroErrors) + (zeroErrors == 1 ? " point has" : " points have") +
        " an error of 0 (infinite weight); weighted searches are meaningless until it is changed.");
  if (nonFinite > 0)
    out.addNote(std::to_string(nonFinite) + (nonFinite == 1 ? " point holds" : " points hold") +
                " a number that is not finite (nan or inf).");
}

// Derived files are plain text: beside a FITS or CSV file they are named
// ".dat" rather than after a format they are not in.
void useTextExtension(FileNameParts& parts) {
  // "star.csv.gz": the derived files are named after "star.csv".
  std::string compressed;
  for (char c : parts.extension)
    compressed += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (compressed == ".gz" || compressed == ".bz2") {
    const std::size_t dot = parts.baseName.rfind('.');
    if (dot != std::string::npos && dot > 0) {
      parts.extension = parts.baseName.substr(dot);
      parts.baseName.erase(dot);
    } else {
      parts.extension = ".dat";
    }
  }
  std::string ext;
  for (char c : parts.extension) ext += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  // Derived files are blank-separated text: never named as CSV, FITS, IPAC
  // or VOTable (XML) files.
  for (const char* binary : {".fits", ".fit", ".fts", ".csv", ".tsv", ".tbl", ".xml", ".vot"})
    if (ext == binary) parts.extension = ".dat";
}

Outcome loadPlain(Workspace& ws, const std::string& path, const FileSniff& sniff,
                  LoadDetails& details, ObservationRead r) {
  Outcome out;
  if (!r.opened) {
    out.ok = false;
    out.failure = Failure::Io;
    out.message = ioErrorBox();
    out.addNote("Cannot read " + path + ": " + r.openError);
    return out;
  }
  details.opened = true;
  details.reader = FileKind::Plain;
  const std::size_t n = r.time.size();
  details.points = n;
  const std::size_t zeroErrors = r.zeroErrorCount, nonFinite = r.nonFiniteCount;
  // A file without a single observation is refused like one that cannot be
  // opened: the light curve on screen stays.
  if (n > 0) fillLightCurve(ws, std::move(r.time), std::move(r.value), std::move(r.error));
  // A plain file is written over by "Save Data" (its original is kept
  // beside it on the first save).
  ws.files.dataFileRewritable = true;

  out.addNote(pointsNote(n));
  if (r.stoppedEarly) {
    if (r.incompleteAtEnd)
      out.addNote("Reading stopped at line " + std::to_string(r.stopLine) +
                  ": the file ends inside a group of three numbers (" + r.stopText +
                  " left over).");
    else
      out.addNote("Reading stopped at line " + std::to_string(r.stopLine) + " at \"" + r.stopText +
                  "\", which is not a number; the rest of the file was ignored.");
  }
  addValueNotes(out, zeroErrors, nonFinite);
  if (sniff.uniformNumbersPerLine > 3)
    out.addNote(
        "Every line holds " + std::to_string(sniff.uniformNumbersPerLine) +
        " numbers; they were read three at a time. Choose the columns to read them as a table.");
  if (n == 0) {
    // Nothing to analyse is a failure, not a quiet empty chart.
    out.ok = false;
    std::string reason = "the file is empty";
    if (r.stoppedEarly)
      reason = "reading stopped at line " + std::to_string(r.stopLine) +
               (r.incompleteAtEnd ? " inside the first group of three numbers"
                                  : " at \"" + r.stopText + "\", which is not a number");
    out.failure = Failure::Input;
    out.message = warningBox("No observation could be read: " + reason + ".");
    return out;
  }
  out.redraw.lightCurve = true;
  out.redraw.clearPeriodogram = true;
  out.redraw.results = true;
  return out;
}

}  // namespace

std::vector<std::string> loadNotesWorthShowing(const Outcome& loaded) {
  if (loaded.notes.size() < 2) return {};
  return std::vector<std::string>(loaded.notes.begin() + 1, loaded.notes.end());
}

Outcome loadObservations(Workspace& ws, const std::string& path) {
  return loadObservations(ws, path, ImportOptions{});
}

namespace {

// Inputs that can be read only once: "-" (standard input), pipes (process
// substitution's /dev/fd/N among them) and devices.
bool readOnce(const std::string& path) {
  if (path == "-") return true;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

Outcome loadInto(Workspace& ws, const std::string& path, const ImportOptions& options,
                 LoadDetails* detailsOut) {
  LoadDetails scratch;
  LoadDetails& details = detailsOut ? *detailsOut : scratch;
  details = LoadDetails{};
  splitDataPath(path, ws.files);
  // Standard input, a pipe or a device is opened once, and what the sniff
  // read of it is handed on to the reader: it cannot be read again (a FIFO
  // whose writer is gone would block a second open for ever, process
  // substitution would read as empty).
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(
      nullptr, [](std::FILE* f) { return std::fclose(f); });
  std::string head;
  // A file on disk is sniffed by name; one that can be read only once, or
  // that is compressed, is read once as a stream from here on.
  const bool once = readOnce(path);
  FileSniff sniff = once ? FileSniff{} : sniffObservationFile(path);
  const bool compressed = sniff.compressed;
  if (once || compressed) {
    // Through zlib: a compressed stream is decompressed, others pass as they are.
    stream.reset(openDecompressing(path));
    if (stream == nullptr || !readHead(stream.get(), head, kSniffBytes)) {
      sniff = FileSniff{};
      sniff.openError = std::strerror(errno);
    } else {
      sniff = sniffObservationText(head);
    }
  }
  if (!sniff.opened) {
    Outcome out;
    out.ok = false;
    out.failure = Failure::Io;
    out.message = ioErrorBox();
    out.addNote("Cannot read " + path + ": " + sniff.openError);
    ws.files.dataFileRewritable = true;
    return out;
  }
  // Lines of four, five, seven ... numbers each (OGLE's EWS phot.dat: HJD,
  // magnitude, error, seeing, sky) are no groups of three: read three at a
  // time they would mix columns across lines. They are read as a table of
  // numbered columns, the first three being time, value and error. Lines of
  // six or nine numbers may be two or three observations a line and are
  // left to the plain reader.
  const bool columnsPerLine =
      sniff.uniformNumbersPerLine > 3 && sniff.uniformNumbersPerLine % 3 != 0;
  const bool table = sniff.kind != FileKind::Plain || !options.columns.empty() ||
                     options.forceTable || columnsPerLine;
  if (!table) {
    if (!options.band.empty()) {
      Outcome out;
      out.ok = false;
      out.failure = Failure::Input;
      out.message =
          warningBox("This file has no band column: it is plain numbers, three per observation.");
      ws.files.dataFileRewritable = true;
      return out;
    }
    Outcome out = loadPlain(ws, path, sniff, details,
                            stream ? readObservations(stream.get(), head) : readObservations(path));
    // Plain numbers say nothing of what they are: magnitudes unless told.
    if (out.ok) ws.lightCurve.valueKind = options.valueKind.value_or(ValueKind::Magnitude);
    // What came from a stream is never written back to it; derived files of
    // a compressed one are plain text named after what it holds.
    if (stream && out.ok) ws.files.dataFileRewritable = false;
    if (compressed && out.ok) useTextExtension(ws.files);
    return out;
  }

  Outcome out;
  TableImport t = stream ? importTableStream(stream.get(), std::move(head), options)
                         : importTable(path, options);
  if (!t.opened) {
    out.ok = false;
    out.failure = Failure::Io;
    out.message = ioErrorBox();
    out.addNote("Cannot read " + path + ": " + t.openError);
    return out;
  }
  details.opened = true;
  details.reader = t.kind;
  details.summary = t.summary;
  ws.files.dataFileRewritable = false;
  if (t.failed) {
    // Nothing was read: the light curve stays as it was.
    out.ok = false;
    out.failure = Failure::Input;
    out.message = warningBox("Cannot read this file: " + t.failure + ".");
    out.addNote(pointsNote(0));
    return out;
  }
  const std::size_t n = t.time.size();
  details.points = n;
  std::size_t zeroErrors = 0, nonFinite = 0;
  for (std::size_t i = 0; i < n; ++i) {
    zeroErrors += t.error[i] == 0.0 ? 1 : 0;
    nonFinite += std::isfinite(t.error[i]) ? 0 : 1;
  }
  fillLightCurve(ws, std::move(t.time), std::move(t.value), std::move(t.error));
  const std::string valueName =
      t.valueColumn >= 0 && static_cast<std::size_t>(t.valueColumn) < t.columnNames.size()
          ? t.columnNames[static_cast<std::size_t>(t.valueColumn)]
          : std::string();
  const ValueKindGuess guess = guessValueKind(valueName, t.valueUnit, ws.lightCurve.value);
  ws.lightCurve.valueKind = options.valueKind.value_or(guess.kind);
  if (!options.valueKind && guess.fromValues && guess.kind == ValueKind::Flux)
    t.notes.push_back("The column \"" + valueName + "\" has no unit and its values (median " +
                      formatPrintf("%g", guess.median) +
                      ") are too large for magnitudes: read as fluxes (--values mag reads them as "
                      "magnitudes).");
  useTextExtension(ws.files);
  out.addNote(pointsNote(n));
  out.addNote(t.summary + ".");
  if (columnsPerLine && options.columns.empty())
    out.addNote("Every line holds " + std::to_string(sniff.uniformNumbersPerLine) +
                " numbers: columns 1, 2 and 3 were read as time, value and error (--columns "
                "chooses others).");
  for (auto& note : t.notes) out.addNote(std::move(note));
  addValueNotes(out, zeroErrors, nonFinite);
  out.redraw.lightCurve = true;
  out.redraw.clearPeriodogram = true;
  out.redraw.results = true;
  return out;
}

}  // namespace

Outcome loadObservations(Workspace& ws, const std::string& path, const ImportOptions& options,
                         LoadDetails* detailsOut) {
  // A file that gives no light curve leaves the one on screen exactly as it
  // was, file names included: "Save Data" after a failed open must still
  // write the star on screen to its own file, never over the file that
  // failed (nor to a "-data" file beside it).
  const FileNameParts before = ws.files;
  Outcome out = loadInto(ws, path, options, detailsOut);
  if (!out.ok) ws.files = before;
  return out;
}

}  // namespace fazorn
