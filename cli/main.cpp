// fazorn-cli: the command-line front end. It runs the same core operations as
// the window's commands, so figures agree to the last digit.
#include <clocale>
#include <cstdio>
#include <cstring>
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
      "Commands:\n%s\n%s\n%s\n%s\n%s\n%s\n"
      "  --help, -h    this text\n"
      "  --version     the program's version\n",
      kInfoHelp, kAnalyseHelp, kBinHelp, kConvertHelp, kSignificanceHelp, kImportOptionsHelp);
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
  if (command == "info") return runInfo(args);
  if (command == "analyse" || command == "analyze") return runAnalyse(args);
  if (command == "bin") return runBin(args);
  if (command == "convert") return runConvert(args);
  if (command == "significance") return runSignificance(args);
  return usageError("unknown command '" + command + "'");
}
