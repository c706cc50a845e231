// Placeholder until the model lands.
#include "model/template_ops.h"

namespace fazorn {

namespace {
Outcome notYet() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.addNote("This command is not available yet.");
  return out;
}
}  // namespace

Outcome getStatistics(Workspace&) { return notYet(); }
Outcome addAsTemplate(Workspace&, const std::string&) { return notYet(); }
Outcome removePeriod(Workspace&) { return notYet(); }

}  // namespace fazorn
