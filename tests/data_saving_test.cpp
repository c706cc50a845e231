// Saving without losing the original: the backup at the first save, never
// overwritten, saves through symbolic links, and "Save Data As...".
#include "core/data_saving.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/observation_file.h"
#include "edit/transformations.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

// Written by hand, with its own spacing and a comment line after the data:
// a save rewrites it in the program's format, so only a byte copy keeps it.
const char* const kOriginal = "1.0 12.00 0.01\n2.5   12.10 0.02\n4 12.2 0.01\n# observer: A\n";

TEST(DataSaving, FirstSaveKeepsTheOriginalBytesAndLaterSavesNeverTouchThem) {
  TempDir dir;
  const fs::path data = dir / "star.dat";
  writeText(data, kOriginal);
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, data.string()).ok);
  addToY(ws, 1.0);

  const Outcome first = saveDataKeepingOriginal(ws);
  ASSERT_TRUE(first.ok);
  const fs::path backup = dir / "star.dat.orig";
  EXPECT_EQ(readText(backup), kOriginal);
  ASSERT_TRUE(first.status[0].has_value());
  EXPECT_EQ(*first.status[0], "Original kept as star.dat.orig");
  EXPECT_NE(readText(data), kOriginal);

  addToY(ws, 1.0);
  const Outcome second = saveDataKeepingOriginal(ws);
  ASSERT_TRUE(second.ok);
  EXPECT_FALSE(second.status[0].has_value());  // no new backup to name
  EXPECT_EQ(readText(backup), kOriginal);
  // The saved file reads back as the edited curve (two offsets of 1.0).
  Workspace reread;
  ASSERT_TRUE(loadObservations(reread, data.string()).ok);
  ASSERT_EQ(reread.lightCurve.pointCount, 3);
  EXPECT_NEAR(reread.lightCurve.value[2], 14.2, test::kEightDecimals);  // "%14.8f" in the file
}

TEST(DataSaving, AFileOpenedThroughALinkIsSavedToItsTarget) {
  TempDir dir;
  fs::create_directory(dir / "archive");
  const fs::path target = dir / "archive" / "star.dat";
  writeText(target, kOriginal);
  const fs::path link = dir / "star-link.dat";
  fs::create_symlink(target, link);
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, link.string()).ok);
  addToY(ws, 0.5);
  ASSERT_TRUE(saveDataKeepingOriginal(ws).ok);
  EXPECT_TRUE(fs::is_symlink(link));  // still a link, not a copy
  EXPECT_EQ(readText(dir / "archive" / "star.dat.orig"), kOriginal);
  EXPECT_FALSE(fs::exists(dir / "star-link.dat.orig"));
  Workspace reread;
  ASSERT_TRUE(loadObservations(reread, target.string()).ok);
  EXPECT_NEAR(reread.lightCurve.value[0], 12.5, test::kEightDecimals);
  // No temporary file is left beside the link or the target.
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    files += !e.is_symlink() && e.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST(DataSaving, SaveAsWritesElsewhereAndMakesItTheDataFile) {
  TempDir dir;
  const fs::path data = dir / "star.dat";
  writeText(data, kOriginal);
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, data.string()).ok);
  addToY(ws, 1.0);
  const fs::path copy = dir / "edited.txt";
  const Outcome out = saveDataAs(ws, copy.string());
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(readText(data), kOriginal);
  EXPECT_EQ(ws.files.dataPath, copy.string());
  EXPECT_EQ(ws.files.baseName, "edited");
  EXPECT_EQ(ws.files.extension, ".txt");
  EXPECT_EQ(ws.caption, "Fazorn * " + copy.string());
  Workspace reread;
  ASSERT_TRUE(loadObservations(reread, copy.string()).ok);
  EXPECT_EQ(reread.lightCurve.pointCount, 3);

  // A place that cannot be written leaves the data file as it was.
  const Outcome failed = saveDataAs(ws, (dir / "no-such-dir" / "x.dat").string());
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(ws.files.dataPath, copy.string());
}

TEST(DataSaving, NoBackupIsNeededForAFileThatIsGone) {
  TempDir dir;
  const OriginalBackup b = keepOriginal((dir / "gone.dat").string());
  EXPECT_TRUE(b.ok);
  EXPECT_FALSE(b.created);
  EXPECT_FALSE(fs::exists(dir / "gone.dat.orig"));
}

}  // namespace
}  // namespace fazorn
