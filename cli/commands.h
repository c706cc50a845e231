// The subcommands of fazorn-cli. Each takes the arguments after its name and
// returns the exit status; each file also provides its part of --help.
#pragma once

#include <string>
#include <vector>

namespace fazorn::cli {

using Args = std::vector<std::string>;

int runInfo(const Args& args);
int runAnalyse(const Args& args);
int runPlot(const Args& args);
int runBin(const Args& args);
int runConvert(const Args& args);
int runSignificance(const Args& args);
int runFrequencies(const Args& args);

extern const char* const kInfoHelp;
std::string analyseHelp();
std::string plotHelp();
extern const char* const kBinHelp;
extern const char* const kConvertHelp;
extern const char* const kSignificanceHelp;
extern const char* const kFrequenciesHelp;

}  // namespace fazorn::cli
