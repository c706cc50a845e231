// The File-menu writers and "Delete file": the light curve written back over
// the data file, the phased light curve and the periodogram beside it.
#pragma once

#include <optional>
#include <string>

#include "core/file_names.h"
#include "core/outcome.h"
#include "core/text_file.h"
#include "core/workspace.h"

namespace fazorn {

// How a writer tells the user about its file.
struct WriteMessages {
  std::optional<Message> written;  // the box once the file is written whole
  // The "I/O Error! Unable to open file." box when it was not. Either way
  // the reason is a note ("Unable to write <path>: <reason>.").
  bool boxWhenFailed = true;
};

// A file that could not be written: the I/O failure with the box (unless
// `box` is false) and the reason ("Unable to write <path>: <reason>.") as a
// note.
inline Outcome writeFailed(const std::string& failure, bool box = true) {
  Outcome out;
  out.ok = false;
  out.failure = Failure::Io;
  if (box) out.message = ioErrorBox();
  out.addNote(failure);
  return out;
}

// The open-write-report sequence of every writer of a derived file: the
// path from the data file's parts and `suffix` becomes outputPath,
// body(TextFileWriter&) prints the lines, and the file replaces an earlier
// one only when written whole (writeWholeFile). The outcome carries the
// messages; a failure is ok = false. While no data file is loaded there is
// nothing to name the file after: the bare suffix ("-period") would land in
// the current working directory, so nothing is written (as "Save Data").
template <class Body>
Outcome writeDerivedFile(Workspace& ws, const std::string& suffix, const WriteMessages& messages,
                         Body&& body) {
  if (ws.dataLoaded != 1 || ws.files.dataPath.empty()) {
    Outcome nothing;
    nothing.cancelled = true;
    return nothing;
  }
  ws.files.outputPath = derivedFilePath(ws.files, suffix);
  const std::string failure = writeWholeFile(ws.files.outputPath, body);
  if (!failure.empty()) return writeFailed(failure, messages.boxWhenFailed);
  Outcome out;
  out.message = messages.written;
  return out;
}

// "Save Data": writes "%14.7f\t%14.8f\t%14.8f\n" (time, value, error) for
// every point whose mark is not -1 over dataPath. Does nothing while no file
// is loaded. The file is written to a temporary file and renamed over the
// original only when complete; a failure is reported with
// "I/O Error! Unable to open file." and the reason as a note, and leaves the
// original as it was.
// When the data file is not plain numbers (files.dataFileRewritable false)
// the light curve goes to the "-data" file beside it instead, and the
// original is never touched.
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
