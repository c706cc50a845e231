#include <string>

#include "support/test_support.h"

namespace fazorn {
namespace {

using test::runCli;
using test::TempDir;
using test::writeText;

TEST(CliInfo, JsonLinePerFileAndExitStatuses) {
  TempDir dir;
  writeText(dir / "a.dat", "0 10 0.1\n1 12 0.1\n2 11 0.1\n4 13 0.1\n");
  writeText(dir / "empty.dat", "");
  std::string out, err;
  int status = runCli(
      "info --json '" + (dir / "a.dat").string() + "' '" + (dir / "empty.dat").string() + "'", &out,
      &err);
  // The empty file is described but is an error: no observation in it.
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("No observation could be read: the file is empty."), std::string::npos) << err;
  const auto newline = out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const std::string first = out.substr(0, newline);
  EXPECT_NE(first.find("\"points\": 4"), std::string::npos) << first;
  EXPECT_NE(first.find("\"time_span\": 4"), std::string::npos) << first;
  EXPECT_NE(first.find("\"mean_value\": 11.5"), std::string::npos) << first;
  EXPECT_NE(first.find("\"gamma\": 0.0006944444444444445"), std::string::npos) << first;
  for (const char* key : {"file", "rms", "min_time", "max_time", "min_value", "max_value"})
    EXPECT_NE(first.find(std::string("\"") + key + "\""), std::string::npos) << key;
  EXPECT_NE(out.find("\"points\": 0, \"time_span\": null"), std::string::npos) << out;

  status =
      runCli("info '" + (dir / "missing.dat").string() + "' '" + (dir / "a.dat").string() + "'",
             &out, &err);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("I/O Error! Unable to open file."), std::string::npos) << err;
  EXPECT_NE(out.find("Data points: 4"), std::string::npos) << out;  // the others go on

  EXPECT_EQ(runCli("info --bogus x", &out, &err), 2);
  EXPECT_EQ(runCli("info", &out, &err), 2);
  EXPECT_EQ(runCli("frobnicate", &out, &err), 2);
  EXPECT_EQ(runCli("--help", &out, &err), 0);
  EXPECT_NE(out.find("info [--json] FILE..."), std::string::npos);
}

}  // namespace
}  // namespace fazorn
