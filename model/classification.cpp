// Placeholder until the classification lands: t0 from the epoch of maximum.
#include "model/classification.h"

#include "core/number_format.h"

namespace fazorn {

void classifyVariability(Workspace& ws) {
  ws.t0FromMinimum = 0;
  ws.t0 = ws.epochOfMaximum;
  ws.panel.t0 = formatFixed(ws.t0, 6, 14, ws.decimalSeparator);
  ws.panel.t0Field = ws.panel.t0;
}

}  // namespace fazorn
