// Saving the observations without losing the original: the first time a
// data file is overwritten its original is kept beside it, and "Save Data
// As..." writes the light curve under a new name that becomes the data file.
#pragma once

#include <cstdint>
#include <string>

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// The name of the kept original: the file's own name (after following
// symbolic links) with ".orig" appended ("star.dat" -> "star.dat.orig").
std::string originalBackupPath(const std::string& dataPath);

struct OriginalBackup {
  bool ok = false;       // the original is safe (kept now or earlier)
  bool created = false;  // this call made the copy
  std::string path;      // the backup's path
  std::string error;     // the system's reason when not ok
};

// Copies the file at `dataPath` byte for byte to its backup path unless a
// backup exists already: an existing one is never overwritten, since it holds
// the oldest original. A missing data file needs no backup (ok, not created).
OriginalBackup keepOriginal(const std::string& dataPath);

// "Save Data" that keeps the original: the backup first (a failure refuses
// the save and leaves the data file as it was), then the file is written
// over as "Save Data" does. The first panel of the status bar names the
// backup when this save made it.
Outcome saveDataKeepingOriginal(Workspace& ws);

// A fingerprint of what "Save Data" would write (times, values and errors of
// the points kept, bit for bit); marks and phases do not count. Equal
// fingerprints mean nothing new to save.
std::uint64_t savedContentFingerprint(const LightCurve& lc);

// "Save Data As...": writes the light curve as "Save Data" does to `path`,
// which then is the data file (dataPath, its parts and the caption). On
// failure the data file stays the old one.
Outcome saveDataAs(Workspace& ws, const std::string& path);

}  // namespace fazorn
