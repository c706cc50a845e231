// fazorn-cli significance: the empirical false-alarm probability from the
// command line, its JSON keys, the run file and the usage errors.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace fazorn {
namespace {

using test::runCli;

double jsonNumber(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\": ");
  if (at == std::string::npos) {
    ADD_FAILURE() << key << " missing in " << line;
    return -1;
  }
  return std::strtod(line.c_str() + at + key.size() + 4, nullptr);
}

TEST(CliSignificance, StrongSignalGetsZeroAndTheRunFileHasOneLinePerRun) {
  test::TempDir dir;
  const auto data = dir / "star.dat";
  test::writeSeries(data, test::makeSineSeries(11, 150, 1.7, 0.5, 0.05, 60.0));
  const auto runs = dir / "runs.dat";
  std::string out, err;
  const std::string common =
      " --iterations 40 --seed 9 --min-period 0.5 --max-period 10 "
      "--resolution 0.005 --json --output '" +
      runs.string() + "' '" + data.string() + "'";
  for (const char* method : {"ls", "aov"}) {
    ASSERT_EQ(
        runCli(std::string("significance --method ") + method + " --randomize permute" + common,
               &out, &err),
        0)
        << err;
    EXPECT_NE(out.find("\"file\": "), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("\"method\": \"") + method + "\""), std::string::npos) << out;
    EXPECT_EQ(jsonNumber(out, "iterations"), 40);
    EXPECT_GT(jsonNumber(out, "observed_power"), 0.0);
    // No permutation of a clean sinusoid reaches its own peak.
    EXPECT_EQ(jsonNumber(out, "empirical_false_alarm_probability"), 0.0) << out;
    EXPECT_GE(jsonNumber(out, "uncertainty"), 0.0);
    const std::string text = test::readText(runs);
    EXPECT_EQ(text.rfind(" No.   \t  PERIOD    \t POWER\n", 0), 0u);
    long lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 41);  // the header and one line per run
  }

  // The same seed gives the same file with one thread or two.
  ASSERT_EQ(runCli("significance --method ls --randomize noise --threads 1" + common, &out, &err),
            0);
  const std::string one = test::readText(runs);
  ASSERT_EQ(runCli("significance --method ls --randomize noise --threads 2" + common, &out, &err),
            0);
  EXPECT_EQ(one, test::readText(runs));

  // --route exact: the window's own sums in every run. The AoV runs of the
  // default route share the times' work; they find the same peaks to the
  // printed digits.
  ASSERT_EQ(
      runCli("significance --method aov --randomize permute --route exact" + common, &out, &err), 0)
      << err;
  const std::string exact = test::readText(runs);
  ASSERT_EQ(runCli("significance --method aov --randomize permute" + common, &out, &err), 0);
  const std::string shared = test::readText(runs);
  EXPECT_EQ(shared.size(), exact.size());
  std::istringstream a(exact), b(shared);
  // Powers printed with six decimals, rounded on either side of a digit.
  constexpr double kOneLastDigit = 1.5e-6;
  std::string la, lb;
  while (std::getline(a, la) && std::getline(b, lb)) {
    double pa[3] = {}, pb[3] = {};
    std::sscanf(la.c_str(), "%lf %lf %lf", &pa[0], &pa[1], &pa[2]);
    std::sscanf(lb.c_str(), "%lf %lf %lf", &pb[0], &pb[1], &pb[2]);
    EXPECT_NEAR(pa[2], pb[2], kOneLastDigit) << la << " / " << lb;
  }
  EXPECT_EQ(
      runCli("significance --method aov --randomize permute --route quick" + common, &out, &err),
      2);
  EXPECT_NE(err.find("--route must be exact, fast or auto"), std::string::npos) << err;
}

TEST(CliSignificance, UsageAndFileErrors) {
  std::string out, err;
  EXPECT_EQ(runCli("significance --method xyz star.dat", &out, &err), 2);
  EXPECT_EQ(runCli("significance --randomize shuffle star.dat", &out, &err), 2);
  EXPECT_EQ(runCli("significance --iterations", &out, &err), 2);
  EXPECT_EQ(runCli("significance --method ls --randomize permute", &out, &err), 2);
  EXPECT_EQ(runCli("significance --method ls --randomize permute --iterations 10000001 star.dat",
                   &out, &err),
            2);
  EXPECT_NE(err.find("at most 10000000"), std::string::npos) << err;
  EXPECT_EQ(runCli("significance --method aov --randomize permute --min-period 3 --max-period 2 "
                   "star.dat",
                   &out, &err),
            2);
  EXPECT_NE(err.find("Min period is negative"), std::string::npos) << err;
  test::TempDir dir;
  EXPECT_EQ(runCli("significance --method ls --randomize permute --iterations 3 '" +
                       (dir / "missing.dat").string() + "'",
                   &out, &err),
            1);
  EXPECT_FALSE(err.empty());
}

TEST(CliSignificance, InterruptKeepsTheFinishedRunsAndReportsThem) {
  test::TempDir dir;
  test::writeSeries(dir / "star.dat", test::makeSineSeries(5, 100, 3.3, 0.3, 0.05, 60.0));
  const auto runs = dir / "runs.dat";
  std::string out, err;
  // Far more runs than three seconds allow.
  const int status = test::runCliInterrupted(
      3.0,
      "significance --method ls --randomize permute --iterations 10000000 --seed 3 "
      "--min-period 1 --max-period 10 --json --output '" +
          runs.string() + "' '" + (dir / "star.dat").string() + "'",
      &out, &err);
  EXPECT_EQ(status, 130) << err;
  EXPECT_NE(out.find("\"cancelled\": true"), std::string::npos) << out;
  const auto key = out.find("\"runs_done\": ");
  ASSERT_NE(key, std::string::npos) << out;
  const long done = std::stol(out.substr(key + 13));
  EXPECT_LT(done, 10000000);
  // The file holds the header and exactly the finished runs, and nothing
  // else is left in the folder.
  const std::string text = test::readText(runs);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), done + 1);
  std::size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
  EXPECT_EQ(entries, 2u);
}

}  // namespace
}  // namespace fazorn
