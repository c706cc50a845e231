// Placeholder until the search engines land.
#include "search/analysis.h"

namespace fazorn {

namespace {
Outcome notYet() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.addNote("This search is not available yet.");
  return out;
}
}  // namespace

Outcome analyseAov(Workspace&, const RunControl&) { return notYet(); }
bool runAovSearch(Workspace&, const RunControl&) { return false; }
Outcome mainLoop(Workspace&, const RunControl&) { return notYet(); }
Outcome analyseAovTransit(Workspace&, const RunControl&) { return notYet(); }
Outcome analyseLombScargle(Workspace&, const RunControl&) { return notYet(); }

}  // namespace fazorn
