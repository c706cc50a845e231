// The periodogram chart by frequency: the abscissa switched between period
// and frequency, the amplitude spectrum drawn as the chart's method on a
// synthetic sinusoid, and a search's periodogram shown and picked from in
// either view.
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <random>

#include "commands/frequencies.h"
#include "ui/chart_view.h"
#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ui::ChartView;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

// One sinusoid in magnitudes, randomly sampled over 20 days: the default
// grid then reaches 1 / (2 * median interval) = 20 c/d in steps of
// 1 / (10 T) = 0.005 c/d, so the highest grid point lies within half a step
// of the peak (itself within a fraction of a step of kF) and its amplitude
// within 0.4 % (the grid) plus the noise's sqrt(2 / N) sigma, 0.1 mmag, of
// kA.
constexpr double kF = 3.2, kA = 0.040, kNoise = 0.002, kSpan = 20.0;
constexpr int kPoints = 800;

QString writeSinusoid(const QTemporaryDir& dir) {
  std::mt19937_64 random(77);
  std::uniform_real_distribution<double> when(0.0, kSpan);
  std::normal_distribution<double> noise(0.0, kNoise);
  std::vector<double> t(kPoints);
  for (double& x : t) x = when(random);
  std::sort(t.begin(), t.end());
  QByteArray text;
  for (double x : t) {
    const double y = 11.0 + kA * std::sin(2 * M_PI * (kF * x + 0.2)) + noise(random);
    text += QByteArray::number(2460000.0 + x, 'f', 7) + ' ' + QByteArray::number(y, 'f', 6) +
            " 0.002\n";
  }
  const QString path = dir.filePath(QStringLiteral("sine.dat"));
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return {};
  return path;
}

using fazorn::ui::test::quietHooks;

// The (key, value) of a graph's highest point.
std::pair<double, double> highest(const QCPGraph* g) {
  std::pair<double, double> best{0.0, -1.0};
  for (auto it = g->data()->constBegin(); it != g->data()->constEnd(); ++it)
    if (it->value > best.second) best = {it->key, it->value};
  return best;
}

}  // namespace

class PeriodogramViewTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void amplitudeSpectrumByFrequency() {
    QTemporaryDir dir;
    const QString file = writeSinusoid(dir);
    QVERIFY(!file.isEmpty());
    QStringList messages;
    MainWindow w(quietHooks(&messages));
    w.show();
    const auto& ui = w.widgets();
    ChartView* chart = ui.chart3;
    // The window opens on the period view.
    QCOMPARE(chart->xAxis->label(), QStringLiteral("Period"));
    QCOMPARE(chart->xAxis->scaleType(), QCPAxis::stLogarithmic);
    QVERIFY(!ui.byFrequency->isChecked());
    QVERIFY(!ui.amplitudeSpectrum->isEnabled());  // no data yet
    w.onAmplitudeSpectrum();                      // ignored without data
    QVERIFY(messages.isEmpty());

    w.openDataFile(file);
    QCOMPARE(w.workspace().lightCurve.pointCount, kPoints);
    QVERIFY(ui.amplitudeSpectrum->isEnabled());
    QTest::mouseClick(ui.byFrequency, Qt::LeftButton);
    QCOMPARE(chart->xAxis->label(), QStringLiteral("Frequency (c/d)"));
    QCOMPARE(chart->xAxis->scaleType(), QCPAxis::stLinear);
    QVERIFY(w.commandAction(QStringLiteral("Periodogram by frequency"))->isChecked());

    ui.amplitudeSpectrum->click();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    QVERIFY(chart->spectrum->visible());
    QVERIFY(!chart->line->visible());
    QCOMPARE(chart->xAxis->label(), QStringLiteral("Frequency (c/d)"));
    QCOMPARE(chart->yAxis->label(), QStringLiteral("Amplitude (mag)"));
    QCOMPARE(chart->yAxis->scaleType(), QCPAxis::stLinear);
    const auto [f, a] = highest(chart->spectrum);
    QVERIFY2(std::fabs(f - kF) < 1 / (10 * kSpan), qPrintable(QString::number(f, 'g', 10)));
    QVERIFY2(std::fabs(a - kA) < 0.001, qPrintable(QString::number(a, 'g', 10)));
    QCOMPARE(chart->xAxis->range().lower, 0.0);
    // The whole grid, up to the sampling's highest frequency.
    QCOMPARE(chart->xAxis->range().upper, (chart->spectrum->data()->constEnd() - 1)->key);
    QVERIFY2(chart->xAxis->range().upper > 2 * kF,
             qPrintable(QString::number(chart->xAxis->range().upper)));
    // The search's periodogram is not replaced: no search ran, so there is
    // still none to save or list.
    QCOMPARE(w.workspace().periodogram.frequencyCount, 0);
    QVERIFY(!w.commandAction(QStringLiteral("Save Periodogram"))->isEnabled());

    // A search in the frequency view: its power by frequency, the spectrum
    // gone; a double click adopts the search's peak under it.
    ui.aov->click();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    QVERIFY(chart->line->visible() && !chart->spectrum->visible());
    QCOMPARE(chart->yAxis->label(), QStringLiteral("Power"));
    QCOMPARE(chart->xAxis->label(), QStringLiteral("Frequency (c/d)"));
    const double searchPeak = highest(chart->line).first;
    QVERIFY2(std::fabs(searchPeak - kF) < 0.01, qPrintable(QString::number(searchPeak)));
    w.workspace().period = 1.0;
    w.onPeriodogramDoubleClick(searchPeak, searchPeak - 0.01, searchPeak + 0.01);
    QVERIFY2(std::fabs(w.workspace().period - 1 / searchPeak) < 1e-3,
             qPrintable(QString::number(w.workspace().period, 'g', 10)));

    // Back to the period view: the same periodogram by period, unchanged.
    QTest::mouseClick(ui.byFrequency, Qt::LeftButton);
    QCOMPARE(chart->xAxis->label(), QStringLiteral("Period"));
    QCOMPARE(chart->xAxis->scaleType(), QCPAxis::stLogarithmic);
    QVERIFY(!w.commandAction(QStringLiteral("Periodogram by frequency"))->isChecked());
    QVERIFY(std::fabs(highest(chart->line).first - 1 / searchPeak) < 1e-9);

    // The amplitude spectrum from the period view turns the chart to
    // frequency, and the menu's toggle back to period shows the search.
    w.commandAction(QStringLiteral("Amplitude spectrum"))->trigger();
    QVERIFY(ui.byFrequency->isChecked() && chart->spectrum->visible());
    w.commandAction(QStringLiteral("Periodogram by frequency"))->trigger();
    QVERIFY(!ui.byFrequency->isChecked());
    QVERIFY(chart->line->visible() && !chart->spectrum->visible());
    QCOMPARE(chart->yAxis->label(), QStringLiteral("Power"));

    // A light curve opened anew takes the previous one's spectrum away.
    ui.amplitudeSpectrum->click();
    QVERIFY(chart->spectrum->dataCount() > 0);
    w.openDataFile(file);
    QCOMPARE(chart->spectrum->dataCount(), 0);
    QVERIFY(!chart->spectrum->visible());
  }

  // The operation behind the button: the light curve's spectrum on the
  // default grid, as the search module computes it, and a refusal (not an
  // empty chart) where no spectrum can be formed.
  void amplitudeSpectrumOperation() {
    fazorn::Workspace ws;
    fazorn::LightCurve& lc = ws.lightCurve;
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> when(0.0, 10.0);
    for (int i = 0; i < 300; ++i) {
      const double t = when(random);
      lc.time.push_back(t);
      lc.value.push_back(0.5 * std::cos(2 * M_PI * 1.7 * t));
      lc.error.push_back(0.01);
    }
    lc.valueKind = fazorn::ValueKind::Flux;
    lc.pointCount = 300;
    const auto s = fazorn::amplitudeSpectrumOfLightCurve(ws);
    QVERIFY(s.ok);
    QCOMPARE(s.valueKind, fazorn::ValueKind::Flux);
    const auto grid = fazorn::amplitudeSpectrumGrid(lc.time, 0.0);
    const auto direct = fazorn::computeAmplitudeSpectrum(lc.time, lc.value, grid);
    QCOMPARE(s.frequency, direct.frequency);
    QCOMPARE(s.amplitude, direct.amplitude);
    // Below the resolution 1/T (0.1 c/d) the spectrum rises above 0.5 (a
    // sinusoid fitted beside the mean takes up a trend); the peak is read above it.
    QVERIFY(std::fabs(s.peakFrequency - 1.7) < grid.step);
    QVERIFY(std::fabs(s.peakAmplitude - 0.5) < 0.01);
    // Points past pointCount are not the light curve's.
    lc.pointCount = 2;
    QVERIFY(!fazorn::amplitudeSpectrumOfLightCurve(ws).ok);
    lc.pointCount = 300;
    lc.value[7] = std::nan("");
    const auto refused = fazorn::amplitudeSpectrumOfLightCurve(ws);
    QVERIFY(!refused.ok && !refused.message.empty() && refused.frequency.empty());
    lc.value[7] = 0.0;
    QVERIFY(!fazorn::amplitudeSpectrumOfLightCurve(ws, 0.0, -1.0).ok);
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(PeriodogramViewTest)
#include "periodogram_view_test.moc"
