// fazorn-cli significance: randomisation tests of a period's significance.
#include "cli/cli_common.h"
#include "cli/commands.h"

namespace fazorn::cli {

const char* const kSignificanceHelp =
    "  significance --method aov|ls --randomize permute|noise FILE   (not yet available)\n";

int runSignificance(const Args&) { return usageError("significance is not available yet"); }

}  // namespace fazorn::cli
