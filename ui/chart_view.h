// The three charts of the main window: the light curve (time against value),
// the phase diagram (two cycles of phase against value) and the periodogram
// (period or frequency against power, or the amplitude spectrum against
// frequency), each refilled from the Workspace by one function.
#pragma once

#include <qcustomplot.h>

#include <QString>

#include "core/workspace.h"

namespace fazorn::ui {

// One chart: a plot with a bold navy title, a white background, a cross
// cursor, rectangle zoom with the left mouse button (double click or the
// context menu restores the automatic range) and a context menu that saves
// the chart as PNG or PDF. The mouse wheel zooms around the cursor: over an
// axis that axis alone, inside the plot both (with Ctrl only the horizontal
// axis, with Shift only the vertical one). Charts that allow panning pan with
// Shift + drag.
class ChartView : public QCustomPlot {
  Q_OBJECT
 public:
  ChartView(const QString& title, const QColor& zoomPen, bool allowPanning,
            QWidget* parent = nullptr);

  // The range the chart returns to when the zoom is reset; set by the fill
  // functions from the data. While the user has zoomed or panned, a refill
  // keeps the view (marking points in a zoomed chart must not unzoom it).
  void setHomeRange(const QCPRange& x, const QCPRange& y);
  void resetZoom();
  bool zoomed() const { return zoomed_; }
  // The ranges of the chart with nothing to show, as at the start. A chart
  // emptied for a newly opened light curve goes back to them, unzoomed, so
  // that nothing of the previous light curve's ranges stays.
  void setEmptyRange(const QCPRange& x, const QCPRange& y);
  void showEmptyRange();

  // The size the chart asks for when the window opens (it may be made
  // smaller, down to its minimum size, or larger).
  void setPreferredSize(const QSize& size) { preferred_ = size; }
  QSize sizeHint() const override;

  // Writes the chart as it is shown; the format follows the suffix (.png or
  // .pdf). False when the file cannot be written.
  bool saveChart(const QString& path);

  // Point series (drawn over their error bars) and the error-bar base.
  QCPGraph* unmarked = nullptr;
  QCPGraph* marked = nullptr;
  QCPGraph* errorBase = nullptr;  // every point, drawn only as error bars
  QCPErrorBars* errorBars = nullptr;
  QCPGraph* line = nullptr;  // the periodogram line
  // The periodogram chart's amplitude spectrum (frequency view), drawn
  // instead of the search's line, which keeps its data meanwhile.
  QCPGraph* spectrum = nullptr;
  // The phase chart's model: one line for the even and one for the odd
  // cycles of the fit (the model is fitted on twice the period).
  QCPGraph* model[2] = {nullptr, nullptr};

 signals:
  // A click on a plotted item: (x, y) of the point it belongs to, and the
  // series that was hit.
  void pointClicked(double x, double y, bool onMarkedOrUnmarked);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // The point under a click, searched in drawing order from the top.
  void hitTest(const QPointF& pos);

  bool allowPanning_;
  QCPRange homeX_, homeY_;
  QCPRange emptyX_{0, 1}, emptyY_{0, 1};
  QSize preferred_;
  QPoint pressPos_;
  bool zoomed_ = false;
};

// Builds the charts with their series and styles.
ChartView* createLightCurveChart(QWidget* parent = nullptr);
ChartView* createPhaseChart(QWidget* parent = nullptr);
ChartView* createPeriodogramChart(QWidget* parent = nullptr);

// What the phase chart shows besides the points.
struct PhaseDiagramView {
  bool model = false;      // the fitted model of the last fit as a line
  bool residuals = false;  // points as value minus model, the line at 0
};

// True when the last fit's model belongs to the current period and can be
// drawn over the phase diagram.
bool modelDrawable(const Workspace& ws);

// True when the phase chart shows residuals (asked for, and a model to
// subtract); its value axis is then titled "Residual".
bool residualsShown(const Workspace& ws, const PhaseDiagramView& view);

// The value the phase chart shows for point i: the phased value, or in the
// residuals view the phased value minus the model at the point's time.
double phaseChartValue(const Workspace& ws, int i, const PhaseDiagramView& view);

// Refill from the Workspace. fillPhaseDiagram leaves the chart empty unless
// ws.phased is 1. None of them repaints: call replot() afterwards.
void fillLightCurve(ChartView& chart, const Workspace& ws);
void fillPhaseDiagram(ChartView& chart, const Workspace& ws, const PhaseDiagramView& view = {});
void clearPointSeries(ChartView& chart);
// The periodogram's abscissa: period (days, logarithmic; the default) or
// frequency (cycles per day, linear from the grid's lowest frequency).
enum class PeriodogramAbscissa { Period, Frequency };
void setPeriodogramAbscissa(ChartView& chart, PeriodogramAbscissa abscissa);
PeriodogramAbscissa periodogramAbscissa(const ChartView& chart);
// The search's periodogram by the chart's abscissa, "Power" on the value
// axis; hides the amplitude spectrum.
void fillPeriodogram(ChartView& chart, const Workspace& ws);
// Empties the periodogram line and the amplitude spectrum.
void clearPeriodogram(ChartView& chart);
// The amplitude spectrum (frequency, amplitude in the values' units): turns
// the chart to the frequency abscissa, hides the search's line and titles
// the value axis "Amplitude (mag)" or "Amplitude (flux)".
void fillAmplitudeSpectrum(ChartView& chart, const std::vector<double>& frequency,
                           const std::vector<double>& amplitude, ValueKind kind);
bool amplitudeSpectrumShown(const ChartView& chart);

// "Invert ordinate": the value axis of a chart, reversed ("Magnitudes",
// brighter up) or not ("Flux").
void setOrdinateInverted(ChartView& chart, bool inverted);
bool ordinateInverted(const ChartView& chart);

}  // namespace fazorn::ui
