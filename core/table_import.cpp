#include "core/table_import.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>

#include "core/fits_table.h"
#include "core/input_stream.h"
#include "core/number_format.h"
#include "core/observation_file.h"
#include "core/table_rows.h"
#include "core/votable.h"

namespace fazorn {

using table::ColumnPlan;
using table::LeftOut;
using table::RowCollector;

namespace {

// No text line of a light-curve table comes near this; a longer one means a
// file that is not a table (or is damaged), and reading ends with a message.
constexpr std::size_t kLongestLine = 1 << 20;
constexpr std::size_t kPreviewRows = 20;
// A row without an error (std::nan("") would parse a string on every row).
constexpr double kNoError = std::numeric_limits<double>::quiet_NaN();

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool fieldNumber(std::string_view field, double& out);

bool isCommentLine(std::string_view line) {
  line = trimmed(line);
  if (line.empty()) return false;
  if (line[0] == ';') {
    // A semicolon-separated row whose first field is empty (MACHO's files
    // start every row so) is data: many fields, the next one a number.
    const std::size_t next = line.find(';', 1);
    double x;
    if (std::count(line.begin(), line.end(), ';') >= 8 && next != std::string_view::npos &&
        fieldNumber(line.substr(1, next - 1), x))
      return false;
    return true;
  }
  return line[0] == '#' || line[0] == '%' || line[0] == '\\' || line[0] == '|';
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
        unterminated_ = true;  // the text ended inside this line
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
      const std::size_t i = lineEnd(data, n);
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
  // The last line given had no line end: the text ended inside it.
  bool lastLineUnterminated() const { return unterminated_; }

 private:
  std::size_t size() const { return memory_ ? text_.size() : filled_; }
  // The first LF or CR at or after pos_ (n when none). Where each of them
  // was last found is kept: searching with memchr from every line start
  // would rescan a file of CR line ends to its next LF on every line.
  std::size_t lineEnd(const char* data, std::size_t n) {
    auto next = [&](std::size_t& cached, char c) {
      if (cached < pos_ || cached == kUnknown) {
        const void* at = std::memchr(data + pos_, c, n - pos_);
        cached = at ? static_cast<std::size_t>(static_cast<const char*>(at) - data) : n;
      }
      return cached;
    };
    return std::min(next(nextLf_, '\n'), next(nextCr_, '\r'));
  }
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);
  std::size_t nextLf_ = kUnknown, nextCr_ = kUnknown;
  bool refill() {
    if (memory_ || atEnd_) return false;
    if (!head_.empty()) {
      // The bytes a sniff already took from a stream come first.
      buffer_.reset(new char[std::max(kBlock, head_.size())]);
      std::memcpy(buffer_.get(), head_.data(), head_.size());
      filled_ = head_.size();
      pos_ = 0;
      nextLf_ = nextCr_ = kUnknown;
      head_.clear();
      head_.shrink_to_fit();
      return true;
    }
    if (!buffer_) buffer_.reset(new char[kBlock]);
    filled_ = std::fread(buffer_.get(), 1, kBlock, file_);
    pos_ = 0;
    nextLf_ = nextCr_ = kUnknown;
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
  bool unterminated_ = false;
  long lineNumber_ = 0;
};

// SingleBlank: every single blank separates (an empty field is two blanks in
// a row), as in AAVSO downloads saved blank-delimited.
enum class Separator { Whitespace, Comma, Semicolon, Tab, FixedWidth, SingleBlank };

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
    case Separator::SingleBlank:
      return "single-blank";
    case Separator::Whitespace:
      break;
  }
  return "white-space";
}

// Splits a line into fields, as views of the line. Quoted fields ("a, b")
// keep their separators; a doubled quote or a backslash before a quote
// stands for the quote. A quoted field is built in `store` (a deque: its
// strings stay where they are as it grows), every other field is a view of
// `line` itself: no row copies its fields. Fixed-width rows are cut at the
// boundaries of an IPAC header.
void splitViews(std::string_view line, Separator sep, const std::vector<std::size_t>& bounds,
                std::vector<std::string_view>& fields, std::size_t& count,
                std::deque<std::string>& store) {
  count = 0;
  auto put = [&](std::string_view f) {
    if (count == fields.size()) fields.emplace_back();
    fields[count++] = f;
  };
  if (sep == Separator::FixedWidth) {
    std::size_t start = 0;
    for (std::size_t b : bounds) {
      if (start >= line.size()) break;
      put(trimmed(line.substr(start, b - start)));
      start = b;
    }
    return;
  }
  if (sep == Separator::SingleBlank) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t blank = line.find(' ', start);
      put(line.substr(start, blank == std::string_view::npos ? line.npos : blank - start));
      if (blank == std::string_view::npos) return;
      start = blank + 1;
    }
  }
  const char delimiter = sep == Separator::Comma ? ',' : sep == Separator::Semicolon ? ';' : '\t';
  std::size_t i = 0;
  const std::size_t n = line.size();
  if (sep == Separator::Whitespace) {
    while (i < n && isBlank(line[i])) ++i;
    if (i >= n) return;
  }
  for (;;) {
    if (sep != Separator::Whitespace)
      while (i < n && line[i] == ' ') ++i;
    std::string* built = nullptr;
    if (i < n && line[i] == '"') {
      built = &store.emplace_back();
      std::string& f = *built;
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
    // The rest of the field (all of it, unquoted).
    std::size_t j = i;
    if (sep == Separator::Whitespace) {
      while (j < n && !isBlank(line[j])) ++j;
    } else {
      const std::size_t end = line.find(delimiter, i);
      j = end == std::string_view::npos ? n : end;
    }
    if (built != nullptr) {
      built->append(line.data() + i, j - i);
      put(*built);
    } else {
      put(line.substr(i, j - i));
    }
    i = j;
    if (sep == Separator::Whitespace) {
      while (i < n && isBlank(line[i])) ++i;
      if (i >= n) return;
    } else {
      if (i >= n) return;
      ++i;  // past the delimiter: a field follows, possibly empty
    }
  }
}

// The same into strings of their own (header lines, the sniff).
void splitLine(std::string_view line, Separator sep, const std::vector<std::size_t>& bounds,
               std::vector<std::string>& fields, std::size_t& count) {
  std::vector<std::string_view> views;
  std::deque<std::string> store;
  splitViews(line, sep, bounds, views, count, store);
  if (fields.size() < count) fields.resize(count);
  for (std::size_t k = 0; k < count; ++k) fields[k].assign(views[k]);
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
// The 39 semicolon-separated fields of the MACHO project's photometry
// files, one file per field and tile holding all its stars, in the order
// the archive's READ_ME gives them (no line of names; the first field is
// blank; the date is an MJD; red and blue magnitudes with their errors).
const std::vector<std::string>& machoNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v = {"(blank)", "field", "tile",     "seqn",   "date",
                                  "obsid",   "pier",  "exposure", "airmass"};
    for (const char* band : {"red", "blue"})
      for (const char* item : {"mag", "error", "normsky", "type", "crowd", "chi2", "mpix",
                               "cosmicrf", "amp", "xpix", "ypix", "avesky", "fwhm", "tobs", "cut"})
        v.push_back(std::string(band) + "_" + item);
    return v;
  }();
  return names;
}

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
                                                 "Digitizer",
                                                 "Credit"};
  return names;
}

// The first column whose cell holds a list of numbers ("(1700.14,1716.52,
// ...)", "[13.1 13.2]"), or -1. Such cells make one row per star, not per
// observation (Gaia's COMBINED epoch photometry, arrays exported as text or
// VOTable arrays): no column of them is a light curve as it stands, and
// --columns would read nothing.
template <typename Cells>
int listCellColumn(const Cells& row, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view cell = trimmed(row[i]);
    const bool bracketed = cell.size() >= 5 && ((cell.front() == '(' && cell.back() == ')') ||
                                                (cell.front() == '[' && cell.back() == ']'));
    const std::size_t gap = cell.find_first_of(", ");  // two numbers at least
    double x = 0;
    if (bracketed && gap < cell.size() - 1 && fieldNumber(trimmed(cell.substr(1, gap - 1)), x))
      return static_cast<int>(i);
  }
  return -1;
}

std::string listCellRefusal(const std::string& column) {
  return "the cells of column \"" + column +
         "\" hold lists of numbers: each row is one star with all its observations (as Gaia's "
         "COMBINED epoch-photometry layout), not one observation; export one row per "
         "observation (Gaia: the INDIVIDUAL layout)";
}

// The unit an ECSV file stands for a time column that astropy serialised as
// calendar dates (Time in format isot, iso, fits or datetime): no day numbers.
constexpr std::string_view kCalendarDateUnit = "(calendar date)";

// The units an ECSV header states (astropy's "ECSV format", APE 6: a YAML
// header in "# " comment lines, one "- {name: time, unit: s, datatype:
// float64}" entry a column under "datatype:", and under
// "__serialized_columns__" the astropy Time columns with their "format:").
// Units keyed by column name; calendar-date Time columns get kCalendarDateUnit.
struct EcsvHeader {
  std::vector<std::string> names;  // the declared columns, in order
  std::map<std::string, std::string, std::less<>> units;
};

EcsvHeader ecsvHeader(const std::vector<std::string>& comments) {
  EcsvHeader header;
  auto& units = header.units;
  // One key of a YAML flow mapping "{name: time, unit: s, description: 'a,
  // b: c'}": the entries split at the commas outside quotes, each at its
  // first colon; a quoted value loses its quotes.
  auto valueOf = [](std::string_view entry, std::string_view key) -> std::string {
    const std::size_t open = entry.find('{');
    const std::size_t close = entry.rfind('}');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
      return {};
    const std::string_view map = entry.substr(open + 1, close - open - 1);
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= map.size(); ++k) {
      const char c = k < map.size() ? map[k] : ',';
      if (quote != 0) {
        if (c == quote) quote = 0;
        continue;
      }
      if (c == '\'' || c == '"') {
        quote = c;
        continue;
      }
      if (c != ',') continue;
      const std::string_view item = map.substr(start, k - start);
      start = k + 1;
      const std::size_t colon = item.find(':');
      if (colon == std::string_view::npos || trimmed(item.substr(0, colon)) != key) continue;
      std::string_view v = trimmed(item.substr(colon + 1));
      if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return std::string(v);
    }
    return {};
  };
  std::string timeColumn;  // the serialised column being described
  for (const auto& c : comments) {
    std::string_view t = c;
    if (!t.empty() && t[0] == '#') t.remove_prefix(1);
    const std::string_view body = trimmed(t);
    if (body.starts_with("- {name:")) {
      const std::string name = valueOf(body, "name");
      const std::string unit = valueOf(body, "unit");
      if (!name.empty()) header.names.push_back(name);
      if (!name.empty() && !unit.empty()) units[name] = unit;
      continue;
    }
    // "    time:" (a serialised column's name, nothing after the colon).
    if (!body.empty() && body.back() == ':' && body.find(' ') == std::string_view::npos &&
        !body.starts_with("__"))
      timeColumn = std::string(body.substr(0, body.size() - 1));
    if (body.starts_with("__class__:") && body.find("astropy.time") == std::string_view::npos)
      timeColumn.clear();
    if (!timeColumn.empty() && body.starts_with("format:")) {
      const std::string format = std::string(trimmed(body.substr(7)));
      if (format == "isot" || format == "iso" || format == "fits" || format == "datetime" ||
          format == "datetime64" || format == "yday")
        units[timeColumn] = std::string(kCalendarDateUnit);
      timeColumn.clear();
    }
  }
  return header;
}

// The column names of comment lines of the form "NAME (type): meaning", in
// their order (the other comment lines are passed over).
std::vector<std::string> describedColumns(const std::vector<std::string>& comments) {
  std::vector<std::string> names;
  for (const auto& line : comments) {
    std::string_view c = trimmed(line);
    while (!c.empty() && (c[0] == '#' || c[0] == '%' || c[0] == ';')) c.remove_prefix(1);
    c = trimmed(c);
    std::size_t i = 0;
    while (i < c.size() && (std::isalnum(static_cast<unsigned char>(c[i])) || c[i] == '_')) ++i;
    if (i == 0 || std::isdigit(static_cast<unsigned char>(c[0]))) continue;
    const std::string_view name = c.substr(0, i);
    std::string_view rest = trimmed(c.substr(i));
    if (!rest.starts_with('(')) continue;
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos) continue;
    const std::string type = table::lowerCase(trimmed(rest.substr(1, close - 1)));
    if (type != "float" && type != "int" && type != "double" && type != "str" && type != "bool")
      continue;
    if (!trimmed(rest.substr(close + 1)).starts_with(':')) continue;
    names.emplace_back(name);
  }
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

using table::RowFeed;

// Digits after the decimal point of a number written in decimals; -1 for
// anything else.
int decimals(std::string_view field) {
  field = trimmed(field);
  double x;
  if (!fieldNumber(field, x) || field.find_first_of("eExXnN") != std::string_view::npos) return -1;
  const std::size_t point = field.find('.');
  return point == std::string_view::npos ? 0 : static_cast<int>(field.size() - point - 1);
}

// The rows of a text table: the content lines the preamble took, then the
// rest of the source, without blank and comment lines. One row is held back
// so that the last row can be judged: a file cut short (a download broken
// off, a copy that ran out of room) ends in a row with fewer fields than
// the row before it, or, when the file does not end with a line end, in a
// number with fewer decimals than the same column of the row before.
class TextFeed : public RowFeed {
 public:
  TextFeed(LineSource& source, const std::vector<std::pair<std::string, long>>& content,
           std::size_t first, Separator sep, const std::vector<std::size_t>& bounds,
           std::size_t headerFields, const std::vector<std::string>& names)
      : source_(source),
        content_(content),
        index_(first),
        sep_(sep),
        bounds_(bounds),
        headerFields_(headerFields),
        names_(names) {}

  std::string failure() const override { return failure_; }
  std::vector<std::string> notes() const override {
    if (sections_ < 2) return {};
    return {std::to_string(sections_) +
            " data sets (\"#dataset=\" sections, each from its own field) are read together; "
            "their zero points may differ slightly."};
  }

  Kind next(std::vector<std::string_view>& fields, std::size_t& n, long& line) override {
    store_.clear();
    if (!primed_) {
      primed_ = true;
      haveAhead_ = raw(ahead_, aheadLine_);
    }
    if (!haveAhead_) return End;
    current_.swap(ahead_);
    line = aheadLine_;
    haveAhead_ = raw(ahead_, aheadLine_);
    splitViews(current_, sep_, bounds_, fields, n, store_);
    const bool last = !haveAhead_ && !source_.tooLong() && !source_.readError();
    if (last && cutShort(fields, n, line)) return CutShort;
    previousFields_ = n;
    previousLast_.assign(n > 0 ? fields[n - 1] : std::string_view());
    havePrevious_ = true;
    return Row;
  }

 private:
  bool raw(std::string& line, long& number) {
    while (index_ < content_.size()) {
      line = content_[index_].first;
      number = content_[index_].second;
      ++index_;
      return true;
    }
    while (source_.next(line)) {
      const std::string_view t = trimmed(line);
      if (!t.empty() && isCommentLine(t)) {
        if (!failure_.empty()) return false;
        checkHeader(t, source_.lineNumber());
        if (!failure_.empty()) return false;
        continue;
      }
      if (t.empty()) continue;
      number = source_.lineNumber();
      return true;
    }
    return false;
  }

 public:
  // A commented line of names further down (a new section, as ASAS-3
  // writes one per data set): the same columns read on; other columns, or
  // the same in another order, would put values under the wrong names.
  void checkHeader(std::string_view comment, long number) {
    if (!failure_.empty()) return;
    if (comment.starts_with("#dataset=") || comment.starts_with("#dataset ="))
      sections_ = sections_ == 0 ? 2 : sections_ + 1;
    while (!comment.empty() && (comment[0] == '#' || comment[0] == '%' || comment[0] == ';'))
      comment.remove_prefix(1);
    std::vector<std::string> words;
    std::size_t m = 0;
    splitLine(comment, Separator::Whitespace, {}, words, m);
    if (m != names_.size() || m < 2 || anyNumber(words, m)) return;
    bool same = true;
    std::size_t shared = 0;
    for (std::size_t i = 0; i < m; ++i) {
      const std::string w = table::normalizedName(words[i]);
      same = same && w == table::normalizedName(names_[i]);
      for (const auto& name : names_) shared += table::normalizedName(name) == w ? 1 : 0;
    }
    // A remark of as many words as there are columns ("# new night") is not
    // a header: at least half of its words must be the table's names.
    if (same || shared < std::max<std::size_t>(2, (m + 1) / 2)) return;
    failure_ = "the columns change at line " + std::to_string(number) + " (a new header line: \"" +
               std::string(trimmed(comment)) + "\"); split the file where they change";
  }

 private:
  bool cutShort(const std::vector<std::string_view>& fields, std::size_t n, long line) const {
    // The row is the file's last line, and that line has no line end.
    const bool unterminated = line == source_.lineNumber() && source_.lastLineUnterminated();
    // The row before must itself be whole (as many fields as the header):
    // in a ragged table a short last row is only one more short row.
    const std::size_t reference = havePrevious_ ? previousFields_ : headerFields_;
    if (havePrevious_ && previousFields_ < headerFields_) return false;
    // A blank-delimited AAVSO download has rows of varying length; only its
    // first fields are read, which the count of fields checks.
    if (sep_ == Separator::SingleBlank) return false;
    // White-space and fixed-width tables may leave empty last columns out
    // (trailing blanks trimmed): fewer fields count as cut only where the
    // file also ends inside the row.
    const bool delimited = sep_ != Separator::Whitespace && sep_ != Separator::FixedWidth;
    if (reference > 0 && n < reference && (delimited || unterminated)) return true;
    if (!unterminated || !havePrevious_ || n != previousFields_ || n == 0) return false;
    const int before = decimals(previousLast_);
    const int now = decimals(fields[n - 1]);
    if (before > 0 && trimmed(fields[n - 1]).empty()) return true;
    return before > 0 && now >= 0 && now < before;
  }

  LineSource& source_;
  const std::vector<std::pair<std::string, long>>& content_;
  std::size_t index_;
  Separator sep_;
  const std::vector<std::size_t>& bounds_;
  std::size_t headerFields_;
  const std::vector<std::string>& names_;
  std::string failure_;
  int sections_ = 0;
  bool primed_ = false, haveAhead_ = false, havePrevious_ = false;
  std::string ahead_, current_, previousLast_;
  std::deque<std::string> store_;  // the current row's quoted fields
  long aheadLine_ = 0;
  std::size_t previousFields_ = 0;
};

// The rows of a VOTable, already parsed.
class CellFeed : public RowFeed {
 public:
  explicit CellFeed(const std::vector<std::vector<std::string>>& rows) : rows_(rows) {}
  Kind next(std::vector<std::string_view>& fields, std::size_t& n, long& line) override {
    if (index_ >= rows_.size()) return End;
    const auto& row = rows_[index_++];
    if (fields.size() < row.size()) fields.resize(row.size());
    std::copy(row.begin(), row.end(), fields.begin());
    n = row.size();
    line = static_cast<long>(index_);
    return Row;
  }

 private:
  const std::vector<std::vector<std::string>>& rows_;
  std::size_t index_ = 0;
};

bool isMissing(std::string_view f) {
  f = trimmed(f);
  return f.empty() || f == "null" || f == "NULL" || f == "--" || f == "NA" || f == "N/A" ||
         f == "None" || f == "na" || f == "NaN" || f == "nan";
}

// The filter letter that ends an ATLAS exposure name: two digits of the
// unit, a letter, the five digits of the night's MJD, a letter, the four
// digits of the exposure and the filter ("02a59836o0498o", perhaps followed
// by a file extension). Empty for anything else.
std::string_view atlasFilterOf(std::string_view name) {
  name = trimmed(name);
  const std::size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  if (name.size() != 14) return {};
  auto digits = [&](std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i)
      if (name[i] < '0' || name[i] > '9') return false;
    return true;
  };
  auto letter = [&](std::size_t i) { return name[i] >= 'a' && name[i] <= 'z'; };
  if (!digits(0, 2) || !letter(2) || !digits(3, 5) || !letter(8) || !digits(9, 4) || !letter(13))
    return {};
  return name.substr(13, 1);
}

// A quality letter that passes: one character, one of `good`.
bool goodLetter(std::string_view cell, std::string_view good) {
  cell = trimmed(cell);
  return cell.size() == 1 && good.find(cell[0]) != std::string_view::npos;
}

// ZTF forced photometry's reference-image columns (0-based), when the value
// is its PSF difference flux with its own uncertainty and the user did not
// ask for fluxes.
struct ZtfReference {
  bool active = false;
  std::size_t zeroPoint = 0, refMag = 0, refDistance = 0;
  int refMagError = -1;  // nearestrefmagunc (-1: not in the table)
};

// The nearest reference-image source counts as the star when it lies within
// one ZTF pixel (1.01 arcsec) of the requested position: the service looks
// for it out to 5 arcsec, where it may be a neighbour whose flux is not the
// star's.
constexpr double kZtfSameSourceArcsec = 1.01;
// The signal-to-noise ratio below which the documentation takes an epoch for
// a non-detection (its SNT = 3).
constexpr double kZtfDetectionSnr = 3.0;
// 2.5 / ln 10: a relative flux error of 1 is this many magnitudes.
constexpr double kMagPerRelativeFlux = 1.0857362047581294;

ZtfReference ztfReferenceColumns(const std::vector<std::string>& normalized, const ColumnPlan& plan,
                                 const ImportOptions& options) {
  ZtfReference r;
  if (options.valueKind == ValueKind::Flux || plan.value < 0 || plan.error < 0 ||
      !plan.bandGroups.empty())
    return r;
  if (normalized[static_cast<std::size_t>(plan.value)] != "forcediffimflux" ||
      normalized[static_cast<std::size_t>(plan.error)] != "forcediffimfluxunc")
    return r;
  const int zp = table::findColumn(normalized, {"zpdiff"});
  const int mag = table::findColumn(normalized, {"nearestrefmag"});
  const int distance = table::findColumn(normalized, {"dnearestrefsrc"});
  if (zp < 0 || mag < 0 || distance < 0) return r;
  r.active = true;
  r.zeroPoint = static_cast<std::size_t>(zp);
  r.refMag = static_cast<std::size_t>(mag);
  r.refDistance = static_cast<std::size_t>(distance);
  r.refMagError = table::findColumn(normalized, {"nearestrefmagunc"});
  return r;
}

}  // namespace

namespace table {

TableImport readRows(TableImport& out, const std::vector<std::string>& names,
                     const std::vector<std::string>& units, std::string what, const char* layout,
                     bool decimalComma, const ImportOptions& options,
                     const ImportOptions& planOptions, RowFeed& feed,
                     const std::vector<std::string>& nulls, PlanExtras extras) {
  out.columnNames = names;
  std::vector<std::string> normalized;
  for (const auto& name : names) normalized.push_back(table::normalizedName(name));
  {
    std::string key = std::string(layout) + ":";
    for (const auto& name : normalized) key += name + "|";
    out.layoutKey = key;
  }

  ColumnPlan plan;
  std::string problem = table::planColumns(names, normalized, planOptions, plan);
  plan.zeroValueIsGap = extras.zeroValueIsGap;
  // The time column's stated unit (IPAC unit line, VOTable unit): periods
  // are in days, so seconds, minutes and hours are converted (with a note);
  // years are refused rather than read as days.
  double timeScale = 1.0;
  const std::string noUnit;
  if (problem.empty() && plan.time >= 0 &&
      (static_cast<std::size_t>(plan.time) < units.size() || !plan.documentedTimeUnit.empty())) {
    const std::string& stated = static_cast<std::size_t>(plan.time) < units.size()
                                    ? units[static_cast<std::size_t>(plan.time)]
                                    : noUnit;
    const std::string& unit = trimmed(stated).empty() && !plan.documentedTimeUnit.empty()
                                  ? plan.documentedTimeUnit
                                  : stated;
    const std::string& column = names[static_cast<std::size_t>(plan.time)];
    timeScale = table::daysPerTimeUnit(unit);
    if (unit == kCalendarDateUnit)
      problem = "the time column \"" + column +
                "\" holds calendar dates (an astropy Time column written in ISO format), not "
                "day numbers; write it with its format set to \"jd\" or \"mjd\", or choose a "
                "time column in days with --columns TIME,VALUE[,ERROR]";
    else if (timeScale == 0.0)
      problem = "the time column \"" + column + "\" is in " + std::string(trimmed(unit)) +
                " (its stated unit), not days; choose a time column in days with "
                "--columns TIME,VALUE[,ERROR]";
    else if (timeScale != 1.0)
      out.notes.push_back("The time column \"" + column + "\" is in " + std::string(trimmed(unit)) +
                          (&unit == &plan.documentedTimeUnit ? " (the product's documented unit)"
                                                             : " (its stated unit)") +
                          ": converted to days.");
  }
  out.timeColumn = plan.time;
  out.valueColumn = plan.value;
  out.errorColumn = plan.error;
  out.bandColumn = plan.band;
  if (plan.value >= 0 && static_cast<std::size_t>(plan.value) < units.size())
    out.valueUnit = units[static_cast<std::size_t>(plan.value)];
  if (!plan.survey.empty()) what = plan.survey + " (" + what + ")";
  if (std::string_view(layout) == "tab" || std::string_view(layout) == "semicolon")
    what += ", " + std::string(layout) + "-separated";

  RowCollector rows(options);
  // ZTF forced photometry gives difference fluxes (DN against the reference
  // image), negative wherever the star is fainter than in the reference. For
  // a variable star the service's documentation ("Generating absolute-
  // photometry lightcurves for variable sources") adds the flux of the
  // reference-image source at the position, 10^(0.4 (zpdiff - nearestrefmag)),
  // and takes zpdiff - 2.5 log10 of the total. The epochs are read both ways;
  // the magnitudes are kept when every usable row of the chosen band has its
  // reference source (else the difference fluxes, as before, with a note).
  const ZtfReference ztf =
      problem.empty() ? ztfReferenceColumns(normalized, plan, options) : ZtfReference{};
  ImportOptions totalsOptions = options;  // its band is set to the chosen one at the end
  RowCollector totals(totalsOptions);
  // Per band: the rows without their reference source, and the largest
  // distance of a source too far away to be the star (0: none was).
  struct Unreferenced {
    std::size_t rows = 0;
    double farthest = 0.0;
  };
  std::map<std::string, Unreferenced, std::less<>> unreferenced;
  std::size_t belowDetection = 0;
  // Epochs whose reference flux uncertainty exceeded their difference flux's.
  std::size_t referenceErrorsTooLarge = 0;
  auto leaveOut = [&](LeftOut why, long line) {
    rows.leaveOut(why, line);
    if (ztf.active) totals.leaveOut(why, line);
  };
  int widest = std::max({plan.time, plan.value, plan.error, plan.band, plan.fluxOverError,
                         plan.star, plan.validation, plan.grade, plan.positiveFlux});
  for (const auto& g : plan.bandGroups) widest = std::max({widest, g.value, g.error, g.flag});
  for (const auto& l : plan.letterFlags) widest = std::max(widest, l.column);
  for (const auto& r : plan.requiredValues) widest = std::max(widest, r.first);
  widest = std::max({widest, plan.limitFlag, plan.exposureName});
  const std::size_t need = static_cast<std::size_t>(std::max(widest, 0)) + 1;

  auto number = [&](std::string_view f, double& x) {
    if (fieldNumber(f, x)) return true;
    if (decimalComma && f.find(',') != std::string::npos && f.find('.') == std::string::npos) {
      std::string g(f);
      for (char& c : g)
        if (c == ',') c = '.';
      return fieldNumber(g, x);
    }
    return false;
  };

  std::vector<std::string_view> fields;
  std::size_t n = 0;
  bool stopped = false;
  std::string seriesName;
  const bool anyNull =
      std::any_of(nulls.begin(), nulls.end(), [](const std::string& m) { return !m.empty(); });
  auto isNull = [&](int column) {
    const auto c = static_cast<std::size_t>(column);
    return anyNull && c < nulls.size() && !nulls[c].empty() && c < n &&
           trimmed(fields[c]) == nulls[c];
  };
  // One observation of the row: its value and error columns, into `series`.
  // Returns false when the observation limit is reached.
  auto observe = [&](double t, int valueColumn, int errorColumn, std::string_view series,
                     long lineNumber) {
    const std::string_view vf = fields[static_cast<std::size_t>(valueColumn)];
    if (isNull(valueColumn)) {
      leaveOut(LeftOut::NullMarker, lineNumber);
      return;
    }
    const std::string_view vt = trimmed(vf);
    if (!vt.empty() && (vt[0] == '<' || vt[0] == '>')) {
      leaveOut(LeftOut::Limit, lineNumber);
      return;
    }
    // The number first: the missing-value words are looked for only in a
    // field that is not one ("nan" is both, and not finite either way).
    double v;
    if (!number(vf, v)) {
      leaveOut(isMissing(vf) ? LeftOut::NotFinite : LeftOut::Unreadable, lineNumber);
      return;
    }
    if (!std::isfinite(v)) {
      leaveOut(LeftOut::NotFinite, lineNumber);
      return;
    }
    if (v == plan.nullNumber) {
      leaveOut(LeftOut::NullMarker, lineNumber);
      return;
    }
    if (plan.zeroValueIsGap && v == 0.0) {
      leaveOut(LeftOut::ZeroFluxGap, lineNumber);
      return;
    }
    double e = kNoError;
    if (errorColumn >= 0) {
      const std::string_view ef = fields[static_cast<std::size_t>(errorColumn)];
      if (!isNull(errorColumn) && !number(ef, e)) {
        if (!isMissing(ef)) {
          leaveOut(LeftOut::Unreadable, lineNumber);
          return;
        }
        e = kNoError;
      }
      if (std::isinf(e) || e == plan.nullNumber) e = kNoError;
    } else if (plan.fluxOverError >= 0) {
      double snr;
      if (number(fields[static_cast<std::size_t>(plan.fluxOverError)], snr) && snr > 0)
        e = 2.5 / std::log(10.0) / snr;
    }
    if (plan.valueIsMagnitude &&
        (std::fabs(v) >= plan.markerAbove || (!std::isnan(e) && e >= plan.markerAbove))) {
      leaveOut(LeftOut::Marker, lineNumber);
      return;
    }
    if (!rows.add(t * timeScale, v, e, series)) stopped = true;
    if (ztf.active && valueColumn == plan.value) {
      // A short row lacks the columns: no reference then.
      auto cell = [&](std::size_t c, double& x) { return c < n && number(fields[c], x); };
      double zp, refMag, distance;
      const bool referenced = cell(ztf.zeroPoint, zp) && cell(ztf.refMag, refMag) &&
                              cell(ztf.refDistance, distance) && std::isfinite(zp) &&
                              std::isfinite(refMag) && distance >= 0.0 &&
                              distance <= kZtfSameSourceArcsec;
      if (!referenced) {
        Unreferenced& u = unreferenced[std::string(series)];
        ++u.rows;
        if (cell(ztf.refDistance, distance) && distance > kZtfSameSourceArcsec)
          u.farthest = std::max(u.farthest, distance);
      } else {
        const double refFlux = std::pow(10.0, 0.4 * (zp - refMag));
        const double total = v + refFlux;
        // The service's documentation (section "Generating absolute-
        // photometry lightcurves for variable sources"): the reference
        // flux's uncertainty nearestrefmagunc * refFlux / 1.0857 is taken
        // out of the difference flux's in quadrature, since
        // forcediffimfluxunc already holds the reference image's noise that
        // the reference flux brings back. Where that would leave no
        // variance (an inconsistent reference uncertainty) the difference
        // flux's own uncertainty is kept, and counted.
        double totalErr = e;
        double refMagError;
        if (ztf.refMagError >= 0 && cell(static_cast<std::size_t>(ztf.refMagError), refMagError) &&
            std::isfinite(refMagError) && refMagError > 0.0 && std::isfinite(e)) {
          const double refFluxError = refMagError * refFlux / kMagPerRelativeFlux;
          const double variance = e * e - refFluxError * refFluxError;
          if (variance > 0.0)
            totalErr = std::sqrt(variance);
          else
            ++referenceErrorsTooLarge;
        }
        if (!std::isfinite(totalErr) || !(total > kZtfDetectionSnr * totalErr)) {
          ++belowDetection;
          totals.leaveOut(LeftOut::Limit, lineNumber);
        } else if (!totals.add(t * timeScale, zp - 2.5 * std::log10(total),
                               kMagPerRelativeFlux * totalErr / total, series)) {
          stopped = true;
        }
      }
    }
  };

  // A table without column names read by position (four columns or more,
  // as for the checks on its numbers): a column of words that
  // differ from row to row (r, i, g; V, B) may be the band, and reading past
  // it would mix the bands; such a table is refused below.
  const bool positional = problem.empty() && options.columns.empty() && plan.time == 0 &&
                          plan.value == 1 && plan.bandGroups.empty() && names.size() >= 4 &&
                          names[0] == "1" && names[1] == "2";
  std::vector<std::string> firstLabel;
  int labelColumn = -1;
  std::string otherLabel;
  auto watchLabels = [&] {
    if (firstLabel.size() < n) firstLabel.resize(n);
    for (std::size_t c = 0; c < n && labelColumn < 0; ++c) {
      if (static_cast<int>(c) == plan.time || static_cast<int>(c) == plan.value ||
          static_cast<int>(c) == plan.error)
        continue;
      const std::string_view f = trimmed(fields[c]);
      double x;
      // Labels are short words; dates ("2019-09-04.09") and exposure
      // names ("01a58900o0123c") start with a digit.
      if (f.empty() || f.size() > 12 || (f[0] >= '0' && f[0] <= '9') || fieldNumber(f, x) ||
          isMissing(f))
        continue;
      if (firstLabel[c].empty())
        firstLabel[c] = f;
      else if (firstLabel[c] != f) {
        labelColumn = static_cast<int>(c);
        otherLabel = f;
      }
    }
  };

  auto processRow = [&](long lineNumber) {
    if (out.previewRows.size() < kPreviewRows)
      out.previewRows.emplace_back(fields.begin(), fields.begin() + static_cast<long>(n));
    if (!problem.empty()) return;
    if (positional && labelColumn < 0) watchLabels();
    if (n < need) {
      leaveOut(LeftOut::MissingColumn, lineNumber);
      return;
    }
    for (int f : plan.flags) {
      if (static_cast<std::size_t>(f) >= n || isNull(f)) continue;
      const std::string_view s = trimmed(fields[static_cast<std::size_t>(f)]);
      double x;
      // A flag that is neither a number nor a truth value ("56,57", a ZTF
      // processing status holding two codes) is set; an empty or null flag is not.
      const bool isFalse = s.empty() || s == "null" || s == "NULL" || s == "false" ||
                           s == "False" || s == "FALSE" || s == "F";
      const bool set = fieldNumber(s, x) ? x != 0.0 : !isFalse;
      if (set) {
        leaveOut(LeftOut::Flagged, lineNumber);
        return;
      }
    }
    for (const auto& [f, mask] : plan.maskedFlags) {
      if (static_cast<std::size_t>(f) >= n) continue;
      double x;
      if (!fieldNumber(fields[static_cast<std::size_t>(f)], x)) continue;  // empty: no flag
      // Integer flags of up to 63 bits; a negative or fractional one is not a mask.
      const bool set = !(x >= 0 && x < 9.2e18 && x == std::floor(x)) ||
                       (static_cast<unsigned long long>(x) & mask) != 0;
      if (set) {
        leaveOut(LeftOut::Flagged, lineNumber);
        return;
      }
    }
    if (plan.grade >= 0 && trimmed(fields[static_cast<std::size_t>(plan.grade)]) == "D") {
      leaveOut(LeftOut::Flagged, lineNumber);
      return;
    }
    for (const auto& l : plan.letterFlags) {
      if (!goodLetter(fields[static_cast<std::size_t>(l.column)], l.good)) {
        leaveOut(LeftOut::Flagged, lineNumber);
        return;
      }
    }
    if (plan.positiveFlux >= 0) {
      double flux;
      const std::string_view ff = fields[static_cast<std::size_t>(plan.positiveFlux)];
      if (number(ff, flux) && !(flux > 0)) {
        leaveOut(LeftOut::NotPositive, lineNumber);
        return;
      }
    }
    if (plan.validation >= 0 && trimmed(fields[static_cast<std::size_t>(plan.validation)]) == "D") {
      leaveOut(LeftOut::Discrepant, lineNumber);
      return;
    }
    for (const auto& [column, wanted] : plan.requiredValues) {
      double x;
      if (!fieldNumber(fields[static_cast<std::size_t>(column)], x) || x != wanted) {
        leaveOut(LeftOut::Flagged, lineNumber);
        return;
      }
    }
    if (plan.limitFlag >= 0) {
      const std::string_view l = trimmed(fields[static_cast<std::size_t>(plan.limitFlag)]);
      double x;
      const bool limit = fieldNumber(l, x) ? x != 0.0
                                           : l == "T" || l == "t" || l == "true" || l == "True" ||
                                                 l == "TRUE" || l == "yes";
      if (limit) {
        leaveOut(LeftOut::Limit, lineNumber);
        return;
      }
    }
    const std::string_view tf = fields[static_cast<std::size_t>(plan.time)];
    double t;
    if (isNull(plan.time)) {
      leaveOut(LeftOut::NullMarker, lineNumber);
      return;
    }
    if (!number(tf, t)) {
      leaveOut(isMissing(tf) ? LeftOut::NotFinite : LeftOut::Unreadable, lineNumber);
      return;
    }
    if (!std::isfinite(t)) {
      leaveOut(LeftOut::NotFinite, lineNumber);
      return;
    }
    if (!plan.bandGroups.empty()) {
      // WISE: per band, ph_qual U is an upper limit and X or Z no measurement
      // (A, B and C are detections); a cc_flags letter other than 0 marks an
      // artefact (diffraction spike, persistence, halo, ghost); qual_frame 0
      // a frame of poor quality (WISE Explanatory Supplement, sections on the
      // source tables' columns).
      auto letter = [&](int column, std::size_t k) {
        if (column < 0 || static_cast<std::size_t>(column) >= n) return ' ';
        const std::string_view s = trimmed(fields[static_cast<std::size_t>(column)]);
        return k < s.size() ? s[k] : ' ';
      };
      auto numberAt = [&](int column, double& x) {
        return column >= 0 && static_cast<std::size_t>(column) < n &&
               fieldNumber(fields[static_cast<std::size_t>(column)], x);
      };
      // qual_frame 0 and qi_fact 0 are frames of poor quality, a negative
      // saa_sep a frame inside the South Atlantic Anomaly (NEOWISE
      // Explanatory Supplement, the single-exposure source table's columns).
      double frame, quality, saa;
      const bool badFrame = (numberAt(plan.qualFrame, frame) && frame == 0.0) ||
                            (numberAt(plan.imageQuality, quality) && quality == 0.0) ||
                            (numberAt(plan.saaSeparation, saa) && saa < 0.0);
      for (std::size_t b = 0; b < plan.bandGroups.size() && !stopped; ++b) {
        const auto& g = plan.bandGroups[b];
        // The band's letter in the per-band flag strings: W1 the first.
        const std::size_t k =
            g.name.size() == 2 && g.name[0] == 'W' ? static_cast<std::size_t>(g.name[1] - '1') : 0;
        const char q = letter(plan.photQual, k);
        const char cc = letter(plan.ccFlags, k);
        const char moon = letter(plan.moonMasked, k);
        if (badFrame || (cc != ' ' && cc != '0') || moon == '1' ||
            (g.flag >= 0 && !goodLetter(fields[static_cast<std::size_t>(g.flag)], g.flagGood))) {
          leaveOut(LeftOut::Flagged, lineNumber);
        } else if (q == 'U') {
          leaveOut(LeftOut::Limit, lineNumber);
        } else if (q == 'X' || q == 'Z') {
          leaveOut(LeftOut::NotFinite, lineNumber);
        } else {
          // Files of many stars (MACHO tiles): each star's band a series.
          std::string_view series = g.name;
          if (plan.star >= 0) {
            seriesName.assign(trimmed(fields[static_cast<std::size_t>(plan.star)]));
            seriesName.append("/").append(g.name);
            series = seriesName;
          }
          observe(t, g.value, g.error, series, lineNumber);
        }
      }
      return;
    }
    std::string_view band;
    if (plan.band >= 0) band = trimmed(fields[static_cast<std::size_t>(plan.band)]);
    if (!plan.bandCodes.empty() && !band.empty()) {
      // A code outside the documented ones stays as written (a band of its
      // own, never merged into a named one).
      double code;
      if (fieldNumber(band, code) && code >= 1 &&
          code <= static_cast<double>(plan.bandCodes.size()) && code == std::floor(code))
        band = plan.bandCodes[static_cast<std::size_t>(code) - 1];
    }
    if (plan.exposureName >= 0)
      band = atlasFilterOf(fields[static_cast<std::size_t>(plan.exposureName)]);
    if (plan.star >= 0) {
      seriesName.assign(trimmed(fields[static_cast<std::size_t>(plan.star)]));
      seriesName.append("/").append(band);
      band = seriesName;
    }
    if (plan.bandQualifier >= 0 && static_cast<std::size_t>(plan.bandQualifier) < n) {
      const std::string_view q = trimmed(fields[static_cast<std::size_t>(plan.bandQualifier)]);
      if (!q.empty() && q != "STD") {
        std::string qualified(band);
        qualified.append(" (").append(q).append(")");
        seriesName = std::move(qualified);
        band = seriesName;
      }
    }
    observe(t, plan.value, plan.error, band, lineNumber);
  };

  long lineNumber = 0;
  while (!stopped && (problem.empty() || out.previewRows.size() < kPreviewRows)) {
    const RowFeed::Kind kind = feed.next(fields, n, lineNumber);
    if (kind == RowFeed::End) break;
    if (kind == RowFeed::CutShort) {
      if (problem.empty()) leaveOut(LeftOut::CutShort, lineNumber);
      continue;
    }
    processRow(lineNumber);
  }
  if (const std::string why = feed.failure(); !why.empty()) {
    out.failed = true;
    out.failure = why;
    return out;
  }
  if (problem.empty() && labelColumn >= 0)
    problem = "the file has no column names, and column " + std::to_string(labelColumn + 1) +
              " holds words that differ between rows (" +
              firstLabel[static_cast<std::size_t>(labelColumn)] + ", " + otherLabel +
              "): perhaps bands, which reading by position would mix; add a header line that "
              "names the columns (a band column as \"band\"), or choose them with --columns "
              "TIME,VALUE[,ERROR]";
  if (!problem.empty()) {
    out.failed = true;
    out.failure = problem;
    out.summary = what;
    return out;
  }
  std::vector<std::string> notes = std::move(out.notes);
  out.notes.clear();
  TableImport magnitudes = ztf.active ? out : TableImport{};
  rows.finish(out, what, names, plan);
  std::string ztfNote;
  if (ztf.active && !out.failed) {
    const auto missing = unreferenced.find(out.chosenBand);
    const Unreferenced lacking = missing == unreferenced.end() ? Unreferenced{} : missing->second;
    if (lacking.rows == 0) {
      totalsOptions.band = out.chosenBand;
      totals.finish(magnitudes, what, names, plan);
      if (!magnitudes.failed) {
        out = std::move(magnitudes);
        out.valueUnit = "mag";
        ztfNote =
            "ZTF forced photometry: magnitudes zpdiff - 2.5 log10(forcediffimflux + "
            "reference flux), the reference flux 10^(0.4 (zpdiff - nearestrefmag)) of the "
            "reference-image source at the position, as the service documents for "
            "variable stars (--values flux keeps the difference fluxes); the errors "
            "sqrt(forcediffimfluxunc^2 - reference flux uncertainty^2), the reference flux "
            "uncertainty nearestrefmagunc times the reference flux / 1.0857, as documented";
        if (referenceErrorsTooLarge > 0)
          ztfNote += " (" + std::to_string(referenceErrorsTooLarge) +
                     " epochs of every band whose reference uncertainty exceeds theirs keep "
                     "forcediffimfluxunc)";
        if (belowDetection > 0)
          ztfNote += "; " + std::to_string(belowDetection) +
                     " epochs of every band with a total signal-to-noise ratio below 3 are "
                     "limits, not measurements";
        ztfNote += ".";
      }
    }
    if (ztfNote.empty()) {
      std::size_t usable = 0;
      for (const auto& [name, count] : out.bands)
        if (name == out.chosenBand) usable = count;
      ztfNote =
          "ZTF forced photometry: the values are difference fluxes (DN against the "
          "reference image), negative where the star is fainter than there, and are not "
          "made magnitudes: " +
          std::to_string(lacking.rows) + " of the " + std::to_string(usable) + " rows of band " +
          out.chosenBand +
          (lacking.farthest > 0.0
               ? " have their nearest reference-image source up to " +
                     formatPrintf("%.1f", lacking.farthest) + " arcsec away, not at the position"
               : " have no reference-image source (nearestrefmag) at the position") +
          ". The model leaves out the fluxes of 0 or below.";
    }
  }
  out.notes.insert(out.notes.begin(), notes.begin(), notes.end());
  if (!ztfNote.empty()) out.notes.push_back(std::move(ztfNote));
  for (auto& note : feed.notes()) out.notes.push_back(std::move(note));
  return out;
}

}  // namespace table

namespace {

using table::readRows;

// A VOTable: the first table's FIELDs name the columns; their UCDs and units
// are the evidence where the names say nothing the column rules know.
TableImport readVoTableText(std::string_view text, const ImportOptions& options) {
  TableImport out;
  out.opened = true;
  out.kind = FileKind::TextTable;
  const std::size_t limit = options.maxObservations > 0 ? options.maxObservations : 0;
  const votable::Table vt = votable::parse(text, limit);
  if (!vt.ok) {
    out.failed = true;
    out.failure = "VOTable: " + vt.failure;
    return out;
  }
  std::vector<std::string> names, units;
  for (const auto& f : vt.fields) {
    names.push_back(f.name);
    units.push_back(f.unit);
  }
  if (!vt.rows.empty()) {
    const int listed =
        listCellColumn(vt.rows.front(), std::min(vt.rows.front().size(), names.size()));
    if (listed >= 0) {
      out.failed = true;
      out.failure = "VOTable: " + listCellRefusal(names[static_cast<std::size_t>(listed)]);
      return out;
    }
  }
  ImportOptions planOptions = options;
  if (options.columns.empty()) {
    std::vector<std::string> normalized;
    for (const auto& name : names) normalized.push_back(table::normalizedName(name));
    ColumnPlan trial;
    if (!table::planColumns(names, normalized, options, trial).empty()) {
      // The UCDs: a time epoch in days (JD, MJD or d; not a year), the main
      // magnitude or flux (meta.main, else the only one), and the error of
      // that quantity (stat.error or stat.stdev).
      auto ucdHas = [&](std::size_t i, const char* word) {
        return table::lowerCase(vt.fields[i].ucd).find(word) != std::string::npos;
      };
      auto pickOne = [&](auto&& fits) {
        std::vector<std::size_t> found, main;
        for (std::size_t i = 0; i < vt.fields.size(); ++i)
          if (fits(i)) {
            found.push_back(i);
            if (ucdHas(i, "meta.main")) main.push_back(i);
          }
        if (main.size() == 1) return static_cast<int>(main[0]);
        return found.size() == 1 ? static_cast<int>(found[0]) : -1;
      };
      const int time = pickOne([&](std::size_t i) {
        const std::string u = table::lowerCase(vt.fields[i].unit);
        return ucdHas(i, "time.epoch") && (u == "jd" || u == "mjd" || u == "d" || u == "day");
      });
      bool flux = false;
      int value = pickOne([&](std::size_t i) {
        return ucdHas(i, "phot.mag") && !ucdHas(i, "stat.") && !ucdHas(i, "limit");
      });
      if (value < 0) {
        value =
            pickOne([&](std::size_t i) { return ucdHas(i, "phot.flux") && !ucdHas(i, "stat."); });
        flux = value >= 0;
      }
      const int error = pickOne([&](std::size_t i) {
        return (ucdHas(i, "stat.error") || ucdHas(i, "stat.stdev")) &&
               ucdHas(i, flux ? "phot.flux" : "phot.mag");
      });
      if (time >= 0 && value >= 0 && time != value) {
        planOptions.columns = {names[static_cast<std::size_t>(time)],
                               names[static_cast<std::size_t>(value)]};
        if (error >= 0 && error != time && error != value)
          planOptions.columns.push_back(names[static_cast<std::size_t>(error)]);
        out.notes.push_back("Columns chosen by their VOTable UCDs: " +
                            vt.fields[static_cast<std::size_t>(time)].ucd + ", " +
                            vt.fields[static_cast<std::size_t>(value)].ucd + ".");
      }
    }
  }
  if (vt.tables > 1)
    out.notes.push_back("The VOTable holds " + std::to_string(vt.tables) +
                        " tables; the first was read.");
  CellFeed feed(vt.rows);
  return readRows(out, names, units, "VOTable", "votable", false, options, planOptions, feed);
}

// The whole of a stream (a VOTable is parsed at once), after `head`.
bool readAll(std::FILE* file, std::string& text) {
  constexpr std::size_t kLargest = std::size_t{1} << 30;
  std::vector<char> block(1 << 16);
  for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), file)) > 0;) {
    if (text.size() + n > kLargest) return false;
    text.append(block.data(), n);
  }
  return std::ferror(file) == 0;
}

TableImport readVoTableStream(std::FILE* file, std::string text, const ImportOptions& options) {
  if (!readAll(file, text)) {
    TableImport out;
    out.opened = true;
    out.failed = true;
    out.failure = "the VOTable could not be read to its end (or is larger than 1 GB)";
    return out;
  }
  return readVoTableText(text, options);
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
  std::vector<std::pair<std::string, long>> between;  // comment lines among them
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
    if (!content.empty() && isCommentLine(t)) {
      between.emplace_back(t, source.lineNumber());
      continue;
    }
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
  std::vector<std::string> names, units, nulls;
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
    // The third "|" line gives the units, between the same boundaries.
    if (ipacHeader.size() >= 3) {
      const std::string& u = ipacHeader[2];
      std::size_t start = h.find('|');
      for (std::size_t b : bounds) {
        const std::size_t from = std::min(start + 1, u.size());
        const std::size_t to = std::min(b - 1, u.size());
        units.emplace_back(trimmed(std::string_view(u).substr(from, to > from ? to - from : 0)));
        start = b - 1;
      }
    }
    // The fourth "|" line gives each column's null marker; IRSA's
    // description of the IPAC table format makes "null" the default.
    for (std::size_t k = 0; k < bounds.size(); ++k) nulls.emplace_back("null");
    if (ipacHeader.size() >= 4) {
      const std::string& m = ipacHeader[3];
      std::size_t start = h.find('|');
      for (std::size_t k = 0; k < bounds.size(); ++k) {
        const std::size_t from = std::min(start + 1, m.size());
        const std::size_t to = std::min(bounds[k] - 1, m.size());
        const std::string_view marker =
            trimmed(std::string_view(m).substr(from, to > from ? to - from : 0));
        if (!marker.empty()) nulls[k] = std::string(marker);
        start = bounds[k] - 1;
      }
    }
    sep = Separator::FixedWidth;
    what = "IPAC table";
  } else if (!content.empty()) {
    const std::string& first = content[0].first;
    const std::string second = content.size() > 1 ? content[1].first : std::string();
    sep = chooseSeparator(first, second);
    splitLine(first, sep, {}, fields, n);
    // AAVSO's names hold numbers ("Comp Star 1") but are a header all the same.
    if (!anyNumber(fields, n) || trimmed(first).starts_with("JD Magnitude Uncertainty")) {
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
      // A header of one name fewer than the rows have fields: R's
      // write.table writes its row names so, and read.table takes the first
      // field of each row for a row name when the header is one short. Read
      // by the names as they stand, every column would be taken for its
      // left neighbour; the row names are set aside instead (when the next
      // row agrees, so that one odd row decides nothing).
      if (content.size() > 2 && rowCount == names.size() + 1 && names.size() >= 2) {
        std::vector<std::string> third;
        std::size_t thirdCount = 0;
        splitLine(content[2].first, sep, {}, third, thirdCount);
        // Rows that end in a separator the header lacks ("1,2,3,") have an
        // empty last field instead: not this case.
        const bool lastFilled =
            !trimmed(rowFields[rowCount - 1]).empty() && !trimmed(third[thirdCount - 1]).empty();
        // R numbers its rows 1, 2, ... unless told otherwise: the two rows'
        // first fields follow on (an odd field elsewhere in a row, a
        // comment's comma, decides nothing).
        double rowName = 0, nextRowName = 0;
        const bool numbered = fieldNumber(rowFields[0], rowName) && thirdCount > 0 &&
                              fieldNumber(third[0], nextRowName) &&
                              rowName == std::floor(rowName) && nextRowName == rowName + 1.0;
        if (thirdCount == rowCount && lastFilled && numbered) {
          names.insert(names.begin(), "(row name)");
          out.notes.push_back(
              "The header names one column fewer than the rows hold: the first field of each row "
              "is taken for a row name (as R's write.table writes them) and not read.");
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
      // Comment lines that describe the columns in order, one a line, as
      // "NAME (type): meaning" (EVEREST's CSV light curves: "TIME (float):
      // Time (BJD - 2454833)", "CADN (int): Cadence number", ...): as many
      // as the rows have fields name them.
      if (names.empty()) {
        std::vector<std::string> described = describedColumns(comments);
        if (described.size() == n) {
          names = std::move(described);
          what = "Table with its columns described in comments";
        }
      }
      if (names.empty() && (sep == Separator::Comma || sep == Separator::Tab) && n >= 20 &&
          n <= headerlessAavsoNames().size()) {
        double jd = 0;
        if (fieldNumber(fields[0], jd) && jd > 2300000.0 && jd < 2600000.0) {
          names = headerlessAavsoNames();
          names.resize(n);
          what = std::string(sep == Separator::Comma ? "CSV" : "Table") +
                 " without header in the AAVSO download layout";
        }
      }
      double mjd = 0;
      if (names.empty() && sep == Separator::Semicolon && n == machoNames().size() &&
          trimmed(fields[0]).empty() && fieldNumber(fields[4], mjd) && mjd > 40000.0 &&
          mjd < 60000.0) {
        names = machoNames();
        what = "table without header in the archive's field order";
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
  if (sep == Separator::Whitespace && names.size() >= 5 && names[0] == "JD" &&
      names[1] == "Magnitude" && names[2] == "Uncertainty" && names[3] == "HQuncertainty" &&
      names[4] == "Band" && content.size() > 1 &&
      content[0].first.find('\t') == std::string::npos) {
    // The AAVSO download saved with a single blank as delimiter: its names
    // ("Observer Code") and fields (Comments, Star Name) hold blanks, so only
    // the fields before the first of them stand where AAVSO's documented
    // column order puts them: JD, Magnitude, Uncertainty, HQuncertainty, Band.
    // An empty field is two blanks in a row, so the rows split at each blank.
    sep = Separator::SingleBlank;
    names.resize(5);
    what = "AAVSO download, blank-delimited";
    out.notes.push_back(
        "This AAVSO download is blank-delimited: only JD, Magnitude, Uncertainty and Band can be "
        "placed (its Comments and Star Name fields hold blanks), so its validation flags cannot be "
        "read and discrepant (D) rows, if any, are kept; download it comma-delimited to have them "
        "left out.");
  }
  // An ECSV file states the units in its YAML header, not beside the names.
  // Its line of names must repeat the declared columns (as astropy's reader
  // requires): units that belong to other names cannot be placed.
  if (units.empty() && !comments.empty() && trimmed(comments[0]).starts_with("# %ECSV")) {
    const EcsvHeader declared = ecsvHeader(comments);
    if (!declared.names.empty() && declared.names != names) {
      std::string list;
      for (std::size_t i = 0; i < declared.names.size() && i < 40; ++i)
        list += (i ? ", " : "") + declared.names[i];
      out.failed = true;
      out.failure = "this ECSV file's header declares the columns " + list +
                    ", but its line of names (or its rows) do not match them; write the table "
                    "again or correct the line of names";
      return out;
    }
    units.assign(names.size(), std::string());
    for (std::size_t i = 0; i < names.size(); ++i)
      if (const auto u = declared.units.find(names[i]); u != declared.units.end())
        units[i] = u->second;
    what = "ECSV table";
  }
  // An AAVSO Extended report states its date type in a "#DATE=" line: JD
  // and HJD are read as they are, an Excel serial date is not a Julian date.
  auto key = [](const std::string& c) {
    std::string k = table::lowerCase(c);
    std::erase(k, ' ');
    return k;
  };
  const bool extended = std::any_of(comments.begin(), comments.end(), [&](const std::string& c) {
    return key(c) == "#type=extended";
  });
  for (const auto& c : comments) {
    if (!extended || !key(c).starts_with("#date=")) continue;
    const std::string type = key(c).substr(6);
    if (type != "jd" && type != "hjd") {
      out.failed = true;
      out.failure = "the report's dates are of type \"" + c.substr(c.find('=') + 1) +
                    "\" (its #DATE line), not Julian dates; write the report with #DATE=JD";
      return out;
    }
    out.notes.push_back(std::string("Times are ") +
                        (type == "jd" ? "Julian dates" : "heliocentric Julian dates") +
                        " (the report's #DATE line).");
  }
  if (firstRow == 1 && content.size() > 1) {
    std::vector<std::string> row;
    std::size_t count = 0;
    splitLine(content[1].first, sep, bounds, row, count);
    const int listed = listCellColumn(row, std::min(count, names.size()));
    if (listed >= 0) {
      out.failed = true;
      out.failure = listCellRefusal(names[static_cast<std::size_t>(listed)]);
      return out;
    }
  }
  TextFeed feed(source, content, firstRow, sep, bounds, firstRow == 1 ? names.size() : 0, names);
  for (const auto& [comment, number] : between) feed.checkHeader(comment, number);
  return readRows(out, names, units, what, separatorName(sep), sep == Separator::Semicolon, options,
                  options, feed, nulls);
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
  LineSource lines(start);
  std::string line;
  std::vector<std::string> fields;
  bool first = true;
  int uniform = -1;
  bool threeEach = true;
  // Lines of numbers with words in the same fields on every line (a filter
  // letter, an exposure name): a table without its header, whose rows the
  // stream of numbers would read as far as the first word only. The fields
  // that are words, as a mask, and the lines that agreed on it.
  std::vector<bool> wordFields;
  std::size_t wordLines = 0;
  bool wordsAgree = true;
  // The count before the last line, and the last line's own: a table whose
  // last line was cut short.
  int uniformBeforeLast = -1;
  std::size_t lastCount = 0, uniformLines = 0;
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
    // Twenty or more tab-separated fields holding words: an AAVSO download
    // (tab-delimited, perhaps without its header), never plain numbers.
    if (t.find('\t') != std::string_view::npos && countFields(t, Separator::Tab) >= 20) {
      splitLine(t, Separator::Tab, {}, fields, n);
      double x;
      bool words = false;
      for (std::size_t i = 0; i < n && !words; ++i)
        words = !trimmed(fields[i]).empty() && !fieldNumber(fields[i], x);
      if (words) {
        s.kind = FileKind::TextTable;
        return s;
      }
    }
    splitLine(t, Separator::Whitespace, {}, fields, n);
    std::size_t numbers = 0;
    double x;
    for (std::size_t i = 0; i < n; ++i) numbers += fieldNumber(fields[i], x) ? 1 : 0;
    // A header line; the AAVSO download's names hold numbers ("Comp Star 1").
    if (first && (numbers == 0 || t.starts_with("JD Magnitude Uncertainty"))) {
      s.kind = FileKind::TextTable;  // a header line
      return s;
    }
    first = false;
    if (numbers != n) {
      std::vector<bool> mask(n);
      for (std::size_t i = 0; i < n; ++i) mask[i] = !fieldNumber(fields[i], x);
      wordsAgree = wordsAgree && n >= 4 && !mask[0] && (wordLines == 0 || mask == wordFields) &&
                   uniformLines == 0;
      wordFields = std::move(mask);
      ++wordLines;
      threeEach = false;
      if (!wordsAgree) {  // words after the numbers: plain, read as far as it goes
        threeEach = false;
        uniform = 0;
        break;
      }
      continue;
    }
    if (wordLines > 0) {  // numbers only after lines with words: plain, as far as it goes
      wordsAgree = false;
      threeEach = false;
      uniform = 0;
      break;
    }
    if (n != 3) threeEach = false;
    uniformBeforeLast = uniform;
    lastCount = n;
    if (uniform == -1)
      uniform = static_cast<int>(n);
    else if (uniform != static_cast<int>(n))
      uniform = 0;
    if (uniform > 0) ++uniformLines;
  }
  // Five lines or more that agree on their words: a table without a header.
  if (wordLines >= 5 && wordsAgree) {
    s.kind = FileKind::TextTable;
    return s;
  }
  // Five or more lines of the same count (not three, the plain layout)
  // followed by a last line with fewer numbers: a table whose download was
  // cut, whose rows the stream of numbers would misalign. Only where the
  // sniff saw the whole file (else that line is not the last).
  if (!cut && uniform == 0 && uniformBeforeLast > 0 && uniformBeforeLast != 3 &&
      uniformLines >= 5 && lastCount < static_cast<std::size_t>(uniformBeforeLast)) {
    s.kind = FileKind::TextTable;
    return s;
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
  if (votable::looksLikeVoTable(text)) return readVoTableText(text, options);
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
  std::string head;
  if (!readHead(f, head, 4096)) {
    TableImport out;
    out.openError = std::strerror(errno);
    std::fclose(f);
    return out;
  }
  TableImport out =
      votable::looksLikeVoTable(head) ? readVoTableStream(f, std::move(head), options) : [&] {
        LineSource source(f, std::move(head));
        return readTextTable(source, options);
      }();
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
  if (votable::looksLikeVoTable(head)) return readVoTableStream(file, std::move(head), options);
  LineSource source(file, std::move(head));
  return readTextTable(source, options);
}

}  // namespace fazorn
