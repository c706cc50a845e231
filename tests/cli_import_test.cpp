// The command line on tables, survey exports and FITS light curves: the
// options that choose columns and bands, the reader's report, the periods
// of catalogued stars, and files from which nothing can be read.
#include <cmath>
#include <string>

#include "support/test_support.h"

namespace fazorn {
namespace {

using test::runCli;
using test::TempDir;
using test::writeText;

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }
std::string formatFile(const char* name) { return quoted(test::testDataDir() / "formats" / name); }

double jsonNumber(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return NAN;
  return std::stod(json.substr(at + key.size() + 4));
}

TEST(CliImport, InfoSaysWhichReaderReadWhat) {
  TempDir dir;
  writeText(dir / "plain.dat", "1 10 0.1\n2 11 0.1\n");
  writeText(dir / "table.csv",
            "# from somewhere\nmjd;mag;magerr;filter\n1;10;0,1;V\n2;11;0,1;V\n3;12;0,1;B\n");
  std::string out, err;
  ASSERT_EQ(runCli("info --json " + quoted(dir / "plain.dat") + " " + quoted(dir / "table.csv"),
                   &out, &err),
            0)
      << err;
  EXPECT_NE(out.find("\"points\": 2, \"time_span\": 1"), std::string::npos) << out;
  EXPECT_NE(out.find("\"reader\": \"plain\", \"read_as\": \"\""), std::string::npos) << out;
  EXPECT_NE(
      out.find(
          "\"reader\": \"table\", \"read_as\": \"Table with header, semicolon-separated: "
          "time=mjd, value=mag, error=magerr; band V (2 of 3 rows; other bands B 1 not read)\""),
      std::string::npos)
      << out;
  // The load notes go to stderr once per file, prefixed by the file.
  EXPECT_EQ(err, (dir / "table.csv").string() +
                     ": Table with header, semicolon-separated: time=mjd, value=mag, error=magerr; "
                     "band V (2 of 3 rows; other bands B 1 not read).\n");

  ASSERT_EQ(runCli("info --band b --columns mjd,mag " + quoted(dir / "table.csv"), &out, &err), 0)
      << err;
  EXPECT_NE(out.find("Read as:     Table with header, semicolon-separated: time=mjd, value=mag, no "
                     "error column; band B"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Data points: 1"), std::string::npos) << out;
  EXPECT_NE(err.find("every error is 1"), std::string::npos) << err;
}

TEST(CliImport, NothingReadIsAnErrorThatStillDescribesTheFile) {
  TempDir dir;
  writeText(dir / "header.csv", "time,mag,err\n");
  std::string out, err;
  EXPECT_EQ(runCli("info " + quoted(dir / "header.csv"), &out, &err), 1);
  EXPECT_NE(err.find("Cannot read this file: no observation could be read"), std::string::npos)
      << err;
  EXPECT_NE(out.find("Data points: 0"), std::string::npos) << out;
  // A device that never ends is read up to its first byte.
  EXPECT_EQ(runCli("info /dev/zero", &out, &err), 1);
  EXPECT_NE(err.find("No observation could be read: reading stopped at line 1"), std::string::npos)
      << err;
  EXPECT_NE(out.find("Data points: 0"), std::string::npos) << out;
  for (const char* command : {"analyse", "bin --day", "convert --to-mag"}) {
    EXPECT_EQ(runCli(std::string(command) + " " + quoted(dir / "header.csv"), &out, &err), 1)
        << command;
    EXPECT_NE(err.find("no observation could be read"), std::string::npos)
        << command << ": " << err;
  }
  EXPECT_EQ(runCli("significance --method ls --randomize permute --iterations 2 " +
                       quoted(dir / "header.csv"),
                   &out, &err),
            1);
  EXPECT_EQ(runCli("analyse --band V " + formatFile("text/lc_1.3444.614.B.mjd"), &out, &err), 1);
  EXPECT_NE(err.find("the file has no band column"), std::string::npos) << err;
}

TEST(CliImport, ColumnAndBandOptionsAreCheckedByEveryCommand) {
  std::string out, err;
  for (const char* command : {"info", "analyse", "bin --day", "convert --to-mag",
                              "significance --method ls --randomize permute"}) {
    for (const char* bad : {"--columns 1", "--columns 1,2,3,4", "--columns 1,,3", "--columns 0,1",
                            "--band", "--columns"}) {
      EXPECT_EQ(runCli(std::string(command) + " " + bad + " x.csv", &out, &err), 2)
          << command << " " << bad;
      EXPECT_NE(err.find("--"), std::string::npos) << command << " " << bad << ": " << err;
    }
  }
  ASSERT_EQ(runCli("--help", &out, &err), 0);
  EXPECT_NE(out.find("--columns TIME,VALUE[,ERROR]"), std::string::npos);
}

TEST(CliImport, DerivedFilesOfATableArePlainTextBesideIt) {
  TempDir dir;
  writeText(dir / "star.csv", "jd,flux,flux_err\n1,100,1\n1.01,110,1\n2,120,1\n2.01,130,1\n");
  std::string out, err;
  ASSERT_EQ(runCli("convert --to-mag " + quoted(dir / "star.csv"), &out, &err), 0) << err;
  EXPECT_EQ(out, (dir / "star-mag.dat").string() + "\n");
  const std::string mag = test::readText(dir / "star-mag.dat");
  EXPECT_NE(mag.find("-5.000000\t"), std::string::npos) << mag;  // -2.5 log10(100)
  ASSERT_EQ(runCli("bin --day " + quoted(dir / "star.csv"), &out, &err), 0) << err;
  EXPECT_EQ(out, (dir / "star-NightBin.dat").string() + "\n");
}

// Catalogued periods found in genuine files. The AoV grid steps by 0.0003
// cycles per day, so a period P is found within P^2 * 0.0003 / 2 (0.05 % at
// 3 days); the tolerances below allow one grid step.
struct CataloguedStar {
  const char* file;
  const char* options;
  double period;  // days, from the literature (formats/README.md)
  double tolerance;
  bool halfAllowed;  // eclipsing binaries: AoV with two harmonics may find P/2
};

void PrintTo(const CataloguedStar& s, std::ostream* os) { *os << s.file; }

class CataloguedStars : public ::testing::TestWithParam<CataloguedStar> {};

TEST_P(CataloguedStars, AnalyseFindsThePeriod) {
  const CataloguedStar& s = GetParam();
  std::string out, err;
  ASSERT_EQ(
      runCli(std::string("analyse --json ") + s.options + " " + formatFile(s.file), &out, &err), 0)
      << err;
  const double found = jsonNumber(out, "period");
  const bool full = std::fabs(found - s.period) <= s.tolerance * s.period;
  const bool half = s.halfAllowed && std::fabs(found - s.period / 2) <= s.tolerance * s.period / 2;
  EXPECT_TRUE(full || half) << "found " << found << ", catalogued " << s.period;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CataloguedStars,
    ::testing::Values(
        // WASP-126 b in TESS sector 1, a 0.1 % transit: the transit search.
        CataloguedStar{
            "tess_spoc_fits/hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits",
            "--method aovtr --min-period 1 --max-period 5", 3.2888, 0.002, false},
        // HAT-P-7 b in 9.7 days of Kepler short cadence.
        CataloguedStar{"kepler_fits/kplr010666592-2009131110544_slc.fits",
                       "--method aovtr --min-period 1 --max-period 5", 2.2047354, 0.002, false},
        // Gaia DR3 RR Lyrae (type c), the band with most points.
        CataloguedStar{"gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 1985008784705347456.fits",
                       "--min-period 0.2 --max-period 2", 0.38031, 0.0005, false},
        // Gaia DR3 eclipsing binary.
        CataloguedStar{"gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 393454948901343360.fits",
                       "--min-period 0.5 --max-period 5", 1.715415, 0.001, true},
        // SDSS Stripe 82 RR Lyrae over 9 years: a grid fine enough for the
        // 3321-day span (1 / (10 x span)).
        CataloguedStar{"text/sdss_s82_rrlyr_4984662.csv",
                       "--min-period 0.2 --max-period 2 --resolution 0.00003", 0.636862677, 0.0005,
                       false}));

}  // namespace
}  // namespace fazorn
