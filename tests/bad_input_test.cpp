// The bad-input corpus in tests/data/bad: what each file loads as and what
// the user is told. Nothing may crash, and nothing is ever lost silently.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>

#include "commands/analysis.h"
#include "core/observation_file.h"
#include "core/statistics.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

struct BadInputCase {
  const char* file;
  int points;            // points loaded
  const char* noteText;  // a text the notes must contain ("" for none)
  // What every search (AoV, AoVtr, Lomb-Scargle) tells: "" when it finds a
  // period, else a text its message or notes must contain.
  const char* searchText = "";
  // The same for Lomb-Scargle, which does not use the weights; nullptr when
  // it tells what the others tell.
  const char* lsText = nullptr;
  // The same for AoV, whose fit needs more distinct times than terms;
  // nullptr when it tells what AoVtr tells.
  const char* aovText = nullptr;
  // The same for AoVtr, whose box needs at least 3 points per bin; nullptr
  // when it tells what searchText says.
  const char* aovtrText = nullptr;
};

// Shown in the test list instead of the bytes of the case.
void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.file; }

// Every light curve of the corpus is too short for AoVtr's bins.
constexpr const char* kTooFewPerBin = "fewer than 3 points per bin";

class BadInput : public ::testing::TestWithParam<BadInputCase> {};

std::string allNotes(const Outcome& out) {
  std::string all;
  for (const auto& n : out.notes) all += n + "\n";
  return all;
}

TEST_P(BadInput, LoadsWhatCanBeReadAndSaysWhatHappened) {
  const BadInputCase& c = GetParam();
  Workspace ws;
  const auto path = test::testDataDir() / "bad" / c.file;
  Outcome out = loadObservations(ws, path.string());
  // A file without a single observation is a failure that says why.
  EXPECT_EQ(out.ok, c.points > 0) << c.file;
  if (c.points == 0) {
    ASSERT_TRUE(out.message.has_value()) << c.file;
    EXPECT_EQ(out.message->caption, "WARNING!");
  }
  const LightCurve& lc = ws.lightCurve;
  EXPECT_EQ(lc.pointCount, c.points) << c.file;
  for (auto* array : {&lc.time, &lc.value, &lc.error, &lc.weight, &lc.scratchValue})
    EXPECT_EQ(array->size(), static_cast<std::size_t>(c.points)) << c.file;
  EXPECT_EQ(lc.mark.size(), static_cast<std::size_t>(c.points));
  const std::string notes = (out.message ? out.message->text + "\n" : "") + allNotes(out);
  EXPECT_NE(notes.find("Read " + std::to_string(c.points) + " point"), std::string::npos) << notes;
  EXPECT_NE(notes.find(c.noteText), std::string::npos) << c.file << ":\n" << notes;
  // The statistics texts are always printable.
  EXPECT_FALSE(ws.panel.meanMag.empty());

  // The whole chain on a small grid: every search either finds a period and
  // leaves finite results, or refuses with the reason and leaves the
  // Workspace's results as they were.
  ws.settings = SearchSettings{0.5, 10.0, 2, 0.01};
  for (auto search : {analyseAov, analyseAovTransit, analyseLombScargle}) {
    const std::string searchText = search == analyseLombScargle && c.lsText     ? c.lsText
                                   : search == analyseAov && c.aovText          ? c.aovText
                                   : search == analyseAovTransit && c.aovtrText ? c.aovtrText
                                                                                : c.searchText;
    const double periodBefore = ws.period;
    const Outcome o = search(ws, RunControl{});
    std::string told = o.message ? o.message->text + "\n" : "";
    told += allNotes(o);
    if (searchText.empty()) {
      EXPECT_TRUE(o.ok) << c.file << ": " << told;
      EXPECT_TRUE(std::isfinite(ws.period) && ws.period > 0) << c.file;
      EXPECT_EQ(ws.phased, 1);
      for (double p : ws.phase) EXPECT_TRUE(p > -0.5 && p <= 0.5) << c.file;
    } else {
      EXPECT_FALSE(o.ok) << c.file;
      EXPECT_NE(told.find(searchText), std::string::npos) << c.file << ": " << told;
      EXPECT_EQ(ws.period, periodBefore) << c.file;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, BadInput,
    ::testing::Values(
        BadInputCase{"empty.dat", 0, "", "needs at least 2 points"},
        // A header line makes it a table whose only row holds words.
        BadInputCase{"words_only.dat", 0, "a field that is not a number",
                     "needs at least 2 points"},
        BadInputCase{"binary.dat", 0, "is not a number", "needs at least 2 points"},
        // Found by fuzzing with hostile headers: a column name that overran
        // a fixed buffer inside cfitsio. Refused before cfitsio parses it.
        BadInputCase{"fits_header_overflow.fits", 0,
                     "the header of extension 1, card 9 (TTYPE1) holds bytes that are not ASCII",
                     "needs at least 2 points"},
        // Found by the same fuzzer: a damaged TFIELDS card, which cfitsio
        // read by position and sized an allocation of 2e16 bytes from.
        BadInputCase{"fits_damaged_tfields_card.fits", 0,
                     "card 8 holds bytes that are not ASCII text in its keyword",
                     "needs at least 2 points"},
        // "6." and "9e" convert the way the C conversion does; "1e+" too.
        BadInputCase{"truncated_number.dat", 4, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin},
        BadInputCase{"huge_numbers.dat", 3, "1 point holds a number that is not finite",
                     "not a number"},
        BadInputCase{"denormals.dat", 2, "", "infinite weight", "do not vary"},
        BadInputCase{"nan_inf.dat", 6, "6 points hold a number that is not finite", "not a number"},
        BadInputCase{"zero_negative_errors.dat", 3, "1 point has an error of 0", "infinite weight",
                     ""},
        BadInputCase{"duplicate_times.dat", 4, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin},
        BadInputCase{"unsorted_times.dat", 4, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin},
        BadInputCase{"one_point.dat", 1, "", "needs at least 2 points"},
        BadInputCase{"two_points.dat", 2, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin},
        BadInputCase{"all_equal.dat", 4, "", "all values are equal"},
        BadInputCase{"crlf_near_2450000.dat", 3, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin},
        BadInputCase{"bom_near_zero.dat", 2, "", "", nullptr,
                     "needs more points than that at different times", kTooFewPerBin}),
    [](const auto& testInfo) {
      std::string name = testInfo.param.file;
      for (auto& ch : name)
        if (ch == '.') ch = '_';
      return name;
    });

TEST(BadInputPaths, DirectoriesMissingFilesAndVeryLongPaths) {
  test::TempDir dir;
  Workspace ws;
  Outcome out = loadObservations(ws, dir.path().string());
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
  EXPECT_EQ(ws.dataLoaded, 0);

  // A 1,000-character path: nested folders so that no single name is over
  // the file system's limit. It is used whole, never cut.
  std::filesystem::path deep = dir.path();
  while (deep.string().size() < 990) deep /= std::string(60, 'd');
  std::filesystem::create_directories(deep);
  const auto file = deep / "star.dat";
  test::writeText(file, "1 2 0.1\n2 3 0.1\n");
  ASSERT_GE(file.string().size(), 1000u);
  out = loadObservations(ws, file.string());
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(ws.lightCurve.pointCount, 2);
  EXPECT_EQ(ws.files.dataPath, file.string());
  EXPECT_EQ(ws.files.directory, deep.string() + "/");
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

TEST(BadInputSize, TenMillionLinesLoadWhole) {
#ifdef FAZORN_UNDER_ASAN
  GTEST_SKIP() << "half a gigabyte of arrays: left to the release build";
#endif
  test::TempDir dir;
  const auto file = dir / "huge.dat";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 10000000; ++i) std::fprintf(f, "%d 1.5 0.1\n", i);
    std::fclose(f);
  }
  Workspace ws;
  Outcome out = loadObservations(ws, file.string());
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(ws.lightCurve.pointCount, 10000000);
  EXPECT_EQ(ws.lightCurve.time.back(), 9999999.0);
  EXPECT_EQ(ws.lightCurve.weight.size(), 10000000u);
  EXPECT_EQ(ws.panel.dataPoints, "10000000");
}

}  // namespace
}  // namespace fazorn
