#include "core/table_import.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "core/fits_table.h"
#include "core/input_stream.h"
#include "core/observation_file.h"
#include "core/table_rows.h"

namespace fazorn {

using table::ColumnPlan;
using table::LeftOut;
using table::RowCollector;

namespace {

// No text line of a light-curve table comes near this; a longer one means a
// file that is not a table (or is damaged), and reading ends with a message.
constexpr std::size_t kLongestLine = 1 << 20;
constexpr std::size_t kPreviewRows = 20;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool isCommentLine(std::string_view line) {
  line = trimmed(line);
  return !line.empty() &&
         (line[0] == '#' || line[0] == '%' || line[0] == ';' || line[0] == '\\' || line[0] == '|');
}

// A whole field as a number, "%lf" syntax, blanks around allowed.
bool fieldNumber(std::string_view field, double& out) {
  field = trimmed(field);
  if (field.empty()) return false;
  std::size_t pos = 0;
  return scanDouble(field, pos, out) && pos == field.size();
}

// Lines from a file or from text, without their line ends (LF, CRLF or CR).
class LineSource {
 public:
  explicit LineSource(std::FILE* file, std::string head = {})
      : file_(file), head_(std::move(head)) {}
  explicit LineSource(std::string_view text) : text_(text), memory_(true) {}

  // False at the end, or when a line is too long (tooLong()).
  bool next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ >= size() && !refill()) {
        if (!any) return false;
        ++lineNumber_;
        return true;
      }
      const char* data = memory_ ? text_.data() : buffer_.get();
      if (pendingCr_) {
        pendingCr_ = false;
        if (data[pos_] == '\n') {
          ++pos_;
          continue;
        }
      }
      const std::size_t n = size();
      std::size_t i = pos_;
      while (i < n && data[i] != '\n' && data[i] != '\r') ++i;
      line.append(data + pos_, i - pos_);
      any = true;
      if (line.size() > kLongestLine) {
        tooLong_ = true;
        return false;
      }
      if (i < n) {
        pos_ = i + 1;
        pendingCr_ = data[i] == '\r';
        ++lineNumber_;
        return true;
      }
      pos_ = i;
    }
  }
  long lineNumber() const { return lineNumber_; }
  bool tooLong() const { return tooLong_; }
  bool readError() const { return readError_; }

 private:
  std::size_t size() const { return memory_ ? text_.size() : filled_; }
  bool refill() {
    if (memory_ || atEnd_) return false;
    if (!head_.empty()) {
      // The bytes a sniff already took from a stream come first.
      buffer_.reset(new char[std::max(kBlock, head_.size())]);
      std::memcpy(buffer_.get(), head_.data(), head_.size());
      filled_ = head_.size();
      pos_ = 0;
      head_.clear();
      head_.shrink_to_fit();
      return true;
    }
    if (!buffer_) buffer_.reset(new char[kBlock]);
    filled_ = std::fread(buffer_.get(), 1, kBlock, file_);
    pos_ = 0;
    if (filled_ == 0) {
      readError_ = std::ferror(file_) != 0;
      atEnd_ = true;
      return false;
    }
    return true;
  }

  static constexpr std::size_t kBlock = 1 << 16;
  std::FILE* file_ = nullptr;
  std::string head_;
  std::string_view text_;
  bool memory_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t filled_ = 0, pos_ = 0;
  bool atEnd_ = false, pendingCr_ = false, tooLong_ = false, readError_ = false;
  long lineNumber_ = 0;
};

enum class Separator { Whitespace, Comma, Semicolon, Tab, FixedWidth };

const char* separatorName(Separator s) {
  switch (s) {
    case Separator::Comma:
      return "comma";
    case Separator::Semicolon:
      return "semicolon";
    case Separator::Tab:
      return "tab";
    case Separator::FixedWidth:
      return "fixed-width";
    case Separator::Whitespace:
      break;
  }
  return "white-space";
}

// Splits a line into fields. Quoted fields ("a, b") keep their separators;
// a doubled quote or a backslash before a quote stands for the quote.
// Fixed-width rows are cut at the boundaries of an IPAC header.
void splitLine(std::string_view line, Separator sep, const std::vector<std::size_t>& bounds,
               std::vector<std::string>& fields, std::size_t& count) {
  count = 0;
  auto field = [&]() -> std::string& {
    if (count == fields.size()) fields.emplace_back();
    std::string& f = fields[count++];
    f.clear();
    return f;
  };
  if (sep == Separator::FixedWidth) {
    std::size_t start = 0;
    for (std::size_t b : bounds) {
      if (start >= line.size()) break;
      field() = trimmed(line.substr(start, b - start));
      start = b;
    }
    return;
  }
  const char delimiter = sep == Separator::Comma ? ',' : sep == Separator::Semicolon ? ';' : '\t';
  std::size_t i = 0;
  const std::size_t n = line.size();
  if (sep == Separator::Whitespace) {
    while (i < n && isBlank(line[i])) ++i;
    if (i >= n) return;
  }
  for (;;) {
    std::string& f = field();
    if (sep != Separator::Whitespace)
      while (i < n && line[i] == ' ') ++i;
    if (i < n && line[i] == '"') {
      ++i;
      while (i < n) {
        if (line[i] == '\\' && i + 1 < n && line[i + 1] == '"') {
          f += '"';
          i += 2;
        } else if (line[i] == '"' && i + 1 < n && line[i + 1] == '"') {
          f += '"';
          i += 2;
        } else if (line[i] == '"') {
          ++i;
          break;
        } else {
          f += line[i++];
        }
      }
    }
    if (sep == Separator::Whitespace) {
      while (i < n && !isBlank(line[i])) f += line[i++];
      while (i < n && isBlank(line[i])) ++i;
      if (i >= n) return;
    } else {
      while (i < n && line[i] != delimiter) f += line[i++];
      if (i >= n) return;
      ++i;  // past the delimiter: a field follows, possibly empty
    }
  }
}

std::size_t countFields(std::string_view line, Separator sep) {
  std::vector<std::string> fields;
  std::size_t n = 0;
  splitLine(line, sep, {}, fields, n);
  return n;
}

bool anyNumber(const std::vector<std::string>& fields, std::size_t n) {
  double x;
  for (std::size_t i = 0; i < n; ++i)
    if (fieldNumber(fields[i], x)) return true;
  return false;
}

// The field layout of the older AAVSO download, which has no header row.
const std::vector<std::string>& headerlessAavsoNames() {
  static const std::vector<std::string> names = {"JD",
                                                 "Magnitude",
                                                 "Uncertainty",
                                                 "HQuncertainty",
                                                 "Band",
                                                 "Observer Code",
                                                 "Comment Code(s)",
                                                 "Comp Star 1",
                                                 "Comp Star 2",
                                                 "Charts",
                                                 "Comments",
                                                 "Transfomed",
                                                 "Airmass",
                                                 "Validation Flag",
                                                 "Cmag",
                                                 "Kmag",
                                                 "HJD",
                                                 "Star Name",
                                                 "Observer Affiliation",
                                                 "Measurement Method",
                                                 "Grouping Method",
                                                 "ADS Reference",
                                                 "Digitizer"};
  return names;
}

// The separator shared by a header (or first row) and the next row.
Separator chooseSeparator(std::string_view first, std::string_view second) {
  for (Separator s : {Separator::Comma, Separator::Tab, Separator::Semicolon}) {
    const std::size_t a = countFields(first, s);
    if (a < 2) continue;
    if (second.empty() || countFields(second, s) == a) return s;
  }
  // A delimiter present in both lines, even with differing field counts.
  for (Separator s : {Separator::Comma, Separator::Tab, Separator::Semicolon}) {
    const char d = s == Separator::Comma ? ',' : s == Separator::Tab ? '\t' : ';';
    if (first.find(d) != std::string_view::npos &&
        (second.empty() || second.find(d) != std::string_view::npos))
      return s;
  }
  return Separator::Whitespace;
}

TableImport readTextTable(LineSource& source, const ImportOptions& options) {
  TableImport out;
  out.opened = true;
  out.kind = FileKind::TextTable;

  // The preamble: comment lines, IPAC keyword and header lines, blank lines,
  // then the header line (if any) and the first two rows.
  std::string line;
  std::vector<std::string> comments;
  std::vector<std::string> ipacHeader;
  bool ipac = false;
  std::vector<std::pair<std::string, long>> content;  // the first content lines
  bool bomChecked = false;
  while (content.size() < 3 && source.next(line)) {
    if (!bomChecked) {
      bomChecked = true;
      if (line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
          static_cast<unsigned char>(line[1]) == 0xBB &&
          static_cast<unsigned char>(line[2]) == 0xBF)
        line.erase(0, 3);
    }
    const std::string_view t = trimmed(line);
    if (t.empty()) continue;
    if (content.empty() && isCommentLine(t)) {
      if (t[0] == '\\') ipac = true;
      if (t[0] == '|' && (ipac || ipacHeader.empty())) {
        ipacHeader.push_back(line);
        ipac = true;
        continue;
      }
      comments.emplace_back(t);
      continue;
    }
    if (!content.empty() && isCommentLine(t)) continue;
    content.emplace_back(line, source.lineNumber());
  }
  if (source.tooLong()) {
    out.failed = true;
    out.failure = "line " + std::to_string(source.lineNumber() + 1) +
                  " is longer than 1 MB; this is not a light-curve table";
    return out;
  }

  if (!content.empty() && (content[0].first.starts_with("<?xml") ||
                           content[0].first.find("<VOTABLE") != std::string::npos)) {
    out.failed = true;
    out.failure =
        "this is an XML (VOTable) file, which is not read; export the table as CSV or IPAC "
        "text and open that";
    return out;
  }
  Separator sep = Separator::Whitespace;
  std::vector<std::size_t> bounds;
  std::vector<std::string> names;
  std::size_t firstRow = 0;  // index into `content` of the first data row
  std::string what;
  std::vector<std::string> fields;
  std::size_t n = 0;

  if (ipac && !ipacHeader.empty()) {
    // IPAC table: the first "|" line names the columns; each "|" marks a
    // column boundary of the fixed-width rows below.
    const std::string& h = ipacHeader[0];
    std::size_t prev = std::string::npos;
    for (std::size_t i = 0; i < h.size(); ++i) {
      if (h[i] != '|') continue;
      if (prev != std::string::npos) {
        names.emplace_back(trimmed(std::string_view(h).substr(prev + 1, i - prev - 1)));
        bounds.push_back(i + 1);
      }
      prev = i;
    }
    sep = Separator::FixedWidth;
    what = "IPAC table";
  } else if (!content.empty()) {
    const std::string& first = content[0].first;
    const std::string second = content.size() > 1 ? content[1].first : std::string();
    sep = chooseSeparator(first, second);
    splitLine(first, sep, {}, fields, n);
    if (!anyNumber(fields, n)) {
      names.assign(fields.begin(), fields.begin() + static_cast<long>(n));
      std::vector<std::string> rowFields;
      std::size_t rowCount = 0;
      if (!second.empty()) splitLine(second, sep, {}, rowFields, rowCount);
      if (sep == Separator::Whitespace) {
        // ZTF forced photometry names its columns "index, field, ccdid, ..."
        // above blank-separated rows: the commas belong to no name.
        for (auto& name : names)
          while (!name.empty() && name.back() == ',') name.pop_back();
        names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
        // A header of tab-separated names that hold blanks above blank-padded
        // rows (KELT: "JD_TT<TAB><TAB><TAB>KELT_Instrumental Mag_Detrended...").
        if (first.find('\t') != std::string::npos && names.size() != rowCount) {
          std::vector<std::string> byTab;
          std::string_view rest = first;
          while (!rest.empty()) {
            const std::size_t tab = rest.find('\t');
            const std::string_view name = trimmed(rest.substr(0, tab));
            if (!name.empty()) byTab.emplace_back(name);
            if (tab == std::string_view::npos) break;
            rest.remove_prefix(tab + 1);
          }
          if (byTab.size() == rowCount) names = byTab;
        }
      }
      firstRow = 1;
      what = std::string(sep == Separator::Comma ? "CSV" : "Table") + " with header";
    } else {
      // A last comment line with as many words as the rows have fields names
      // the columns ("#MJD Mag Err").
      if (!comments.empty()) {
        std::string_view c = trimmed(comments.back());
        while (!c.empty() && (c[0] == '#' || c[0] == '%' || c[0] == ';')) c.remove_prefix(1);
        std::vector<std::string> words;
        std::size_t m = 0;
        splitLine(c, sep == Separator::Whitespace ? Separator::Whitespace : sep, {}, words, m);
        if (m == n && !anyNumber(words, m)) {
          names.assign(words.begin(), words.begin() + static_cast<long>(m));
          what = "Table with a commented header";
        }
      }
      if (names.empty() && sep == Separator::Comma && n >= 20 && n <= 23) {
        double jd = 0;
        if (fieldNumber(fields[0], jd) && jd > 2300000.0 && jd < 2600000.0) {
          names = headerlessAavsoNames();
          names.resize(n);
          what = "CSV without header in the AAVSO download layout";
        }
      }
      if (names.empty()) {
        for (std::size_t i = 0; i < n; ++i) names.push_back(std::to_string(i + 1));
        what = std::string(sep == Separator::Comma ? "CSV" : "Table") + " without header";
      }
    }
  }
  if (names.empty()) {
    out.failed = true;
    out.failure = ipac || !comments.empty() ? "no column names and no rows after the comment lines"
                                            : "the file holds no table";
    return out;
  }
  out.columnNames = names;
  std::vector<std::string> normalized;
  for (const auto& name : names) normalized.push_back(table::normalizedName(name));
  {
    std::string key = std::string(separatorName(sep)) + ":";
    for (const auto& name : normalized) key += name + "|";
    out.layoutKey = key;
  }

  ColumnPlan plan;
  const std::string problem = table::planColumns(names, normalized, options, plan);
  out.timeColumn = plan.time;
  out.valueColumn = plan.value;
  out.errorColumn = plan.error;
  out.bandColumn = plan.band;
  if (!plan.survey.empty()) what = plan.survey + " (" + what + ")";
  if (sep != Separator::Whitespace && sep != Separator::FixedWidth && sep != Separator::Comma)
    what += ", " + std::string(separatorName(sep)) + "-separated";

  RowCollector rows(options);
  const std::size_t need = static_cast<std::size_t>(std::max({plan.time, plan.value, plan.error,
                                                              plan.band, plan.fluxOverError})) +
                           1;
  const bool decimalComma = sep == Separator::Semicolon;

  auto number = [&](const std::string& f, double& x) {
    if (fieldNumber(f, x)) return true;
    if (decimalComma && f.find(',') != std::string::npos && f.find('.') == std::string::npos) {
      std::string g = f;
      for (char& c : g)
        if (c == ',') c = '.';
      return fieldNumber(g, x);
    }
    return false;
  };
  auto isMissing = [](std::string_view f) {
    f = trimmed(f);
    return f.empty() || f == "null" || f == "NULL" || f == "--" || f == "NA" || f == "N/A" ||
           f == "None" || f == "na";
  };

  bool stopped = false;
  std::string qualified;
  auto processRow = [&](const std::string& text, long lineNumber) {
    splitLine(text, sep, bounds, fields, n);
    if (out.previewRows.size() < kPreviewRows)
      out.previewRows.emplace_back(fields.begin(), fields.begin() + static_cast<long>(n));
    if (!problem.empty()) return;
    if (n < need) {
      rows.leaveOut(LeftOut::MissingColumn, lineNumber);
      return;
    }
    for (int f : plan.flags) {
      if (static_cast<std::size_t>(f) >= n) continue;
      const std::string_view s = trimmed(fields[static_cast<std::size_t>(f)]);
      double x;
      // A flag that is neither a number nor a truth value ("56,57", a ZTF
      // processing status holding two codes) is set; an empty or null flag is not.
      const bool isFalse = s.empty() || s == "null" || s == "NULL" || s == "false" ||
                           s == "False" || s == "FALSE" || s == "F";
      const bool set = fieldNumber(s, x) ? x != 0.0 : !isFalse;
      if (set) {
        rows.leaveOut(LeftOut::Flagged, lineNumber);
        return;
      }
    }
    const std::string& tf = fields[static_cast<std::size_t>(plan.time)];
    const std::string& vf = fields[static_cast<std::size_t>(plan.value)];
    const std::string_view vt = trimmed(vf);
    if (!vt.empty() && (vt[0] == '<' || vt[0] == '>')) {
      rows.leaveOut(LeftOut::Limit, lineNumber);
      return;
    }
    double t, v;
    if (isMissing(tf) || isMissing(vf)) {
      rows.leaveOut(LeftOut::NotFinite, lineNumber);
      return;
    }
    if (!number(tf, t) || !number(vf, v)) {
      rows.leaveOut(LeftOut::Unreadable, lineNumber);
      return;
    }
    if (!std::isfinite(t) || !std::isfinite(v)) {
      rows.leaveOut(LeftOut::NotFinite, lineNumber);
      return;
    }
    double e = std::nan("");
    if (plan.error >= 0) {
      const std::string& ef = fields[static_cast<std::size_t>(plan.error)];
      if (!isMissing(ef) && !number(ef, e)) {
        rows.leaveOut(LeftOut::Unreadable, lineNumber);
        return;
      }
      if (std::isinf(e)) e = std::nan("");
    } else if (plan.fluxOverError >= 0) {
      double snr;
      if (number(fields[static_cast<std::size_t>(plan.fluxOverError)], snr) && snr > 0)
        e = 2.5 / std::log(10.0) / snr;
    }
    if (plan.valueIsMagnitude && (std::fabs(v) >= 99.0 || (!std::isnan(e) && e >= 99.0))) {
      rows.leaveOut(LeftOut::Marker, lineNumber);
      return;
    }
    std::string_view band;
    if (plan.band >= 0) band = trimmed(fields[static_cast<std::size_t>(plan.band)]);
    if (plan.bandQualifier >= 0 && static_cast<std::size_t>(plan.bandQualifier) < n) {
      const std::string_view q = trimmed(fields[static_cast<std::size_t>(plan.bandQualifier)]);
      if (!q.empty() && q != "STD") {
        qualified.assign(band);
        qualified.append(" (").append(q).append(")");
        band = qualified;
      }
    }
    if (!rows.add(t, v, e, band)) stopped = true;
  };

  for (std::size_t i = firstRow; i < content.size() && !stopped; ++i)
    processRow(content[i].first, content[i].second);
  while (!stopped && (problem.empty() || out.previewRows.size() < kPreviewRows) &&
         source.next(line)) {
    const std::string_view t = trimmed(line);
    if (t.empty() || isCommentLine(t)) continue;
    processRow(line, source.lineNumber());
  }
  if (source.tooLong()) {
    out.failed = true;
    out.failure = "line " + std::to_string(source.lineNumber() + 1) +
                  " is longer than 1 MB; this is not a light-curve table";
    return out;
  }
  if (source.readError()) {
    out.failed = true;
    out.failure = "the file could not be read to its end";
    return out;
  }
  if (!problem.empty()) {
    out.failed = true;
    out.failure = problem;
    out.summary = what;
    return out;
  }
  rows.finish(out, what, names, plan);
  return out;
}

}  // namespace

FileSniff sniffObservationText(std::string_view start) {
  FileSniff s;
  s.opened = true;
  if (start.substr(0, 9) == "SIMPLE  =") {
    s.kind = FileKind::Fits;
    return s;
  }
  // Binary content (control characters) is left to the plain reader, which stops at
  // its first byte.
  for (char c : start) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') || u == 0x7f)
      return s;
  }
  if (start.size() >= 3 && static_cast<unsigned char>(start[0]) == 0xEF &&
      static_cast<unsigned char>(start[1]) == 0xBB && static_cast<unsigned char>(start[2]) == 0xBF)
    start.remove_prefix(3);
  // Only whole lines are judged (the last may be cut by the sniff's size).
  bool cut = false;
  if (start.size() >= kSniffBytes) {
    const auto lastBreak = start.find_last_of('\n');
    if (lastBreak != std::string_view::npos) start = start.substr(0, lastBreak + 1);
    cut = true;
  }
  (void)cut;
  LineSource lines(start);
  std::string line;
  std::vector<std::string> fields;
  bool first = true;
  int uniform = -1;
  bool threeEach = true;
  while (lines.next(line)) {
    const std::string_view t = trimmed(line);
    if (t.empty()) continue;
    if (isCommentLine(t)) {
      if (first) {
        s.kind = FileKind::TextTable;
        return s;
      }
      threeEach = false;
      uniform = 0;
      break;
    }
    if (t.find(',') != std::string_view::npos || t.find(';') != std::string_view::npos) {
      s.kind = FileKind::TextTable;
      return s;
    }
    std::size_t n = 0;
    splitLine(t, Separator::Whitespace, {}, fields, n);
    std::size_t numbers = 0;
    double x;
    for (std::size_t i = 0; i < n; ++i) numbers += fieldNumber(fields[i], x) ? 1 : 0;
    if (first && numbers == 0) {
      s.kind = FileKind::TextTable;  // a header line
      return s;
    }
    first = false;
    if (numbers != n) {  // words after the numbers: plain, read as far as it goes
      threeEach = false;
      uniform = 0;
      break;
    }
    if (n != 3) threeEach = false;
    if (uniform == -1)
      uniform = static_cast<int>(n);
    else if (uniform != static_cast<int>(n))
      uniform = 0;
  }
  if (first) {  // empty or blank: plain (no points)
    s.threeNumbersPerLine = true;
    return s;
  }
  if (uniform == 2) {
    s.kind = FileKind::TextTable;  // two columns: time and value
    return s;
  }
  s.threeNumbersPerLine = threeEach;
  s.uniformNumbersPerLine = uniform > 0 && uniform != 3 ? uniform : 0;
  return s;
}

FileSniff sniffObservationFile(const std::string& path) {
  FileSniff s;
  std::string start;
  bool compressed = false;
  // The raw bytes first; a compressed file is looked at again as what it
  // decompresses to.
  for (int pass = 0; pass < 2; ++pass) {
    std::FILE* f = pass == 0 ? std::fopen(path.c_str(), "rb") : openDecompressing(path);
    if (f == nullptr) {
      s.openError = std::strerror(errno);
      return s;
    }
    const bool read = readHead(f, start, kSniffBytes);
    const int readErrno = errno;
    std::fclose(f);
    if (!read) {
      s.openError = std::strerror(readErrno);
      return s;
    }
    if (pass == 1 || !isCompressedStart(start)) break;
    compressed = true;
  }
  s = sniffObservationText(start);
  s.compressed = compressed;
  return s;
}

namespace {

// A FITS file where only text can be read (memory, a stream): its reader
// needs a file on disk.
TableImport fitsRefused(std::string why) {
  TableImport out;
  out.opened = true;
  out.kind = FileKind::Fits;
  out.failed = true;
  out.failure = std::move(why);
  return out;
}

}  // namespace

TableImport importTableText(std::string_view text, const ImportOptions& options) {
  if (text.substr(0, 9) == "SIMPLE  =") return fitsRefused("FITS files are read from disk only");
  LineSource source(text);
  return readTextTable(source, options);
}

TableImport importTable(const std::string& path, const ImportOptions& options) {
  const FileSniff sniff = sniffObservationFile(path);
  if (!sniff.opened) {
    TableImport out;
    out.openError = sniff.openError;
    return out;
  }
  if (sniff.compressed) {
    // Read as the stream it decompresses to.
    std::FILE* gz = openDecompressing(path);
    std::string head;
    if (gz == nullptr || !readHead(gz, head, kSniffBytes)) {
      TableImport out;
      out.openError = std::strerror(errno);
      if (gz != nullptr) std::fclose(gz);
      return out;
    }
    TableImport out = importTableStream(gz, std::move(head), options);
    std::fclose(gz);
    return out;
  }
  if (sniff.kind == FileKind::Fits) return importFitsTable(path, options);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    TableImport out;
    out.openError = std::strerror(errno);
    return out;
  }
  LineSource source(f);
  TableImport out = readTextTable(source, options);
  std::fclose(f);
  return out;
}

TableImport importTableStream(std::FILE* file, std::string head, const ImportOptions& options) {
  if (std::string_view(head).substr(0, 9) == "SIMPLE  =") {
    // cfitsio and the header check need a file they can seek in: the
    // stream is copied whole to a temporary file, read there and removed.
    std::string copy = (std::filesystem::temp_directory_path() / "fazorn-fits-XXXXXX").string();
    const int fd = ::mkstemp(copy.data());
    if (fd < 0)
      return fitsRefused("a FITS file from a pipe or a compressed file needs a temporary copy (" +
                         std::string(std::strerror(errno)) + ")");
    bool written = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
    std::vector<char> block(1 << 16);
    for (std::size_t n; written && (n = std::fread(block.data(), 1, block.size(), file)) > 0;)
      written = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
    const bool readFailed = std::ferror(file) != 0;
    written = ::close(fd) == 0 && written;
    TableImport out;
    if (readFailed)
      out = fitsRefused("the compressed or piped FITS stream is damaged or cannot be read");
    else if (!written)
      out = fitsRefused("its temporary copy cannot be written (" +
                        std::string(std::strerror(errno)) + ")");
    else
      out = importFitsTable(copy, options);
    ::unlink(copy.c_str());
    return out;
  }
  LineSource source(file, std::move(head));
  return readTextTable(source, options);
}

}  // namespace fazorn
