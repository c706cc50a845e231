#include <filesystem>
#include <string>

#include "core/file_names.h"
#include "core/observation_file.h"
#include "edit/binning.h"
#include "edit/transformations.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::readText;
using test::runCli;
using test::TempDir;
using test::writeText;

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// What the window's command writes for the same file, from a copy in
// another folder.
std::string writtenByCommand(const std::filesystem::path& data, Outcome (*command)(Workspace&)) {
  TempDir other;
  const auto copy = other / data.filename().string();
  std::filesystem::copy_file(data, copy);
  Workspace ws;
  EXPECT_TRUE(loadObservations(ws, copy.string()).ok);
  EXPECT_TRUE(command(ws).ok);
  return readText(ws.files.outputPath);
}

TEST(CliEdit, BinAndConvertWriteWhatTheCommandsWrite) {
  TempDir dir;
  const auto a = dir / "a.dat";
  const auto b = dir / "b.txt";
  writeText(a, "100.2 1.0 0.01\n100.9 1.2 0.02\n101.1 1.1 0.01\n101.1003 1.3 0.01\n");
  writeText(b, "5 0.5 0.1\n6 0.25 0.1\n7 2.0 0.1\n");
  std::string out, err;

  EXPECT_EQ(runCli("bin --points 3 " + quoted(a) + " " + quoted(b), &out, &err), 0) << err;
  EXPECT_EQ(out, (dir / "a-binned.dat").string() + "\n" + (dir / "b-binned.txt").string() + "\n");
  EXPECT_EQ(readText(dir / "a-binned.dat"),
            writtenByCommand(a, [](Workspace& ws) { return binByPoints(ws, 3); }));

  EXPECT_EQ(runCli("bin --day " + quoted(a), &out, &err), 0) << err;
  EXPECT_EQ(readText(dir / "a-NightBin.dat"), writtenByCommand(a, binByDay));

  EXPECT_EQ(runCli("bin --minutes 5 " + quoted(a), &out, &err), 0) << err;
  EXPECT_EQ(readText(dir / "a-05minBin.dat"),
            writtenByCommand(a, [](Workspace& ws) { return binByMinutes(ws, 5); }));

  EXPECT_EQ(runCli("convert --to-mag " + quoted(a), &out, &err), 0) << err;
  EXPECT_EQ(readText(dir / "a-mag.dat"), writtenByCommand(a, fluxToMag));
  EXPECT_EQ(runCli("convert --to-flux " + quoted(b), &out, &err), 0) << err;
  EXPECT_EQ(readText(dir / "b-flux.txt"), writtenByCommand(b, magToFlux));
}

TEST(CliEdit, FailuresAndLeftOutPointsGoToStderr) {
  TempDir dir;
  const auto a = dir / "a.dat";
  writeText(a, "1 1.0 0.1\n2 0.0 0.1\n3 2.0 0\n");
  std::string out, err;
  // A missing file fails the run; the others are still written.
  EXPECT_EQ(runCli("convert --to-mag " + quoted(dir / "missing.dat") + " " + quoted(a), &out, &err),
            1);
  EXPECT_NE(err.find("missing.dat: I/O Error! Unable to open file."), std::string::npos) << err;
  EXPECT_NE(err.find("a.dat: 1 point left out"), std::string::npos) << err;
  EXPECT_EQ(out, (dir / "a-mag.dat").string() + "\n");

  EXPECT_EQ(runCli("bin --minutes 1 " + quoted(a), &out, &err), 0);
  EXPECT_NE(err.find("1 point with an error of 0"), std::string::npos) << err;

  // An output that cannot be written.
  std::filesystem::create_directory(dir / "a-binned.dat");
  EXPECT_EQ(runCli("bin --points 2 " + quoted(a), &out, &err), 1);
  EXPECT_NE(err.find("Unable to write"), std::string::npos) << err;
}

TEST(CliEdit, UsageErrors) {
  std::string out, err;
  for (const char* args :
       {"bin x.dat", "bin --day --points 2 x.dat", "bin --points 0 x.dat", "bin --points two x.dat",
        "bin --minutes", "bin --day", "bin --week x.dat", "convert x.dat",
        "convert --to-mag --to-flux x.dat", "convert --to-mag", "convert --to-kelvin x.dat"})
    EXPECT_EQ(runCli(args, &out, &err), 2) << args;
  EXPECT_EQ(runCli("--help", &out, &err), 0);
  EXPECT_NE(out.find("bin --points N|--day|--minutes K FILE..."), std::string::npos);
  EXPECT_NE(out.find("convert --to-mag|--to-flux FILE..."), std::string::npos);
}

}  // namespace
}  // namespace fazorn
