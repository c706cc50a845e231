// The table and FITS readers on genuine survey and mission files, and on
// small tables that each hold one of the things such files do.
#include "core/table_import.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/derived_files.h"
#include "core/observation_file.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::TempDir;
using test::writeText;

std::filesystem::path formats() { return test::testDataDir() / "formats"; }

std::string allNotes(const Outcome& out) {
  std::string all = out.message ? out.message->text + "\n" : "";
  for (const auto& n : out.notes) all += n + "\n";
  return all;
}

// Expected figures come from formats/expected_readings.txt, written by
// formats/independent_reading.py (astropy and Python's csv module applying
// each file's documented rules), never from this reader.
struct RealFile {
  const char* path;
  std::size_t points;
  double firstTime, firstValue, firstError;
  double lastTime, lastValue, lastError;
  const char* columns;  // "time=..., value=..., error=..." as the summary names them
  const char* band;     // the chosen band, "" when the file has none
  const char* leftOut;  // a phrase of the summary or notes, "" for none
};

void PrintTo(const RealFile& f, std::ostream* os) { *os << f.path; }

class RealFiles : public ::testing::TestWithParam<RealFile> {};

TEST_P(RealFiles, ReadAsTheirDocumentationSays) {
  const RealFile& f = GetParam();
  Workspace ws;
  LoadDetails details;
  const Outcome out =
      loadObservations(ws, (formats() / f.path).string(), ImportOptions{}, &details);
  const std::string notes = allNotes(out);
  ASSERT_TRUE(out.ok) << notes;
  EXPECT_NE(details.reader, FileKind::Plain);
  const LightCurve& lc = ws.lightCurve;
  ASSERT_EQ(lc.pointCount, static_cast<int>(f.points)) << notes;
  // Single-precision FITS columns and decimal texts both convert exactly.
  EXPECT_DOUBLE_EQ(lc.time.front(), f.firstTime);
  EXPECT_DOUBLE_EQ(lc.value.front(), f.firstValue);
  EXPECT_NEAR(lc.error.front(), f.firstError, test::kSumTolerance * f.firstError);
  EXPECT_DOUBLE_EQ(lc.time.back(), f.lastTime);
  EXPECT_DOUBLE_EQ(lc.value.back(), f.lastValue);
  EXPECT_NEAR(lc.error.back(), f.lastError, test::kSumTolerance * f.lastError);
  for (int i = 1; i < lc.pointCount; ++i) ASSERT_LE(lc.time[i - 1], lc.time[i]) << "sorted by time";
  EXPECT_NE(details.summary.find(f.columns), std::string::npos) << details.summary;
  if (*f.band) {
    EXPECT_NE(details.summary.find(std::string("band ") + f.band + " ("), std::string::npos)
        << details.summary;
  }
  if (*f.leftOut) {
    EXPECT_NE(notes.find(f.leftOut), std::string::npos) << notes;
  }
  // Derived files are text, named .dat, and "Save Data" keeps the original.
  EXPECT_EQ(ws.files.extension, std::filesystem::path(f.path).extension() == ".mjd" ||
                                        std::filesystem::path(f.path).extension() == ".txt"
                                    ? std::filesystem::path(f.path).extension().string()
                                    : ".dat");
  EXPECT_FALSE(ws.files.dataFileRewritable);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RealFiles,
    ::testing::Values(
        RealFile{"tess_spoc_fits/hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits",
                 18103, 1325.2966486684504, 9252.1767578125, 12.334742546081543, 1353.17594341107,
                 9260.3935546875, 12.366486549377441,
                 "time=TIME, value=PDCSAP_FLUX, error=PDCSAP_FLUX_ERR", "",
                 "1159 rows with quality or rejection flags left out"},
        RealFile{"kepler_fits/kplr011442793-2009350155506_llc.fits", 3835, 260.24460517207626,
                 39928.73828125, 6.680392742156982, 349.4959231954781, 39948.890625,
                 6.6920905113220215, "time=TIME, value=PDCSAP_FLUX", "",
                 "534 rows with quality or rejection flags left out"},
        RealFile{"kepler_fits/kplr010666592-2009131110544_slc.fits", 13203, 120.52893910104467,
                 1034637.5625, 247.80812072753906, 130.25500215331704, 1033728.375,
                 185.61456298828125, "time=TIME, value=PDCSAP_FLUX", "", "BKJD = BJD - 2454833"},
        RealFile{"gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 1985008784705347456.fits", 68,
                 1689.1478450828818, 12.310808537407334, 0.0017942045464524295, 2690.034835644113,
                 12.213290402402182, 0.0015849536542090845,
                 "time=time, value=mag, error from flux_over_error", "RP", "time scale TCB"},
        RealFile{"gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 393454948901343360.fits", 95,
                 1696.9056333678577, 11.80844596573303, 0.0004764201672246249, 2693.4558424981146,
                 11.80151470884088, 0.00032586185077605826, "value=mag", "G",
                 "other bands BP 89, RP 87 not read"},
        RealFile{"ztf/ztf_J0139+5245_irsa_ipac_lc.txt", 120, 2458276.9614263736, 18.5566044,
                 0.0346447639, 2458481.8105363906, 18.5023346, 0.0335108005,
                 "time=hjd, value=mag, error=magerr", "zr",
                 "10 rows with quality or rejection flags left out"},
        RealFile{"asassn/asassn_v1_J060000_light_curve_b4508c12-b04a-467c-9e20-6881885cf0fb.csv",
                 244, 2458730.59219, 14.229, 0.022, 2458828.66166, 15.082, 0.07,
                 "time=HJD, value=mag, error=mag_err", "g",
                 "9 rows with upper limits (\"<\" or \">\") left out; 10 rows with missing-value "
                 "markers"},
        RealFile{"asassn/asassn_skypatrol2_VX_Men.csv", 1065, 2458029.786083, 13.300239499099613,
                 0.006897552502707865, 2459085.6284709, 13.004990843153802, 0.0036429634273662274,
                 "time=jd, value=mag, error=mag_err", "", "510 steps back in time"},
        RealFile{"aavso/SN2011FE.csv", 4098, 2455798.59267, 14.89, 0.076, 2456016.43998, 15.526,
                 0.034, "time=JD, value=Magnitude, error=Uncertainty", "V",
                 "24 rows without an error left out"},
        RealFile{"aavso/WYHYA.csv", 699, 2454139.58267, -0.752, 1.0, 2454946.63795, -0.477, 1.0,
                 "time=JD, value=Magnitude", "V (DIFF)", "634 of 699 rows have no error"},
        RealFile{"text/sdss_s82_rrlyr_4984662.csv", 68, 51081.440145, 18.899, 0.012, 54402.473947,
                 19.249, 0.025, "time=time, value=mag, error=magerr", "r",
                 "other bands i 67, u 68, z 67, g 63 not read"},
        RealFile{"text/lc_1.3444.614.B.mjd", 1235, 48823.477419, -6.081, 0.156, 51546.325197,
                 -5.997, 0.027, "time=MJD, value=Mag, error=Err", "", ""}));

TEST(RealFiles, BandsAreChosenAndNeverMixed) {
  const auto ztf = (formats() / "ztf/ztf_J0139+5245_irsa_ipac_lc.txt").string();
  ImportOptions options;
  options.band = "ZG";  // any case
  TableImport t = importTable(ztf, options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 104u);  // expected_readings.txt: zg 104
  EXPECT_EQ(t.chosenBand, "zg");
  ASSERT_EQ(t.bands.size(), 2u);

  options.band = "zi";
  t = importTable(ztf, options);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("no band \"zi\" in the file (its bands are zg, zr)"), std::string::npos)
      << t.failure;

  // A band asked of a file without a band column.
  options.band = "V";
  t = importTable((formats() / "text/lc_1.3444.614.B.mjd").string(), options);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("no band column"), std::string::npos) << t.failure;
}

TEST(TextTables, CommentsHeadersAndSeparators) {
  // Each variant holds the same three observations.
  const char* variants[] = {
      "# HJD mag err\n1.5 10.1 0.01\n2.5 10.2 0.02\n3.5 10.3 0.03\n",
      "% a comment\n; another\nHJD,mag,err\n1.5,10.1,0.01\n2.5,10.2,0.02\n3.5,10.3,0.03\n",
      "time\tmagnitude\tuncertainty\r\n1.5\t10.1\t0.01\r\n2.5\t10.2\t0.02\r\n3.5\t10.3\t0.03\r\n",
      "\"BJD\";\"mag\";\"e_mag\"\n1,5;10,1;0,01\n2,5;10,2;0,02\n3,5;10,3;0,03\n",
      "\xEF\xBB\xBFjd, flux, flux_err\n1.5, 10.1, 0.01\n\n2.5, 10.2, 0.02\n# a pause\n3.5, 10.3, "
      "0.03",
      "mjd,mag,magerr,comment\n1.5,10.1,0.01,\"clear, dry\"\n2.5,10.2,0.02,\"said \\\"ok\\\"\"\n"
      "3.5,10.3,0.03,\"a \"\"quote\"\"\"\n",
  };
  for (const char* text : variants) {
    const TableImport t = importTableText(text, ImportOptions{});
    ASSERT_FALSE(t.failed) << text << "\n" << t.failure;
    ASSERT_EQ(t.time.size(), 3u) << text << "\n" << t.summary;
    EXPECT_EQ(t.time[2], 3.5) << text;
    EXPECT_EQ(t.value[1], 10.2) << text;
    EXPECT_EQ(t.error[0], 0.01) << text;
    EXPECT_EQ(t.previewRows.size(), 3u) << text;
  }
  // The quoted field keeps its comma and its quotes.
  const TableImport quoted = importTableText(variants[5], ImportOptions{});
  EXPECT_EQ(quoted.previewRows[1][3], "said \"ok\"");
  EXPECT_EQ(quoted.previewRows[2][3], "a \"quote\"");
}

TEST(TextTables, ColumnsGivenByNameOrNumber) {
  const std::string text = "id,t,v1,v2,s2\n7,1,5,50,0.5\n7,2,6,60,0.6\n7,3,7,70,0.7\n";
  ImportOptions options;
  options.columns = {"T", "v2", "5"};
  TableImport t = importTableText(text, options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.value, (std::vector<double>{50, 60, 70}));
  EXPECT_EQ(t.error, (std::vector<double>{0.5, 0.6, 0.7}));
  EXPECT_EQ(t.timeColumn, 1);

  // Two columns: errors of 1, and the notes say so.
  options.columns = {"2", "3"};
  t = importTableText(text, options);
  ASSERT_FALSE(t.failed);
  EXPECT_EQ(t.error, (std::vector<double>{1, 1, 1}));
  ASSERT_FALSE(t.notes.empty());
  EXPECT_NE(t.notes[0].find("every error is 1"), std::string::npos);

  options.columns = {"t", "nope"};
  t = importTableText(text, options);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("no column \"nope\" (the columns are id, t, v1, v2, s2)"),
            std::string::npos)
      << t.failure;
  options.columns = {"2", "9"};
  EXPECT_TRUE(importTableText(text, options).failed);
}

TEST(TextTables, RowsLeftOutAreCountedNotMixedIn) {
  const std::string text =
      "HJD,mag,mag_err,Filter,catflags\n"
      "5,12.0,0.01,V,0\n"
      "1,12.1,0.01,V,0\n"      // out of order: sorted
      "2,>14.1,99.99,V,0\n"    // an upper limit
      "3,99.990,99.990,V,0\n"  // a missing-value marker
      "4,12.2,0.01,V,32768\n"  // flagged
      "6,nan,0.01,V,0\n"       // not finite
      "7,abc,0.01,V,0\n"       // not a number
      "8,12.3\n"               // too few fields
      "9,11.0,0.02,B,0\n"      // another band
      "10,12.4,0.01,V,0\n";
  const TableImport t = importTableText(text, ImportOptions{});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time, (std::vector<double>{1, 5, 10}));
  EXPECT_TRUE(t.rowsWereSorted);
  for (const char* phrase :
       {"band V (3 of 10 rows; other bands B 1 not read)", "1 row with quality or rejection flags",
        "1 row with upper limits", "1 row with missing-value markers", "1 row with an empty, null",
        "1 row with a field that is not a number left out (first at line 8)",
        "1 row with too few fields left out (first at line 9)"})
    EXPECT_NE(t.summary.find(phrase), std::string::npos) << phrase << "\n" << t.summary;
}

TEST(TextTables, MalformedTablesFailWithTheReason) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const Case cases[] = {
      {"time,mag,err\n", "no observation could be read"},              // header only
      {"time,mag,err\n1,2\n3,4\n", "2 rows with too few fields"},      // a missing column
      {"time,mag,err\n1,2 3\n4;5;6\n", "2 rows with too few fields"},  // mixed separators
      {"# only comments\n# here\n", "no column names and no rows"},
      {"id,name\nx,y\n", "no time column"},  // unusual names are never read by position
      {"mag,err\n1,2\n", "no time column"},
      // One row per star with all its epochs in list cells (Gaia COMBINED).
      {"source_id,g_transit_time,g_transit_mag\n41,\"(1700.1,1710.2)\",\"(13.1,13.2)\"\n",
       "hold lists of numbers"},
      // An ECSV line of names that is not the one its header declares.
      {"# %ECSV 1.0\n# ---\n# datatype:\n# - {name: time, unit: s, datatype: float64}\n"
       "# - {name: flux, datatype: float64}\nTIME FLUX\n1 2\n3 4\n",
       "header declares the columns time, flux"},
  };
  for (const Case& c : cases) {
    const TableImport t = importTableText(c.text, ImportOptions{});
    EXPECT_TRUE(t.failed) << c.text;
    EXPECT_TRUE(t.time.empty()) << c.text;
    EXPECT_NE(t.failure.find(c.reason), std::string::npos) << c.text << "\n" << t.failure;
  }
  // Found by fuzzing: a header in which an archive's layout was recognised
  // while its value column was missing indexed the column names at -1.
  const unsigned char fuzzed[] = {0x3b, 0x3b, 0x54, 0x41, 0x42, 0x34, 0x30, 0x35, 0x36, 0x44,
                                  0x3e, 0x31, 0x32, 0x2e, 0x31, 0x3c, 0x0b, 0x10, 0x20, 0x22,
                                  0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x14, 0x40, 0x01,
                                  0x00, 0x60, 0x40, 0x00, 0x58, 0x3b, 0x99, 0x50, 0x28, 0x2b};
  const TableImport f = importTableText(
      std::string_view(reinterpret_cast<const char*>(fuzzed), sizeof fuzzed), ImportOptions{});
  EXPECT_TRUE(f.failed);
  EXPECT_TRUE(f.time.empty());
  // A line of several megabytes is not a table.
  std::string huge = "time,mag,err\n" + std::string(3 << 20, '7') + "\n";
  TableImport t = importTableText(huge, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("longer than 1 MB"), std::string::npos) << t.failure;
  // More observations than allowed: refused, not half-loaded.
  ImportOptions small;
  small.maxObservations = 2;
  t = importTableText("t,mag,err\n1,2,3\n2,2,3\n3,2,3\n", small);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("more than 2 observations"), std::string::npos) << t.failure;
}

// ECSV states its units only in its YAML header: a time in seconds is
// converted (a description that mentions another unit changes nothing), and
// an astropy Time column written as ISO dates is refused.
TEST(TextTables, EcsvUnitsComeFromItsYamlHeader) {
  const std::string head =
      "# %ECSV 1.0\n# ---\n# datatype:\n"
      "# - {name: time, unit: s, datatype: float64, description: 'since start, unit: d no'}\n"
      "# - {name: flux, unit: mJy, datatype: float64}\n# schema: astropy-2.0\n";
  TableImport t = importTableText(head + "time flux\n0 1.5\n43200 1.6\n86400 1.4\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  ASSERT_EQ(t.time.size(), 3u);
  EXPECT_DOUBLE_EQ(t.time[1], 0.5);  // 43200 s
  EXPECT_DOUBLE_EQ(t.time[2], 1.0);
  EXPECT_EQ(t.valueUnit, "mJy");
  t = importTableText(
      "# %ECSV 1.0\n# ---\n# datatype:\n# - {name: time, datatype: string}\n"
      "# - {name: flux, datatype: float64}\n# meta: !!omap\n# - __serialized_columns__:\n"
      "#     time:\n#       __class__: astropy.time.core.Time\n#       format: isot\n"
      "#       scale: utc\n# schema: astropy-2.0\ntime flux\n2019-03-01T00:00:00.000 1.0\n"
      "2019-03-01T00:10:00.000 1.1\n",
      {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("holds calendar dates"), std::string::npos) << t.failure;
}

TEST(FileSniffing, PlainNumbersStayWithThePlainReader) {
  struct Case {
    const char* text;
    FileKind kind;
    bool rewritable;
  };
  const Case cases[] = {
      {"1 2 3\n4 5 6\n", FileKind::Plain, true},
      {"1\t2\t3\r\n4\t5\t6\r\n", FileKind::Plain, true},  // what "Save Data" writes
      {"", FileKind::Plain, true},
      {"1 2 3 4\n5 6\n", FileKind::Plain, false},  // the stream of numbers of old
      {"1 2 3 4\n5 6 7 8\n", FileKind::Plain, false},
      {"1 2 3\n4 5 6\nend\n", FileKind::Plain, false},  // read up to the word, never written over
      {"1 2\n3 4\n5 6\n", FileKind::TextTable, false},  // two columns
      {"# t v e\n1 2 3\n", FileKind::TextTable, false},
      {"t v e\n1 2 3\n", FileKind::TextTable, false},
      {"1,2,3\n", FileKind::TextTable, false},
      {"SIMPLE  =                    T", FileKind::Fits, false},
      {"\x01\x02\x03 1 2 3", FileKind::Plain, false},  // binary: the plain reader stops at once
  };
  for (const Case& c : cases) {
    const FileSniff s = sniffObservationText(c.text);
    EXPECT_EQ(s.kind, c.kind) << c.text;
    if (c.kind == FileKind::Plain) {
      EXPECT_EQ(s.threeNumbersPerLine, c.rewritable) << c.text;
    }
  }
  EXPECT_EQ(sniffObservationText("1 2 3 4\n5 6 7 8\n").uniformNumbersPerLine, 4);
}

TEST(LoadTables, PlainFilesReadExactlyAsBeforeAndTablesReportTheirReader) {
  TempDir dir;
  // The same numbers as a plain file and with a header: the same light curve.
  writeText(dir / "plain.dat", "1 10.5 0.1\n2 10.7 0.2\n3 10.6 0.1\n");
  writeText(dir / "table.csv", "HJD,mag,err\n1,10.5,0.1\n2,10.7,0.2\n3,10.6,0.1\n");
  Workspace plain, table;
  LoadDetails d1, d2;
  const Outcome o1 = loadObservations(plain, (dir / "plain.dat").string(), ImportOptions{}, &d1);
  const Outcome o2 = loadObservations(table, (dir / "table.csv").string(), ImportOptions{}, &d2);
  ASSERT_TRUE(o1.ok && o2.ok);
  EXPECT_EQ(o1.notes, std::vector<std::string>{"Read 3 points."});  // nothing new for plain files
  EXPECT_EQ(d1.reader, FileKind::Plain);
  EXPECT_EQ(d2.reader, FileKind::TextTable);
  EXPECT_EQ(o2.notes[0], "Read 3 points.");
  EXPECT_EQ(o2.notes[1], "CSV with header: time=HJD, value=mag, error=err.");
  EXPECT_EQ(plain.lightCurve.time, table.lightCurve.time);
  EXPECT_EQ(plain.lightCurve.weight, table.lightCurve.weight);
  EXPECT_EQ(plain.panel.rms, table.panel.rms);
  EXPECT_TRUE(plain.files.dataFileRewritable);
  EXPECT_EQ(table.files.extension, ".dat");

  // "Save Data": over the plain file, beside the table.
  ASSERT_TRUE(saveData(plain).ok);
  const std::string original = test::readText(dir / "table.csv");
  const Outcome saved = saveData(table);
  ASSERT_TRUE(saved.ok);
  EXPECT_EQ(test::readText(dir / "table.csv"), original);
  EXPECT_EQ(test::readText(dir / "table-data.dat"), test::readText(dir / "plain.dat"));
  EXPECT_EQ(table.files.outputPath, (dir / "table-data.dat").string());

  // Columns given for a plain file read it as a table (four columns here).
  writeText(dir / "four.dat", "1 10.5 0.1 7\n2 10.7 0.2 7\n");
  Workspace four;
  ImportOptions options;
  options.columns = {"1", "2", "3"};
  ASSERT_TRUE(loadObservations(four, (dir / "four.dat").string(), options).ok);
  EXPECT_EQ(four.lightCurve.value, (std::vector<double>{10.5, 10.7}));
  // Without columns as well: four numbers a line are no groups of three
  // (read three at a time they would mix lines), so the first three columns
  // are time, value and error, and the file is not written over.
  Workspace stream;
  const Outcome streamed = loadObservations(stream, (dir / "four.dat").string());
  EXPECT_NE(allNotes(streamed).find("Every line holds 4 numbers"), std::string::npos);
  EXPECT_EQ(stream.lightCurve.value, (std::vector<double>{10.5, 10.7}));
  EXPECT_FALSE(stream.files.dataFileRewritable);
  // Six a line may be two observations a line: the plain reader's, as ever.
  writeText(dir / "six.dat", "1 10.5 0.1 2 10.7 0.2\n3 10.6 0.1 4 10.4 0.2\n");
  Workspace six;
  ASSERT_TRUE(loadObservations(six, (dir / "six.dat").string()).ok);
  EXPECT_EQ(six.lightCurve.pointCount, 4);
  EXPECT_TRUE(six.files.dataFileRewritable);
}

TEST(LoadTables, FailedTablesLeaveTheLightCurveAsItWas) {
  TempDir dir;
  writeText(dir / "good.dat", "1 10.5 0.1\n2 10.7 0.2\n");
  writeText(dir / "header_only.csv", "time,mag,err\n");
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, (dir / "good.dat").string()).ok);
  const Outcome out = loadObservations(ws, (dir / "header_only.csv").string());
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message.has_value());
  EXPECT_EQ(out.message->caption, "WARNING!");
  EXPECT_NE(out.message->text.find("no observation could be read"), std::string::npos);
  EXPECT_EQ(ws.lightCurve.pointCount, 2);
  // "Save Data" still writes the star on screen to its own file, never over
  // the table that failed.
  EXPECT_EQ(ws.files.dataPath, (dir / "good.dat").string());
  EXPECT_TRUE(ws.files.dataFileRewritable);
}

TEST(FitsFiles, DamagedFilesFailWithAMessage) {
  TempDir dir;
  const auto source = formats() / "kepler_fits/kplr011442793-2009350155506_llc.fits";
  const auto size = std::filesystem::file_size(source);
  std::ifstream in(source, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Cut in the header, at the table's start and in the middle of the rows.
  for (std::size_t cut :
       {std::size_t{100}, std::size_t{2880 * 3}, static_cast<std::size_t>(size / 2)}) {
    const auto path = dir / ("cut" + std::to_string(cut) + ".fits");
    writeText(path, bytes.substr(0, cut));
    Workspace ws;
    const Outcome out = loadObservations(ws, path.string());
    EXPECT_FALSE(out.ok) << cut;
    ASSERT_TRUE(out.message.has_value()) << cut;
    EXPECT_NE(out.message->text.find("FITS"), std::string::npos)
        << cut << ": " << out.message->text;
    EXPECT_EQ(ws.lightCurve.pointCount, 0);
  }
  // A FITS file whose table has no time column.
  std::string noTime = bytes;
  const auto at = noTime.find("TTYPE1  = 'TIME    '");
  ASSERT_NE(at, std::string::npos);
  noTime.replace(at, 20, "TTYPE1  = 'WHEN    '");
  writeText(dir / "no_time.fits", noTime);
  const TableImport t = importTable((dir / "no_time.fits").string(), ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("no time column"), std::string::npos) << t.failure;
  // Columns by name still reach it.
  ImportOptions options;
  options.columns = {"WHEN", "SAP_FLUX", "SAP_FLUX_ERR"};
  const TableImport byName = importTable((dir / "no_time.fits").string(), options);
  ASSERT_FALSE(byName.failed) << byName.failure;
  EXPECT_NE(byName.summary.find("value=SAP_FLUX"), std::string::npos) << byName.summary;
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// The second set of archive products: the count per band of
// formats/expected_readings.txt (the independent reading), the columns
// chosen, or the exact refusal. Each case names what a reader got wrong.
struct ArchiveFile {
  const char* path;
  int points;           // -1: the file must be refused
  const char* columns;  // a phrase of the summary, or of the refusal
  const char* band;
};

void PrintTo(const ArchiveFile& f, std::ostream* os) { *os << f.path; }

class ArchiveFiles : public ::testing::TestWithParam<ArchiveFile> {};

TEST_P(ArchiveFiles, ReadWithTheIndependentCountOrRefused) {
  const ArchiveFile& f = GetParam();
  Workspace ws;
  LoadDetails details;
  const Outcome out =
      loadObservations(ws, (formats() / f.path).string(), ImportOptions{}, &details);
  const std::string notes = allNotes(out);
  if (f.points < 0) {
    EXPECT_FALSE(out.ok && ws.lightCurve.pointCount > 0) << notes;
    EXPECT_NE(notes.find(f.columns), std::string::npos) << notes;
    return;
  }
  ASSERT_TRUE(out.ok) << notes;
  EXPECT_EQ(ws.lightCurve.pointCount, f.points) << notes;
  if (*f.columns) {
    EXPECT_NE(details.summary.find(f.columns), std::string::npos) << details.summary;
  }
  if (*f.band) {
    EXPECT_NE(details.summary.find(std::string("band ") + f.band + " ("), std::string::npos)
        << details.summary;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SecondSet, ArchiveFiles,
    ::testing::Values(
        // K2SC: mflags (outliers) as well as quality.
        ArchiveFile{"k2_hlsp/hlsp_k2sc_k2_llc_211117077-c04_kepler_v2_lc.fits", 3034,
                    "time=time, value=flux, error=error", ""},
        // K2SFF: T and FCOR in the BESTAPER table, MOVING as the flag.
        ArchiveFile{"k2_hlsp/hlsp_k2sff_k2_lightcurve_246199087-c12_kepler_v1_llc.fits", 3345,
                    "time=T, value=FCOR", ""},
        ArchiveFile{"tess_hlsp/hlsp_tess-spoc_tess_phot_0000000278892590-s0070_tess_v1_lc.fits",
                    8117, "time=TIME, value=PDCSAP_FLUX, error=PDCSAP_FLUX_ERR", ""},
        ArchiveFile{"tess_hlsp/hlsp_pathos_tess_lightcurve_tic-0936441397-s036_tess_v1_llc.fits",
                    3467, "time=TIME, value=PSF_FLUX_COR", ""},
        // ZTF forced photometry: time was taken from "index", the value from "field".
        ArchiveFile{"ztf_forced/forcedphotometry_req00381185_lc.txt", 37,
                    "time=jd, value=forcediffimflux, error=forcediffimfluxunc", "ZTF_r"},
        // ATLAS: dm is the error; the filters o and c kept apart.
        ArchiveFile{"atlas/atlas_transient_server_forced_1000438990080559900.txt", 56,
                    "time=mjd, value=mag, error=dm", "o"},
        ArchiveFile{"catalina/crts_1143_Catalina.csv", 352, "time=MJD, value=Mag, error=Magerr",
                    ""},
        // KELT: the names are tab-separated and hold blanks; the rows are blank-padded.
        ArchiveFile{"kelt/KELT-KS25C041156_J1406_TFA.txt", 5534,
                    "time=JD_TT, value=KELT_Instrumental Mag_Detrended, error=KELT_Mag_err", ""},
        ArchiveFile{"brite/betaPic-BRITE-R-2015.dat", 44236, "", ""},
        ArchiveFile{"ogle/OGLE-LMC-CEP-1354.dat", 1238, "", ""},
        // WISE: each band's columns (w1mpro/w1sigmpro ...) are a band; upper
        // limits (ph_qual U) left out.
        ArchiveFile{
            "wise/WISE_AllSky_SingleExposure_L1bs_SDSSJ0100.tbl", 19,
            "time=mjd, value=w1mpro, error=w1sigmpro; band W1 (19 of 76 measurements; other bands "
            "W2 19, W3 4, W4 1 not read)",
            "W1"},
        // AAVSO Extended: 34 stars of a night, one series per star and filter.
        ArchiveFile{"aavso/AAVSOreport-20170504.txt", 90, "time=DATE, value=MAG, error=MERR",
                    "V1023 HER/V"},
        // DASCH VOTable: magcal_magdep, AFLAGS as DASCH's own client applies them.
        ArchiveFile{"dasch/plotshort_APASS_J140747.9-394543.xml", 602,
                    "DASCH light curve (VOTable): time=ExposureDate, value=magcal_magdep, "
                    "error=magcal_local_rms",
                    ""},
        // Blank-delimited AAVSO download: the first five fields by AAVSO's order.
        ArchiveFile{"aavso/aavsodata_J_2017_11_11.txt", 4206,
                    "time=JD, value=Magnitude, error=Uncertainty", "V"}));

TEST(TableGuesses, AHeaderOfUnknownNamesOrACounterIsNeverReadAsTime) {
  // Named columns no usual name matches: refused, not read by position.
  TableImport t = importTableText("id,field,ccd\n1,600,5\n2,610,6\n", ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("choose the columns"), std::string::npos) << t.failure;
  // A "time" that counts rows.
  std::string counted = "time,mag,err\n";
  for (int i = 0; i < 12; ++i)
    counted += std::to_string(i) + ",12." + std::to_string(i % 7) + ",0.01\n";
  t = importTableText(counted, ImportOptions{});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("counts rows"), std::string::npos) << t.failure;
  ImportOptions chosen;
  chosen.columns = {"time", "mag", "err"};
  EXPECT_FALSE(importTableText(counted, chosen).failed);
  // ATLAS forced-photometry server: dm is the error, F the filter, err a flag.
  t = importTableText(
      "###MJD m dm uJy duJy F err\n59000.1 17.1 0.05 500 20 o 0\n59001.1 17.2 0.05 480 20 c 0\n"
      "59002.1 17.3 0.05 470 20 o 1\n59003.1 17.0 0.05 520 20 o 0\n",
      ImportOptions{});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_NE(t.summary.find("time=MJD, value=m, error=dm; band o (2 of 4 rows"), std::string::npos)
      << t.summary;
  // A processing status of two codes ("56,57") is a set flag.
  t = importTableText(
      " jd, mag, magerr, procstatus\n2458235.1 18.1 0.1 0\n2458235.2 18.2 0.1 56,57\n"
      "2458235.3 18.3 0.1 0\n",
      ImportOptions{});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

TEST(TableEnds, ALastRowCutShortIsLeftOutWithANote) {
  // Fewer fields than the row before: a download broken off.
  TableImport t = importTableText("time,mag,err\n1.5,12.10,0.01\n2.5,12.20,0.01\n3.5,12.3", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("1 row cut short at the end of the file"), std::string::npos)
      << t.summary;
  EXPECT_NE(t.summary.find("(line 4)"), std::string::npos) << t.summary;
  // The same fields, but the last number cut (no line end after it).
  t = importTableText("time,mag,err\n1.5,12.10,0.011\n2.5,12.20,0.012\n3.5,12.30,0.0", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("cut short"), std::string::npos) << t.summary;
  // A whole last row without a line end is read (many archive files end so).
  t = importTableText("time,mag,err\n1.5,12.10,0.011\n2.5,12.20,0.012\n3.5,12.30,0.013", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 3u);
  EXPECT_EQ(t.summary.find("cut short"), std::string::npos) << t.summary;
  // White-space columns: a short last row counts as cut only when the file
  // ends inside it.
  t = importTableText("# time mag err\n1.5 12.10 0.011\n2.5 12.20 0.012\n3.5 12.30\n", {});
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_EQ(t.summary.find("cut short"), std::string::npos) << t.summary;
  t = importTableText("# time mag err\n1.5 12.10 0.011\n2.5 12.20 0.012\n3.5 12.3", {});
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("cut short"), std::string::npos) << t.summary;
  // A delimited table's short last row is cut even with its line end.
  t = importTableText("time,mag,err\n1.5,12.10,0.01\n2.5,12.20,0.01\n3.5,12.3\n", {});
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("cut short"), std::string::npos) << t.summary;
  // An IPAC table cut inside its last row; its unit line gives the value's unit.
  const std::string ipac =
      "|mjd       |mag   |magerr|\n|double    |double|double|\n|d         |mag   |mag   |\n"
      " 55000.1    14.1   0.05  \n 55001.1    14.2   0.05  \n 55002.1    14";
  t = importTableText(ipac, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_EQ(t.valueUnit, "mag");
  EXPECT_NE(t.summary.find("cut short"), std::string::npos) << t.summary;
}

TEST(VoTables, TableDataReadByNamesOrUcdsAndTheRestRefused) {
  const std::string head =
      "<?xml version=\"1.0\"?>\n<VOTABLE version=\"1.3\"><RESOURCE><TABLE>"
      "<FIELD name=\"obs_time\" ucd=\"time.epoch\" unit=\"d\" datatype=\"double\"/>"
      "<FIELD name=\"yr\" ucd=\"time.epoch\" unit=\"yr\" datatype=\"double\"/>"
      "<FIELD name=\"b_cal\" ucd=\"phot.mag;em.opt.B\" unit=\"mag\" datatype=\"double\">"
      "<VALUES null=\"-99\"/></FIELD>"
      "<FIELD name=\"b_rms\" ucd=\"stat.error;phot.mag\" unit=\"mag\" datatype=\"double\"/>"
      "<FIELD name=\"note\" datatype=\"char\" arraysize=\"*\"/>"
      "<DATA><TABLEDATA>\n";
  const std::string rows =
      "<TR><TD>2450000.5</TD><TD>1995.8</TD><TD>13.1</TD><TD>0.1</TD><TD>a &amp; b</TD></TR>\n"
      "<TR><TD>2450001.5</TD><TD>1995.8</TD><TD>-99</TD><TD>0.1</TD><TD/></TR>\n"
      "<!-- a comment --><TR><TD>2450002.5</TD><TD>1995.8</TD><TD><![CDATA[13.3]]></TD>"
      "<TD>0.2</TD><TD>&#x3c;x&gt;</TD></TR>\n";
  const std::string tail = "</TABLEDATA></DATA></TABLE></RESOURCE></VOTABLE>\n";
  TableImport t = importTableText(head + rows + tail, {});
  ASSERT_FALSE(t.failed) << t.failure;
  // Time by its unit of days (not the year), magnitude and error by UCD; the
  // declared null marker is a missing value.
  EXPECT_NE(t.summary.find("time=obs_time, value=b_cal, error=b_rms"), std::string::npos)
      << t.summary;
  EXPECT_EQ(t.time.size(), 2u);
  ASSERT_EQ(t.value.size(), 2u);
  EXPECT_DOUBLE_EQ(t.value[1], 13.3);
  EXPECT_EQ(t.previewRows.at(0).at(4), "a & b");
  EXPECT_EQ(t.previewRows.at(2).at(4), "<x>");
  // Cut short: refused, not half read.
  t = importTableText(head + rows, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("cut short"), std::string::npos) << t.failure;
  t = importTableText(head + "<TR><TD>2450000.5</TD><TD>19", {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("cut short"), std::string::npos) << t.failure;
  // The same rows in the BINARY2 serialisation (VOTable 1.3: per row the
  // null flags, one bit a field, most significant first; then each field
  // big-endian, a variable-length char array after its 4-byte length).
  std::string bytes;
  auto putDouble = [&](double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int k = 7; k >= 0; --k) bytes.push_back(static_cast<char>((bits >> (8 * k)) & 0xFF));
  };
  auto putText = [&](std::string_view text) {
    for (int k = 3; k >= 0; --k)
      bytes.push_back(static_cast<char>((text.size() >> (8 * k)) & 0xFF));
    bytes += text;
  };
  const double binaryRows[3][4] = {{2450000.5, 1995.8, 13.1, 0.1},
                                   {2450001.5, 1995.8, 0.0, 0.1},
                                   {2450002.5, 1995.8, 13.3, 0.2}};
  for (int r = 0; r < 3; ++r) {
    bytes.push_back(r == 1 ? static_cast<char>(0x20) : '\0');  // row 2: b_cal (field 3) null
    for (double v : binaryRows[r]) putDouble(v);
    putText(r == 0 ? "a & b" : "");
  }
  auto base64 = [](const std::string& in) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
      const std::size_t n = std::min<std::size_t>(3, in.size() - i);
      std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16;
      if (n > 1) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
      if (n > 2) v |= static_cast<unsigned char>(in[i + 2]);
      out.push_back(alphabet[(v >> 18) & 63]);
      out.push_back(alphabet[(v >> 12) & 63]);
      out.push_back(n > 1 ? alphabet[(v >> 6) & 63] : '=');
      out.push_back(n > 2 ? alphabet[v & 63] : '=');
    }
    return out;
  };
  const std::string beforeData = head.substr(0, head.find("<TABLEDATA>"));
  auto binary2 = [&](const std::string& stream) {
    return beforeData + "<BINARY2><STREAM encoding=\"base64\">\n" + stream +
           "\n</STREAM></BINARY2>" + tail.substr(tail.find("</DATA>"));
  };
  const TableImport b = importTableText(binary2(base64(bytes)), {});
  ASSERT_FALSE(b.failed) << b.failure;
  EXPECT_EQ(b.time, importTableText(head + rows + tail, {}).time);
  ASSERT_EQ(b.value.size(), 2u);
  EXPECT_DOUBLE_EQ(b.value[0], 13.1);
  EXPECT_DOUBLE_EQ(b.value[1], 13.3);
  EXPECT_EQ(b.previewRows.at(0).at(4), "a & b");
  // A stream cut inside a row, or a serialisation not read: refused.
  t = importTableText(binary2(base64(bytes.substr(0, bytes.size() - 5))), {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("ends inside a row"), std::string::npos) << t.failure;
  t = importTableText(
      beforeData + "<FITS><STREAM href=\"x.fits\"/></FITS>" + tail.substr(tail.find("</DATA>")),
      {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("FITS serialisation, which is not read"), std::string::npos)
      << t.failure;
  // Two magnitudes and no main one: refused with the candidates.
  std::string two = head;
  two.insert(two.find("<DATA>"),
             "<FIELD name=\"v_cal\" ucd=\"phot.mag;em.opt.V\" unit=\"mag\" datatype=\"double\"/>");
  t = importTableText(two + tail, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("choose the columns"), std::string::npos) << t.failure;
}

TEST(AavsoFiles, DiscrepantRowsStarsAndHeaderlessTabsAreHandled) {
  const std::string header =
      "JD,Magnitude,Uncertainty,HQuncertainty,Band,Observer Code,Comment Code(s),Comp Star 1,"
      "Comp Star 2,Charts,Comments,Transfomed,Airmass,Validation Flag,Cmag,Kmag,HJD,Star Name,"
      "Observer Affiliation,Measurement Method,Grouping Method,ADS Reference,Digitizer\n";
  auto row = [](const char* jd, const char* mag, const char* flag) {
    return std::string(jd) + "," + mag + ",0.01,,V,ABC,,,,,,0,," + flag +
           ",,,,X Cyg,AAVSO,STD,,,\n";
  };
  TableImport t = importTableText(header + row("2459000.1", "10.1", "Z") +
                                      row("2459000.2", "10.2", "D") + row("2459000.3", "10.3", "V"),
                                  {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);
  EXPECT_NE(t.summary.find("1 row with the AAVSO validation flag D (discrepant) left out"),
            std::string::npos)
      << t.summary;
  // The tab-delimited download without a header: the AAVSO column order,
  // never plain numbers.
  std::string tabs;
  for (const char* jd : {"2459000.1", "2459000.2", "2459000.3"}) {
    std::string r = row(jd, "10.1", "Z");
    std::replace(r.begin(), r.end(), ',', '\t');
    tabs += r;
  }
  EXPECT_EQ(sniffObservationText(tabs).kind, FileKind::TextTable);
  t = importTableText(tabs, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 3u);
  EXPECT_NE(t.summary.find("AAVSO download layout"), std::string::npos) << t.summary;
  EXPECT_NE(t.summary.find("band V ("), std::string::npos) << t.summary;
  // An Extended report: a star and filter chosen with --band, the others listed.
  const auto report = (formats() / "aavso/AAVSOreport-20170504.txt").string();
  ImportOptions options;
  options.band = "v1021 her/v";
  t = importTable(report, options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 23u);
  // The star alone: its largest series (V 23, I 8).
  options.band = "V1021 HER";
  t = importTable(report, options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 23u);
  EXPECT_NE(t.summary.find("band V1021 HER/V ("), std::string::npos) << t.summary;
  options.band = "V1021";
  t = importTable(report, options);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("V1021 HER/V"), std::string::npos) << t.failure;
  // Excel dates are not Julian dates: refused; differential magnitudes apart.
  const std::string extended =
      "#TYPE=EXTENDED\n#DATE=EXCEL\n#NAME,DATE,MAG,MERR,FILT,TRANS,MTYPE\n"
      "X CYG,41234.5,10.1,0.01,V,NO,STD\nX CYG,41234.6,10.2,na,V,NO,STD\n"
      "X CYG,41234.7,0.3,0.01,V,NO,DIF\n";
  t = importTableText(extended, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("not Julian dates"), std::string::npos) << t.failure;
  std::string jd = extended;
  jd.replace(jd.find("EXCEL"), 5, "JD");
  t = importTableText(jd, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 1u);  // the row without an error left out, DIF apart
  EXPECT_NE(t.summary.find("band X CYG/V (2 of 3 rows; other bands X CYG/V (DIF) 1"),
            std::string::npos)
      << t.summary;
  // WISE: another band by name.
  options.band = "w2";
  t = importTable((formats() / "wise/WISE_AllSky_SingleExposure_L1bs_SDSSJ0100.tbl").string(),
                  options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 19u);
  EXPECT_NE(t.summary.find("band W2 ("), std::string::npos) << t.summary;
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// ASAS-3 light curves in the layout its catalogue documents: five apertures,
// a grade per row, one header per data set.
TEST(Asas3Files, TheQuietestApertureIsReadAndDataSetsMustAgree) {
  std::string text =
      "#ndata= 2\n#dataset= 1 ; 1 F1944-08_325\n#desig= 195229+0100.3\n"
      "#     HJD      MAG_4  MAG_0  MAG_1  MAG_2  MAG_3    MER_4 MER_0 MER_1 MER_2 MER_3 GRADE "
      "FRAME\n";
  // MAG_2 varies least; MAG_0 is noisy; the D row and a 29.999 are left out.
  const char* rows[] = {
      "   2140.58808  5.114  5.720  5.352  5.216  5.130    0.039 0.057 0.036 0.032 0.036  A 30163",
      "   2141.58808  5.154  5.620  5.392  5.218  5.170    0.039 0.057 0.036 0.032 0.036  A 30164",
      "   2142.58808  5.094  5.820  5.312  5.214 29.999    0.039 0.057 0.036 0.032 0.036  C 30165",
      "   2143.58808  7.114  7.720  7.352  7.216  7.130    0.039 0.057 0.036 0.032 0.036  D 30166",
  };
  for (const char* r : rows) text += std::string(r) + "\n";
  TableImport t = importTableText(text, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_NE(t.summary.find("ASAS-3 light curve"), std::string::npos) << t.summary;
  EXPECT_NE(t.summary.find("value=MAG_2, error=MER_2; band MAG_2 (3 of 16 measurements"),
            std::string::npos)
      << t.summary;
  EXPECT_EQ(t.time.size(), 3u);
  EXPECT_NE(t.summary.find("with missing-value markers"), std::string::npos) << t.summary;
  // Another aperture by name.
  ImportOptions options;
  options.band = "mag_3";
  t = importTableText(text, options);
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 2u);  // its 29.999 left out
  // A second data set in the same column order is read on, with a note.
  const std::string same =
      text + "#dataset= 2 ; 1 F1944-10_325\n" +
      text.substr(text.find("#     HJD"),
                  text.find('\n', text.find("#     HJD")) - text.find("#     HJD") + 1) +
      std::string(rows[0]).replace(3, 4, "2150") + "\n";
  t = importTableText(same, {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 4u);
  bool noted = false;
  for (const auto& n : t.notes) noted |= n.find("2 data sets") != std::string::npos;
  EXPECT_TRUE(noted);
  // One in another order would put magnitudes under the wrong aperture: refused.
  const std::string other =
      text +
      "#dataset= 2 ; 1 F1944-10_325\n"
      "#     HJD      MAG_2  MAG_0  MAG_1  MAG_4  MAG_3    MER_2 MER_0 MER_1 MER_4 MER_3 GRADE "
      "FRAME\n" +
      rows[0] + "\n";
  t = importTableText(other, {});
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("the columns change at line 10"), std::string::npos) << t.failure;
  // A remark of as many words as columns is no header.
  t = importTableText("# time mag\n1.5 12.1\n# new night\n2.5 12.2\n3.5 12.3\n", {});
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_EQ(t.time.size(), 3u);
}

// ZTF forced photometry: difference fluxes become magnitudes only where the
// reference-image source is the star itself (within a pixel); the supernova
// file's nearest reference source lies 4.2" away (its host), so its
// difference fluxes are kept, with the reason in a note.
TEST(ZtfForcedPhotometry, MagnitudesFromTheReferenceFluxOnlyWhenItIsTheStars) {
  auto joined = [](const std::vector<std::string>& notes) {
    std::string all;
    for (const auto& n : notes) all += n + "\n";
    return all;
  };
  const std::filesystem::path file =
      test::testDataDir() / "formats" / "ztf_forced" / "forcedphotometry_req00381185_lc.txt";
  const TableImport diff = importTable(file.string(), ImportOptions{});
  ASSERT_FALSE(diff.failed) << diff.failure;
  ASSERT_EQ(diff.time.size(), 37u);
  EXPECT_TRUE(diff.valueUnit.empty());
  const std::string diffNotes = joined(diff.notes);
  EXPECT_NE(diffNotes.find("37 of the 37 rows of band ZTF_r have their nearest reference-image "
                           "source up to 4.2 arcsec away"),
            std::string::npos)
      << diffNotes;
  EXPECT_LT(*std::min_element(diff.value.begin(), diff.value.end()), 0.0);

  // The same epochs with the reference source at the position.
  std::string text = test::readText(file);
  for (const char* far : {" 4.15908237810507 ", " 4.46915202766077 "})
    for (std::size_t at; (at = text.find(far)) != std::string::npos;)
      text.replace(at, std::string(far).size(), " 0.3 ");
  const TableImport mags = importTableText(text, ImportOptions{});
  ASSERT_FALSE(mags.failed) << mags.failure;
  EXPECT_EQ(mags.valueUnit, "mag");
  ASSERT_EQ(mags.time, diff.time);
  // The first ZTF_r row: zpdiff 25.8942, forcediffimflux -5.08152769614852
  // (unc 65.5812783501285), nearestrefmag 16.2050003051758.
  const double total = -5.08152769614852 + std::pow(10.0, 0.4 * (25.8942 - 16.2050003051758));
  EXPECT_NEAR(mags.value[0], 25.8942 - 2.5 * std::log10(total), 1e-12);
  EXPECT_NEAR(mags.error[0], 2.5 / std::log(10.0) * 65.5812783501285 / total, 1e-12);
  EXPECT_NE(joined(mags.notes).find("nearestrefmag"), std::string::npos);

  // Loaded: magnitudes; asked for fluxes: the difference fluxes as before.
  test::TempDir dir;
  test::writeText(dir / "ref.txt", text);
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, (dir / "ref.txt").string()).ok);
  EXPECT_EQ(ws.lightCurve.valueKind, ValueKind::Magnitude);
  ImportOptions flux;
  flux.valueKind = ValueKind::Flux;
  const TableImport kept = importTableText(text, flux);
  EXPECT_EQ(kept.value, diff.value);
  Workspace original;
  ASSERT_TRUE(loadObservations(original, file.string()).ok);
  EXPECT_EQ(original.lightCurve.valueKind, ValueKind::Flux);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// The synthetic archive products of formats-synthetic/: layouts their
// archives document that no genuine file here shows. The expected figures
// come from make_synthetic.py, which knows how each row was made.
struct SyntheticFile {
  std::string path, options, band, phrase;
  int points = 0;             // -1: the file must be refused with `phrase`
  std::vector<double> first;  // the first observation (time, value, error), when given
  std::string kind;           // "mag" or "flux" when given: what the values are
};

void PrintTo(const SyntheticFile& f, std::ostream* os) { *os << f.path << " " << f.options; }

std::vector<SyntheticFile> syntheticFiles() {
  std::vector<SyntheticFile> files;
  std::ifstream in(test::testDataDir() / "formats-synthetic" / "expected_readings.txt");
  auto trim = [](std::string s) {
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    for (std::size_t start = 0;;) {
      const std::size_t bar = line.find('|', start);
      f.push_back(trim(line.substr(start, bar == std::string::npos ? bar : bar - start)));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    if (f.size() != 6 && f.size() != 7) continue;
    SyntheticFile s{f[0], f[1] == "-" ? "" : f[1],  f[3] == "-" ? "" : f[3], f[4], std::stoi(f[2]),
                    {},   f.size() == 7 ? f[6] : ""};
    if (f[5] != "-") {
      std::stringstream values(f[5]);
      for (std::string v; std::getline(values, v, ',');) s.first.push_back(std::stod(v));
    }
    files.push_back(std::move(s));
  }
  return files;
}

class SyntheticProducts : public ::testing::TestWithParam<SyntheticFile> {};

TEST_P(SyntheticProducts, ReadWithTheExpectedCountPerBandOrRefused) {
  const SyntheticFile& f = GetParam();
  ImportOptions options;
  if (f.options.rfind("band:", 0) == 0) options.band = f.options.substr(5);
  if (f.options.rfind("columns:", 0) == 0) {
    std::stringstream names(f.options.substr(8));
    for (std::string c; std::getline(names, c, ',');) options.columns.push_back(c);
  }
  Workspace ws;
  LoadDetails details;
  const Outcome out = loadObservations(
      ws, (test::testDataDir() / "formats-synthetic" / f.path).string(), options, &details);
  const std::string notes = allNotes(out);
  if (f.points < 0) {
    EXPECT_FALSE(out.ok) << notes;
    EXPECT_NE(notes.find(f.phrase), std::string::npos) << notes;
    return;
  }
  ASSERT_TRUE(out.ok) << notes;
  EXPECT_EQ(ws.lightCurve.pointCount, f.points) << notes;
  if (f.phrase == "plain") {
    EXPECT_EQ(details.reader, FileKind::Plain);
  } else {
    EXPECT_NE(notes.find(f.phrase), std::string::npos) << notes;
  }
  if (!f.band.empty()) {
    EXPECT_NE(details.summary.find("band " + f.band + " ("), std::string::npos) << details.summary;
  }
  if (!f.kind.empty()) {
    EXPECT_EQ(ws.lightCurve.valueKind, f.kind == "flux" ? ValueKind::Flux : ValueKind::Magnitude)
        << notes;
  }
  if (f.first.size() == 3) {
    // Written by the generator with full precision; computed there in the
    // same order of operations, so a few ulps at most.
    EXPECT_DOUBLE_EQ(ws.lightCurve.time.front(), f.first[0]);
    EXPECT_NEAR(ws.lightCurve.value.front(), f.first[1], 1e-12);
    EXPECT_NEAR(ws.lightCurve.error.front(), f.first[2], 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(FormatsSynthetic, SyntheticProducts,
                         ::testing::ValuesIn(syntheticFiles()));

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// K2SFF holds one table per aperture with the same columns: the first
// (BESTAPER) is read, --band names another by its EXTNAME, and a name that
// is neither a table nor a band lists the tables.
TEST(FitsTables, AnotherTableOfTheSameColumnsIsChosenByName) {
  const std::string k2sff =
      (formats() / "k2_hlsp/hlsp_k2sff_k2_lightcurve_246199087-c12_kepler_v1_llc.fits").string();
  const TableImport best = importTable(k2sff, ImportOptions{});
  ASSERT_FALSE(best.failed) << best.failure;
  EXPECT_NE(best.summary.find("FITS table BESTAPER: time=T, value=FCOR"), std::string::npos)
      << best.summary;
  std::string notes;
  for (const auto& n : best.notes) notes += n + "\n";
  EXPECT_NE(notes.find("21 tables of these columns (BESTAPER, CIRC_APER0"), std::string::npos)
      << notes;

  ImportOptions aperture;
  aperture.band = "circ_aper3";
  const TableImport third = importTable(k2sff, aperture);
  ASSERT_FALSE(third.failed) << third.failure;
  EXPECT_NE(third.summary.find("FITS table CIRC_APER3"), std::string::npos) << third.summary;
  EXPECT_EQ(third.time, best.time);  // the same cadences, another aperture's fluxes
  EXPECT_NE(third.value, best.value);

  ImportOptions unknown;
  unknown.band = "CIRC_APER10";
  const TableImport none = importTable(k2sff, unknown);
  EXPECT_TRUE(none.failed);
  EXPECT_NE(none.failure.find("no band column and no table \"CIRC_APER10\""), std::string::npos)
      << none.failure;
  EXPECT_NE(none.failure.find("PRF_APER9"), std::string::npos) << none.failure;
}

}  // namespace
}  // namespace fazorn
