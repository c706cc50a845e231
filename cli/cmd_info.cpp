// fazorn-cli info: the light-curve statistics of each file.
#include <cstdio>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/number_format.h"
#include "core/observation_file.h"
#include "core/statistics.h"
#include "core/workspace.h"

namespace fazorn::cli {

const char* const kInfoHelp =
    "  info [--json] FILE...\n"
    "      (also --columns TIME,VALUE[,ERROR] and --band NAME, as for every command)\n"
    "      Point count, time span, mean value, rms, gamma (one minute over the\n"
    "      median sampling interval), min/max time and value of each file, and\n"
    "      how a table or FITS file was read. A file without any observation\n"
    "      is still described, and the exit status is 1.\n"
    "      --json   one JSON object per file and line, with the keys file,\n"
    "               points, time_span, mean_value, rms, gamma, min_time,\n"
    "               max_time, min_value, max_value (null where undefined),\n"
    "               reader (plain, table or fits) and read_as (what a table\n"
    "               reader read; empty for plain files)\n";

namespace {

const char* readerName(FileKind kind) {
  switch (kind) {
    case FileKind::TextTable:
      return "table";
    case FileKind::Fits:
      return "fits";
    case FileKind::Plain:
      break;
  }
  return "plain";
}

}  // namespace

int runInfo(const Args& args) {
  bool json = false;
  ImportOptions import;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && a == "--json") {
      json = true;
    } else if (auto status =
                   optionsEnded ? std::nullopt : takeImportOption("info", args, i, import)) {
      if (*status != kExitOk) return *status;
    } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
      return usageError("info: unknown option '" + a + "'");
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return usageError("info: no FILE given");

  int status = kExitOk;
  for (const auto& file : files) {
    Workspace ws;
    LoadDetails details;
    Outcome out = loadObservations(ws, file, import, &details);
    if (!out.ok) {
      // Whatever could be opened is still described below.
      printOutcomeToStderr(file, out);
      status = kExitFileError;
      if (!details.opened) continue;
    } else {
      printLoadNotes(file, out);
    }
    const auto& s = ws.stats;
    const int n = ws.lightCurve.pointCount;
    if (json) {
      JsonObject o;
      o.add("file", file).add("points", n);
      if (n > 0) {
        o.add("time_span", s.timeSpan).add("mean_value", s.meanValue).add("rms", s.rms);
      } else {
        o.addNull("time_span").addNull("mean_value").addNull("rms");
      }
      if (n > 1)
        o.add("gamma", s.cadenceRatio);
      else
        o.addNull("gamma");
      if (n > 0) {
        o.add("min_time", s.minTime)
            .add("max_time", s.maxTime)
            .add("min_value", s.minValue)
            .add("max_value", s.maxValue);
      } else {
        o.addNull("min_time").addNull("max_time").addNull("min_value").addNull("max_value");
      }
      o.add("reader", readerName(details.reader)).add("read_as", details.summary);
      std::printf("%s\n", o.str().c_str());
    } else {
      std::printf("%s\n", file.c_str());
      if (!details.summary.empty()) std::printf("  Read as:     %s\n", details.summary.c_str());
      std::printf("  Data points: %d\n", n);
      std::printf("  Time span:   %s\n", ws.panel.timeSpan.c_str());
      std::printf("  Mean value:  %s\n", ws.panel.meanMag.c_str());
      std::printf("  rms:         %s\n", ws.panel.rms.c_str());
      std::printf("  gamma:       %s\n", ws.panel.gamma.c_str());
      if (n > 0) {
        std::printf("  Time:        %s .. %s\n", formatFixed(s.minTime, 6, 14).c_str(),
                    formatFixed(s.maxTime, 6, 14).c_str());
        std::printf("  Value:       %s .. %s\n", formatFixed(s.minValue, 6, 10).c_str(),
                    formatFixed(s.maxValue, 6, 10).c_str());
      }
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace fazorn::cli
