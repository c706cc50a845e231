// fazorn-cli analyse: period search (filled in with the search engines).
#include "cli/cli_common.h"
#include "cli/commands.h"

namespace fazorn::cli {

const char* const kAnalyseHelp =
    "  analyse [--method aov|aovtr|ls] [options] FILE...   (not yet available)\n";

int runAnalyse(const Args&) { return usageError("analyse is not available yet"); }

}  // namespace fazorn::cli
