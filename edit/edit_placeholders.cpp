// Placeholders until the editing commands land; the chart click toggles are
// complete.
#include "core/statistics.h"
#include "edit/binning.h"
#include "edit/marking.h"
#include "edit/moving.h"
#include "edit/transformations.h"

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

Outcome markSigmaOutliers(Workspace&, double) { return notYet(); }
Outcome markNight(Workspace&) { return notYet(); }
Outcome markBetween(Workspace&) { return notYet(); }
Outcome markSpec(Workspace&) { return notYet(); }
Outcome markPlusMinus(Workspace&) { return notYet(); }
Outcome unmarkPoints(Workspace&) { return notYet(); }
Outcome moveMarkedPoints(Workspace&, MoveDirection) { return notYet(); }
Outcome removeMarkedPoints(Workspace&) { return notYet(); }
Outcome binByPoints(Workspace&, int) { return notYet(); }
Outcome binByDay(Workspace&) { return notYet(); }
Outcome binByMinutes(Workspace&, int) { return notYet(); }
Outcome savePhasedBinned(Workspace&) { return notYet(); }
Outcome normalizeLightCurve(Workspace&) { return notYet(); }
Outcome addToX(Workspace&, double) { return notYet(); }
Outcome addToY(Workspace&, double) { return notYet(); }
Outcome addFlippedDataset(Workspace&) { return notYet(); }
Outcome spectralWindow(Workspace&) { return notYet(); }
Outcome fluxToMag(Workspace&) { return notYet(); }
Outcome magToFlux(Workspace&) { return notYet(); }

}  // namespace fazorn
