// fazorn-cli bin and convert: derived files of the editing commands.
#include "cli/cli_common.h"
#include "cli/commands.h"

namespace fazorn::cli {

const char* const kBinHelp = "  bin --points N|--day|--minutes K FILE...   (not yet available)\n";
const char* const kConvertHelp = "  convert --to-mag|--to-flux FILE...   (not yet available)\n";

int runBin(const Args&) { return usageError("bin is not available yet"); }
int runConvert(const Args&) { return usageError("convert is not available yet"); }

}  // namespace fazorn::cli
