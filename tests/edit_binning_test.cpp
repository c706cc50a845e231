#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/file_names.h"
#include "edit/binning.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::loadedWorkspace;
using test::readText;
using test::TempDir;

// Columns are printed with 6 or 8 decimals.
using test::kEightDecimals;
using test::kSixDecimals;

struct Row {
  double x, value, error;
};

std::vector<Row> readRows(const std::filesystem::path& path) {
  std::istringstream in(readText(path));
  std::vector<Row> rows;
  Row r;
  while (in >> r.x >> r.value >> r.error) rows.push_back(r);
  return rows;
}

std::vector<std::string> lines(const std::filesystem::path& path) {
  std::istringstream in(readText(path));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class Binning : public ::testing::Test {
 protected:
  std::filesystem::path data() const { return dir / "star.dat"; }
  std::filesystem::path derived(const char* suffix) const {
    FileNameParts parts;
    splitDataPath(data().string(), parts);
    return derivedFilePath(parts, suffix);
  }
  TempDir dir;
};

TEST_F(Binning, PointBinsDropTheRemainderAndReplaceEachOther) {
  const std::vector<double> t = {1, 2, 3, 4, 5, 6, 7};
  const std::vector<double> v = {10, 11, 13, 20, 21, 22, 99};
  const std::vector<double> e = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
  Workspace ws = loadedWorkspace(t, v, e, data());
  const Outcome out = binByPoints(ws, 3);
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.message);  // the point binnings show nothing
  EXPECT_EQ(ws.files.outputPath, derived(suffix::binned).string());
  const auto rows = readRows(derived(suffix::binned));
  ASSERT_EQ(rows.size(), 2u);  // point 6 is dropped
  EXPECT_NEAR(rows[0].x, 2, kSixDecimals);
  EXPECT_NEAR(rows[0].value, 34.0 / 3, kSixDecimals);
  EXPECT_NEAR(rows[0].error, (0.6 / 3) / std::sqrt(3.0), kSixDecimals);
  EXPECT_NEAR(rows[1].x, 5, kSixDecimals);
  EXPECT_NEAR(rows[1].value, 21, kSixDecimals);
  EXPECT_NEAR(rows[1].error, (1.5 / 3) / std::sqrt(3.0), kSixDecimals);
  EXPECT_EQ(lines(derived(suffix::binned))[0], "     2.00000000\t   11.333333\t    0.115470");

  binByPoints(ws, 4);
  binByPoints(ws, 2);
  EXPECT_EQ(readRows(derived(suffix::binned)).size(), 3u);  // the 2-point file replaced it
  // The Workspace is not changed by binning.
  EXPECT_EQ(ws.lightCurve.pointCount, 7);
  EXPECT_EQ(ws.lightCurve.value, v);
}

TEST_F(Binning, DayBinsCloseAtIntegerDaysWithoutALimit) {
  Workspace ws = loadedWorkspace({100.2, 100.9, 101.1}, {12.0, 12.5, 11.0}, 0.01, data());
  EXPECT_TRUE(binByDay(ws).ok);
  const auto rows = readRows(derived(suffix::nightBin));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NEAR(rows[0].x, 100.55, kSixDecimals);
  EXPECT_NEAR(rows[0].value, 12.25, kSixDecimals);
  // Standard error of the mean: sqrt(sum of squares / ((m - 1) m)).
  EXPECT_NEAR(rows[0].error, std::sqrt((0.0625 + 0.0625) / 2), kSixDecimals);
  EXPECT_NEAR(rows[1].x, 101.1, kSixDecimals);
  EXPECT_NEAR(rows[1].value, 11.0, kSixDecimals);
  EXPECT_EQ(rows[1].error, 0.0);
  EXPECT_EQ(lines(derived(suffix::nightBin))[1], "   101.100000\t   11.000000\t    0.000000");

  // Far more days than the 1024 bins the command once held: every day has
  // its line (two points per day, an empty day every tenth).
  std::vector<double> t, v;
  for (int day = 0; day < 3000; ++day) {
    if (day % 10 == 9) continue;
    t.push_back(day + 0.1);
    t.push_back(day + 0.6);
    v.push_back(day);
    v.push_back(day + 1);
  }
  Workspace many = loadedWorkspace(t, v, 0.01, data());
  EXPECT_TRUE(binByDay(many).ok);
  const auto manyRows = readRows(derived(suffix::nightBin));
  ASSERT_EQ(manyRows.size(), 2700u);
  EXPECT_NEAR(manyRows.back().x, 2998.35, kSixDecimals);
  EXPECT_NEAR(manyRows.back().value, 2998.5, kSixDecimals);
  EXPECT_NEAR(manyRows.back().error, 0.5, kSixDecimals);
}

TEST_F(Binning, DayBinsOfUnsortedTimesMatchSortedOnes) {
  // Three nights of four points each, at times and values that add up
  // exactly in binary, so the two files must agree to the last digit.
  std::vector<double> t, v;
  for (int night = 0; night < 3; ++night)
    for (int k = 0; k < 4; ++k) {
      t.push_back(2450000 + night + 0.125 * (k + 1));
      v.push_back(10 + 0.25 * (night + k));
    }
  Workspace sorted = loadedWorkspace(t, v, 0.01, data());
  ASSERT_TRUE(binByDay(sorted).ok);
  const std::string expected = readText(derived(suffix::nightBin));
  ASSERT_EQ(lines(derived(suffix::nightBin)).size(), 3u);
  // The nights interleaved, as archive files are sometimes written.
  const std::vector<int> order{4, 0, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11};
  std::vector<double> ts, vs;
  for (int i : order) {
    ts.push_back(t[static_cast<std::size_t>(i)]);
    vs.push_back(v[static_cast<std::size_t>(i)]);
  }
  Workspace shuffled = loadedWorkspace(ts, vs, 0.01, data());
  ASSERT_TRUE(binByDay(shuffled).ok);
  EXPECT_EQ(readText(derived(suffix::nightBin)), expected);
}

TEST_F(Binning, MinuteBinsWeightedFromTheFirstObservation) {
  // Bins of 5 minutes from t = 10.0: points at 0, 2, 4.9 minutes share the
  // first bin, 5.1 opens the second, 20 the fifth (bins 3 and 4 are empty).
  const double minute = 1 / 1440.0;
  const std::vector<double> t = {10.0, 10.0 + 2 * minute, 10.0 + 4.9 * minute, 10.0 + 5.1 * minute,
                                 10.0 + 20 * minute};
  const std::vector<double> v = {1.0, 2.0, 3.0, 4.0, 5.0};
  Workspace ws = loadedWorkspace(t, v, 0.01, data());
  const Outcome out = binByMinutes(ws, 5);
  ASSERT_TRUE(out.message);
  EXPECT_EQ(out.message->text, "Binned data written to a file.");
  EXPECT_EQ(out.message->caption, "Message");
  EXPECT_EQ(out.message->icon, MessageIcon::Information);
  EXPECT_TRUE(out.notes.empty());
  const auto rows = readRows(derived(suffix::minuteBin05));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NEAR(rows[0].x, (t[0] + t[1] + t[2]) / 3, kEightDecimals);
  EXPECT_NEAR(rows[0].value, 2.0, kEightDecimals);
  EXPECT_NEAR(rows[0].error, 0.01 / std::sqrt(3.0), kEightDecimals);
  EXPECT_NEAR(rows[1].error, 0.01, kEightDecimals);
  EXPECT_NEAR(rows[2].x, t[4], kEightDecimals);

  // Unequal errors weight the mean; an error of 0 is left out and counted.
  Workspace weighted = loadedWorkspace({10.0, 10.0 + 0.5 * minute, 10.0 + 0.7 * minute},
                                       {1.0, 2.0, 7.0}, {0.01, 0.02, 0.0}, data());
  const Outcome skipped = binByMinutes(weighted, 1);
  ASSERT_TRUE(skipped.message);
  EXPECT_EQ(skipped.message->text.rfind("Binned data written to a file.\n", 0), 0u);
  ASSERT_EQ(skipped.notes.size(), 1u);
  EXPECT_EQ(skipped.notes[0].rfind("1 point with an error of 0", 0), 0u) << skipped.notes[0];
  const auto one = readRows(derived(suffix::minuteBin01));
  ASSERT_EQ(one.size(), 1u);
  // Weights 1e4 and 2.5e3: (1e4 + 5e3) / 1.25e4 = 1.2, and the error of the
  // weighted mean 1 / sqrt(1.25e4) = 0.00894427191.
  EXPECT_NEAR(one[0].value, 1.2, kEightDecimals);
  EXPECT_NEAR(one[0].error, 0.00894427191, kEightDecimals);
  EXPECT_TRUE(std::isfinite(one[0].x));
}

TEST_F(Binning, MinuteBinsOfUnsortedTimesMatchSortedOnes) {
  const auto s = test::makeSineSeries(7, 500, 0.05, 0.3, 0.02, 2.0);
  Workspace sorted = loadedWorkspace(s.time, s.value, s.error, data());
  binByMinutes(sorted, 10);
  const std::string expected = readText(derived(suffix::minuteBin10));
  std::vector<double> t(s.time.rbegin(), s.time.rend()), v(s.value.rbegin(), s.value.rend()),
      e(s.error.rbegin(), s.error.rend());
  Workspace reversed = loadedWorkspace(t, v, e, data());
  binByMinutes(reversed, 10);
  const auto a = readRows(derived(suffix::minuteBin10));
  std::istringstream in(expected);
  std::vector<Row> b;
  for (Row r; in >> r.x >> r.value >> r.error;) b.push_back(r);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 100u);
  for (std::size_t k = 0; k < a.size(); ++k) {
    // Sums in another order: equal within the printed digits.
    EXPECT_NEAR(a[k].x, b[k].x, 2 * kEightDecimals);
    EXPECT_NEAR(a[k].value, b[k].value, 2 * kEightDecimals);
  }
}

// The obvious form of the phased binning: every bin scans every point.
std::vector<Row> phasedBinsByScan(const std::vector<double>& phase,
                                  const std::vector<double>& value,
                                  const std::vector<double>& weight) {
  std::vector<Row> rows;
  for (int j = 0; j < 200; ++j) {
    const double lo = j * 0.005 - 0.5;
    double w = 0, wv = 0;
    int m = 0;
    for (std::size_t i = 0; i < phase.size(); ++i)
      if (lo <= phase[i] && phase[i] < lo + 0.005) {
        w += weight[i];
        wv += weight[i] * value[i];
        ++m;
      }
    if (m == 0) continue;
    const double mean = wv / w;
    double chi = 0;
    for (std::size_t i = 0; i < phase.size(); ++i)
      if (lo <= phase[i] && phase[i] < lo + 0.005)
        chi += weight[i] * (value[i] - mean) * (value[i] - mean);
    rows.push_back(
        {lo + 0.0025, mean, m > 1 ? std::sqrt(chi / ((m - 1) * w / m)) : std::sqrt(1 / w)});
  }
  return rows;
}

TEST_F(Binning, PhasedBinsAgreeWithAScanOfEveryBin) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  const int n = 2000;
  std::vector<double> t(n), v(n), e(n);
  for (int i = 0; i < n; ++i) {
    t[i] = i;
    v[i] = 12 + u(rng);
    e[i] = 0.01 + 0.02 * (u(rng) + 0.5);
  }
  Workspace ws = loadedWorkspace(t, v, e, data());
  ws.phased = 1;
  ws.phasedValue = v;
  ws.phase.resize(n);
  for (int i = 0; i < n; ++i) ws.phase[i] = u(rng);
  // Phases on the bin edges as computed, and the top of the range (0.5
  // belongs to no bin).
  for (int j = 0; j < 200; ++j) ws.phase[j] = j * 0.005 - 0.5;
  ws.phase[200] = 0.5;
  EXPECT_TRUE(savePhasedBinned(ws).ok);
  const auto rows = readRows(derived(suffix::phasedBinned));
  const auto expected = phasedBinsByScan(ws.phase, v, ws.lightCurve.weight);
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_NEAR(rows[k].x, expected[k].x, kEightDecimals);
    EXPECT_NEAR(rows[k].value, expected[k].value, kEightDecimals);
    EXPECT_NEAR(rows[k].error, expected[k].error, kEightDecimals);
  }
}

TEST_F(Binning, PhasedBinOfOnePointAndMissingPhases) {
  Workspace ws = loadedWorkspace({1, 2, 3}, {12.0, 12.2, 12.4}, {0.02, 0.03, 0.0}, data());
  // Without phases nothing is written.
  const Outcome none = savePhasedBinned(ws);
  EXPECT_FALSE(none.ok);
  EXPECT_FALSE(std::filesystem::exists(derived(suffix::phasedBinned)));
  ws.phased = 1;
  ws.phase = {0.1001, -0.3, 0.2};
  ws.phasedValue = {12.0, 12.2, 12.4};
  const Outcome out = savePhasedBinned(ws);
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.message);
  ASSERT_EQ(out.notes.size(), 1u);  // the point with error 0
  EXPECT_EQ(lines(derived(suffix::phasedBinned)),
            (std::vector<std::string>{"    -0.29750000\t 12.20000000\t  0.03000000",
                                      "     0.10250000\t 12.00000000\t  0.02000000"}));
}

TEST(BinningWithoutData, NoFileIsWrittenAnywhere) {
  TempDir dir;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Workspace ws;
  EXPECT_TRUE(binByPoints(ws, 2).cancelled);
  EXPECT_TRUE(binByDay(ws).cancelled);
  EXPECT_TRUE(binByMinutes(ws, 1).cancelled);
  EXPECT_TRUE(savePhasedBinned(ws).cancelled);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  std::filesystem::current_path(cwd);

  // A loaded file of 0 points gives empty files.
  Workspace empty = loadedWorkspace({}, {}, 0.01, dir / "none.dat");
  EXPECT_TRUE(binByPoints(empty, 4).ok);
  EXPECT_TRUE(binByDay(empty).ok);
  EXPECT_TRUE(binByMinutes(empty, 3).ok);
  EXPECT_EQ(readText(dir / "none-03minBin.dat"), "");
  EXPECT_EQ(readText(dir / "none-NightBin.dat"), "");
}

TEST(BinningWithoutData, UnwritableDirectoryFailsWithoutABox) {
  TempDir dir;
  Workspace ws = loadedWorkspace({1, 2}, {3, 4}, 0.1, dir / "missing" / "star.dat");
  for (const Outcome& out : {binByPoints(ws, 2), binByDay(ws), binByMinutes(ws, 2)}) {
    EXPECT_FALSE(out.ok);
    EXPECT_FALSE(out.message);
    EXPECT_FALSE(out.notes.empty());
  }
}

}  // namespace
}  // namespace fazorn
