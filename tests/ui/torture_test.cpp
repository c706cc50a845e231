// Seeded random sequences of every command of the window (menus, shortcuts,
// buttons, chart clicks, dialogs answered OK or Cancel, edit fields with
// random text) over random light curves. After every step the Workspace must
// still be consistent: every light-curve array has pointCount entries, marks
// are 0 or 1, the phase arrays agree in length and lie in (-0.5, 0.5] while
// phased is 1. A failing seed is printed with its step and action so that it
// can be replayed and kept as a regression case.
#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <random>

#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::Workspace;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

// Field texts: plain numbers, locale variants, garbage and edge values. The
// search fields are drawn from values that keep every grid small (a few
// tens of thousands of frequencies at most) so that thousands of steps run
// in seconds; the refusals (0, negative, not a number) are exercised too.
const char* const kMinPeriods[] = {"0.5", "1", "2.5", "0,7", "0", "-1", "abc", "", "1e3", "nan"};
const char* const kMaxPeriods[] = {"10", "30", "3", "0.1", "-5", "x", "", "inf"};
const char* const kHarmonics[] = {"1", "2", "3", "0", "-2", "7", "2.5", "h"};
const char* const kResolutions[] = {"0.01", "0.003", "0.02", "0", "-0.1", "1e-4", "q", ""};
const char* const kFreeTexts[] = {"0",         "1",   "-1",  "0.25", "1e300", "-1e-300", "12,5",
                                  "2450000.5", "nan", "inf", "",     " ",     "1..2",    "abc"};

// Light curves of every awkward shape, written once per test run.
QStringList writeLightCurves(const QString& dir, std::mt19937_64& rng) {
  QStringList paths;
  auto write = [&](const QString& name, const QByteArray& text) {
    QFile f(dir + "/" + name);
    if (!f.open(QIODevice::WriteOnly)) return;
    f.write(text);
    paths << f.fileName();
  };
  std::normal_distribution<double> noise(0.0, 1.0);
  auto series = [&](int n, double t0, double period, double amp, double err, bool shuffled) {
    QByteArray text;
    std::vector<double> times;
    for (int i = 0; i < n; ++i) times.push_back(t0 + 60.0 * i / std::max(1, n) + 0.01 * noise(rng));
    if (shuffled) std::shuffle(times.begin(), times.end(), rng);
    for (double t : times) {
      const double v = 12.0 + amp * std::sin(2.0 * M_PI * t / period) + 0.02 * noise(rng);
      char line[128];
      std::snprintf(line, sizeof line, "%.7f %.6f %.4f\n", t, v, err);
      text += line;
    }
    return text;
  };
  write("empty.dat", "");
  write("words.dat", "time value error\nnothing here\n");
  write("one.dat", "100.0 12.0 0.01\n");
  write("two.dat", "100.0 12.0 0.01\n100.5 12.3 0.01\n");
  write("equal.dat", "1 5 0.1\n2 5 0.1\n3 5 0.1\n4 5 0.1\n");
  write("zero_errors.dat", series(40, 10.0, 0.7, 0.3, 0.0, false));
  write("duplicates.dat", "5 1 0.1\n5 1 0.1\n5 2 0.1\n6 1.5 0.1\n");
  write("sine.dat", series(150, 0.0, 1.3, 0.4, 0.02, false));
  write("unsorted.dat", series(120, 2450000.0, 3.7, 0.2, 0.03, true));
  write("flux.dat", series(80, 55000.0, 0.9, 11.0, 0.5, false));  // values from 1 to 23
  write("nan.dat", "1 nan 0.1\n2 inf 0.1\n3 1 nan\n4 2 0.1\n5 3 -0.1\n");
  return paths;
}

// The consistency the window's commands must keep; empty when all is well.
QString checkWorkspace(const Workspace& ws) {
  const auto& lc = ws.lightCurve;
  const size_t n = static_cast<size_t>(lc.pointCount);
  if (lc.pointCount < 0) return "negative pointCount";
  if (lc.time.size() != n || lc.value.size() != n || lc.error.size() != n ||
      lc.weight.size() != n || lc.mark.size() != n)
    return QString("light-curve arrays differ from pointCount %1").arg(n);
  if (ws.dataLoaded && (lc.scratchValue.size() != n || lc.scratchError.size() != n))
    return "scratch arrays differ from pointCount";
  for (size_t i = 0; i < n; ++i)
    if (lc.mark[i] != 0 && lc.mark[i] != 1) return QString("mark %1 is %2").arg(i).arg(lc.mark[i]);
  if (ws.phased == 1) {
    if (ws.phase.size() != ws.phasedValue.size()) return "phase arrays differ in length";
    for (double p : ws.phase)
      if (!(p > -0.5 && p <= 0.5)) return QString("phase %1 outside (-0.5, 0.5]").arg(p);
  }
  if (ws.periodogram.frequency.size() != ws.periodogram.power.size())
    return "periodogram arrays differ in length";
  return {};
}

}  // namespace

class TortureTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    QVERIFY(workDir_.isValid());
    QVERIFY(QDir::setCurrent(workDir_.path()));
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void randomCommandSequencesKeepTheWorkspaceConsistent_data() {
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<int>("steps");
    int steps = qEnvironmentVariableIntValue("FAZORN_TORTURE_STEPS");
    if (steps <= 0) steps = 600;
    for (quint64 seed : {1ull, 2ull, 3ull, 4ull, 5ull, 20261208ull})
      QTest::newRow(qPrintable(QString("seed %1").arg(seed))) << seed << steps;
  }

  void randomCommandSequencesKeepTheWorkspaceConsistent() {
    QFETCH(quint64, seed);
    QFETCH(int, steps);
    std::mt19937_64 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<quint64>(n)); };
    auto chance = [&](int percent) { return pick(100) < percent; };

    QTemporaryDir dataDir;
    QVERIFY(dataDir.isValid());
    const QStringList files = writeLightCurves(dataDir.path(), rng);

    QString lastAction;
    WindowHooks hooks;
    hooks.exitProcess = [](int) {};
    hooks.chooseDataFile = [&](QWidget*) {
      return chance(15) ? QString() : files[pick(files.size())];
    };
    hooks.showMessage = [](QWidget*, const Message&) {};
    hooks.execDialog = [&](QDialog& dialog) {
      for (QLineEdit* field : dialog.findChildren<QLineEdit*>())
        field->setText(kFreeTexts[pick(std::size(kFreeTexts))]);
      return chance(70) ? QDialog::Accepted : QDialog::Rejected;
    };
    hooks.chooseSaveFile = [&](QWidget*, const QString&) {
      return chance(30) ? QString() : dataDir.filePath(QString("saved%1.dat").arg(pick(3)));
    };
    hooks.askUnsavedChanges = [&](QWidget*, const QString&) {
      const fazorn::ui::UnsavedChoice choices[] = {fazorn::ui::UnsavedChoice::Save,
                                                   fazorn::ui::UnsavedChoice::Discard,
                                                   fazorn::ui::UnsavedChoice::Cancel};
      return choices[pick(3)];
    };
    hooks.confirmDeleteFile = [&](QWidget*, const QString&) { return chance(50); };

    MainWindow w(hooks);
    w.significanceIterations = 4;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    const QList<QAction*> actions = w.commandActions();
    QPushButton* const buttons[] = {ui.aov, ui.aovTransit, ui.lombScargle, ui.phase,
                                    ui.invertOrdinate};
    const Qt::Key keys[] = {Qt::Key_F1,  Qt::Key_F2,  Qt::Key_F3, Qt::Key_F4, Qt::Key_F5,
                            Qt::Key_F6,  Qt::Key_F7,  Qt::Key_F8, Qt::Key_F9, Qt::Key_F10,
                            Qt::Key_F11, Qt::Key_F12, Qt::Key_O,  Qt::Key_S,  Qt::Key_F,
                            Qt::Key_E,   Qt::Key_P,   Qt::Key_N,  Qt::Key_W,  Qt::Key_R};
    const Qt::KeyboardModifiers modifiers[] = {Qt::NoModifier, Qt::ControlModifier,
                                               Qt::ShiftModifier};

    w.openDataFile(files[pick(files.size())]);
    for (int step = 0; step < steps; ++step) {
      Workspace& ws = w.workspace();
      const int kind = pick(100);
      if (kind < 40) {
        QAction* a = actions[pick(actions.size())];
        lastAction = "menu " + a->text();
        // Hidden and disabled items are forced on: the commands must be
        // harmless in any state, whatever the menus allow.
        a->setEnabled(true);
        a->trigger();
      } else if (kind < 52) {
        QPushButton* b = buttons[pick(std::size(buttons))];
        lastAction = "button " + b->text();
        b->setEnabled(true);
        b->click();
      } else if (kind < 62) {
        const Qt::Key key = keys[pick(std::size(keys))];
        const Qt::KeyboardModifiers mod = modifiers[pick(std::size(modifiers))];
        lastAction = QString("key %1 modifiers %2").arg(key).arg(int(mod));
        QTest::keyClick(&w, key, mod);
      } else if (kind < 80) {
        const int chart = pick(3);
        lastAction = QString("click chart %1").arg(chart + 1);
        const auto& lc = ws.lightCurve;
        if (chart == 0) {
          if (lc.pointCount > 0 && chance(80)) {
            const int i = pick(lc.pointCount);
            w.onLightCurveClick(lc.time[i], lc.value[i]);
          } else {
            w.onLightCurveClick(pick(200) - 50.0, pick(40) * 0.5);
          }
        } else if (chart == 1) {
          if (ws.phased == 1 && !ws.phase.empty() && chance(80)) {
            const int i = pick(static_cast<int>(ws.phase.size()));
            w.onPhaseDiagramClick(ws.phase[i] + (chance(50) ? 1.0 : 0.0), ws.phasedValue[i]);
          } else {
            w.onPhaseDiagramClick(pick(30) * 0.1 - 1.0, pick(40) * 0.5);
          }
        } else {
          const auto& pg = ws.periodogram;
          if (!pg.frequency.empty() && chance(80)) {
            const int i = pick(static_cast<int>(pg.frequency.size()));
            const double f = pg.frequency[i];
            w.onPeriodogramClick(f != 0.0 ? 1.0 / f : 0.0, pg.power[i]);
          } else {
            w.onPeriodogramClick(pick(100) * 0.3, pick(10) * 0.1);
          }
        }
      } else {
        const int field = pick(6);
        QLineEdit* const fields[] = {ui.minPeriod,  ui.maxPeriod, ui.harmonics,
                                     ui.resolution, ui.period,    ui.t0};
        const char* text = field == 0   ? kMinPeriods[pick(std::size(kMinPeriods))]
                           : field == 1 ? kMaxPeriods[pick(std::size(kMaxPeriods))]
                           : field == 2 ? kHarmonics[pick(std::size(kHarmonics))]
                           : field == 3 ? kResolutions[pick(std::size(kResolutions))]
                                        : kFreeTexts[pick(std::size(kFreeTexts))];
        lastAction = QString("field %1 = '%2'").arg(field).arg(text);
        fields[field]->setText(QString::fromLatin1(text));
      }
      QCoreApplication::processEvents();
      const QString problem = checkWorkspace(w.workspace());
      if (!problem.isEmpty())
        QFAIL(qPrintable(
            QString("seed %1 step %2 after %3: %4").arg(seed).arg(step).arg(lastAction, problem)));
      QVERIFY(!w.searchRunning());
    }
  }

 private:
  QTemporaryDir settingsDir_;
  QTemporaryDir workDir_;
};

QTEST_MAIN(TortureTest)
#include "torture_test.moc"
