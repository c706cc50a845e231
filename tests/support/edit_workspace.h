// A Workspace holding a given light curve as a load leaves it (marks 0,
// weights (1/e)/e, statistics of the redraw), for the editing tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/file_names.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "core/workspace.h"

namespace fazorn::test {

inline Workspace loadedWorkspace(const std::vector<double>& time, const std::vector<double>& value,
                                 const std::vector<double>& error,
                                 const std::filesystem::path& dataPath = {}) {
  Workspace ws;
  LightCurve& lc = ws.lightCurve;
  lc.pointCount = static_cast<int>(time.size());
  lc.time = time;
  lc.value = value;
  lc.error = error;
  lc.weight.resize(time.size());
  for (std::size_t i = 0; i < time.size(); ++i) lc.weight[i] = (1 / error[i]) / error[i];
  lc.mark.assign(time.size(), 0);
  lc.scratchValue.assign(time.size(), 0.0);
  lc.scratchError.assign(time.size(), 0.0);
  if (!dataPath.empty()) splitDataPath(dataPath.string(), ws.files);
  resetAfterLoad(ws);
  refreshLightCurveStatistics(ws);
  return ws;
}

// Uniform errors.
inline Workspace loadedWorkspace(const std::vector<double>& time, const std::vector<double>& value,
                                 double error = 0.01, const std::filesystem::path& dataPath = {}) {
  return loadedWorkspace(time, value, std::vector<double>(time.size(), error), dataPath);
}

}  // namespace fazorn::test
