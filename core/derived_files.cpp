#include "core/derived_files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/file_names.h"
#include "core/text_file.h"

namespace fazorn {

Outcome saveData(Workspace& ws) {
  Outcome out;
  if (ws.dataLoaded != 1) return out;
  const LightCurve& lc = ws.lightCurve;
  // A table or FITS file is kept: the light curve goes to a "-data" file
  // beside it.
  const std::string target =
      ws.files.dataFileRewritable ? ws.files.dataPath : derivedFilePath(ws.files, suffix::data);
  // The observation file itself is written through a symbolic link the user
  // opened it by; a "-data" file beside it never is.
  const std::string failure = writeWholeFile(
      target,
      [&](TextFileWriter& file) {
        for (int i = 0; i < lc.pointCount; ++i)
          if (lc.mark[i] != -1)
            file.print("%14.7f\t%14.8f\t%14.8f\n", lc.time[i], lc.value[i], lc.error[i]);
      },
      ws.files.dataFileRewritable ? Links::Follow : Links::Refuse);
  if (!failure.empty()) return writeFailed(failure);
  if (!ws.files.dataFileRewritable) {
    ws.files.outputPath = target;
    out.addNote("Saved to " + target + "; the original file is kept.");
  }
  return out;
}

Outcome savePhasedData(Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  return writeDerivedFile(ws, suffix::phased, {informationBox("Light curve plotted to file.")},
                          [&](TextFileWriter& file) {
                            // Phases belong to the light curve of the last phasing; never read
                            // past either set of arrays when the two differ.
                            const std::size_t n =
                                std::min({static_cast<std::size_t>(lc.pointCount), ws.phase.size(),
                                          ws.phasedValue.size(), lc.weight.size()});
                            for (int k = 0; k < ws.phaseCycles; ++k)
                              for (std::size_t i = 0; i < n; ++i)
                                file.print("%f %f %lf\n", k + ws.phase[i], ws.phasedValue[i],
                                           1 / std::sqrt(lc.weight[i]));
                          });
}

Outcome savePeriodogram(Workspace& ws) {
  const Periodogram& pg = ws.periodogram;
  return writeDerivedFile(ws, suffix::period, {informationBox("Periodogram plotted to file.")},
                          [&](TextFileWriter& file) {
                            const std::size_t n =
                                std::min({static_cast<std::size_t>(std::max(pg.frequencyCount, 0)),
                                          pg.frequency.size(), pg.power.size()});
                            for (std::size_t i = 0; i < n; ++i)
                              if (pg.frequency[i] > 0)
                                file.print("%e %e\n", 1 / pg.frequency[i], pg.power[i]);
                          });
}

Outcome deleteDataFile(Workspace& ws) {
  Outcome out;
  if (std::remove(ws.files.dataPath.c_str()) == 0) {
    out.message = Message{"            File deleted.           ", "Fazorn", MessageIcon::None};
  } else {
    out.ok = false;
    out.message = Message{"Unable to delete file.", "Fazorn", MessageIcon::None};
  }
  return out;
}

}  // namespace fazorn
