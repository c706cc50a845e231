#include "core/observation_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "support/test_support.h"

namespace fazorn {
namespace {

using test::TempDir;
using test::writeText;

ObservationRead parse(const std::string& text) { return parseObservations(text); }

TEST(ObservationReading, GroupsOfThreeAcrossLines) {
  auto r = parse("1 2 3\n4 5 6\n");
  ASSERT_EQ(r.time.size(), 2u);
  EXPECT_EQ(r.value[1], 5.0);
  EXPECT_FALSE(r.stoppedEarly);

  // A line with four numbers lends its last to the next group.
  r = parse("1 2 3 4\n5 6\n");
  ASSERT_EQ(r.time.size(), 2u);
  EXPECT_EQ(r.time[1], 4.0);
  EXPECT_EQ(r.value[1], 5.0);
  EXPECT_EQ(r.error[1], 6.0);

  // No final newline, trailing blank lines, CRLF and tabs change nothing.
  for (const char* text : {"1 2 3\n4 5 6", "1 2 3\n4 5 6\n\n\n  \n", "1\t2\t3\r\n4\t5\t6\r\n"}) {
    r = parse(text);
    EXPECT_EQ(r.time.size(), 2u) << text;
    EXPECT_FALSE(r.stoppedEarly) << text;
  }
}

TEST(ObservationReading, StopsAtFirstIncompleteGroupAndSaysWhere) {
  auto r = parse("1 2 3\n4 5 word\n7 8 9\n");
  ASSERT_EQ(r.time.size(), 1u);
  EXPECT_TRUE(r.stoppedEarly);
  EXPECT_EQ(r.stopLine, 2);
  EXPECT_EQ(r.stopText, "word");

  r = parse("1 2 3\n4 5\n");
  EXPECT_EQ(r.time.size(), 1u);
  EXPECT_TRUE(r.incompleteAtEnd);
  EXPECT_EQ(r.stopLine, 2);

  // A header line stops reading at once.
  r = parse("time mag err\n1 2 3\n");
  EXPECT_EQ(r.time.size(), 0u);
  EXPECT_EQ(r.stopLine, 1);
}

TEST(ObservationReading, NumbersConvertLikeTheCConversion) {
  // Differential check against the C library's own "%lf" on tricky tokens:
  // signs, bare dots, dangling exponents, hex floats, inf/nan spellings.
  const char* tokens[] = {"1",
                          "-2.5",
                          "+3",
                          ".5",
                          "-.5",
                          "5.",
                          "1e3",
                          "1E-3",
                          "1e",
                          "1e+",
                          "1ex",
                          "0x1p3",
                          "0x1.8p1",
                          "0x1p",
                          "0x",
                          "inf",
                          "-infinity",
                          "infin",
                          "nan",
                          "NaN(12)",
                          "1.5abc",
                          "--1",
                          ".",
                          "+",
                          "1..2",
                          "e5",
                          "1e400",
                          "1e-320",
                          "00012",
                          "0x1G",
                          "9007199254740993",
                          "2.2250738585072011e-308"};
  for (const char* token : tokens) {
    for (const char* follow : {" ", "", "x"}) {
      const std::string text = std::string(token) + follow;
      double expected = 0;
      int consumed = -1;
      const int got = std::sscanf(text.c_str(), "%lf%n", &expected, &consumed);
      double actual = 0;
      std::size_t pos = 0;
      const bool ok = scanDouble(text, pos, actual);
      ASSERT_EQ(ok, got == 1) << "'" << text << "'";
      if (!ok) continue;
      EXPECT_EQ(static_cast<int>(pos), consumed) << "'" << text << "'";
      if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << text;
      else
        EXPECT_EQ(actual, expected) << "'" << text << "'";
    }
  }
}

TEST(ObservationReading, DecimalNumbersAreCorrectlyRounded) {
  // Random decimal texts of every length against the C library's strtod
  // (correctly rounded): the reader's fast path must agree bit for bit.
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    const int intDigits = static_cast<int>(rng() % 12);
    const int fracDigits = static_cast<int>(rng() % 22);
    for (int d = 0; d < intDigits; ++d) text += static_cast<char>('0' + rng() % 10);
    if (fracDigits > 0 || intDigits == 0) text += '.';
    for (int d = 0; d < fracDigits || text == "."; ++d) text += static_cast<char>('0' + rng() % 10);
    if (rng() % 8 == 0) text += "e" + std::to_string(static_cast<int>(rng() % 40) - 20);
    double actual = 0;
    std::size_t pos = 0;
    ASSERT_TRUE(scanDouble(text, pos, actual)) << text;
    ASSERT_EQ(actual, std::strtod(text.c_str(), nullptr)) << text;
  }
}

TEST(ObservationReading, OddInputsNeverCrash) {
  EXPECT_EQ(parse("").time.size(), 0u);
  EXPECT_EQ(parse("only words here\n").time.size(), 0u);
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) % 256);
  EXPECT_EQ(parse(garbage).time.size(), 0u);
  EXPECT_EQ(parse("1 2 3").time.size(), 1u);

  auto r = parse("nan 1 0.1\n2 inf 0.1\n3 4 0\n");
  EXPECT_EQ(r.time.size(), 3u);
  EXPECT_EQ(r.nonFiniteCount, 2u);
  EXPECT_EQ(r.zeroErrorCount, 1u);

  r = parse(
      "\xEF\xBB\xBF"
      "1 2 3\n");
  EXPECT_EQ(r.time.size(), 1u);
  EXPECT_TRUE(r.byteOrderMarkSkipped);

  std::string longLine;
  for (int i = 0; i < 300000; ++i) longLine += "1.5 ";
  EXPECT_EQ(parse(longLine).time.size(), 100000u);
}

TEST(LoadObservations, FillsTheWorkspaceAsAFreshLoad) {
  TempDir dir;
  const auto file = dir / "star.dat";
  writeText(file, "1 2 3\n4 5 6\n");
  Workspace ws;
  ws.phased = 1;
  ws.period = 0.7;
  ws.periodogram.frequencyCount = 5;
  Outcome out = loadObservations(ws, file.string());
  ASSERT_TRUE(out.ok);
  const LightCurve& lc = ws.lightCurve;
  ASSERT_EQ(lc.pointCount, 2);
  EXPECT_DOUBLE_EQ(lc.weight[0], 1.0 / 9.0);
  EXPECT_DOUBLE_EQ(lc.weight[1], 1.0 / 36.0);
  EXPECT_EQ(lc.mark, (std::vector<int>{0, 0}));
  EXPECT_EQ(lc.scratchValue.size(), 2u);
  EXPECT_EQ(ws.dataLoaded, 1);
  EXPECT_EQ(ws.phased, 0);
  EXPECT_EQ(ws.period, 0.7);  // the adopted solution and periodogram stay
  EXPECT_EQ(ws.periodogram.frequencyCount, 5);
  EXPECT_EQ(ws.caption, "Fazorn * " + file.string());
  EXPECT_EQ(ws.files.baseName, "star");
  EXPECT_EQ(ws.files.extension, ".dat");
  EXPECT_TRUE(ws.commands.analyse);
  EXPECT_FALSE(ws.commands.savePhasedData);
  EXPECT_EQ(ws.panel.period, "-");
  EXPECT_EQ(ws.panel.dataPoints, "2");
  ASSERT_FALSE(out.notes.empty());
  EXPECT_EQ(out.notes[0], "Read 2 points.");
}

TEST(LoadObservations, AFailedOpenKeepsTheLightCurveAndItsFileAndNamesTheFailedOne) {
  TempDir dir;
  const auto good = dir / "good.dat";
  writeText(good, "1 2 0.1\n2 3 0.1\n");
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, good.string()).ok);
  const std::string caption = ws.caption;
  const FileNameParts files = ws.files;

  for (const auto& bad : {dir / "missing.dat", dir.path()}) {
    Outcome out = loadObservations(ws, bad.string());
    EXPECT_FALSE(out.ok) << bad;
    ASSERT_TRUE(out.message.has_value());
    EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
    EXPECT_EQ(out.message->caption, "Message");
    ASSERT_FALSE(out.notes.empty());
    EXPECT_NE(out.notes[0].find(bad.string()), std::string::npos);
  }
  // Files that open but give no light curve: empty, binary, and a table
  // whose only row holds words (read as a table, so "Save Data" would go
  // to a "-data" file if the failure re-targeted it).
  const auto empty = dir / "empty.dat", binary = dir / "binary.dat", words = dir / "words.csv";
  writeText(empty, "");
  writeText(binary, std::string("\x7f\x45\x4c\x46\x02\x01\x01\0\0\0", 10));
  writeText(words, "time,mag,err\nx,y,z\n");
  for (const auto& bad : {empty, binary, words}) {
    Outcome out = loadObservations(ws, bad.string());
    EXPECT_FALSE(out.ok) << bad;
  }
  // Everything "Save Data" uses is the good file's, untouched.
  EXPECT_EQ(ws.files, files);
  EXPECT_EQ(ws.lightCurve.pointCount, 2);
  EXPECT_EQ(ws.caption, caption);
}

TEST(LoadObservations, NotesTellWhereReadingStoppedAndWarnAboutZeroErrors) {
  TempDir dir;
  const auto file = dir / "odd.dat";
  writeText(file, "1 2 0\n3 4 0.1\n5 6 oops\n");
  Workspace ws;
  Outcome out = loadObservations(ws, file.string());
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(ws.lightCurve.pointCount, 2);
  EXPECT_TRUE(std::isinf(ws.lightCurve.weight[0]));
  std::string all;
  for (const auto& n : out.notes) all += n + "\n";
  EXPECT_NE(all.find("line 3"), std::string::npos) << all;
  EXPECT_NE(all.find("\"oops\""), std::string::npos) << all;
  EXPECT_NE(all.find("error of 0"), std::string::npos) << all;
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// The file reader works block by block; whatever the block boundaries cut
// (a number, a word, a line break, the byte-order mark), it must read what
// the whole text reads.
TEST(ObservationReading, ReadingAFileInBlocksEqualsReadingItWhole) {
  test::TempDir dir;
  std::mt19937_64 rng(7);
  const char* tails[] = {"", "\n", "word\n7 8 9\n", "1 2", "1.5e", "  \n\n", "0x1p3 inf nan\n"};
  for (int round = 0; round < 40; ++round) {
    std::string text = round % 5 == 0 ? "\xEF\xBB\xBF" : "";
    // Enough numbers to cross one or two block boundaries at varying places.
    const int numbers = 14000 + static_cast<int>(rng() % 14000);
    for (int i = 0; i < numbers; ++i) {
      text += std::to_string(static_cast<long>(rng() % 100000)) + "." +
              std::to_string(static_cast<int>(rng() % 1000));
      text += (rng() % 7 == 0) ? "\r\n" : (rng() % 3 == 0 ? "\t" : " ");
    }
    text += tails[round % 7];
    const auto path = dir / "blocks.dat";
    test::writeText(path, text);
    const ObservationRead whole = parseObservations(text);
    const ObservationRead blocks = readObservations(path.string());
    ASSERT_TRUE(blocks.opened);
    // Equal numbers, or both not a number (the tails hold "nan").
    auto same = [](const std::vector<double>& x, const std::vector<double>& y) {
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!(x[i] == y[i] || (std::isnan(x[i]) && std::isnan(y[i])))) return false;
      return true;
    };
    EXPECT_TRUE(same(blocks.time, whole.time)) << round;
    EXPECT_TRUE(same(blocks.value, whole.value)) << round;
    EXPECT_TRUE(same(blocks.error, whole.error)) << round;
    EXPECT_EQ(blocks.stoppedEarly, whole.stoppedEarly) << round;
    EXPECT_EQ(blocks.incompleteAtEnd, whole.incompleteAtEnd) << round;
    EXPECT_EQ(blocks.stopLine, whole.stopLine) << round;
    EXPECT_EQ(blocks.stopText, whole.stopText) << round;
    EXPECT_EQ(blocks.byteOrderMarkSkipped, whole.byteOrderMarkSkipped) << round;
  }
}

TEST(ObservationReading, EndlessInputStopsAtItsFirstByte) {
  // A device that never ends: reading stops at the first byte that cannot
  // begin a number instead of loading the device into memory.
  const ObservationRead zero = readObservations("/dev/zero");
  ASSERT_TRUE(zero.opened);
  EXPECT_EQ(zero.time.size(), 0u);
  EXPECT_TRUE(zero.stoppedEarly);
  EXPECT_EQ(zero.stopLine, 1);

  // A word longer than any number ends reading with that word.
  test::TempDir dir;
  test::writeText(dir / "long.dat", "1 2 3\n" + std::string(3 << 20, '5') + " 1 1\n");
  const ObservationRead r = readObservations((dir / "long.dat").string());
  EXPECT_EQ(r.time.size(), 1u);
  EXPECT_TRUE(r.stoppedEarly);
  EXPECT_EQ(r.stopLine, 2);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// Built from IRSA's description of the IPAC table format (names, types,
// units and null values in four "|" lines), not from an archive file.
TEST(TableNullMarkers, IpacNullLineAndItsDefaultLeaveRowsOutWithACount) {
  const std::string head =
      "\\fixlen = T\n"
      "|mjd        |mag    |magerr |flag |\n"
      "|double     |double |double |int  |\n"
      "|d          |mag    |mag    |     |\n";
  const std::string declared = head + "|-999       |-99.0  |-1     |-9   |\n";
  const std::string rows =
      " 55000.10    14.10   0.05    0    \n"
      " -999        14.20   0.05    0    \n"  // time null
      " 55002.10    -99.0   0.05    0    \n"  // value null
      " 55003.10    14.30   -1      0    \n"  // error null: no error, row kept
      " 55004.10    14.40   0.05    -9   \n"  // flag null: not set
      " 55005.10    14.50   0.06    0    \n";
  TableImport t = importTableText(declared + rows, {});
  ASSERT_FALSE(t.failed) << t.failure;
  // The null error is no error; one row of four without one is left out.
  EXPECT_EQ(t.time.size(), 3u);
  EXPECT_NE(t.summary.find("2 rows with the table's null marker as time or value left out"),
            std::string::npos)
      << t.summary;
  for (double v : t.value) EXPECT_GT(v, 0.0);
  // Without a null line, "null" is the marker.
  const std::string fallback =
      head +
      " 55000.10    14.10   0.05    0    \n null        14.20   0.05    0    \n"
      " 55002.10    null    0.05    0    \n 55003.10    14.30   0.05    0    \n";
  t = importTableText(fallback, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("2 rows with the table's null marker"), std::string::npos) << t.summary;
  // A declared marker is only that column's: -999 elsewhere is a number.
  t = importTableText(
      head + "|-999       |null   |null   |null |\n" +
          " 55000.10    14.10   0.05    0    \n 55001.10    -999    0.05    0    \n",
      {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 1u);  // -999 is a 99 marker for a magnitude all the same
  EXPECT_EQ(t.summary.find("null marker"), std::string::npos) << t.summary;
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// Built from ASAS-SN Sky Patrol v2's documented columns (its client's light
// curve table), not from a downloaded file: "quality" G good, B bad, and the
// filter in "phot_filter".
TEST(ArchiveLayouts, SkyPatrolQualityLettersAndItsFilterColumn) {
  const std::string csv =
      "asas_sn_id,jd,flux,flux_err,mag,mag_err,limit,fwhm,image_id,camera,quality,phot_filter\n"
      "12,2458000.1,24.3,0.09,12.93,0.004,17.2,1.4,a1,bi,G,V\n"
      "12,2458001.1,24.1,0.09,12.95,0.004,17.2,1.4,a2,bi,G,V\n"
      "12,2459000.1,20.3,0.09,13.13,0.004,17.9,1.4,a3,bE,G,g\n"
      "12,2459001.1,20.1,0.09,13.15,0.004,17.9,1.4,a4,bE,B,g\n"
      "12,2459002.1,20.2,0.09,13.14,0.004,17.9,1.4,a5,bE,G,g\n"
      "12,2459003.1,20.0,0.09,13.16,0.004,17.9,1.4,a6,bE,G,g\n";
  TableImport t = importTableText(csv, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.chosenBand, "g");
  EXPECT_EQ(t.time.size(), 3u);
  EXPECT_NE(t.summary.find("1 row with quality or rejection flags left out"), std::string::npos)
      << t.summary;
  ImportOptions v;
  v.band = "V";
  t = importTableText(csv, v);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  // ZTF broker exports number their filters in "fid": never mixed.
  t = importTableText("jd,mag,magerr,fid\n1.5,15.1,0.02,1\n2.5,15.3,0.02,2\n3.5,15.2,0.02,1\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.chosenBand, "1");
  EXPECT_EQ(t.time.size(), 2u);
}

// Built from the ATLAS forced-photometry server's description of its output
// (MJD m dm uJy duJy F err ...), not from a downloaded file: m is the AB
// magnitude of uJy, which can be 0 or negative (no magnitude then), and err
// is the fit's error code.
TEST(ArchiveLayouts, AtlasServerRowsWithoutAPositiveFluxAreLeftOut) {
  const std::string head =
      "###MJD          m      dm   uJy   duJy F err chi/N     RA        Dec        x        y     "
      "maj  min   phi  apfit mag5sig Sky   Obs\n";
  const std::string rows =
      "59000.10  17.10  0.05  530  25 o  0  1.1 10.0 -5.0 100 100 2.1 2.0 0 -0.4 19.5 18.0 a\n"
      "59000.20 -18.20  0.30 -190  50 o  0  1.0 10.0 -5.0 100 100 2.1 2.0 0 -0.4 19.5 18.0 b\n"
      "59000.30  17.20  0.05  480  25 o  0  1.0 10.0 -5.0 100 100 2.1 2.0 0 -0.4 19.5 18.0 c\n"
      "59000.40  17.30  0.05  440  25 o 17  9.0 10.0 -5.0 100 100 2.1 2.0 0 -0.4 19.5 18.0 d\n"
      "59000.50  17.00  0.05  580  25 c  0  1.0 10.0 -5.0 100 100 2.1 2.0 0 -0.4 19.5 18.0 e\n";
  TableImport t = importTableText(head + rows, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.chosenBand, "o");
  ASSERT_EQ(t.value.size(), 2u);
  for (double m : t.value) EXPECT_GT(m, 0.0);
  EXPECT_NE(t.summary.find("error=dm"), std::string::npos) << t.summary;
  EXPECT_NE(t.summary.find("1 row with a flux of 0 or below (no magnitude) left out"),
            std::string::npos)
      << t.summary;
  EXPECT_NE(t.summary.find("1 row with quality or rejection flags left out"), std::string::npos)
      << t.summary;
}

// The time column's stated unit: seconds become days, years are refused.
TEST(ArchiveLayouts, TimeUnitsOtherThanDays) {
  const std::string names = "|time       |mag    |magerr |\n|double     |double |double |\n";
  const std::string rows =
      " 86400.0     14.10   0.05   \n 172800.0    14.20   0.05   \n 259200.0    14.30   0.05   \n";
  TableImport t = importTableText(names + "|s          |mag    |mag    |\n" + rows, {});
  ASSERT_FALSE(t.failed) << t.failure;
  ASSERT_EQ(t.time.size(), 3u);
  EXPECT_DOUBLE_EQ(t.time[0], 1.0);
  EXPECT_DOUBLE_EQ(t.time[2], 3.0);
  ASSERT_FALSE(t.notes.empty());
  EXPECT_NE(t.notes.front().find("converted to days"), std::string::npos) << t.notes.front();
  t = importTableText(names + "|d          |mag    |mag    |\n" + rows, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_DOUBLE_EQ(t.time[0], 86400.0);
  // Without a unit, values no Julian date reaches are refused (Unix seconds).
  t = importTableText("time,mag,err\n1700000000,14.1,0.05\n1700000060,14.2,0.05\n", {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("not days in any Julian-date system"), std::string::npos) << t.failure;
  t = importTableText(names + "|yr         |mag    |mag    |\n" + rows, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("is in yr (its stated unit), not days"), std::string::npos) << t.failure;
}

// An "error" of whole numbers, mostly 0, beside fractional magnitudes is a
// flag: refused with the option to give, never read as infinite weights.
TEST(ArchiveLayouts, AnErrorColumnOfFlagsIsRefused) {
  std::string flags = "mjd,mag,err\n", ones = "mjd,mag,err\n";
  for (int i = 0; i < 12; ++i) {
    const std::string row = std::to_string(55000 + i) + ".5," + std::to_string(14 + i % 3) + ".25,";
    flags += row + (i == 5 ? "3" : "0") + "\n";
    ones += row + "1\n";
  }
  TableImport t = importTableText(flags, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("\"err\" holds only whole numbers"), std::string::npos) << t.failure;
  EXPECT_NE(t.failure.find("--columns"), std::string::npos) << t.failure;
  ImportOptions chosen;
  chosen.columns = {"mjd", "mag"};
  t = importTableText(flags, chosen);
  EXPECT_FALSE(t.failed) << t.failure;
  // Nothing but zeros: no error given (equal weights), with a note.
  std::string zeros = "mjd,mag,err\n";
  for (int i = 0; i < 12; ++i)
    zeros += std::to_string(55000 + i) + ".5," + std::to_string(14 + i % 3) + ".25,0\n";
  t = importTableText(zeros, {});
  ASSERT_FALSE(t.failed) << t.failure;
  ASSERT_EQ(t.error.size(), 12u);
  EXPECT_EQ(t.error[0], 1.0);
  // Errors of 1 throughout say equal weights: read.
  t = importTableText(ones, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 12u);
}

// Values that neither unit nor name describes are magnitudes unless they are
// too large for any magnitude.
TEST(ArchiveLayouts, UnnamedValuesTooLargeForMagnitudesAreFluxes) {
  TempDir dir;
  writeText(dir / "counts.csv", "time,value,err\n1.5,52000,200\n2.5,51000,200\n3.5,53000,210\n");
  writeText(dir / "small.csv", "time,value,err\n1.5,12.1,0.02\n2.5,12.2,0.02\n3.5,12.3,0.02\n");
  Workspace ws;
  Outcome out = loadObservations(ws, (dir / "counts.csv").string(), ImportOptions{});
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(ws.lightCurve.valueKind, ValueKind::Flux);
  ImportOptions mag;
  mag.valueKind = ValueKind::Magnitude;
  ASSERT_TRUE(loadObservations(ws, (dir / "counts.csv").string(), mag).ok);
  EXPECT_EQ(ws.lightCurve.valueKind, ValueKind::Magnitude);
  ASSERT_TRUE(loadObservations(ws, (dir / "small.csv").string(), ImportOptions{}).ok);
  EXPECT_EQ(ws.lightCurve.valueKind, ValueKind::Magnitude);
}

}  // namespace
}  // namespace fazorn
