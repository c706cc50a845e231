#include "ui/chart_view.h"

#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLocale>
#include <QMenu>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "model/phased_model.h"

namespace fazorn::ui {

namespace {

const QColor kNavy(0, 0, 128);
const QColor kPointPen(64, 0, 64);
const QColor kPointFill(0, 128, 0);
const QColor kMarked(255, 0, 0);
const QColor kSilver(192, 192, 192);
const QColor kGray(128, 128, 128);
constexpr double kPointSize = 6.0;  // circle diameter, px
// The smallest chart that still shows its title, both axes with their
// labels and a plot area to click in, px.
constexpr QSize kMinimumChart(200, 150);

// Value-axis labels as "#,##0.####": thousands grouped, at most four
// decimals, no trailing zeros.
class GroupedTicker : public QCPAxisTicker {
 protected:
  QString getTickLabel(double tick, const QLocale&, QChar, int) override {
    QLocale locale;
    if (std::fabs(tick) < 5e-5) tick = 0.0;  // no "-0"
    QString text = locale.toString(tick, 'f', 4);
    const QString point = locale.decimalPoint();
    if (text.contains(point)) {
      while (text.endsWith(QLatin1Char('0'))) text.chop(1);
      if (text.endsWith(point)) text.chop(point.size());
    }
    return text;
  }
};

QCPScatterStyle circles(const QColor& pen, const QColor& fill) {
  return QCPScatterStyle(QCPScatterStyle::ssCircle, pen, fill, kPointSize);
}

QCPGraph* addPointGraph(ChartView* chart, const QCPScatterStyle& style) {
  QCPGraph* g = chart->addGraph();
  g->setLineStyle(QCPGraph::lsNone);
  g->setScatterStyle(style);
  // With many points per pixel only one circle per crowded cell is drawn;
  // marked points live in their own series, so they never vanish in it.
  g->setAdaptiveSampling(true);
  return g;
}

void addPointSeries(ChartView* chart, const QColor& errorColor) {
  chart->errorBase = chart->addGraph();
  chart->errorBase->setLineStyle(QCPGraph::lsNone);
  chart->errorBase->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
  chart->errorBase->setSelectable(QCP::stNone);
  chart->errorBars = new QCPErrorBars(chart->xAxis, chart->yAxis);
  chart->errorBars->setDataPlottable(chart->errorBase);
  chart->errorBars->setPen(QPen(errorColor));
  chart->errorBars->setWhiskerWidth(2);
  chart->unmarked = addPointGraph(chart, circles(kPointPen, kPointFill));
  chart->marked = addPointGraph(chart, circles(kMarked, kMarked));
}

void setValueAxis(ChartView* chart, const QString& title) {
  chart->yAxis->setLabel(title);
  chart->yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new GroupedTicker));
}

// Pads a data range by a fraction on both sides (an empty or single-valued
// range gets a unit width), like the automatic axes with their pixel offsets.
QCPRange padded(QCPRange r, double fraction) {
  if (!std::isfinite(r.lower) || !std::isfinite(r.upper)) return QCPRange(0, 1);
  double size = r.upper - r.lower;
  if (size <= 0) size = std::max(std::fabs(r.lower) * 0.01, 0.5);
  return QCPRange(r.lower - size * fraction, r.upper + size * fraction);
}

struct Columns {
  QVector<double> key, value;
  void reserve(int n) {
    key.reserve(n);
    value.reserve(n);
  }
  void add(double k, double v) {
    key.push_back(k);
    value.push_back(v);
  }
};

// The light curve's points in ascending time, ties in storage order (the
// charts keep their x values sorted).
std::vector<int> timeOrder(const std::vector<double>& key, int n) {
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key[a] < key[b]; });
  return order;
}

void fill(ChartView& chart, const Columns& all, const QVector<double>& errors,
          const Columns& unmarked, const Columns& marked) {
  chart.errorBase->setData(all.key, all.value, true);
  chart.errorBars->setData(errors);
  chart.unmarked->setData(unmarked.key, unmarked.value, true);
  chart.marked->setData(marked.key, marked.value, true);
}

QCPRange valueRange(const ChartView& chart) {
  bool found = false;
  const QCPAbstractPlottable* bars = chart.errorBars;  // the range includes the bars
  QCPRange r = bars->getValueRange(found);
  if (!found) r = QCPRange(0, 1);
  return r;
}

}  // namespace

ChartView::ChartView(const QString& title, const QColor& zoomPen, bool allowPanning,
                     QWidget* parent)
    : QCustomPlot(parent), allowPanning_(allowPanning) {
  setBackground(Qt::white);
  setCursor(Qt::CrossCursor);
  setNotAntialiasedElements(QCP::aeAll);  // crisp and fast with many points
  plotLayout()->insertRow(0);
  auto* titleElement = new QCPTextElement(this, title, QFont(font().family(), 10, QFont::Bold));
  titleElement->setTextColor(kNavy);
  plotLayout()->addElement(0, 0, titleElement);
  setSelectionRectMode(QCP::srmZoom);
  selectionRect()->setPen(QPen(zoomPen));
  connect(selectionRect(), &QCPSelectionRect::accepted, this, [this] { zoomed_ = true; });
}

void ChartView::setHomeRange(const QCPRange& x, const QCPRange& y) {
  homeX_ = x;
  homeY_ = y;
  if (!zoomed_) resetZoom();
}

void ChartView::resetZoom() {
  zoomed_ = false;
  xAxis->setRange(homeX_);
  yAxis->setRange(homeY_);
}

void ChartView::setEmptyRange(const QCPRange& x, const QCPRange& y) {
  emptyX_ = x;
  emptyY_ = y;
  setHomeRange(x, y);
}

void ChartView::showEmptyRange() {
  homeX_ = emptyX_;
  homeY_ = emptyY_;
  resetZoom();
}

QSize ChartView::sizeHint() const {
  return preferred_.isValid() ? preferred_ : QCustomPlot::sizeHint();
}

bool ChartView::saveChart(const QString& path) {
  if (path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
    return savePdf(path, width(), height());
  return savePng(path, width(), height());
}

void ChartView::mousePressEvent(QMouseEvent* event) {
  // Left drag draws the zoom rectangle; with Shift a panning chart pans.
  // Other buttons must not start a rectangle (the right one opens the menu).
  const bool pan = allowPanning_ && (event->modifiers() & Qt::ShiftModifier);
  const bool zoom = event->button() == Qt::LeftButton && !pan;
  setSelectionRectMode(zoom ? QCP::srmZoom : QCP::srmNone);
  setInteraction(QCP::iRangeDrag, pan);
  pressPos_ = event->pos();
  QCustomPlot::mousePressEvent(event);
}

void ChartView::mouseReleaseEvent(QMouseEvent* event) {
  // A press and release at (nearly) the same place is a click, not a zoom.
  const bool click =
      event->button() == Qt::LeftButton && (event->pos() - pressPos_).manhattanLength() <= 3;
  if (click && selectionRect()->isActive()) selectionRect()->cancel();
  if (!click && interactions().testFlag(QCP::iRangeDrag)) zoomed_ = true;  // panned
  QCustomPlot::mouseReleaseEvent(event);
  if (click) hitTest(event->position());
}

void ChartView::mouseDoubleClickEvent(QMouseEvent* event) {
  QCustomPlot::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) {
    resetZoom();
    replot();
  }
}

void ChartView::wheelEvent(QWheelEvent* event) {
  const double steps = event->angleDelta().y() / 120.0;
  if (steps == 0) {
    event->ignore();
    return;
  }
  const QPointF pos = event->position();
  const QRect plot = axisRect()->rect();
  bool zoomX = true;
  bool zoomY = true;
  if (pos.y() > plot.bottom())
    zoomY = false;  // over the time, phase or period axis
  else if (pos.x() < plot.left())
    zoomX = false;  // over the value axis
  else if (event->modifiers() & Qt::ControlModifier)
    zoomY = false;
  else if (event->modifiers() & Qt::ShiftModifier)
    zoomX = false;
  // A notch away from the user narrows the range by 15 %, around the cursor.
  const double factor = std::pow(0.85, steps);
  if (zoomX) xAxis->scaleRange(factor, xAxis->pixelToCoord(pos.x()));
  if (zoomY) yAxis->scaleRange(factor, yAxis->pixelToCoord(pos.y()));
  zoomed_ = true;
  event->accept();
  replot(QCustomPlot::rpQueuedReplot);
}

void ChartView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* png = menu.addAction(tr("Save chart as PNG..."));
  QAction* pdf = menu.addAction(tr("Save chart as PDF..."));
  menu.addSeparator();
  QAction* reset = menu.addAction(tr("Reset zoom"));
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == reset) {
    resetZoom();
    replot();
  } else if (chosen == png || chosen == pdf) {
    const bool isPdf = chosen == pdf;
    QString path = QFileDialog::getSaveFileName(
        this, isPdf ? tr("Save chart as PDF") : tr("Save chart as PNG"), QString(),
        isPdf ? tr("PDF files (*.pdf)") : tr("PNG images (*.png)"));
    if (path.isEmpty()) return;
    const QString suffix = isPdf ? QStringLiteral(".pdf") : QStringLiteral(".png");
    if (!path.endsWith(suffix, Qt::CaseInsensitive)) path += suffix;
    if (!saveChart(path))
      QMessageBox::warning(this, tr("Message"), tr("I/O Error! Unable to open file."));
  }
}

void ChartView::hitTest(const QPointF& pos) {
  // Points lie over their error bars, so a point within reach wins over any
  // bar, even one passing closer; a bar alone stands for its point.
  auto nearest = [&](std::initializer_list<QCPAbstractPlottable*> candidates, QCPGraph*& hit,
                     int& index) {
    double best = selectionTolerance();
    for (QCPAbstractPlottable* p : candidates) {
      if (p == nullptr || !p->visible()) continue;
      QVariant details;
      const double d = p->selectTest(pos, false, &details);
      const QCPDataSelection sel = details.value<QCPDataSelection>();
      if (d < 0 || d >= best || sel.isEmpty()) continue;
      best = d;
      hit = p == errorBars ? errorBase : static_cast<QCPGraph*>(p);
      index = sel.dataRange().begin();
    }
  };
  QCPGraph* hit = nullptr;
  int index = -1;
  nearest({marked, unmarked, line, spectrum}, hit, index);
  if (hit == nullptr) nearest({errorBars}, hit, index);
  if (hit == nullptr || index < 0 || index >= hit->dataCount()) return;
  const auto it = hit->data()->at(index);
  emit pointClicked(it->key, it->value, hit != errorBase);
}

ChartView* createLightCurveChart(QWidget* parent) {
  auto* chart = new ChartView(QStringLiteral("Observed data"), QColor(0, 0, 160), false, parent);
  addPointSeries(chart, kSilver);
  chart->xAxis->setLabel(QStringLiteral("Time"));
  setValueAxis(chart, QStringLiteral("Flux"));
  chart->setPreferredSize(QSize(900, 271));
  chart->setMinimumSize(kMinimumChart);
  return chart;
}

ChartView* createPhaseChart(QWidget* parent) {
  auto* chart = new ChartView(QStringLiteral("Phased data"), QColor(128, 0, 64), false, parent);
  addPointSeries(chart, kGray);
  chart->xAxis->setLabel(QStringLiteral("phase"));
  setValueAxis(chart, QStringLiteral("Flux"));
  for (QCPGraph*& g : chart->model) {
    g = chart->addGraph();
    g->setPen(QPen(QColor(0, 0, 255), 2));
    g->setSelectable(QCP::stNone);
    g->setAntialiased(true);
  }
  chart->setEmptyRange(QCPRange(-0.25, 1.25), QCPRange(0, 1));
  chart->setPreferredSize(QSize(448, 293));
  chart->setMinimumSize(kMinimumChart);
  return chart;
}

ChartView* createPeriodogramChart(QWidget* parent) {
  auto* chart = new ChartView(QStringLiteral("Periodogram"), QColor(0, 0, 160), true, parent);
  chart->line = chart->addGraph();
  chart->line->setPen(QPen(kNavy));
  chart->line->setAdaptiveSampling(true);
  chart->spectrum = chart->addGraph();
  chart->spectrum->setPen(QPen(kNavy));
  chart->spectrum->setAdaptiveSampling(true);
  chart->spectrum->setVisible(false);
  setPeriodogramAbscissa(*chart, PeriodogramAbscissa::Period);
  chart->setPreferredSize(QSize(445, 293));
  chart->setMinimumSize(kMinimumChart);
  return chart;
}

void fillLightCurve(ChartView& chart, const Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  const int n = std::max(0, std::min<int>(lc.pointCount, static_cast<int>(lc.time.size())));
  Columns all, unmarked, marked;
  QVector<double> errors;
  all.reserve(n);
  errors.reserve(n);
  for (int i : timeOrder(lc.time, n)) {
    all.add(lc.time[i], lc.value[i]);
    errors.push_back(std::fabs(lc.error[i]));
    // Marks other than 0 and 1 (-1 during a removal) draw no point.
    if (lc.mark[i] == 0)
      unmarked.add(lc.time[i], lc.value[i]);
    else if (lc.mark[i] == 1)
      marked.add(lc.time[i], lc.value[i]);
  }
  fill(chart, all, errors, unmarked, marked);
  if (n == 0) {
    chart.setHomeRange(QCPRange(0, 1), QCPRange(0, 1));
    return;
  }
  const QCPRange x(all.key.front(), all.key.back());
  chart.setHomeRange(padded(x, 0.01), padded(valueRange(chart), 0.03));
}

bool modelDrawable(const Workspace& ws) {
  return ws.phased == 1 && ws.modelCurve.valid && ws.modelCurve.period == ws.period &&
         std::isfinite(ws.period) && ws.period > 0;
}

bool residualsShown(const Workspace& ws, const PhaseDiagramView& view) {
  return view.residuals && modelDrawable(ws);
}

namespace {

// The model at a time in the light curve's own values: its magnitude, or for
// a flux light curve (modelled on -2.5 log10(flux / reference flux)) the
// flux reference * 10^(-0.4 m), so that line and residuals share the points'
// axis.
double modelValueAt(const Workspace& ws, double time) {
  const double m = modelMagnitudeAt(ws.modelCurve, time);
  if (ws.lightCurve.valueKind != ValueKind::Flux || !(ws.modelReferenceFlux > 0)) return m;
  return ws.modelReferenceFlux * std::pow(10.0, -0.4 * m);
}

}  // namespace

double phaseChartValue(const Workspace& ws, int i, const PhaseDiagramView& view) {
  const double v = ws.phasedValue[i];
  if (!residualsShown(ws, view)) return v;
  return v - modelValueAt(ws, ws.lightCurve.time[i]);
}

namespace {

// The model over the two shown cycles, x from -0.5 to 1.5: branch k follows
// the cycles of parity k after t0. A point at shown phase x > 0.5 is the
// copy of phase x - 1, so that part of the line is drawn from there.
void fillModelLines(ChartView& chart, const Workspace& ws, const PhaseDiagramView& view) {
  for (QCPGraph* g : chart.model) g->data()->clear();
  if (!view.model || !modelDrawable(ws)) return;
  constexpr int kSamples = 800;  // over two cycles
  for (int k = 0; k < 2; ++k) {
    Columns c;
    c.reserve(kSamples + 2);
    for (int j = 0; j <= kSamples; ++j) {
      const double x = -0.5 + 2.0 * j / kSamples;
      const double p = x <= 0.5 ? x : x - 1.0;
      const double m = modelValueAt(ws, ws.t0 + (p + k) * ws.period);
      if (x > 0.5 && c.key.back() <= 0.5) c.add(0.5, std::numeric_limits<double>::quiet_NaN());
      c.add(x, view.residuals ? (std::isfinite(m) ? 0.0 : m) : m);
    }
    chart.model[k]->setData(c.key, c.value, true);
  }
}

}  // namespace

void fillPhaseDiagram(ChartView& chart, const Workspace& ws, const PhaseDiagramView& view) {
  if (ws.phased != 1) {
    clearPointSeries(chart);
    return;
  }
  const LightCurve& lc = ws.lightCurve;
  const int n =
      static_cast<int>(std::min({static_cast<std::size_t>(std::max(0, lc.pointCount)),
                                 lc.time.size(), ws.phase.size(), ws.phasedValue.size()}));
  const std::vector<int> order = timeOrder(ws.phase, n);
  Columns all, unmarked, marked;
  QVector<double> errors;
  all.reserve(2 * n);
  errors.reserve(2 * n);
  // Phases lie in (-0.5, 0.5]: the second cycle follows the first in order.
  std::vector<double> shown(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) shown[i] = phaseChartValue(ws, i, view);
  for (int cycle = 0; cycle < 2; ++cycle)
    for (int i : order) {
      const double x = cycle == 0 ? ws.phase[i] : ws.phase[i] + 1;
      all.add(x, shown[i]);
      errors.push_back(std::fabs(lc.error[i]));
      if (lc.mark[i] == 0)
        unmarked.add(x, shown[i]);
      else if (lc.mark[i] == 1)
        marked.add(x, shown[i]);
    }
  fill(chart, all, errors, unmarked, marked);
  fillModelLines(chart, ws, view);
  chart.yAxis->setLabel(residualsShown(ws, view)  ? QStringLiteral("Residual")
                        : ordinateInverted(chart) ? QStringLiteral("Magnitudes")
                                                  : QStringLiteral("Flux"));
  chart.setHomeRange(QCPRange(-0.25, 1.25),
                     n > 0 ? padded(valueRange(chart), 0.03) : QCPRange(0, 1));
}

void clearPointSeries(ChartView& chart) {
  for (QCPGraph* g : chart.model)
    if (g != nullptr) g->data()->clear();
  chart.errorBase->data()->clear();
  chart.errorBars->data()->clear();
  chart.unmarked->data()->clear();
  chart.marked->data()->clear();
}

namespace {

const QCPRange kEmptyPeriods(0.1, 10);        // days
const QCPRange kEmptyFrequencies(0.0, 10.0);  // cycles per day

void showSearchLine(ChartView& chart) {
  chart.spectrum->setVisible(false);
  chart.line->setVisible(true);
  chart.yAxis->setLabel(QStringLiteral("Power"));
}

}  // namespace

void setPeriodogramAbscissa(ChartView& chart, PeriodogramAbscissa abscissa) {
  if (abscissa == PeriodogramAbscissa::Period) {
    chart.xAxis->setLabel(QStringLiteral("Period"));
    chart.xAxis->setScaleType(QCPAxis::stLogarithmic);
    chart.xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    chart.setEmptyRange(kEmptyPeriods, QCPRange(0, 1));
  } else {
    chart.xAxis->setLabel(QStringLiteral("Frequency (c/d)"));
    chart.xAxis->setScaleType(QCPAxis::stLinear);
    chart.xAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    chart.setEmptyRange(kEmptyFrequencies, QCPRange(0, 1));
  }
  // A zoom in the other abscissa means nothing in this one.
  chart.showEmptyRange();
  // Leaving the frequency view ends the amplitude spectrum's display: it
  // has no period view.
  if (abscissa == PeriodogramAbscissa::Period) showSearchLine(chart);
}

PeriodogramAbscissa periodogramAbscissa(const ChartView& chart) {
  return chart.xAxis->scaleType() == QCPAxis::stLogarithmic ? PeriodogramAbscissa::Period
                                                            : PeriodogramAbscissa::Frequency;
}

void fillPeriodogram(ChartView& chart, const Workspace& ws) {
  showSearchLine(chart);
  const bool byFrequency = periodogramAbscissa(chart) == PeriodogramAbscissa::Frequency;
  const Periodogram& pg = ws.periodogram;
  const int n = static_cast<int>(std::min({static_cast<std::size_t>(std::max(0, pg.frequencyCount)),
                                           pg.frequency.size(), pg.power.size()}));
  Columns c;
  c.reserve(n);
  // The grid ascends in frequency, so walking it backwards gives ascending
  // periods; anything else is sorted by the chart.
  bool sorted = true;
  for (int k = 0; k < n; ++k) {
    const int i = byFrequency ? k : n - 1 - k;
    if (!(pg.frequency[i] > 0)) continue;
    const double x = byFrequency ? pg.frequency[i] : 1.0 / pg.frequency[i];
    if (!c.key.isEmpty() && x < c.key.back()) sorted = false;
    c.add(x, pg.power[i]);
  }
  chart.line->setData(c.key, c.value, sorted);
  if (c.key.isEmpty()) {
    chart.setHomeRange(byFrequency ? kEmptyFrequencies : kEmptyPeriods, QCPRange(0, 1));
    return;
  }
  bool found = false;
  QCPRange x = chart.line->getKeyRange(found, QCP::sdBoth);
  QCPRange y = chart.line->getValueRange(found);
  if (x.lower == x.upper) x = QCPRange(x.lower * 0.9, x.upper * 1.1);
  chart.setHomeRange(x, padded(y, 0.03));
}

void clearPeriodogram(ChartView& chart) {
  chart.line->data()->clear();
  chart.spectrum->data()->clear();
  showSearchLine(chart);
}

void fillAmplitudeSpectrum(ChartView& chart, const std::vector<double>& frequency,
                           const std::vector<double>& amplitude, ValueKind kind) {
  setPeriodogramAbscissa(chart, PeriodogramAbscissa::Frequency);
  chart.line->setVisible(false);
  chart.spectrum->setVisible(true);
  chart.yAxis->setLabel(kind == ValueKind::Magnitude ? QStringLiteral("Amplitude (mag)")
                                                     : QStringLiteral("Amplitude (flux)"));
  const std::size_t n = std::min(frequency.size(), amplitude.size());
  QVector<double> key(static_cast<qsizetype>(n)), value(static_cast<qsizetype>(n));
  double top = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    key[static_cast<qsizetype>(k)] = frequency[k];
    value[static_cast<qsizetype>(k)] = amplitude[k];
    top = std::max(top, amplitude[k]);
  }
  chart.spectrum->setData(key, value, true);  // the grid ascends from 0
  const double right = n > 0 ? frequency[n - 1] : 0.0;
  // Amplitudes from 0: a linear axis where heights compare directly.
  chart.setHomeRange(QCPRange(0, right > 0 ? right : kEmptyFrequencies.upper),
                     QCPRange(0, top > 0 ? top * 1.05 : 1.0));
}

bool amplitudeSpectrumShown(const ChartView& chart) { return chart.spectrum->visible(); }

void setOrdinateInverted(ChartView& chart, bool inverted) {
  chart.yAxis->setRangeReversed(inverted);
  chart.yAxis->setLabel(inverted ? QStringLiteral("Magnitudes") : QStringLiteral("Flux"));
}

bool ordinateInverted(const ChartView& chart) { return chart.yAxis->rangeReversed(); }

}  // namespace fazorn::ui

#include "moc_chart_view.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
