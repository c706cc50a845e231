// The main window driven as a user would: menus, shortcuts, buttons, chart
// clicks, manual phasing and the persisted settings.
#include "ui/main_window.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>
#include <chrono>
#include <clocale>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "support/tolerances.h"
#include "ui/chart_view.h"
#include "ui/dialogs.h"
#include "ui/peak_list_dialog.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

// Records what the window would show or do instead of blocking.
struct Recorder {
  QStringList messages;  // "caption|text"
  int exitStatus = -1;
  QString nextFile;
  int dialogResult = QDialog::Accepted;
  int openDialogs = 0;
  QString nextSaveFile;
  fazorn::ui::UnsavedChoice unsavedAnswer = fazorn::ui::UnsavedChoice::Discard;
  int unsavedQuestions = 0;

  WindowHooks hooks() {
    WindowHooks h;
    h.exitProcess = [this](int status) { exitStatus = status; };
    h.chooseDataFile = [this](QWidget*) {
      ++openDialogs;
      return nextFile;
    };
    h.showMessage = [this](QWidget*, const Message& m) {
      messages << QString::fromStdString(m.caption + "|" + m.text);
    };
    h.execDialog = [this](QDialog&) { return dialogResult; };
    h.chooseSaveFile = [this](QWidget*, const QString&) { return nextSaveFile; };
    h.askUnsavedChanges = [this](QWidget*, const QString&) {
      ++unsavedQuestions;
      return unsavedAnswer;
    };
    return h;
  }
};

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    // Commands forced on with nothing loaded write derived files relative to
    // the working directory: keep them in a temporary one.
    QVERIFY(workDir_.isValid());
    QVERIFY(QDir::setCurrent(workDir_.path()));
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void init() { QSettings(QStringLiteral("kv"), QStringLiteral("Fazorn")).clear(); }

  void startsEmptyWithDefaultsAndCommandStates() {
    Recorder rec;
    MainWindow w(rec.hooks());
    const auto& ui = w.widgets();
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * (no file loaded)"));
    QCOMPARE(ui.minPeriod->text(), QStringLiteral("0.20"));
    QCOMPARE(ui.maxPeriod->text(), QStringLiteral("500.00"));
    QCOMPARE(ui.harmonics->text(), QStringLiteral("2"));
    QCOMPARE(ui.resolution->text(), QStringLiteral("0.00030"));
    QCOMPARE(ui.period_->text(), QStringLiteral("-"));
    for (const char* disabled :
         {"Save Data", "Analyse", "Save Phased Data", "Save Periodogram", "Get statistics",
          "Shift T0", "Normalize light curve", "Delete file", "Day binning"})
      QVERIFY2(!w.commandAction(QString::fromLatin1(disabled))->isEnabled(), disabled);
    QVERIFY(!ui.aov->isEnabled());
    QVERIFY(!ui.phase->isEnabled());
    QVERIFY(w.commandAction(QStringLiteral("About"))->isVisible());
    for (const char* hidden : {"Add as a template", "Remove period"})
      QVERIFY2(!w.commandAction(QString::fromLatin1(hidden))->isVisible(), hidden);
    // A few shortcuts, letters without modifier included.
    QCOMPARE(w.commandAction(QStringLiteral("Open Data"))->shortcut(), QKeySequence(Qt::Key_O));
    QCOMPARE(w.commandAction(QStringLiteral("Analyse"))->shortcut(), QKeySequence(Qt::Key_F1));
    QCOMPARE(w.commandAction(QStringLiteral("Move right faster "))->shortcut(),
             QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Right));
    QCOMPARE(w.commandAction(QStringLiteral("Delete file"))->shortcut(), QKeySequence(Qt::Key_F12));

    // The "Data" menu: "Spectral window" closes the randomisation group, the
    // separator sits between it and "Mark spec".
    QAction* spectral = w.commandAction(QStringLiteral("Spectral window"));
    QMenu* data = nullptr;
    for (QObject* o : spectral->associatedObjects())
      if (auto* m = qobject_cast<QMenu*>(o)) data = m;
    QVERIFY(data != nullptr);
    const QList<QAction*> items = data->actions();
    const qsizetype at = items.indexOf(spectral);
    QVERIFY(at > 0 && at + 2 < items.size());
    QVERIFY(!items[at - 1]->isSeparator());
    QVERIFY(items[at + 1]->isSeparator());
    QCOMPARE(items[at + 2]->text(), QStringLiteral("Mark spec"));
  }

  // Every command, its shortcut and every button in three states: nothing
  // loaded, a single point, and a constant light curve.
  void everyCommandSurvivesDegenerateData() {
    QTemporaryDir dir;
    const QString onePoint = dir.filePath(QStringLiteral("one.dat"));
    const QString constant = dir.filePath(QStringLiteral("flat.dat"));
    writeFile(onePoint, "2450000.5 12.5 0.01\n");
    QByteArray flat;
    for (int i = 0; i < 40; ++i) flat += QByteArray::number(i * 0.37) + " 10.0 0.0\n";
    writeFile(constant, flat);

    for (const QString& file : {QString(), onePoint, constant}) {
      Recorder rec;
      MainWindow w(rec.hooks());
      w.significanceIterations = 3;
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QApplication::setActiveWindow(&w);
      QVERIFY(QTest::qWaitForWindowActive(&w));
      if (!file.isEmpty()) {
        rec.nextFile = file;
        w.onOpenData();
        QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file);
      }
      rec.nextFile.clear();  // "Open Data" below is cancelled
      for (QAction* a : w.commandActions()) {
        if (a->text() == QStringLiteral("Delete file")) continue;  // keep the file for later rounds
        a->setEnabled(true);  // also the handlers behind disabled items
        a->trigger();
        if (!a->shortcut().isEmpty()) {
          QApplication::setActiveWindow(&w);  // a search's progress dialog took it
          QTest::keySequence(&w, a->shortcut());
        }
      }
      const auto& ui = w.widgets();
      for (QPushButton* b : {ui.aov, ui.aovTransit, ui.lombScargle, ui.phase, ui.invertOrdinate}) {
        b->setEnabled(true);
        QTest::mouseClick(b, Qt::LeftButton);
      }
      QCOMPARE(rec.exitStatus, 0);  // "Exit" asked to end the process
      for (auto* c : {ui.chart1, ui.chart2, ui.chart3}) c->replot();
    }
  }

  void openingPhasingAndClickingTogglesMarksInBothCharts() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    rec.nextFile = QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat");
    w.onOpenData();
    auto& ws = w.workspace();
    const auto& ui = w.widgets();
    QVERIFY(ws.lightCurve.pointCount > 10);
    QCOMPARE(ui.dataPoints->text(), QString::number(ws.lightCurve.pointCount));
    QCOMPARE(ui.chart1->unmarked->dataCount(), ws.lightCurve.pointCount);
    QVERIFY(ui.aov->isEnabled());
    QVERIFY(!w.commandAction(QStringLiteral("Save Phased Data"))->isEnabled());

    // "AoV" on the default grid: the whole chain shows its results.
    QTest::mouseClick(ui.aov, Qt::LeftButton);
    QVERIFY(!w.searchRunning());
    QVERIFY(ui.status[0]->text().startsWith(QStringLiteral("Max power: ")));
    QCOMPARE(ui.status[1]->text(), QString());
    QCOMPARE(ui.period_->text(), QString::asprintf("%.6f", ws.period));
    QCOMPARE(ui.period->text(), ui.period_->text());
    QVERIFY(ui.type->text() != QStringLiteral("-"));
    QCOMPARE(ui.type->text(), QString::fromStdString(ws.typeText));
    QCOMPARE(ui.chart3->line->dataCount(), ws.periodogram.frequencyCount);
    QCOMPARE(ui.chart2->unmarked->dataCount(), 2 * ws.lightCurve.pointCount);
    QVERIFY(w.commandAction(QStringLiteral("Save Periodogram"))->isEnabled());

    ui.period->setText(QStringLiteral("0.3"));
    ui.t0->setText(QStringLiteral("0"));
    QTest::mouseClick(ui.phase, Qt::LeftButton);
    QCOMPARE(ws.phased, 1);
    QCOMPARE(ui.period_->text(), QStringLiteral("0.300000"));
    QCOMPARE(ui.chart2->unmarked->dataCount(), 2 * ws.lightCurve.pointCount);
    QVERIFY(w.commandAction(QStringLiteral("Save Phased Data"))->isEnabled());
    QVERIFY(w.commandAction(QStringLiteral("Shift T0"))->isEnabled());

    // Click a point of the light curve where it is drawn; one whose copy
    // one cycle on is inside the phase axis (up to 1.25).
    for (auto* c : {ui.chart1, ui.chart2}) c->replot();
    int i = 0;
    while (!(ws.phase[i] > 0.02 && ws.phase[i] < 0.2)) ++i;
    const double t = ws.lightCurve.time[i], v = ws.lightCurve.value[i];
    QPoint at(qRound(ui.chart1->xAxis->coordToPixel(t)), qRound(ui.chart1->yAxis->coordToPixel(v)));
    QTest::mouseClick(ui.chart1, Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(ws.lightCurve.mark[i], 1);
    QCOMPARE(ui.chart1->marked->dataCount(), 1);
    QCOMPARE(ui.chart2->marked->dataCount(), 2);
    QCOMPARE(ui.status[1]->text(), QString::asprintf("( %.6f ; %.5f )", t, v));
    QCOMPARE(ws.lastClickTime, t);

    // Its copy one cycle on in the phase diagram unmarks it again.
    for (auto* c : {ui.chart1, ui.chart2}) c->replot();
    at = QPoint(qRound(ui.chart2->xAxis->coordToPixel(ws.phase[i] + 1)),
                qRound(ui.chart2->yAxis->coordToPixel(ws.phasedValue[i])));
    QTest::mouseClick(ui.chart2, Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(ws.lightCurve.mark[i], 0);
    QCOMPARE(ui.chart1->marked->dataCount(), 0);
    QCOMPARE(ui.chart2->marked->dataCount(), 0);

    // "Shift T0" twice moves T0 by one period and keeps every phase.
    const std::vector<double> before = ws.phase;
    const double t0 = ws.t0;
    w.onShiftT0();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F7);  // the second one by its shortcut
    QCOMPARE(ws.t0, t0 + 0.3);
    QCOMPARE(ui.t0_->text(), QStringLiteral("0.300000"));
    QCOMPARE(ui.t0->text(), QStringLiteral("0.300000"));
    for (std::size_t k = 0; k < before.size(); ++k) {
      // Same phase up to rounding; a phase at the +-0.5 seam may wrap.
      // Times near 53,555 d carry ulps of 7e-12 d: a few of them divided by
      // the period of 0.3 d.
      constexpr double kPhaseRounding = 1e-9;
      double d = std::fabs(ws.phase[k] - before[k]);
      d = std::min(d, std::fabs(d - 1.0));
      QVERIFY2(d < kPhaseRounding, qPrintable(QString::number(k)));
    }
    // A rectangle zooms the light curve; refills keep the zoom until a
    // double click restores the whole curve.
    const QCPRange full = ui.chart1->xAxis->range();
    QTest::mousePress(ui.chart1, Qt::LeftButton, Qt::NoModifier, QPoint(200, 60));
    QTest::mouseMove(ui.chart1, QPoint(300, 120));
    QTest::mouseRelease(ui.chart1, Qt::LeftButton, Qt::NoModifier, QPoint(400, 180));
    QVERIFY(ui.chart1->zoomed());
    const QCPRange zoomedRange = ui.chart1->xAxis->range();
    QVERIFY(zoomedRange.size() < full.size() / 2);
    w.onMark5Sigma();
    w.onLightCurveClick(ws.lightCurve.time[0], ws.lightCurve.value[0]);
    QCOMPARE(ui.chart1->xAxis->range().lower, zoomedRange.lower);
    QTest::mouseDClick(ui.chart1, Qt::LeftButton, Qt::NoModifier, QPoint(300, 120));
    QVERIFY(!ui.chart1->zoomed());
    QCOMPARE(ui.chart1->xAxis->range().lower, full.lower);

    w.onDoublePeriod();
    QCOMPARE(ui.period_->text(), QStringLiteral("0.600000"));
    QCOMPARE(ui.error->text(), QStringLiteral("-"));
    QVERIFY(rec.messages.isEmpty());
  }

  // At the size the window opens, every button of the panel shows its whole
  // caption.
  void theButtonsShowTheirWholeCaptions() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    QCOMPARE(ui.lombScargle->text(), QStringLiteral("Lomb-Scarge"));
    for (QPushButton* b :
         {ui.aov, ui.aovTransit, ui.lombScargle, ui.autoSearch, ui.phase, ui.invertOrdinate}) {
      // The caption and the style's margin and frame around it (the button's
      // size hint would add the style's least width of a button as well).
      const QStyle* style = b->style();
      const int needed = b->fontMetrics().horizontalAdvance(b->text()) +
                         style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b) +
                         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b);
      QVERIFY2(
          b->width() >= needed,
          qPrintable(QStringLiteral("%1: %2 < %3").arg(b->text()).arg(b->width()).arg(needed)));
    }
  }

  void badNumbersStopTheCommandAndKeepEarlierFields() {
    Recorder rec;
    MainWindow w(rec.hooks());
    const auto& ui = w.widgets();
    ui.minPeriod->setText(QStringLiteral("0.5"));
    ui.maxPeriod->setText(QStringLiteral("abc"));
    w.onAnalyse();
    QCOMPARE(rec.messages,
             QStringList{QStringLiteral("Fazorn|\"abc\" is not a valid floating point value")});
    QCOMPARE(w.workspace().settings.minPeriod, 0.5);
    QCOMPARE(w.workspace().settings.maxPeriod, 500.0);

    rec.messages.clear();
    ui.period->setText(QStringLiteral("x1"));
    w.onPhaseButton();
    QCOMPARE(rec.messages,
             QStringList{QStringLiteral("Fazorn|\"x1\" is not a valid floating point value")});
    QCOMPARE(w.workspace().phased, 0);

    // Key filters: no second separator, no letters, no minus.
    ui.resolution->clear();
    ui.resolution->setFocus();
    QTest::keyClicks(ui.resolution, QStringLiteral("0.0.1-e5"));
    QCOMPARE(ui.resolution->text(), QStringLiteral("0.015"));
    ui.harmonics->clear();
    QTest::keyClicks(ui.harmonics, QStringLiteral("1.2a3"));
    QCOMPARE(ui.harmonics->text(), QStringLiteral("123"));
    QTest::keyClicks(ui.t0, QStringLiteral("-1e3"));
    QCOMPARE(ui.t0->text(), QStringLiteral("-1e3"));

    // A letter a numeric field swallows still reaches its shortcut ("Open
    // Data" on O); in "T0:" it is typed.
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    ui.harmonics->setFocus();
    QTest::keyClick(ui.harmonics, Qt::Key_O);
    QCOMPARE(rec.openDialogs, 1);
    ui.t0->setFocus();
    QTest::keyClick(ui.t0, Qt::Key_O);
    QCOMPARE(rec.openDialogs, 1);
    QCOMPARE(ui.t0->text(), QStringLiteral("-1e3o"));
  }

  // A long search runs off the window's thread: the window stays live, other
  // commands are refused meanwhile, and Cancel reaches the search.
  void searchRunsBehindACancellableProgressDialog() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    bool sawCancel = false, sawWorking = false, refused = false;
    QTimer::singleShot(100, &w, [&] {
      sawWorking = ui.status[1]->text() == QStringLiteral("Working...");
      w.onOpenData();        // must be refused while the search runs
      w.onInvertOrdinate();  // the ordinate is only a view setting
      refused = rec.openDialogs == 0 && w.searchRunning();
      auto* dialog = w.findChild<QProgressDialog*>();
      QVERIFY(dialog != nullptr);
      dialog->cancel();
    });
    w.runSearch([&](fazorn::Workspace&, const fazorn::RunControl& rc) {
      fazorn::Outcome out;
      for (int i = 0; i < 1000 && !rc.cancelled(); ++i) {
        rc.report(i / 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      sawCancel = rc.cancelled();
      out.ok = !sawCancel;
      out.status[0] = "searched";
      return out;
    });
    QVERIFY(sawWorking);
    QVERIFY(refused);
    QVERIFY(sawCancel);
    QVERIFY(!w.searchRunning());
    QCOMPARE(ui.status[0]->text(), QStringLiteral("searched"));
    QCOMPARE(ui.status[1]->text(), QString());
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  // A search refused at once (nothing loaded; a resolution of 0) shows its
  // box after the progress dialog has gone for good: the box's own event
  // loop must not bring the window-modal dialog back over it.
  void aRefusedSearchShowsItsBoxWithoutTheProgressDialog() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("lc.dat"));
    QByteArray text;
    for (int i = 0; i < 30; ++i)
      text += QByteArray::number(0.37 * i) + " " + QByteArray::number(10 + (i % 3)) + " 0.1\n";
    writeFile(file, text);
    Recorder rec;
    WindowHooks hooks = rec.hooks();
    QStringList progressShown;
    hooks.showMessage = [&](QWidget* parent, const Message& m) {
      rec.messages << QString::fromStdString(m.caption + "|" + m.text);
      QTest::qWait(60);  // as long as a box is up, its event loop runs
      for (auto* dialog : parent->findChildren<QProgressDialog*>())
        if (dialog->isVisible()) progressShown << rec.messages.back();
    };
    MainWindow w(hooks);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    w.onAnalyse();
    w.onAovTransitButton();
    w.onLombScargleButton();
    rec.nextFile = file;
    w.onOpenData();
    ui.resolution->setText(QStringLiteral("0"));
    w.onAnalyse();
    QCOMPARE(rec.messages.size(), 4);
    QCOMPARE(progressShown, QStringList());
    QVERIFY(w.findChildren<QProgressDialog*>().isEmpty());
    QVERIFY2(rec.messages.back().contains(QStringLiteral("Resolution")),
             qPrintable(rec.messages.back()));
    QVERIFY(!w.searchRunning());
  }

  // A text longer than its status-bar panel is whole in the panel's
  // tooltip, wrapped to a readable width; the next command's texts replace
  // it.
  void theStatusBarShowsWholeTextsInTooltips() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    QString longStatus = QStringLiteral("Refined <period> & ");
    for (int i = 0; i < 40; ++i) longStatus += QStringLiteral("then a warning word ");
    longStatus += QStringLiteral("end.");
    const QString first = QStringLiteral(
        "The grid step 0.002 per day is coarser than half a peak "
        "width (1/2940 d = 0.00034 per day): peaks may be missed "
        "or misplaced; choose a resolution of 0.00017 or finer.");
    const QString second = QStringLiteral(
        "Reading stopped at line 325 at \"END\", which is not a "
        "number; the rest of the file was ignored.");
    QVERIFY(w.runSearch([&](fazorn::Workspace&, const fazorn::RunControl&) {
      fazorn::Outcome out;
      out.status[0] = longStatus.toStdString();
      out.addNote(first.toStdString());
      out.addNote(second.toStdString());
      return out;
    }));
    auto plain = [](const QString& tip) {
      QTextDocument doc;
      doc.setHtml(tip);
      return doc.toPlainText();
    };
    // Rich text, so that Qt wraps it.
    QVERIFY(Qt::mightBeRichText(ui.status[0]->toolTip()));
    QVERIFY(Qt::mightBeRichText(ui.notes->toolTip()));
    QCOMPARE(plain(ui.status[0]->toolTip()), longStatus);
    QCOMPARE(plain(ui.notes->toolTip()), first + QLatin1Char('\n') + second);
    QCOMPARE(ui.notes->text(), first + QStringLiteral("; ") + second);
    QVERIFY(ui.status[0]->width() < ui.status[0]->fontMetrics().horizontalAdvance(longStatus));

    // Shown, the tooltip stays within the screen and breaks into lines.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), ui.status[0]->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(ui.status[0], &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QWidget* tip = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (top->inherits("QTipLabel") && top->isVisible()) tip = top;
    QVERIFY(tip != nullptr);
    QVERIFY2(tip->width() <= w.screen()->availableGeometry().width(),
             qPrintable(QString::number(tip->width())));
    QVERIFY(tip->height() > 2 * tip->fontMetrics().height());
    QToolTip::hideText();

    // The next command's remarks replace these, tooltip and all.
    w.onGetStatistics();
    QVERIFY(!ui.notes->text().isEmpty());
    QCOMPARE(plain(ui.notes->toolTip()), ui.notes->text());
    w.openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat"));
    w.onUnmark();  // no remark
    QCOMPARE(ui.notes->text(), QString());
    QCOMPARE(ui.notes->toolTip(), QString());

    QVERIFY(rec.messages.isEmpty());
  }

  // A light curve whose highest Lomb-Scargle peak has a false-alarm
  // probability far below 0.1 %: the status bar writes it in scientific
  // notation, as the peak list does, instead of "0.0%".
  void aTinyFalseAlarmProbabilityIsNotZeroPercent() {
    Recorder rec;
    MainWindow w(rec.hooks());
    const auto& ui = w.widgets();
    w.openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat"));
    w.onLombScargleButton();
    const double fap = w.workspace().falseAlarmProbability;
    QVERIFY2(fap < 1e-6, qPrintable(QString::number(fap)));
    const QRegularExpression shown(
        QStringLiteral("^FAP: (\\d\\.\\d\\de-\\d+) with power of \\d+\\.\\d{6}$"));
    const QRegularExpressionMatch match = shown.match(ui.status[0]->text());
    QVERIFY2(match.hasMatch(), qPrintable(ui.status[0]->text()));
    QVERIFY(std::fabs(match.captured(1).toDouble() - fap) <= 0.01 * fap);
    // The same text as the highest peak's in the peak list.
    fazorn::ui::PeakListDialog peaks(w.workspace(), fazorn::SearchEngine::LombScargle, 10, &w);
    auto* table = peaks.findChild<QTableWidget*>();
    QVERIFY(table != nullptr && table->rowCount() > 0);
    QCOMPARE(table->item(0, 3)->text(), match.captured(1));
    QVERIFY(rec.messages.isEmpty());
  }

  // Running out of memory in a search (an allocation that fails, or an array
  // longer than the library holds) is a message box; the window goes on.
  void aSearchThatRunsOutOfMemoryShowsABox() {
    Recorder rec;
    MainWindow w(rec.hooks());
    const auto& ui = w.widgets();
    ui.status[0]->setText(QStringLiteral("before"));
    int calls = 0;
    const auto exhausted = [&](fazorn::Workspace&, const fazorn::RunControl&) -> fazorn::Outcome {
      if (++calls == 1) throw std::bad_alloc();
      throw std::length_error("vector");
    };
    for (int i = 0; i < 2; ++i) {
      QVERIFY(!w.runSearch(exhausted));
      QCOMPARE(rec.messages.size(), i + 1);
      QVERIFY2(rec.messages.back().startsWith(
                   QStringLiteral("Message|Not enough memory for this search")),
               qPrintable(rec.messages.back()));
      QVERIFY(!w.searchRunning());
      QVERIFY(QApplication::overrideCursor() == nullptr);
      QCOMPARE(ui.status[0]->text(), QStringLiteral("before"));
    }
    // The next search runs as usual.
    QVERIFY(w.runSearch([](fazorn::Workspace&, const fazorn::RunControl&) {
      fazorn::Outcome out;
      out.status[0] = "searched";
      return out;
    }));
    QCOMPARE(ui.status[0]->text(), QStringLiteral("searched"));
  }

  // The window opens at about its former fixed size, grows with the charts
  // taking the room and shrinks to a small screen with every result still
  // reachable in the scrolling right panel.
  void theWindowResizesAndTheChartsTakeTheRoom() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto& ui = w.widgets();
    QVERIFY(w.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    // The size asked for is the former fixed one, 1182 x 617, give or take
    // a scroll bar and the splitters' handles; a smaller screen bounds it.
    const QSize wanted = w.sizeHint();
    QVERIFY2(std::abs(wanted.width() - 1182) < 40 && std::abs(wanted.height() - 617) < 40,
             qPrintable(QStringLiteral("%1 x %2").arg(wanted.width()).arg(wanted.height())));
    const QSize start = w.size();
    const QSize room = w.screen()->availableGeometry().size();
    QCOMPARE(start, wanted.boundedTo(room - QSize(16, 48)));

    const QSize chart1 = ui.chart1->size(), chart2 = ui.chart2->size(), chart3 = ui.chart3->size();
    w.resize(start + QSize(400, 300));
    QTRY_COMPARE(w.size(), start + QSize(400, 300));
    QVERIFY(ui.chart1->width() > chart1.width() + 300);
    QVERIFY(ui.chart1->height() + ui.chart2->height() > chart1.height() + chart2.height() + 250);
    QVERIFY(ui.chart2->width() > chart2.width() + 100 && ui.chart3->width() > chart3.width() + 100);

    // The handles between the charts and beside the panel move.
    auto* sides = qobject_cast<QSplitter*>(ui.rightPanel->parentWidget());
    QVERIFY(sides != nullptr);
    QVERIFY(qobject_cast<QSplitter*>(ui.chart1->parentWidget()) != nullptr);
    QVERIFY(qobject_cast<QSplitter*>(ui.chart2->parentWidget()) != nullptr);
    const int panelWidth = ui.rightPanel->width();
    sides->setSizes({sides->sizes()[0] - 120, sides->sizes()[1] + 120});
    QCOMPARE(ui.rightPanel->width(), panelWidth + 120);

    // A small screen: the charts give way, the panel scrolls. A sensible
    // minimum is about 700 x 350.
    QVERIFY(w.minimumSizeHint().width() <= 720 && w.minimumSizeHint().height() <= 400);
    w.openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat"));
    for (const QSize small : {QSize(800, 500), w.minimumSizeHint()}) {
      w.resize(small);
      QTRY_COMPARE(w.size(), small);
      w.onLombScargleButton();
      QWidget* inside = ui.rightPanel->widget();
      int row = 0;
      for (QLabel* label : {ui.dataPoints, ui.timeSpan, ui.period_, ui.t0_, ui.maxMag, ui.amplitude,
                            ui.type, ui.score, ui.error, ui.meanMag, ui.rms, ui.gamma}) {
        QVERIFY(inside->isAncestorOf(label));
        ui.rightPanel->ensureWidgetVisible(label);
        const QRect seen(label->mapTo(ui.rightPanel->viewport(), QPoint(0, 0)), label->size());
        QVERIFY2(ui.rightPanel->viewport()->rect().contains(seen),
                 qPrintable(QStringLiteral("label %1 at %2 x %3")
                                .arg(row)
                                .arg(small.width())
                                .arg(small.height())));
        ++row;
      }
      QVERIFY(ui.rightPanel->viewport()->height() < inside->height());  // it scrolls
      for (auto* c : {ui.chart1, ui.chart2, ui.chart3}) {
        QVERIFY(c->width() >= c->minimumWidth() && c->height() >= c->minimumHeight());
        c->replot();
      }
    }
    QVERIFY(rec.messages.isEmpty());
  }

  void settingsSurviveARestartButNotExit() {
    {
      Recorder rec;
      MainWindow w(rec.hooks());
      const auto& ui = w.widgets();
      ui.minPeriod->setText(QStringLiteral("0.123456789"));
      ui.maxPeriod->setText(QStringLiteral("20"));
      ui.harmonics->setText(QStringLiteral("4"));
      ui.resolution->setText(QStringLiteral("0.001"));
      QVERIFY(w.close());
    }
    {
      QSettings s(QStringLiteral("kv"), QStringLiteral("Fazorn"));
      QCOMPARE(s.value("minper").toDouble(), static_cast<double>(0.123456789f));
      QCOMPARE(s.value("nharm").toInt(), 4);
    }
    {
      Recorder rec;
      MainWindow w(rec.hooks());
      const auto& ui = w.widgets();
      QCOMPARE(ui.minPeriod->text(), QStringLiteral("0.12"));
      QCOMPARE(ui.maxPeriod->text(), QStringLiteral("20.00"));
      QCOMPARE(ui.harmonics->text(), QStringLiteral("4"));
      QCOMPARE(ui.resolution->text(), QStringLiteral("0.00100"));
      QCOMPARE(w.workspace().settings.minPeriod, static_cast<double>(0.123456789f));
      ui.maxPeriod->setText(QStringLiteral("99"));
      w.onExit();
      QCOMPARE(rec.exitStatus, 0);
    }  // destroyed without closing, as the process would end
    {
      Recorder rec;
      MainWindow w(rec.hooks());
      QCOMPARE(w.widgets().maxPeriod->text(), QStringLiteral("20.00"));
      // A field that does not convert keeps the window open and saves nothing.
      w.widgets().maxPeriod->setText(QStringLiteral("oops"));
      w.show();
      QVERIFY(!w.close());
      QCOMPARE(rec.messages.size(), 1);
    }
    {
      QSettings(QStringLiteral("kv"), QStringLiteral("Fazorn")).setValue("accuracy", 0.0);
      Recorder rec;
      MainWindow w(rec.hooks());
      QCOMPARE(w.widgets().resolution->text(), QStringLiteral("0.00001"));
    }
  }

  // The fields follow the user's locale; data files and the process's C
  // conversions keep the decimal point.
  void fieldsUseTheLocaleDecimalSeparator() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("lc.dat"));
    writeFile(file, "0.25 10.5 0.1\n1.5 11.25 0.1\n2.75 12 0.1\n");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    {
      Recorder rec;
      MainWindow w(rec.hooks());
      const auto& ui = w.widgets();
      QCOMPARE(ui.minPeriod->text(), QStringLiteral("0,20"));
      ui.maxPeriod->clear();
      QTest::keyClicks(ui.maxPeriod, QStringLiteral("1.5,5"));
      QCOMPARE(ui.maxPeriod->text(), QStringLiteral("15,5"));
      rec.nextFile = file;
      w.onOpenData();
      QCOMPARE(w.workspace().lightCurve.pointCount, 3);
      ui.period->setText(QStringLiteral("0,5"));
      ui.t0->setText(QStringLiteral("0"));
      w.onPhaseButton();
      QCOMPARE(w.workspace().period, 0.5);
      QCOMPARE(ui.period_->text(), QStringLiteral("0,500000"));
      QVERIFY(rec.messages.isEmpty());
    }
    QLocale::setDefault(QLocale::c());
  }

  void invertOrdinateSwitchesBothChartsAndTitles() {
    Recorder rec;
    MainWindow w(rec.hooks());
    const auto& ui = w.widgets();
    QTest::mouseClick(ui.invertOrdinate, Qt::LeftButton);
    QVERIFY(ui.chart1->yAxis->rangeReversed());
    QVERIFY(ui.chart2->yAxis->rangeReversed());
    QCOMPARE(ui.chart1->yAxis->label(), QStringLiteral("Magnitudes"));
    QCOMPARE(ui.chart2->yAxis->label(), QStringLiteral("Magnitudes"));
    QTest::mouseClick(ui.invertOrdinate, Qt::LeftButton);
    QVERIFY(!ui.chart1->yAxis->rangeReversed());
    QCOMPARE(ui.chart2->yAxis->label(), QStringLiteral("Flux"));
  }

  void addValueDialogAndChartExport() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("lc.dat"));
    writeFile(file, "1 10 0.1\n2 11 0.1\n3 12 0.1\n");
    Recorder rec;
    MainWindow w(rec.hooks());
    rec.nextFile = file;
    w.onOpenData();
    QCOMPARE(w.addingForm()->windowTitle(), QStringLiteral("Add a value"));
    QCOMPARE(w.addingForm()->valueField->text(), QStringLiteral("0"));
    // A cancelled dialog changes nothing, whatever the field holds.
    rec.dialogResult = QDialog::Rejected;
    w.addingForm()->valueField->setText(QStringLiteral("zz"));
    w.onAddToX();
    QVERIFY(rec.messages.isEmpty());
    rec.dialogResult = QDialog::Accepted;
    w.onAddToY();
    QCOMPARE(rec.messages,
             QStringList{QStringLiteral("Fazorn|\"zz\" is not a valid floating point value")});

    w.widgets().chart1->resize(400, 200);
    const QString png = dir.filePath(QStringLiteral("chart.png"));
    const QString pdf = dir.filePath(QStringLiteral("chart.pdf"));
    QVERIFY(w.widgets().chart1->saveChart(png));
    QVERIFY(w.widgets().chart3->saveChart(pdf));
    QVERIFY(QFileInfo(png).size() > 0);
    QVERIFY(QFileInfo(pdf).size() > 0);
  }

 private:
  QTemporaryDir settingsDir_;
  QTemporaryDir workDir_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
