// The frequency-analysis dock of the window: the prewhitening cascade on a
// synthetic multi-periodic star, the table it shows, the residual spectra of
// its steps, and the table's edits ("Improve all" after switching a term off
// or holding it at a harmonic, Remove, Add, Save and Load).
#include "ui/frequency_dock.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>
#include <cmath>
#include <random>

#include "ui/chart_view.h"
#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ui::FrequencyDock;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

// Two independent modes and the first harmonic of the stronger one (c/d,
// amplitude in magnitudes): a 15-day run resolves them (1/T = 0.067 c/d) and
// each stands far above the 3 mmag noise.
constexpr double kF1 = 5.1234, kF2 = 8.7700, kA1 = 0.050, kA2 = 0.020, kA3 = 0.012;

QString writeStar(const QTemporaryDir& dir) {
  std::mt19937_64 random(2025);
  std::uniform_real_distribution<double> when(0.0, 15.0);
  std::normal_distribution<double> noise(0.0, 0.003);
  std::vector<double> t(1500);
  for (double& x : t) x = when(random);
  std::sort(t.begin(), t.end());
  QByteArray text;
  for (double x : t) {
    const double y = 12.0 + kA1 * std::sin(2 * M_PI * kF1 * x) +
                     kA2 * std::sin(2 * M_PI * (kF2 * x + 0.3)) +
                     kA3 * std::sin(2 * M_PI * (2 * kF1 * x + 0.7)) + noise(random);
    text += QByteArray::number(2459000.0 + x, 'f', 7) + ' ' + QByteArray::number(y, 'f', 6) +
            " 0.003\n";
  }
  const QString path = dir.filePath(QStringLiteral("star.dat"));
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return {};
  return path;
}

using fazorn::ui::test::quietHooks;

// The index of the table's term nearest to f.
int nearest(const fazorn::FrequencyTable& t, double f) {
  int best = -1;
  for (int k = 0; k < static_cast<int>(t.terms.size()); ++k)
    if (best < 0 || std::fabs(t.terms[k].frequency - f) < std::fabs(t.terms[best].frequency - f))
      best = k;
  return best;
}

}  // namespace

class FrequencyDockTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void prewhiteningFillsTheTableAndTheResidualViews() {
    QTemporaryDir dir;
    const QString star = writeStar(dir);
    QVERIFY(!star.isEmpty());
    QStringList messages;
    MainWindow w(quietHooks(&messages));
    w.show();
    FrequencyDock* dock = w.frequencyDock();
    QVERIFY(dock != nullptr && dock->isHidden());
    dock->toggleViewAction()->trigger();  // View > Frequency analysis
    QVERIFY(dock->isVisible());
    w.openDataFile(star);
    QCOMPARE(w.workspace().lightCurve.pointCount, 1500);

    const auto& ui = dock->widgets();
    ui.maxFrequency->setText(QStringLiteral("20"));
    ui.prewhiten->click();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    const fazorn::FrequencyTable& t = dock->table();
    QCOMPARE(static_cast<int>(t.terms.size()), 3);
    QCOMPARE(ui.table->rowCount(), 3);
    const double tolerance[] = {kF1, kF2, 2 * kF1};
    for (double f : tolerance) {
      const int k = nearest(t, f);
      QVERIFY2(std::fabs(t.terms[k].frequency - f) < 4 * t.terms[k].frequencyError,
               qPrintable(QStringLiteral("%1 vs %2").arg(t.terms[k].frequency).arg(f)));
    }
    // The harmonic is held at twice its base, in the table as in the model.
    const int harmonic = nearest(t, 2 * kF1);
    QCOMPARE(ui.table->item(harmonic, 9)->text(), QStringLiteral("=2f%1").arg(nearest(t, kF1) + 1));
    QVERIFY(t.terms[harmonic].fixedToCombination);
    QVERIFY(ui.status->text().contains(QStringLiteral("below 4")));
    // Each S/N with its false-alarm probability: over the frequencies
    // searched for a free term, at its one frequency for the held harmonic.
    QVERIFY(t.independentFrequencies > 0);
    QVERIFY(ui.table->item(nearest(t, kF1), 8)->toolTip().contains(QStringLiteral("independent")));
    QVERIFY(ui.table->item(harmonic, 8)->toolTip().contains(QStringLiteral("predicted")));

    // Data, window, one residual spectrum per step and the final residuals.
    QCOMPARE(dock->spectrumCount(), 2 + 3 + 1);
    QCOMPARE(ui.spectrum->currentIndex(), dock->spectrumCount() - 1);
    fazorn::ui::ChartView* chart = ui.chart;
    QVERIFY(chart->line->dataCount() > 1000);
    // The residuals hold nothing like the strongest peak of the data.
    auto highest = [&] {
      double top = 0;
      for (auto it = chart->line->data()->constBegin(); it != chart->line->data()->constEnd(); ++it)
        top = std::max(top, it->value);
      return top;
    };
    const double residualTop = highest();
    QVERIFY(dock->showSpectrum(0));
    const double dataTop = highest();
    QVERIFY2(dataTop > 0.04 && residualTop < 0.1 * dataTop,
             qPrintable(QStringLiteral("%1 %2").arg(dataTop).arg(residualTop)));
    QCOMPARE(chart->graph(1)->dataCount(), 3);  // the terms over the data's spectrum
    QVERIFY(dock->showSpectrum(1));             // the spectral window: 1 at f = 0
    QCOMPARE(chart->line->data()->constBegin()->value, 1.0);
    QVERIFY(dock->showSpectrum(2));  // after the first step
    QVERIFY(!dock->showSpectrum(dock->spectrumCount()));
  }

  void editsSaveAndLoad() {
    QTemporaryDir dir;
    const QString star = writeStar(dir);
    QStringList messages;
    MainWindow w(quietHooks(&messages));
    w.show();
    w.openDataFile(star);
    FrequencyDock* dock = w.frequencyDock();
    const auto& ui = dock->widgets();
    ui.maxFrequency->setText(QStringLiteral("20"));
    // Add the strongest peak, then a given frequency, and fit both.
    ui.add->click();
    QCOMPARE(static_cast<int>(dock->table().terms.size()), 1);
    QVERIFY(std::fabs(dock->table().terms[0].frequency - kF1) < 0.01);
    ui.addFrequency->setText(QStringLiteral("8.77"));
    ui.add->click();
    ui.addFrequency->setText(QStringLiteral("10.25"));
    ui.add->click();
    QCOMPARE(ui.table->rowCount(), 3);
    ui.improveAll->click();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    const double f1 = dock->table().terms[0].frequency;
    QVERIFY(std::fabs(dock->table().terms[1].frequency - kF2) < 0.001);

    // Held at the harmonic: "Improve all" keeps f3 = 2 f1 exactly.
    QCOMPARE(ui.table->item(2, 9)->text(), QStringLiteral("2f1"));  // the label alone
    ui.table->item(2, 9)->setText(QStringLiteral("=2f1"));
    QVERIFY(dock->table().terms[2].fixedToCombination);
    ui.improveAll->click();
    QCOMPARE(dock->table().terms[2].frequency, 2 * dock->table().terms[0].frequency);
    QVERIFY(std::fabs(dock->table().terms[0].frequency - f1) < 1e-3);
    QCOMPARE(ui.table->item(2, 9)->text(), QStringLiteral("=2f1"));
    // A relation to a term below refers to nothing fitted yet: refused.
    ui.table->item(0, 9)->setText(QStringLiteral("f2+f3"));
    QVERIFY(!dock->table().terms[0].fixedToCombination);

    // Switched off: not fitted, amplitude as it was.
    ui.table->item(1, 0)->setCheckState(Qt::Unchecked);
    QVERIFY(!dock->table().terms[1].enabled);
    const double a2 = dock->table().terms[1].amplitude;
    ui.improveAll->click();
    QCOMPARE(dock->table().terms[1].amplitude, a2);
    QVERIFY(messages.isEmpty());

    // Save and Load give the same table back.
    const QString saved = dir.filePath(QStringLiteral("table.txt"));
    dock->setFileChooser([&](QWidget*, bool) { return saved; });
    ui.save->click();
    QVERIFY(QFile::exists(saved));
    const fazorn::FrequencyTable before = dock->table();
    ui.table->selectRow(1);
    ui.remove->click();
    QCOMPARE(ui.table->rowCount(), 2);
    // The harmonic's relation follows the renumbering.
    QCOMPARE(ui.table->item(1, 9)->text(), QStringLiteral("=2f1"));
    ui.load->click();
    QCOMPARE(ui.table->rowCount(), 3);
    for (std::size_t k = 0; k < 3; ++k) {
      QCOMPARE(dock->table().terms[k].frequency, before.terms[k].frequency);
      QCOMPARE(dock->table().terms[k].enabled, before.terms[k].enabled);
    }
    // A file that is no table is refused with the reason, the table kept.
    const QString junk = dir.filePath(QStringLiteral("junk.txt"));
    QFile j(junk);
    QVERIFY(j.open(QIODevice::WriteOnly));
    j.write("not a table\n");
    j.close();
    dock->setFileChooser([&](QWidget*, bool) { return junk; });
    ui.load->click();
    QCOMPARE(ui.table->rowCount(), 3);
    QVERIFY(ui.status->text().contains(QStringLiteral("no frequency table")));
    // Bad settings are refused in the status line; nothing runs.
    ui.noiseWindow->setText(QStringLiteral("0"));
    ui.prewhiten->click();
    QVERIFY(ui.status->text().contains(QStringLiteral("noise window")));
    QCOMPARE(ui.table->rowCount(), 3);
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(FrequencyDockTest)
#include "frequency_dock_test.moc"
