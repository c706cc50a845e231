// Arbitrary bytes through the whole analysis chain: read, the three searches
// on a small grid, fit, classify, phase, bin and save into a temporary
// folder. Nothing may crash, read out of bounds, hang or leave the Workspace
// inconsistent, whatever the numbers (NaN, infinities, zero errors, equal
// times, one point).
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "commands/analysis.h"
#include "commands/model_chain.h"
#include "core/derived_files.h"
#include "core/observation_file.h"
#include "core/results_panel.h"
#include "core/workspace.h"
#include "edit/binning.h"

namespace {

namespace fs = std::filesystem;

const fs::path& workDir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("fazorn-chain-fuzz-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

void check(bool ok) {
  if (!ok) std::abort();
}

void checkWorkspace(const fazorn::Workspace& ws) {
  const auto& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  check(lc.time.size() == n && lc.value.size() == n && lc.error.size() == n &&
        lc.weight.size() == n && lc.mark.size() == n);
  for (int m : lc.mark) check(m == 0 || m == 1);
  if (ws.phased == 1) {
    check(ws.phase.size() == ws.phasedValue.size());
    for (double p : ws.phase) check(p > -0.5 && p <= 0.5);
  }
  check(ws.periodogram.frequency.size() == ws.periodogram.power.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte picks the grid so that the searches stay short: periods
  // from 0.5 to 5..20 days at a resolution of 0.01..0.04 (a few hundred
  // frequencies at most).
  const unsigned pick = size > 0 ? data[0] : 0;
  const fs::path file = workDir() / "star.dat";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }

  fazorn::Workspace ws;
  fazorn::loadObservations(ws, file.string());
  checkWorkspace(ws);
  ws.settings.minPeriod = 0.5;
  ws.settings.maxPeriod = 5.0 + 5.0 * (pick & 3);
  ws.settings.harmonics = 1 + static_cast<int>((pick >> 2) & 3);
  ws.settings.resolution = 0.01 * (1 + ((pick >> 4) & 3));

  fazorn::RunControl rc;
  rc.threads = 1;
  fazorn::analyseAov(ws, rc);
  checkWorkspace(ws);
  fazorn::analyseLombScargle(ws, rc);
  checkWorkspace(ws);
  fazorn::analyseAovTransit(ws, rc);
  checkWorkspace(ws);
  fazorn::getStatistics(ws);
  checkWorkspace(ws);
  fazorn::doublePeriod(ws);
  fazorn::shiftT0(ws);
  checkWorkspace(ws);
  fazorn::binByPoints(ws, 3);
  fazorn::binByDay(ws);
  fazorn::binByMinutes(ws, 5);
  fazorn::savePhasedBinned(ws);
  fazorn::saveData(ws);
  fazorn::savePhasedData(ws);
  fazorn::savePeriodogram(ws);
  checkWorkspace(ws);

  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(workDir(), ec)) fs::remove(entry.path(), ec);
  return 0;
}
