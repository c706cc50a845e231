#include "core/derived_files.h"

#include <filesystem>
#include <functional>
#include <vector>

#include "core/file_names.h"
#include "core/observation_file.h"
#include "core/workspace.h"
#include "edit/binning.h"
#include "edit/transformations.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::readText;
using test::TempDir;
using test::writeText;

TEST(FileNames, SplitAndDeriveBesideTheDataFile) {
  FileNameParts p;
  splitDataPath("/obs/run.1/star.dat", p);
  EXPECT_EQ(p.directory, "/obs/run.1/");
  EXPECT_EQ(p.baseName, "star");
  EXPECT_EQ(p.extension, ".dat");
  EXPECT_EQ(derivedFilePath(p, suffix::period), "/obs/run.1/star-period.dat");
  splitDataPath("/obs/star", p);
  EXPECT_EQ(derivedFilePath(p, suffix::phased), "/obs/star-phased");
  splitDataPath("relative.txt", p);
  EXPECT_EQ(p.directory, "");
  EXPECT_EQ(derivedFilePath(p, suffix::nightBin), "relative-NightBin.txt");
  splitDataPath("/obs/.hidden", p);
  EXPECT_EQ(p.baseName, ".hidden");
  EXPECT_EQ(p.extension, "");
  // Long paths are kept whole: nothing is cut at 255 characters.
  std::string longName(600, 'a');
  splitDataPath("/x/" + longName + ".dat", p);
  EXPECT_EQ(derivedFilePath(p, suffix::mag), "/x/" + longName + "-mag.dat");
}

class DerivedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir / "star.dat";
    writeText(file, "1 2 0.5\n3 4 0.25\n");
    ASSERT_TRUE(loadObservations(ws, file.string()).ok);
  }
  TempDir dir;
  std::filesystem::path file;
  Workspace ws;
};

TEST_F(DerivedFiles, SaveDataRewritesTheFileWithTheFixedFormats) {
  ws.lightCurve.value[1] = 4.123456789;
  Outcome out = saveData(ws);
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.message.has_value());
  EXPECT_EQ(readText(file),
            "     1.0000000\t    2.00000000\t    0.50000000\n"
            "     3.0000000\t    4.12345679\t    0.25000000\n");
  // After "Delete file", "Save Data" re-creates it.
  Outcome del = deleteDataFile(ws);
  EXPECT_EQ(del.message->text, "            File deleted.           ");
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(deleteDataFile(ws).message->text, "Unable to delete file.");
  EXPECT_TRUE(saveData(ws).ok);
  EXPECT_TRUE(std::filesystem::exists(file));
  // Nothing is left beside it.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(DerivedFiles, SaveDataFailureKeepsTheOriginalAndSaysSo) {
  const std::string before = readText(file);
  // A directory in place of the target cannot be replaced.
  ws.files.dataPath = dir.path().string();
  Outcome out = saveData(ws);
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message.has_value());
  EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
  EXPECT_EQ(out.message->caption, "Message");
  // Not loaded: nothing at all.
  Workspace empty;
  EXPECT_FALSE(saveData(empty).message.has_value());
  EXPECT_EQ(readText(file), before);
}

TEST_F(DerivedFiles, PhasedDataHoldsTwoCyclesWithErrorsFromWeights) {
  ws.period = 4.0;
  ws.t0 = 0.0;
  computePhases(ws);
  Outcome out = savePhasedData(ws);
  EXPECT_EQ(out.message->text, "Light curve plotted to file.");
  EXPECT_EQ(out.message->icon, MessageIcon::Information);
  EXPECT_EQ(ws.files.outputPath, (dir / "star-phased.dat").string());
  EXPECT_EQ(readText(dir / "star-phased.dat"),
            "0.250000 2.000000 0.500000\n"
            "-0.250000 4.000000 0.250000\n"
            "1.250000 2.000000 0.500000\n"
            "0.750000 4.000000 0.250000\n");
}

TEST_F(DerivedFiles, PeriodogramSkipsNonPositiveFrequencies) {
  ws.periodogram.frequency = {0.0, 0.5, 2.0};
  ws.periodogram.power = {0.9, 0.25, 0.5};
  ws.periodogram.frequencyCount = 3;
  Outcome out = savePeriodogram(ws);
  EXPECT_EQ(out.message->text, "Periodogram plotted to file.");
  EXPECT_EQ(readText(dir / "star-period.dat"),
            "2.000000e+00 2.500000e-01\n5.000000e-01 5.000000e-01\n");
  // An unwritable target reports the I/O error.
  ws.files.directory = (dir / "no-such-dir/").string();
  out = savePeriodogram(ws);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
}

// Every writer of a file beside the data file, with its suffix and whether
// it tells a failure with the I/O-error box (the binnings do not).
struct DerivedWriter {
  const char* suffix;
  std::function<Outcome(Workspace&)> write;
  bool box;
};

std::vector<DerivedWriter> derivedWriters() {
  return {{suffix::period, savePeriodogram, true},
          {suffix::phased, savePhasedData, true},
          {suffix::binned, [](Workspace& w) { return binByPoints(w, 2); }, false},
          {suffix::nightBin, binByDay, false},
          {suffix::minuteBin01, [](Workspace& w) { return binByMinutes(w, 1); }, false},
          {suffix::phasedBinned, savePhasedBinned, false},
          {suffix::mag, fluxToMag, true},
          {suffix::flux, magToFlux, true}};
}

// 2000 points over 20 days, phased, with a periodogram: every derived file
// is longer than 512 bytes.
Workspace bigWorkspace(const std::filesystem::path& data) {
  const test::Series s = test::makeSineSeries(5, 2000, 0.7, 0.3, 0.01, 20.0, 1.0);
  test::writeSeries(data, s);
  Workspace ws;
  EXPECT_TRUE(loadObservations(ws, data.string()).ok);
  for (int i = 1; i <= 2000; ++i) {
    ws.periodogram.frequency.push_back(0.01 * i);
    ws.periodogram.power.push_back(0.5);
  }
  ws.periodogram.frequencyCount = 2000;
  ws.period = 0.7;
  computePhases(ws);
  return ws;
}

TEST(DerivedFilesOnAFullDisk, EveryWriterKeepsTheEarlierFileAndSaysUnableToWrite) {
  TempDir dir;
  Workspace ws = bigWorkspace(dir / "star.dat");
  for (const DerivedWriter& w : derivedWriters()) {
    const std::string path = derivedFilePath(ws.files, w.suffix);
    writeText(path, "earlier\n");
    Outcome out;
    {
      test::FileSizeLimit full(512);
      out = w.write(ws);
    }
    EXPECT_FALSE(out.ok) << w.suffix;
    EXPECT_EQ(out.message.has_value(), w.box) << w.suffix;
    if (w.box) {
      EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
    }
    ASSERT_FALSE(out.notes.empty()) << w.suffix;
    EXPECT_EQ(out.notes.back().rfind("Unable to write " + path + ": ", 0), 0u) << out.notes.back();
    EXPECT_EQ(readText(path), "earlier\n") << w.suffix;

    // With room on the disk the same command replaces it.
    EXPECT_TRUE(w.write(ws).ok) << w.suffix;
    EXPECT_GT(readText(path).size(), 512u) << w.suffix;
  }
  // No temporary file is left behind: the data file and one file per writer.
  std::size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
  EXPECT_EQ(entries, 1 + derivedWriters().size());
}

TEST(DerivedFilesThroughLinks, TheDataFileIsWrittenThroughItsLinkADerivedFileNever) {
  TempDir dir;
  std::filesystem::create_directory(dir / "elsewhere");
  Workspace ws = bigWorkspace(dir / "elsewhere" / "real.dat");
  // The data file opened through a link, and a derived file that is a link
  // somebody else made.
  std::filesystem::create_symlink(dir / "elsewhere" / "real.dat", dir / "star.dat");
  ws.files = {};
  splitDataPath((dir / "star.dat").string(), ws.files);
  writeText(dir / "elsewhere" / "old-period.dat", "earlier\n");
  std::filesystem::create_symlink(dir / "elsewhere" / "old-period.dat", dir / "star-period.dat");

  ws.lightCurve.value[0] = 42.0;
  ASSERT_TRUE(saveData(ws).ok);
  const Outcome periodogram = savePeriodogram(ws);
  EXPECT_FALSE(periodogram.ok);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "star.dat"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "star-period.dat"));
  EXPECT_NE(readText(dir / "elsewhere" / "real.dat").find("\t   42.00000000\t"), std::string::npos);
  EXPECT_EQ(readText(dir / "elsewhere" / "old-period.dat"), "earlier\n");
}

// With no data file there is no name to put the suffix on: before, the
// periodogram, the phased data and the value transformations wrote a bare
// "-period" (and so on) into the current working directory.
TEST(DerivedFilesWithoutAFile, NothingIsWrittenIntoTheWorkingDirectory) {
  TempDir dir;
  std::filesystem::create_directory(dir / "cwd");
  Workspace loaded = bigWorkspace(dir / "star.dat");
  Workspace never;  // nothing ever loaded, with results as a session might hold
  never.periodogram = loaded.periodogram;
  never.phase = loaded.phase;
  never.phasedValue = loaded.phasedValue;
  never.phased = 1;
  Workspace failed = never;  // a load that failed before any file was named
  EXPECT_FALSE(loadObservations(failed, "").ok);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir / "cwd");
  for (Workspace* ws : {&never, &failed})
    for (const DerivedWriter& w : derivedWriters()) EXPECT_TRUE(w.write(*ws).cancelled) << w.suffix;
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "cwd"));
}

}  // namespace
}  // namespace fazorn
