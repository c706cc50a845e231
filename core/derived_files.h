// The File-menu writers and "Delete file": the light curve written back over
// the data file, the phased light curve and the periodogram beside it.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// "Save Data": writes "%14.7f\t%14.8f\t%14.8f\n" (time, value, error) for
// every point whose mark is not -1 over dataPath. Does nothing while no file
// is loaded. The file is written to a temporary file and renamed over the
// original only when complete; a failure is reported with
// "I/O Error! Unable to open file." and leaves the original as it was.
// When the data file is not plain three-column numbers
// (files.dataFileRewritable false) the light curve goes to the "-data" file
// beside it instead, and the original is never touched.
Outcome saveData(Workspace& ws);

// "Save Phased Data": "-phased" file with phaseCycles copies of every point,
// "%f %f %lf\n" (cycle + phase, phased value, 1/sqrt(weight)).
Outcome savePhasedData(Workspace& ws);

// "Save Periodogram": "-period" file, "%e %e\n" (period, power) for every
// entry with a positive frequency, in array order.
Outcome savePeriodogram(Workspace& ws);

// "Delete file": deletes dataPath; the light curve stays loaded.
Outcome deleteDataFile(Workspace& ws);

}  // namespace fazorn
