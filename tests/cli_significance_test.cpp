// fazorn-cli significance: the empirical false-alarm probability from the
// command line, its JSON keys, the run file and the usage errors.
#include <cstdlib>
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

}  // namespace
}  // namespace fazorn
