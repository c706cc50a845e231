#include "core/results_panel.h"

#include "core/number_format.h"

namespace fazorn {

namespace {
void clearResultLabels(PanelTexts& p) {
  p.period = p.t0 = p.error = p.maxMag = p.amplitude = p.type = p.score = "-";
}
}  // namespace

void resetForNoData(Workspace& ws) {
  clearResultLabels(ws.panel);
  CommandStates& c = ws.commands;
  c = CommandStates{};
  ws.dataLoaded = 0;
  ws.phased = 0;
}

void resetAfterLoad(Workspace& ws) {
  clearResultLabels(ws.panel);
  CommandStates& c = ws.commands;
  c.saveData = c.analyse = c.unmarkPoints = c.removeMarkedPoints = c.deleteFile = c.phaseButton =
      c.dayBinning = true;
  c.savePhasedData = c.savePeriodogram = c.getStatistics = c.halvePeriod = c.doublePeriod =
      c.shiftT0 = false;
  // "Normalize light curve" keeps its state.
  ws.dataLoaded = 1;
  ws.phased = 0;
}

void enableAfterPhasing(Workspace& ws) {
  CommandStates& c = ws.commands;
  c.savePhasedData = c.savePeriodogram = c.getStatistics = c.halvePeriod = c.doublePeriod =
      c.shiftT0 = c.normalize = true;
  ws.phased = 1;
}

void writeSearchResultTexts(Workspace& ws) {
  const char sep = ws.decimalSeparator;
  ws.panel.error = formatFixed(ws.periodError, 6, 10, sep);
  ws.panel.period = formatFixed(ws.period, 6, 10, sep);
  ws.panel.periodField = ws.panel.period;
}

Outcome refreshPhasing(Workspace& ws) {
  PanelTexts& p = ws.panel;
  p.period = p.t0 = p.error = p.type = p.score = "-";
  const char sep = ws.decimalSeparator;
  p.t0 = formatFixed(ws.t0, 6, 14, sep);
  p.t0Field = p.t0;
  p.period = formatFixed(ws.period, 6, 10, sep);
  p.periodField = p.period;
  computePhases(ws);
  enableAfterPhasing(ws);
  Outcome out;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  return out;
}

Outcome phaseManually(Workspace& ws, double period, double t0) {
  ws.period = period;
  ws.t0 = t0;
  return refreshPhasing(ws);
}

Outcome doublePeriod(Workspace& ws) {
  ws.period = ws.period * 2;
  return refreshPhasing(ws);
}

Outcome halvePeriod(Workspace& ws) {
  ws.period = ws.period * 0.5;
  return refreshPhasing(ws);
}

Outcome shiftT0(Workspace& ws) {
  ws.t0 = ws.t0 + ws.period * 0.5;
  return refreshPhasing(ws);
}

}  // namespace fazorn
