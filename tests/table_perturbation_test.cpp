// The readers on altered copies of every archive text file in
// tests/data/formats and formats-synthetic: the changes a user's copy or
// another release of the same product makes (column order, line ends, an
// index column, a header in other case, a missing error column, a cut-off
// download, compression). Each copy must read as the original does or be
// refused; a reading that differs from the original's is the silent error
// these readers must never make.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/observation_file.h"
#include "core/table_import.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::TempDir;

struct Reading {
  bool ok = false;
  std::string notes;
  std::string band;  // the summary's "band X (" phrase, empty when none
  std::vector<std::tuple<double, double, double>> points;  // sorted (time, value, error)
};

Reading readFile(const std::filesystem::path& path) {
  Workspace ws;
  LoadDetails details;
  const Outcome out = loadObservations(ws, path.string(), ImportOptions{}, &details);
  Reading r;
  r.ok = out.ok && ws.lightCurve.pointCount > 0;
  r.notes = (out.message ? out.message->text + "\n" : "") + details.summary;
  for (const auto& n : out.notes) r.notes += "\n" + n;
  const std::size_t b = details.summary.find("band ");
  if (b != std::string::npos) {
    const std::size_t end = details.summary.find(" (", b);
    r.band = details.summary.substr(b, end == std::string::npos ? end : end - b);
  }
  if (r.ok)
    for (std::size_t i = 0; i < ws.lightCurve.time.size(); ++i)
      r.points.emplace_back(ws.lightCurve.time[i], ws.lightCurve.value[i], ws.lightCurve.error[i]);
  std::sort(r.points.begin(), r.points.end());
  return r;
}

// The text archive files (FITS and VOTables are binary or nested; their
// compressed copies are tested beside their readers).
std::vector<std::filesystem::path> textArchiveFiles() {
  std::vector<std::filesystem::path> files;
  for (const char* set : {"formats", "formats-synthetic"})
    for (const auto& e : std::filesystem::recursive_directory_iterator(test::testDataDir() / set)) {
      if (!e.is_regular_file()) continue;
      const std::string name = e.path().filename().string();
      const std::string ext = e.path().extension().string();
      if (ext == ".fits" || ext == ".gz" || ext == ".bz2" || ext == ".xml" || ext == ".py" ||
          ext == ".md" || name == "expected_readings.txt")
        continue;
      files.push_back(e.path());
    }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const auto& l : lines) text += l + end;
  return text;
}

// A table as a test can take it apart without the readers' help: the lines
// before the header, the header's prefix ("#", "###" or none), its names,
// and the rows, all with one separator (comma, tab, or runs of blanks).
// Only files whose every content line after the header has the header's
// field count qualify (no IPAC bars, no several data sets).
struct SimpleTable {
  std::vector<std::string> preamble;
  std::string prefix;
  char separator = ',';  // ' ' for runs of blanks
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> rows;
};

std::vector<std::string> fieldsOf(const std::string& line, char sep) {
  std::vector<std::string> f;
  if (sep == ' ') {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      if (i >= line.size()) break;
      const std::size_t s = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      f.push_back(line.substr(s, i - s));
    }
    return f;
  }
  std::size_t s = 0;
  for (;;) {
    const std::size_t e = line.find(sep, s);
    f.push_back(line.substr(s, e == std::string::npos ? e : e - s));
    if (e == std::string::npos) break;
    s = e + 1;
  }
  return f;
}

std::optional<SimpleTable> simpleTable(const std::string& text) {
  const auto lines = linesOf(text);
  std::size_t h = 0;
  // The header: the last comment line or the first content line before
  // the first line that starts with a digit or sign (a data row).
  auto isData = [](const std::string& l) {
    const std::size_t i = l.find_first_not_of(" \t");
    return i != std::string::npos && (std::isdigit(static_cast<unsigned char>(l[i])) ||
                                      l[i] == '-' || l[i] == '+' || l[i] == '.');
  };
  std::size_t firstData = 0;
  while (firstData < lines.size() && !isData(lines[firstData])) ++firstData;
  if (firstData == 0 || firstData >= lines.size()) return std::nullopt;
  h = firstData - 1;
  while (h > 0 && lines[h].find_first_not_of(" \t") == std::string::npos) --h;
  SimpleTable t;
  t.preamble.assign(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(h));
  std::string header = lines[h];
  const std::size_t p = header.find_first_not_of('#');
  if (p == std::string::npos) return std::nullopt;
  t.prefix = header.substr(0, p);
  header = header.substr(p);
  if (header.find('|') != std::string::npos) return std::nullopt;
  const std::string& row = lines[firstData];
  t.separator = row.find('\t') != std::string::npos  ? '\t'
                : row.find(',') != std::string::npos ? ','
                                                     : ' ';
  t.names = fieldsOf(header, t.separator);
  // Names separated by comma and blank above blank-separated rows (ZTF
  // forced photometry) are written back blank-separated.
  for (auto& n : t.names) {
    while (!n.empty() && n.front() == ' ') n.erase(0, 1);
    if (t.separator == ' ' && !n.empty() && n.back() == ',') n.pop_back();
  }
  if (t.names.size() < 2) return std::nullopt;
  for (std::size_t i = firstData; i < lines.size(); ++i) {
    if (lines[i].find_first_not_of(" \t") == std::string::npos) continue;
    if (lines[i][0] == '#') return std::nullopt;
    auto f = fieldsOf(lines[i], t.separator);
    if (f.size() != t.names.size()) return std::nullopt;
    t.rows.push_back(std::move(f));
  }
  if (t.rows.size() < 5) return std::nullopt;
  return t;
}

std::string tableText(const SimpleTable& t, bool header = true) {
  const std::string sep = t.separator == ' ' ? "  " : std::string(1, t.separator);
  std::vector<std::string> lines = t.preamble;
  auto line = [&](const std::vector<std::string>& f) {
    std::string s;
    for (std::size_t i = 0; i < f.size(); ++i) s += (i ? sep : "") + f[i];
    return s;
  };
  if (header) lines.push_back(t.prefix + line(t.names));
  for (const auto& r : t.rows) lines.push_back(line(r));
  return joined(lines);
}

void writeGzip(const std::filesystem::path& path, const std::string& text) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())),
            static_cast<int>(text.size()));
  gzclose(gz);
}

// The copy reads as the original or is refused; a refused original stays
// refused. Without `errorsToo` the errors may come from elsewhere (errors of
// 1, another uncertainty column) and only times and values are compared.
void expectSameOrRefused(const Reading& original, const Reading& copy, const std::string& what,
                         bool errorsToo = true) {
  SCOPED_TRACE(what);
  if (!original.ok) {
    EXPECT_FALSE(copy.ok) << copy.notes;
    return;
  }
  if (!copy.ok) return;
  EXPECT_EQ(copy.band, original.band) << copy.notes;
  auto series = [&](const Reading& r) {
    auto p = r.points;
    if (!errorsToo)
      for (auto& point : p) std::get<2>(point) = 0.0;
    std::sort(p.begin(), p.end());
    return p;
  };
  EXPECT_TRUE(series(copy) == series(original)) << copy.notes;
}

std::string lowerCase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class ArchiveCopies : public ::testing::TestWithParam<std::filesystem::path> {};

// Copies that change nothing a reader should read: CRLF line ends, gzip,
// a cut-off last row (one observation fewer at most, none altered).
TEST_P(ArchiveCopies, LineEndsCompressionAndACutLastRowChangeNothingSilently) {
  const auto& path = GetParam();
  const std::string text = test::readText(path);
  const Reading original = readFile(path);
  TempDir dir;
  const std::string name = path.filename().string();

  auto lines = linesOf(text);
  test::writeText(dir / name, joined(lines, "\r\n"));
  expectSameOrRefused(original, readFile(dir / name), "CRLF line ends");

  writeGzip(dir / (name + ".gz"), text);
  expectSameOrRefused(original, readFile(dir / (name + ".gz")), "gzip");

  while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string::npos)
    lines.pop_back();
  ASSERT_FALSE(lines.empty());
  std::string cut = joined(lines);
  cut.pop_back();                                    // the final line end
  cut.resize(cut.size() - lines.back().size() / 2);  // half the last row
  test::writeText(dir / name, cut);
  const Reading shorter = readFile(dir / name);
  SCOPED_TRACE("last row cut in half");
  if (!original.ok) {
    EXPECT_FALSE(shorter.ok);
    return;
  }
  if (!shorter.ok) return;
  EXPECT_EQ(shorter.band, original.band) << shorter.notes;
  EXPECT_LE(shorter.points.size(), original.points.size()) << shorter.notes;
  EXPECT_GE(shorter.points.size() + 1, original.points.size()) << shorter.notes;
  for (const auto& p : shorter.points)
    EXPECT_TRUE(std::binary_search(original.points.begin(), original.points.end(), p))
        << "an observation that the whole file does not hold: " << std::get<0>(p) << " "
        << std::get<1>(p) << "\n"
        << shorter.notes;
}

// Copies with the columns moved, renamed in case, an index added in front
// (named, unnamed as pandas writes it, or a bare row number), or the
// chosen error column removed.
TEST_P(ArchiveCopies, ColumnsMovedRenamedOrAddedAreReadByNameOrRefused) {
  const auto& path = GetParam();
  const auto table = simpleTable(test::readText(path));
  if (!table) GTEST_SKIP() << "not a single table of one separator";
  const Reading original = readFile(path);
  TempDir dir;
  const auto copyPath = dir / path.filename();
  auto readCopy = [&](const SimpleTable& t) {
    test::writeText(copyPath, tableText(t));
    return readFile(copyPath);
  };

  expectSameOrRefused(original, readCopy(*table), "written again");

  std::mt19937 random(20261209);
  for (int shuffle = 0; shuffle < 3; ++shuffle) {
    std::vector<std::size_t> order(table->names.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    SimpleTable t = *table;
    for (std::size_t i = 0; i < order.size(); ++i) t.names[i] = table->names[order[i]];
    for (std::size_t r = 0; r < t.rows.size(); ++r)
      for (std::size_t i = 0; i < order.size(); ++i) t.rows[r][i] = table->rows[r][order[i]];
    expectSameOrRefused(original, readCopy(t), "columns shuffled");
  }

  for (const bool upper : {true, false}) {
    SimpleTable t = *table;
    for (auto& n : t.names) {
      n = lowerCase(n);
      if (upper)
        for (auto& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    expectSameOrRefused(original, readCopy(t), upper ? "names in upper case" : "in lower case");
  }

  // A bare row number (nullptr): the header keeps its names, every row has
  // one field more.
  for (const char* indexName : std::initializer_list<const char*>{"index", "", nullptr}) {
    SimpleTable t = *table;
    if (indexName) t.names.insert(t.names.begin(), indexName);
    for (std::size_t r = 0; r < t.rows.size(); ++r)
      t.rows[r].insert(t.rows[r].begin(), std::to_string(r));
    expectSameOrRefused(original, readCopy(t),
                        !indexName   ? "a leading row number"
                        : *indexName ? "an index column"
                                     : "an unnamed index column");
  }

  {
    // Names no rule knows: never read by position.
    SimpleTable t = *table;
    for (std::size_t i = 0; i < t.names.size(); ++i) t.names[i] = "c" + std::to_string(i) + "x";
    const Reading unknown = readCopy(t);
    EXPECT_FALSE(unknown.ok) << "names no rule knows, read as: " << unknown.notes;
  }
  {
    // Without its header line: read by position only where that gives the
    // same series (errors aside), else refused.
    test::writeText(copyPath, tableText(*table, false));
    const Reading headerless = readFile(copyPath);
    if (original.ok) expectSameOrRefused(original, headerless, "without its header line", false);
  }

  if (!original.ok) return;
  Workspace ws;
  LoadDetails details;
  loadObservations(ws, path.string(), ImportOptions{}, &details);
  auto chosen = [&](const char* role) {
    const std::size_t at = details.summary.find(role);
    if (at == std::string::npos) return std::string();
    std::string name = details.summary.substr(at + std::string(role).size());
    return name.substr(0, name.find_first_of(",;"));
  };
  auto column = [&](const std::string& name) {
    const auto it = std::find(table->names.begin(), table->names.end(), name);
    return it == table->names.end() ? -1 : static_cast<int>(it - table->names.begin());
  };
  auto hasName = [&](const std::string& name) {
    return std::any_of(table->names.begin(), table->names.end(),
                       [&](const std::string& n) { return lowerCase(n) == lowerCase(name); });
  };
  // The chosen columns under other names archives use for the same thing.
  const std::string valueName = chosen("value=");
  // Only a value of a generic magnitude name is renamed (not one of a
  // product's column groups, such as WISE's w1mpro).
  const std::string lowerValue = lowerCase(valueName);
  const bool magnitudes = lowerValue == "mag" || lowerValue == "m" || lowerValue == "magnitude";
  const std::vector<std::pair<std::string, std::vector<std::string>>> synonyms = {
      {chosen("time="), {"time", "JD", "HJD", "bjd", "obsjd"}},
      {valueName,
       magnitudes ? std::vector<std::string>{"magnitude", "MAG", "m"} : std::vector<std::string>{}},
      {chosen("error="), magnitudes ? std::vector<std::string>{"e_mag", "magerr", "sigma"}
                                    : std::vector<std::string>{}}};
  for (const auto& [name, others] : synonyms) {
    const int c = column(name);
    if (c < 0) continue;
    for (const auto& other : others) {
      if (hasName(other)) continue;
      SimpleTable t = *table;
      t.names[static_cast<std::size_t>(c)] = other;
      expectSameOrRefused(original, readCopy(t), name + " renamed " + other, false);
    }
  }
  const std::string errorName = chosen("error=");
  if (const int c = column(errorName); c >= 0) {
    SimpleTable t = *table;
    t.names.erase(t.names.begin() + c);
    for (auto& r : t.rows) r.erase(r.begin() + c);
    expectSameOrRefused(original, readCopy(t), "without the error column " + errorName, false);
  }
}

// The faults the copies above found, each pinned on a small table.
TEST(HeaderlessTables, ReadByPositionOnlyWhereTheNumbersBearItOut) {
  auto rows = [](const char* format, int n) {
    std::string text;
    char line[160];
    for (int i = 0; i < n; ++i) {
      std::snprintf(line, sizeof line, format, 53600.0 + 1.7 * i, 14.0 + 0.01 * (i % 9),
                    i % 2 ? "r" : "i");
      text += line;
    }
    return text;
  };
  // Times, magnitudes, errors and a number more: read by position.
  TableImport t = importTableText(rows("%.5f,%.3f,0.02,7%.0s\n", 12), ImportOptions{});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 12u);
  // A band column beside them would be mixed: refused, naming it.
  t = importTableText(rows("%.5f,%.3f,0.02,%s\n", 12), ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("column 4 holds words that differ between rows (i, r)"),
            std::string::npos)
      << t.failure;
  // A first column that stands still (Catalina's InputID) and a second of
  // identifiers are no time and no brightness.
  std::string catalina;
  for (int i = 0; i < 12; ++i)
    catalina += "1143,1121009028957," + std::to_string(14.2 + 0.01 * i) + ",0.05\n";
  t = importTableText(catalina, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("has no column names"), std::string::npos) << t.failure;
  // EVEREST's CSV without its description: TIME, CADN (cadence numbers), FCOR ...
  std::string cadences;
  for (int i = 0; i < 12; ++i)
    cadences += std::to_string(2060.3 + 0.0204 * i) + "," + std::to_string(100000 + i) + "," +
                std::to_string(49900.0 + i) + ",49895.1,0\n";
  t = importTableText(cadences, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("whole numbers only"), std::string::npos) << t.failure;
  // A right ascension first, out of order within a fraction of a day.
  std::string wander;
  for (int i = 0; i < 12; ++i)
    wander += std::to_string(150.1 + 0.0001 * ((i * 5) % 3)) + "," +
              std::to_string(13.0 + 0.01 * i) + ",0.03,1\n";
  t = importTableText(wander, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("does not advance"), std::string::npos) << t.failure;
  // Right ascension and declination first (a WISE table without its
  // header): the declination is the same in every row.
  std::string wise;
  for (int i = 0; i < 12; ++i)
    wise +=
        std::to_string(150.1 + 0.0001 * i) + ",2.2," + std::to_string(13.0 + 0.01 * i) + ",0.03\n";
  t = importTableText(wise, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("the same in every row"), std::string::npos) << t.failure;
}

TEST(HeaderedTables, RowNamesAndOffsetTimeNamesAreReadByTheirNames) {
  // R's write.table: the header one name short, a row name first in each row.
  TableImport t = importTableText(
      "\"MJD\",\"Mag\",\"Magerr\"\n\"1\",53600.1,14.1,0.05\n\"2\",53601.2,14.2,0.05\n"
      "\"3\",53602.3,14.3,0.05\n",
      ImportOptions{});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_NE(t.summary.find("time=MJD, value=Mag, error=Magerr"), std::string::npos) << t.summary;
  ASSERT_EQ(t.time.size(), 3u);
  EXPECT_EQ(t.time[0], 53600.1);
  EXPECT_EQ(t.value[0], 14.1);
  // Rows that merely end in a separator the header lacks are not row names.
  t = importTableText("MJD,Mag,Magerr\n53600.1,14.1,0.05,\n53601.2,14.2,0.05,\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time[0], 53600.1);
  // K2SFF's text light curves name the time with its offset.
  t = importTableText("BJD - 2454833,Corrected Flux\n2750.1,1.001\n2750.2,0.999\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_NE(t.summary.find("time=BJD - 2454833, value=Corrected Flux"), std::string::npos)
      << t.summary;
  // A magnitude column named by its band alone, beside a time and an error.
  t = importTableText("# HJD-2450000 I err\n2166.8 15.81 0.006\n2168.1 15.82 0.006\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_NE(t.summary.find("time=HJD-2450000, value=I, error=err"), std::string::npos) << t.summary;
  // Two such names tie: refused with both and the exact, quoted option.
  t = importTableText("MJD - 50000,HJD - 2450000,Mag A\n1.1,2.2,14.1\n1.2,2.3,14.2\n", {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("--columns \"MJD - 50000,Mag A\""), std::string::npos) << t.failure;
}

std::string fileLabel(const ::testing::TestParamInfo<std::filesystem::path>& info) {
  std::string s =
      info.param.parent_path().filename().string() + "_" + info.param.filename().string();
  for (auto& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

INSTANTIATE_TEST_SUITE_P(Formats, ArchiveCopies, ::testing::ValuesIn(textArchiveFiles()),
                         fileLabel);

}  // namespace
}  // namespace fazorn
