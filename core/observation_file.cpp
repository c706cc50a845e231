#include "core/observation_file.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "core/file_names.h"
#include "core/results_panel.h"
#include "core/statistics.h"

namespace fazorn {

namespace {

bool isSpace(char c) {
  // The C locale's white space, as the conversion skips it.
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
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
    bool exact = true;   // all digits fit in `digits`
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

ObservationRead parseObservations(std::string_view text) {
  ObservationRead r;
  r.opened = true;
  std::size_t pos = 0;
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB &&
      static_cast<unsigned char>(text[2]) == 0xBF) {
    pos = 3;
    r.byteOrderMarkSkipped = true;
  }
  // Line counting is incremental: only the stretch since the last count is
  // scanned, so a whole file costs one pass.
  long line = 1;
  std::size_t counted = 0;
  auto lineAt = [&](std::size_t at) {
    for (; counted < at && counted < text.size(); ++counted)
      if (text[counted] == '\n') ++line;
    return line;
  };
  const std::size_t estimate = text.size() / 24 + 1;
  r.time.reserve(estimate);
  r.value.reserve(estimate);
  r.error.reserve(estimate);

  for (;;) {
    double v[3];
    std::size_t groupStart = pos;
    int got = 0;
    for (; got < 3; ++got) {
      std::size_t before = pos;
      if (!scanDouble(text, pos, v[got])) {
        pos = before;
        break;
      }
    }
    if (got == 3) {
      r.time.push_back(v[0]);
      r.value.push_back(v[1]);
      r.error.push_back(v[2]);
      if (v[2] == 0.0) ++r.zeroErrorCount;
      if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]))
        ++r.nonFiniteCount;
      continue;
    }
    // Skip white space to see whether anything but the end follows.
    std::size_t p = pos;
    while (p < text.size() && isSpace(text[p])) ++p;
    if (p >= text.size()) {
      if (got > 0) {
        std::size_t g = groupStart;
        while (g < text.size() && isSpace(text[g])) ++g;
        r.stoppedEarly = true;
        r.incompleteAtEnd = true;
        r.stopLine = lineAt(g);
        r.stopText = got == 1 ? "1 number" : "2 numbers";
      }
      break;
    }
    r.stoppedEarly = true;
    r.stopLine = lineAt(p);
    std::size_t e = p;
    while (e < text.size() && !isSpace(text[e]) && e - p < 40) ++e;
    for (std::size_t i = p; i < e; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      r.stopText += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
    break;
  }
  return r;
}

ObservationRead readObservations(const std::string& path) {
  ObservationRead r;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    r.openError = std::strerror(errno);
    return r;
  }
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, f);
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int readErrno = errno;
  std::fclose(f);
  if (failed) {
    // A directory opens on some systems but cannot be read.
    r.openError = std::strerror(readErrno);
    return r;
  }
  return parseObservations(text);
}

Outcome loadObservations(Workspace& ws, const std::string& path) {
  Outcome out;
  splitDataPath(path, ws.files);
  ObservationRead r = readObservations(path);
  if (!r.opened) {
    out.ok = false;
    out.message = ioErrorBox();
    out.addNote("Cannot read " + path + ": " + r.openError);
    return out;
  }
  LightCurve& lc = ws.lightCurve;
  const std::size_t n = r.time.size();
  lc.pointCount = static_cast<std::int32_t>(n);
  lc.time = std::move(r.time);
  lc.value = std::move(r.value);
  lc.error = std::move(r.error);
  lc.weight.resize(n);
  for (std::size_t i = 0; i < n; ++i) lc.weight[i] = (1.0 / lc.error[i]) / lc.error[i];
  lc.mark.assign(n, 0);
  lc.scratchValue.assign(n, 0.0);
  lc.scratchError.assign(n, 0.0);

  resetAfterLoad(ws);
  ws.normalized = 0;
  refreshLightCurveStatistics(ws);
  ws.caption = "Fazorn * " + ws.files.dataPath;

  out.addNote("Read " + std::to_string(n) + (n == 1 ? " point." : " points."));
  if (r.stoppedEarly) {
    if (r.incompleteAtEnd)
      out.addNote("Reading stopped at line " + std::to_string(r.stopLine) +
                  ": the file ends inside a group of three numbers (" + r.stopText +
                  " left over).");
    else
      out.addNote("Reading stopped at line " + std::to_string(r.stopLine) + " at \"" +
                  r.stopText + "\", which is not a number; the rest of the file was ignored.");
  }
  if (r.zeroErrorCount > 0)
    out.addNote(std::to_string(r.zeroErrorCount) +
                (r.zeroErrorCount == 1 ? " point has" : " points have") +
                " an error of 0 (infinite weight); weighted searches are meaningless until it is changed.");
  if (r.nonFiniteCount > 0)
    out.addNote(std::to_string(r.nonFiniteCount) +
                (r.nonFiniteCount == 1 ? " point holds" : " points hold") +
                " a number that is not finite (nan or inf).");
  out.redraw.lightCurve = true;
  out.redraw.clearPeriodogram = true;
  out.redraw.results = true;
  return out;
}

}  // namespace fazorn
