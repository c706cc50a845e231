// The window's safety nets and conveniences: undo and redo from the menus,
// the original kept at the first save, the unsaved-changes question, dropped
// and recent files, the model over the phase diagram and the wheel zoom.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>
#include <cmath>
#include <cstring>

#include "ui/chart_view.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::Workspace;
using fazorn::ui::MainWindow;
using fazorn::ui::UnsavedChoice;
using fazorn::ui::WindowHooks;

namespace {

struct Recorder {
  QStringList messages;
  int exitStatus = -1;
  QString nextFile;
  QString nextSaveFile;
  UnsavedChoice answer = UnsavedChoice::Cancel;
  int questions = 0;
  QString askedAbout;  // the file named by the last question
  bool deleteAnswer = false;
  QStringList deleteQuestions;  // the files "Delete file" asked about

  WindowHooks hooks() {
    WindowHooks h;
    h.exitProcess = [this](int status) { exitStatus = status; };
    h.chooseDataFile = [this](QWidget*) { return nextFile; };
    h.showMessage = [this](QWidget*, const Message& m) {
      messages << QString::fromStdString(m.caption + "|" + m.text);
    };
    h.execDialog = [](QDialog&) { return int(QDialog::Accepted); };
    h.chooseSaveFile = [this](QWidget*, const QString&) { return nextSaveFile; };
    h.askUnsavedChanges = [this](QWidget*, const QString& dataPath) {
      ++questions;
      askedAbout = dataPath;
      return answer;
    };
    h.confirmDeleteFile = [this](QWidget*, const QString& dataPath) {
      deleteQuestions << dataPath;
      return deleteAnswer;
    };
    return h;
  }
};

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A copy of a bundled light curve in the test's folder.
QString copyExample(const QTemporaryDir& dir, const QString& name, const QString& as) {
  const QString to = dir.filePath(as);
  QFile::copy(QStringLiteral(FAZORN_EXAMPLES_DIR "/") + name, to);
  QFile(to).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  return to;
}

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool sameObservations(const Workspace& a, const Workspace& b) {
  const auto& x = a.lightCurve;
  const auto& y = b.lightCurve;
  return x.pointCount == y.pointCount && sameBits(x.time, y.time) && sameBits(x.value, y.value) &&
         sameBits(x.error, y.error) && sameBits(x.weight, y.weight) && sameBits(x.mark, y.mark) &&
         sameBits(a.phase, b.phase) && sameBits(a.phasedValue, b.phasedValue) &&
         a.stats == b.stats && a.panel == b.panel;
}

// One step of the mouse wheel into a chart at `at` (widget pixels).
void wheelZoom(fazorn::ui::ChartView& chart, QPoint at, Qt::KeyboardModifiers mods = {}) {
  QWheelEvent e(at, chart.mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, mods,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(&chart, &e);
}

void addToY(MainWindow& w, const char* value) {
  w.addingForm()->valueField->setText(QString::fromLatin1(value));
  w.onAddToY();
}

}  // namespace

class WindowFilesTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void init() { QSettings(QStringLiteral("kv"), QStringLiteral("Fazorn")).clear(); }

  void undoAndRedoFromTheMenusRestoreTheWorkspaceAndTheCaption() {
    QTemporaryDir dir;
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QString file = copyExample(dir, QStringLiteral("V1269_Cen.dat"), QStringLiteral("v.dat"));
    rec.nextFile = file;
    w.onOpenData();
    Workspace& ws = w.workspace();
    const auto& ui = w.widgets();
    w.onLombScargleButton();  // Lomb-Scargle: a periodogram on the chart
    QVERIFY(ui.chart3->line->dataCount() > 0);
    QApplication::setActiveWindow(&w);  // the search's progress dialog took it
    QVERIFY(QTest::qWaitForWindowActive(&w));
    ui.period->setText(QStringLiteral("0.37"));
    ui.t0->setText(QStringLiteral("0"));
    w.onPhaseButton();
    const Workspace opened = ws;
    QAction* undo = w.commandAction(QStringLiteral("Undo"));
    QVERIFY(undo != nullptr && !undo->isEnabled());
    QCOMPARE(undo->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));

    // A click marks a point: undoable, but marks alone are not unsaved data.
    w.onLightCurveClick(ws.lightCurve.time[4], ws.lightCurve.value[4]);
    QCOMPARE(ws.lightCurve.mark[4], 1);
    QCOMPARE(undo->text(), QStringLiteral("Undo Click on a point"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file);
    const Workspace marked = ws;
    w.onRemoveMarked();
    QCOMPARE(ws.lightCurve.pointCount, opened.lightCurve.pointCount - 1);
    QCOMPARE(ui.chart3->line->dataCount(), 0);  // it no longer belongs to the data
    QCOMPARE(undo->text(), QStringLiteral("Undo Remove marked points"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file + QStringLiteral("*"));
    addToY(w, "0.5");
    QCOMPARE(undo->text(), QStringLiteral("Undo Add to Y"));

    // Back by the shortcut, step by step, to the state as opened.
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(sameObservations(ws, marked));
    QVERIFY(ui.chart3->line->dataCount() > 0);  // and is back with its data
    QCOMPARE(ui.chart1->marked->dataCount(), 1);
    QCOMPARE(ui.chart1->unmarked->dataCount(), ws.lightCurve.pointCount - 1);
    QCOMPARE(ui.dataPoints->text(), QString::number(opened.lightCurve.pointCount));
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file);  // the saved content again
    w.onUndo();
    QVERIFY(sameObservations(ws, opened));
    QVERIFY(!undo->isEnabled());
    QCOMPARE(ui.chart2->marked->dataCount(), 0);

    // And forward again; Ctrl+Y stays "2-sigma outliers".
    QAction* redo = w.commandAction(QStringLiteral("Redo Click on a point"));
    QVERIFY(redo != nullptr);
    QCOMPARE(redo->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(sameObservations(ws, marked));
    w.onRedo();
    QCOMPARE(ws.lightCurve.pointCount, opened.lightCurve.pointCount - 1);
    QCOMPARE(ui.chart3->line->dataCount(), 0);
    QCOMPARE(w.commandAction(QStringLiteral("2-sigma outliers"))->shortcut(),
             QKeySequence(Qt::CTRL | Qt::Key_Y));
    QVERIFY(rec.messages.isEmpty());
  }

  // As a new user tries it: open, mark the 5-sigma outliers (Ctrl+F),
  // remove them (Ctrl+R), Ctrl+Z, save (S), every key sent to whatever has
  // the focus after start-up.
  void ctrlZUndoesTheRemovalWithTheFocusWhereTheWindowPutsIt() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("outlier.dat"));
    QByteArray text;
    for (int i = 0; i < 40; ++i)
      text += QByteArray::number(2450000.0 + 0.137 * i, 'f', 4) + " " +
              QByteArray::number(i == 17 ? 19.0 : 12.0 + 0.01 * (i % 5), 'f', 3) + " 0.3\n";
    {
      QFile f(file);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(text);
    }
    Recorder rec;
    rec.nextFile = file;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const auto& ui = w.widgets();
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus != nullptr);
    QVERIFY(qobject_cast<QLineEdit*>(focus) == nullptr);  // no edit field at the start
    QTest::keyClick(focus, Qt::Key_O);
    QCOMPARE(w.workspace().lightCurve.pointCount, 40);
    auto keyToFocus = [](Qt::Key key, Qt::KeyboardModifiers mods) {
      QWidget* f = QApplication::focusWidget();
      QVERIFY(f != nullptr);
      QTest::keyClick(f, key, mods);
    };
    keyToFocus(Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(w.workspace().lightCurve.mark[17], 1);
    keyToFocus(Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(w.workspace().lightCurve.pointCount, 39);
    keyToFocus(Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.workspace().lightCurve.pointCount, 40);
    QCOMPARE(ui.status[0]->text(), QStringLiteral("Undone: Remove marked points"));
    keyToFocus(Qt::Key_S, Qt::NoModifier);
    const QList<QByteArray> lines = readAll(file).trimmed().split('\n');
    QCOMPARE(lines.size(), 40);
    QVERIFY(rec.messages.isEmpty());
  }

  // With the focus in a field, Ctrl+Z and Ctrl+Shift+Z undo the data while
  // the field has no text changes of its own; then they are the field's.
  void anEditFieldKeepsOnlyTheEditingKeysItCanActOn() {
    QTemporaryDir dir;
    const QString file = copyExample(dir, QStringLiteral("V1269_Cen.dat"), QStringLiteral("v.dat"));
    Recorder rec;
    rec.nextFile = file;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.onOpenData();
    Workspace& ws = w.workspace();
    const auto& ui = w.widgets();
    const int points = ws.lightCurve.pointCount;
    w.onLightCurveClick(ws.lightCurve.time[4], ws.lightCurve.value[4]);
    w.onRemoveMarked();
    QCOMPARE(ws.lightCurve.pointCount, points - 1);

    ui.minPeriod->setFocus();
    QVERIFY(ui.minPeriod->hasFocus());
    QTest::keyClick(ui.minPeriod, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ws.lightCurve.pointCount, points);  // the data's undo
    QTest::keyClick(ui.minPeriod, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(ws.lightCurve.pointCount, points - 1);  // and its redo

    // Typed text: the field's own undo first, the data untouched.
    const QString before = ui.minPeriod->text();
    QTest::keyClick(ui.minPeriod, Qt::Key_End);
    QTest::keyClicks(ui.minPeriod, QStringLiteral("5"));
    QCOMPARE(ui.minPeriod->text(), before + QStringLiteral("5"));
    QTest::keyClick(ui.minPeriod, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(ui.minPeriod->text(), before);
    QCOMPARE(ws.lightCurve.pointCount, points - 1);

    // Shift+Up is not a line edit's key: the marked points move.
    w.onLightCurveClick(ws.lightCurve.time[2], ws.lightCurve.value[2]);
    const double marked = ws.lightCurve.value[2];
    QTest::keyClick(ui.minPeriod, Qt::Key_Up, Qt::ShiftModifier);
    QVERIFY(ws.lightCurve.value[2] != marked);

    // Escape hands the focus to the light curve; the shortcuts are the
    // window's again.
    QTest::keyClick(ui.minPeriod, Qt::Key_Escape);
    QVERIFY(ui.chart1->hasFocus());
    QVERIFY(rec.messages.isEmpty());
  }

  void firstSaveKeepsTheOriginalWhichLaterSavesNeverTouch() {
    QTemporaryDir dir;
    Recorder rec;
    MainWindow w(rec.hooks());
    const QString file = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("s.dat"));
    const QByteArray original = readAll(file);
    w.openDataFile(file);
    addToY(w, "1");
    QVERIFY(w.hasUnsavedChanges());
    w.commandAction(QStringLiteral("Save Data"))->trigger();
    const QString backup = file + QStringLiteral(".orig");
    QCOMPARE(readAll(backup), original);
    QCOMPARE(w.widgets().status[0]->text(), QStringLiteral("Original kept as s.dat.orig"));
    QVERIFY(readAll(file) != original);
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file);

    addToY(w, "1");
    QVERIFY(w.windowTitle().endsWith(QLatin1Char('*')));
    w.onSaveData();
    QCOMPARE(readAll(backup), original);
    QVERIFY(!w.hasUnsavedChanges());

    // "Save Data As..." writes elsewhere and carries on with that file.
    rec.nextSaveFile = dir.filePath(QStringLiteral("copy.dat"));
    addToY(w, "-2");
    w.commandAction(QStringLiteral("Save Data As..."))->trigger();
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + rec.nextSaveFile);
    QCOMPARE(readAll(rec.nextSaveFile).count('\n'), w.workspace().lightCurve.pointCount);
    QVERIFY(!QFile::exists(rec.nextSaveFile + QStringLiteral(".orig")));
    QVERIFY(rec.messages.isEmpty());
  }

  // A derived file that cannot be written: the box as before, and the reason
  // in the status bar.
  void anUnwritableDerivedFileSaysWhyInTheStatusBar() {
    QTemporaryDir dir;
    Recorder rec;
    MainWindow w(rec.hooks());
    const QString folder = dir.filePath(QStringLiteral("night"));
    QVERIFY(QDir().mkdir(folder));
    const QString file = folder + QStringLiteral("/s.dat");
    QVERIFY(QFile::copy(QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat"), file));
    w.openDataFile(file);
    w.widgets().aov->click();
    QAction* save = w.commandAction(QStringLiteral("Save Phased Data"));
    QVERIFY(save->isEnabled());
    // The folder vanishes (a removed card, an unmounted share).
    QVERIFY(QDir(folder).removeRecursively());
    save->trigger();
    QCOMPARE(rec.messages, QStringList{QStringLiteral("Message|I/O Error! Unable to open file.")});
    const QString notes = w.widgets().notes->text();
    QVERIFY2(notes.startsWith(QStringLiteral("Unable to write ") + folder), qPrintable(notes));
    QVERIFY(!QFile::exists(folder));
  }

  void unsavedChangesAreAskedAboutBeforeTheyAreLost() {
    QTemporaryDir dir;
    Recorder rec;
    const QString a = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("a.dat"));
    const QString b = copyExample(dir, QStringLiteral("V1269_Cen.dat"), QStringLiteral("b.dat"));
    const QByteArray bOriginal = readAll(b);
    auto w = std::make_unique<MainWindow>(rec.hooks());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->openDataFile(a);
    rec.nextFile = b;
    w->onOpenData();  // nothing changed: no question
    QCOMPARE(rec.questions, 0);
    w->openDataFile(a);
    addToY(*w, "3");

    rec.answer = UnsavedChoice::Cancel;
    w->onOpenData();
    QCOMPARE(rec.questions, 1);
    QCOMPARE(w->workspace().files.dataPath, a.toStdString());
    w->onExit();
    QCOMPARE(rec.exitStatus, -1);
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QCOMPARE(rec.questions, 3);

    rec.answer = UnsavedChoice::Discard;
    w->onOpenData();
    QCOMPARE(w->workspace().files.dataPath, b.toStdString());
    QVERIFY(!QFile::exists(a + QStringLiteral(".orig")));  // a was not saved

    addToY(*w, "3");
    rec.answer = UnsavedChoice::Save;
    QVERIFY(w->close());
    QCOMPARE(rec.questions, 5);
    QCOMPARE(readAll(b + QStringLiteral(".orig")), bOriginal);
    QVERIFY(readAll(b) != bOriginal);
  }

  // Files that give no light curve (empty, binary, a table with nothing to
  // read), opened over edited observations: the edits stay on screen, still
  // unsaved, and "Save Data" writes them to their own file.
  void aFailedOpenLeavesTheEditedLightCurveAndItsFile() {
    QTemporaryDir dir;
    Recorder rec;
    const QString good = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("g.dat"));
    const QString empty = dir.filePath(QStringLiteral("empty.dat"));
    const QString binary = dir.filePath(QStringLiteral("image.dat"));
    const QString table = dir.filePath(QStringLiteral("names.csv"));
    static const char kImage[] = "\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x01\xff";
    const QByteArray binaryBytes(kImage, sizeof kImage - 1);
    const QByteArray tableText("star,comment\nalpha,bright\nbeta,faint\n");
    for (const auto& [path, bytes] :
         {std::pair{empty, QByteArray()}, std::pair{binary, binaryBytes},
          std::pair{table, tableText}}) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    }
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDataFile(good);
    const QByteArray goodOriginal = readAll(good);
    addToY(w, "0.25");
    const Workspace edited = w.workspace();
    const QString title = QStringLiteral("Fazorn * ") + good + QStringLiteral("*");
    QCOMPARE(w.windowTitle(), title);
    auto* chart = w.widgets().chart1;
    chart->replot();
    wheelZoom(*chart, chart->axisRect()->rect().center());
    const QCPRange zoomedTime = chart->xAxis->range();

    // Each way of opening: the dialog after "discard", a recent or dropped
    // file after "discard", and directly.
    rec.answer = UnsavedChoice::Discard;
    rec.nextFile = empty;
    w.onOpenData();
    w.openChosenFile(binary);
    w.openDataFile(table);
    QCOMPARE(rec.messages.size(), 3);  // one box per failed file
    QVERIFY2(rec.messages[0].startsWith(QStringLiteral("WARNING!|No observation could be read")),
             qPrintable(rec.messages[0]));
    QVERIFY(sameObservations(w.workspace(), edited));
    QCOMPARE(w.workspace().files, edited.files);
    QVERIFY(w.hasUnsavedChanges());
    QCOMPARE(w.windowTitle(), title);
    QVERIFY(chart->zoomed());  // the view of the light curve as well
    QCOMPARE(chart->xAxis->range(), zoomedTime);

    // The failed files are not the recent ones; the good one stays first.
    QList<QAction*> entries;
    for (QAction* e : w.recentFilesMenu()->actions())
      if (e->data().isValid()) entries << e;
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]->data().toString(), QFileInfo(good).absoluteFilePath());

    // The question before the next open names the star on screen.
    rec.questions = 0;
    rec.nextFile.clear();
    w.onOpenData();
    QCOMPARE(rec.questions, 1);
    QCOMPARE(rec.askedAbout, good);

    w.onSaveData();
    QCOMPARE(readAll(good + QStringLiteral(".orig")), goodOriginal);
    const QByteArray saved = readAll(good);
    QCOMPARE(saved.count('\n'), edited.lightCurve.pointCount);
    QVERIFY(saved != goodOriginal);
    QCOMPARE(readAll(empty), QByteArray());
    QCOMPARE(readAll(binary), binaryBytes);
    QCOMPARE(readAll(table), tableText);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 5);  // no "-data" file, no .orig
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + good);
  }

  // A successful open clears what described the previous star: the window
  // then shows what a fresh one shows after opening the same file. A failed
  // open clears nothing.
  void openingAnotherFileForgetsThePreviousStar() {
    QTemporaryDir dir;
    Recorder rec;
    // Two stars observed at the same times: old clicks would fall on both.
    const QString a = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("a.dat"));
    const QString b = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("b.dat"));
    const QString empty = dir.filePath(QStringLiteral("empty.dat"));
    QFile(empty).open(QIODevice::WriteOnly);
    MainWindow fresh(rec.hooks());
    MainWindow w(rec.hooks());
    for (MainWindow* window : {&fresh, &w}) {
      window->show();
      QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    const auto& ui = w.widgets();
    w.openDataFile(a);
    ui.aov->click();
    const auto& lc = w.workspace().lightCurve;
    w.onLightCurveClick(lc.time[3], lc.value[3]);
    w.onLightCurveClick(lc.time[8], lc.value[8]);
    ui.t0->setText(QStringLiteral("0.5"));
    ui.notes->setText(QStringLiteral("a note"));
    for (fazorn::ui::ChartView* c : {ui.chart1, ui.chart2, ui.chart3}) {
      c->replot();
      wheelZoom(*c, c->axisRect()->rect().center());
      QVERIFY(c->zoomed());
    }
    auto shown = [](MainWindow& window) {
      const auto& u = window.widgets();
      QStringList texts{u.period->text(), u.t0->text()};
      for (QLabel* l : u.status) texts << l->text();
      for (fazorn::ui::ChartView* c : {u.chart1, u.chart2, u.chart3})
        texts << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(c->xAxis->range().lower)
                     .arg(c->xAxis->range().upper)
                     .arg(c->yAxis->range().lower)
                     .arg(c->yAxis->range().upper)
                     .arg(c->zoomed());
      return texts;
    };
    const QStringList before = shown(w);
    QVERIFY(!before[0].isEmpty() && !before[2].isEmpty() && !before[3].isEmpty());

    w.openDataFile(empty);
    QCOMPARE(rec.messages.size(), 1);
    QCOMPARE(shown(w), before);

    w.openDataFile(b);
    fresh.openDataFile(b);
    QCOMPARE(shown(w), shown(fresh));
    QCOMPARE(ui.period->text(), QString());
    for (QLabel* l : ui.status) QCOMPARE(l->text(), QString());
    QCOMPARE(ui.notes->text(), fresh.widgets().notes->text());

    // Nothing of star a is left for the commands to act on.
    rec.messages.clear();
    w.onPeriodogramPeaks();
    w.onMarkNight();
    w.onMarkBetween();
    w.onRefinePeriod();
    QCOMPARE(std::count(lc.mark.begin(), lc.mark.end(), 1), 0);
    QCOMPARE(rec.messages,
             (QStringList{QStringLiteral("Message|Run a search first: there is no periodogram."),
                          QStringLiteral("Message|Type a period into \"Period:\" or run a search "
                                         "first: there is no period to refine.")}));
    QCOMPARE(ui.period_->text(), QStringLiteral("-"));
  }

  // F12 deletes the observation file only after a yes to a question that
  // names it; the light curve stays loaded either way.
  void deleteFileAsksFirstAndKeepsTheFileUnlessTold() {
    QTemporaryDir dir;
    Recorder rec;
    const QString file = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("d.dat"));
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.openDataFile(file);
    const int points = w.workspace().lightCurve.pointCount;

    rec.deleteAnswer = false;
    QTest::keyClick(&w, Qt::Key_F12);
    QCOMPARE(rec.deleteQuestions, QStringList{file});
    QVERIFY(QFile::exists(file));
    QVERIFY(rec.messages.isEmpty());

    // The real question names the file and keeps it on Enter and on Escape.
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
      QString shown;
      QTimer::singleShot(0, &w, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box != nullptr);
        shown = box->text() + QLatin1Char('\n') + box->informativeText();
        QTest::keyClick(box, key);
      });
      QVERIFY(!fazorn::ui::defaultWindowHooks().confirmDeleteFile(&w, file));
      QVERIFY2(shown.contains(QStringLiteral("d.dat")), qPrintable(shown));
    }
    QVERIFY(QFile::exists(file));

    rec.deleteAnswer = true;
    w.commandAction(QStringLiteral("Delete file"))->trigger();
    QCOMPARE(rec.deleteQuestions.size(), 2);
    QVERIFY(!QFile::exists(file));
    QCOMPARE(rec.messages,
             QStringList{QStringLiteral("Fazorn|            File deleted.           ")});
    QCOMPARE(w.workspace().lightCurve.pointCount, points);
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + file);
  }

  void aDroppedFileOpensAndRecentFilesRememberIt() {
    QTemporaryDir dir;
    Recorder rec;
    const QString a = copyExample(dir, QStringLiteral("V1191_Cen.dat"), QStringLiteral("a.dat"));
    const QString b = copyExample(dir, QStringLiteral("V1269_Cen.dat"), QStringLiteral("b.dat"));
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDataFile(a);

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(b)});
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(&w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    QTRY_COMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + b);
    QVERIFY(w.workspace().lightCurve.pointCount > 10);

    // Text that is not a file is refused at the door.
    QMimeData text;
    text.setText(QStringLiteral("not a file"));
    QDragEnterEvent refused(QPoint(50, 50), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    refused.setAccepted(false);
    QApplication::sendEvent(&w, &refused);
    QVERIFY(!refused.isAccepted());

    // Newest first, kept in the settings, a vanished file greyed.
    QFile::remove(a);
    w.rebuildRecentFilesMenu();
    QList<QAction*> entries;
    for (QAction* e : w.recentFilesMenu()->actions())
      if (e->data().isValid()) entries << e;
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0]->data().toString(), QFileInfo(b).absoluteFilePath());
    QVERIFY(entries[0]->isEnabled());
    QVERIFY(!entries[1]->isEnabled());
    MainWindow again(rec.hooks());
    QCOMPARE(again.recentFilesMenu()->actions().first()->data().toString(),
             QFileInfo(b).absoluteFilePath());
    entries[0]->trigger();  // reopening from the list
    QCOMPARE(w.windowTitle(), QStringLiteral("Fazorn * ") + b);
  }

  void theFittedModelIsDrawnOverThePhaseDiagram() {
    Recorder rec;
    auto w = std::make_unique<MainWindow>(rec.hooks());
    w->openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/OGLE-LMC-CEP-1513.dat"));
    const auto& ui = w->widgets();
    // The catalogued period, then "Get statistics" fits the model.
    ui.period->setText(QStringLiteral("8.4608918"));
    ui.t0->setText(QStringLiteral("0"));
    w->onPhaseButton();
    QCOMPARE(ui.chart2->model[0]->dataCount(), 0);  // nothing fitted yet
    w->onGetStatistics();
    const Workspace& ws = w->workspace();
    QVERIFY(ws.modelCurve.valid);
    QCPGraph* line = ui.chart2->model[0];
    QVERIFY(line->dataCount() > 400);
    // The line covers both shown cycles and lies within the points' range.
    QVERIFY(line->data()->begin()->key <= -0.25);
    QVERIFY((line->data()->end() - 1)->key >= 1.25);
    for (auto it = line->data()->begin(); it != line->data()->end(); ++it)
      if (std::isfinite(it->value))
        QVERIFY(it->value > ws.stats.minValue - 0.1 && it->value < ws.stats.maxValue + 0.1);

    // Residuals: the points scatter about 0 with much less than the
    // amplitude's spread.
    w->commandAction(QStringLiteral("Residuals in phase diagram"))->trigger();
    QCOMPARE(ui.chart2->yAxis->label(), QStringLiteral("Residual"));
    double sum = 0, squares = 0;
    int n = 0;
    for (auto it = ui.chart2->unmarked->data()->begin(); it != ui.chart2->unmarked->data()->end();
         ++it, ++n) {
      sum += it->value;
      squares += it->value * it->value;
    }
    QVERIFY(n > 0);
    // Two photometric errors of this file (0.005 mag each).
    constexpr double kTwoErrors = 0.01;
    QVERIFY(std::fabs(sum / n) < kTwoErrors);
    QVERIFY(std::sqrt(squares / n) < 0.25 * ws.amplitude);
    // A click on a residual still marks its point.
    auto first = ui.chart2->unmarked->data()->begin();
    w->onPhaseDiagramClick(first->key, first->value);
    QCOMPARE(ui.chart2->marked->dataCount(), 2);
    w->commandAction(QStringLiteral("Residuals in phase diagram"))->trigger();
    QCOMPARE(ui.chart2->yAxis->label(), QStringLiteral("Flux"));

    // Off, remembered in the settings; a new period hides the old model.
    w->commandAction(QStringLiteral("Model over phase diagram"))->trigger();
    QCOMPARE(line->dataCount(), 0);
    w.reset();
    w = std::make_unique<MainWindow>(rec.hooks());
    QVERIFY(!w->commandAction(QStringLiteral("Model over phase diagram"))->isChecked());
    w->commandAction(QStringLiteral("Model over phase diagram"))->trigger();
    w->openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/OGLE-LMC-CEP-1513.dat"));
    w->widgets().period->setText(QStringLiteral("8.4608918"));
    w->onPhaseButton();
    w->onGetStatistics();
    QVERIFY(w->widgets().chart2->model[0]->dataCount() > 0);
    w->onDoublePeriod();
    QCOMPARE(w->widgets().chart2->model[0]->dataCount(), 0);
  }

  void theWheelZoomsOneAxisOrBothAndCtrl0ResetsIt() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.openDataFile(QStringLiteral(FAZORN_EXAMPLES_DIR "/V1269_Cen.dat"));
    auto* chart = w.widgets().chart1;
    chart->replot();
    const QCPRange x0 = chart->xAxis->range(), y0 = chart->yAxis->range();
    const QRect plot = chart->axisRect()->rect();
    auto wheel = [&](QPoint at, Qt::KeyboardModifiers mods) {
      QWheelEvent e(at, chart->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, mods,
                    Qt::NoScrollPhase, false);
      QApplication::sendEvent(chart, &e);
    };
    // Over the time axis: only time zooms, around the cursor.
    const QPoint belowPlot(plot.center().x(), plot.bottom() + 10);
    const double under = chart->xAxis->pixelToCoord(belowPlot.x());
    wheel(belowPlot, Qt::NoModifier);
    QVERIFY(chart->xAxis->range().size() < 0.9 * x0.size());
    QVERIFY(chart->xAxis->range().contains(under));
    QCOMPARE(chart->yAxis->range(), y0);
    QVERIFY(chart->zoomed());
    // Over the value axis, and inside with Shift: only values.
    const QCPRange x1 = chart->xAxis->range();
    wheel(QPoint(plot.left() - 10, plot.center().y()), Qt::NoModifier);
    wheel(plot.center(), Qt::ShiftModifier);
    QCOMPARE(chart->xAxis->range(), x1);
    QVERIFY(chart->yAxis->range().size() < 0.8 * y0.size());
    // Inside without modifier: both.
    const QCPRange y1 = chart->yAxis->range();
    wheel(plot.center(), Qt::NoModifier);
    QVERIFY(chart->xAxis->range().size() < x1.size());
    QVERIFY(chart->yAxis->range().size() < y1.size());
    // A click still marks a point in the zoomed chart.
    const Workspace& ws = w.workspace();
    w.onLightCurveClick(ws.lightCurve.time[0], ws.lightCurve.value[0]);
    QCOMPARE(ws.lightCurve.mark[0], 1);
    QTest::keyClick(&w, Qt::Key_0, Qt::ControlModifier);
    QCOMPARE(chart->xAxis->range(), x0);
    QCOMPARE(chart->yAxis->range(), y0);
    QVERIFY(!chart->zoomed());
  }

  void helpListsEveryShortcutAndAboutNamesThePapers() {
    Recorder rec;
    MainWindow w(rec.hooks());
    QVERIFY(w.commandAction(QStringLiteral("Help"))->isVisible());
    const QString help = w.helpForm()->text->toPlainText();
    // Every shortcut is listed, and no two commands share one (Qt would
    // then run neither: an ambiguous shortcut only warns on stderr).
    QHash<QString, QString> owner;
    for (QAction* a : w.commandActions()) {
      if (a->shortcut().isEmpty() || !a->isVisible()) continue;
      const QString key = a->shortcut().toString(QKeySequence::NativeText);
      QVERIFY2(help.contains(key), qPrintable(a->text()));
      QVERIFY2(!owner.contains(key), qPrintable(key + ": " + owner.value(key) + ", " + a->text()));
      owner.insert(key, a->text());
    }
    for (const char* part : {"Quick start", "Open", "Search", "Read the result", "Refine by hand",
                             "Edit", "Save", "AoVtr", "Lomb-Scargle"})
      QVERIFY2(help.contains(QString::fromLatin1(part)), part);
    QString about;
    for (QLabel* l : w.aboutBox()->findChildren<QLabel*>()) about += l->text();
    for (const char* paper : {"Schwarzenberg-Czerny, A. 1996", "Beaulieu, J.-Ph. 2006",
                              "Lomb, N. R. 1976", "Scargle, J. D. 1982"})
      QVERIFY2(about.contains(QString::fromLatin1(paper)), paper);
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(WindowFilesTest)
#include "window_files_test.moc"
