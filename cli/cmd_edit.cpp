// fazorn-cli bin and convert: the derived files of the binning and
// conversion commands, written beside each input file under the same names
// as the window's commands write them.
#include <climits>
#include <cstdio>
#include <functional>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "core/observation_file.h"
#include "core/workspace.h"
#include "edit/binning.h"
#include "edit/transformations.h"

namespace fazorn::cli {

const char* const kBinHelp =
    "  bin --points N|--day|--minutes K FILE...\n"
    "      (also --columns TIME,VALUE[,ERROR] and --band NAME, as for every command)\n"
    "      Averages each file into bins and writes them beside it; prints the\n"
    "      path of each file written.\n"
    "      --points N    N consecutive points per bin (plain means), the last\n"
    "                    incomplete bin dropped; \"-binned\" file\n"
    "      --day         whole days (plain means, error from the scatter);\n"
    "                    \"-NightBin\" file\n"
    "      --minutes K   K-minute bins from the first observation (weighted\n"
    "                    means, formal error); \"-KKminBin\" file, e.g. -05minBin.\n"
    "                    Points with an error of 0 are left out and counted.\n";

const char* const kConvertHelp =
    "  convert --to-mag|--to-flux FILE...\n"
    "      (also --columns TIME,VALUE[,ERROR] and --band NAME, as for every command)\n"
    "      Converts the values of each file and writes them beside it; prints\n"
    "      the path of each file written.\n"
    "      --to-mag      flux to magnitudes, -2.5 log10(flux); \"-mag\" file.\n"
    "                    Points with a flux (or flux + error) of 0 or below are\n"
    "                    left out and counted.\n"
    "      --to-flux     magnitudes to flux, 10^(-0.4 mag); \"-flux\" file\n";

namespace {

using Operation = std::function<Outcome(Workspace&)>;

// Loads each file, runs the operation, prints the path written or the
// failure. A failure of one file does not stop the others.
int runOnFiles(const char* command, const std::vector<std::string>& files,
               const ImportOptions& import, const Operation& operation) {
  if (files.empty()) return usageError(std::string(command) + ": no FILE given");
  int status = kExitOk;
  for (const auto& file : files) {
    Workspace ws;
    if (!loadForCommand(ws, file, import)) {
      status = kExitFileError;
      continue;
    }
    const Outcome out = operation(ws);
    if (!out.ok) {
      printOutcomeToStderr(file, out);
      if (!out.message && out.notes.empty())
        std::fprintf(stderr, "%s: nothing was written\n", file.c_str());
      status = kExitFileError;
      continue;
    }
    for (const auto& note : out.notes) std::fprintf(stderr, "%s: %s\n", file.c_str(), note.c_str());
    std::printf("%s\n", ws.files.outputPath.c_str());
  }
  std::fflush(stdout);
  return status;
}

// A positive whole number option value.
std::optional<int> positiveCount(const std::string& text) {
  const auto v = parseInteger(text);
  if (!v || *v < 1 || *v > INT_MAX) return std::nullopt;
  return static_cast<int>(*v);
}

}  // namespace

int runBin(const Args& args) {
  enum class Mode { None, Points, Day, Minutes } mode = Mode::None;
  int count = 0;
  std::vector<std::string> files;
  ImportOptions import;
  bool optionsEnded = false;
  const auto setMode = [&](Mode m) {
    if (mode != Mode::None) return false;
    mode = m;
    return true;
  };
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a == "--points" || a == "--minutes") {
      if (!setMode(a == "--points" ? Mode::Points : Mode::Minutes))
        return usageError("bin: give exactly one of --points, --day, --minutes");
      if (k + 1 >= args.size()) return usageError("bin: " + a + " needs a number");
      const auto v = positiveCount(args[++k]);
      if (!v)
        return usageError("bin: " + a + " needs a positive whole number, not '" + args[k] + "'");
      count = *v;
    } else if (a == "--day") {
      if (!setMode(Mode::Day))
        return usageError("bin: give exactly one of --points, --day, --minutes");
    } else if (auto status = takeImportOption("bin", args, k, import)) {
      if (*status != kExitOk) return *status;
    } else {
      return usageError("bin: unknown option '" + a + "'");
    }
  }
  switch (mode) {
    case Mode::Points:
      return runOnFiles("bin", files, import,
                        [count](Workspace& ws) { return binByPoints(ws, count); });
    case Mode::Day:
      return runOnFiles("bin", files, import, [](Workspace& ws) { return binByDay(ws); });
    case Mode::Minutes:
      return runOnFiles("bin", files, import,
                        [count](Workspace& ws) { return binByMinutes(ws, count); });
    case Mode::None:
      break;
  }
  return usageError("bin: give one of --points N, --day, --minutes K");
}

int runConvert(const Args& args) {
  Operation operation;
  ImportOptions import;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a == "--to-mag" || a == "--to-flux") {
      if (operation) return usageError("convert: give exactly one of --to-mag, --to-flux");
      if (a == "--to-mag")
        operation = [](Workspace& ws) { return fluxToMag(ws); };
      else
        operation = [](Workspace& ws) { return magToFlux(ws); };
    } else if (auto status = takeImportOption("convert", args, k, import)) {
      if (*status != kExitOk) return *status;
    } else {
      return usageError("convert: unknown option '" + a + "'");
    }
  }
  if (!operation) return usageError("convert: give one of --to-mag, --to-flux");
  return runOnFiles("convert", files, import, operation);
}

}  // namespace fazorn::cli
