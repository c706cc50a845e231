// fazorn-cli: the command-line front end. It runs the same core operations as
// the window's commands, so figures agree to the last digit.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "cli/cli_common.h"
#include "cli/commands.h"

namespace {

void printHelp() {
  using namespace fazorn::cli;
  std::printf(
      "Usage: fazorn-cli COMMAND [OPTIONS] FILE...\n"
      "\n"
      "Period analysis of light curves: plain-text files of observations,\n"
      "three numbers per observation (time in days, value, error), text tables\n"
      "and FITS light curves.\n"
      "\n"
      "Exit status: 0 success, 1 a file could not be read or processed,\n"
      "2 usage error; messages go to stderr.\n"
      "\n"
      "Commands:\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n"
      "  --help, -h    this text\n"
      "  --version     the program's version\n",
      kInfoHelp, analyseHelp().c_str(), plotHelp().c_str(), kBinHelp, kConvertHelp,
      kSignificanceHelp, kFrequenciesHelp, kImportOptionsHelp);
}

int notEnoughMemoryExit(const std::string& command) {
  std::fprintf(stderr, "fazorn-cli: not enough memory for %s\n", command.c_str());
  return fazorn::cli::kExitFileError;
}

}  // namespace

int main(int argc, char** argv) {
  // Numbers in files and on the command line always use the decimal point.
  std::setlocale(LC_NUMERIC, "C");
  using namespace fazorn::cli;
  if (argc < 2) {
    printHelp();
    return kExitUsage;
  }
  const std::string command = argv[1];
  Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    printHelp();
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("fazorn-cli 0.1.0\n");
    return kExitOk;
  }
  // Running out of memory is reported like a file that cannot be
  // processed, never as an abort.
  try {
    if (command == "info") return runInfo(args);
    if (command == "analyse" || command == "analyze") return runAnalyse(args);
    if (command == "plot") return runPlot(args);
    if (command == "bin") return runBin(args);
    if (command == "convert") return runConvert(args);
    if (command == "significance") return runSignificance(args);
    if (command == "frequencies") return runFrequencies(args);
  } catch (const std::bad_alloc&) {
    return notEnoughMemoryExit(command);
  } catch (const std::length_error&) {
    return notEnoughMemoryExit(command);
  }
  return usageError("unknown command '" + command + "'");
}
