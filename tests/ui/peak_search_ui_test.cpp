// The window's searches beyond the three commands: "Auto search", a double
// click on a periodogram peak, the list of peaks (with the auto search's
// candidates) and "Refine period".
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>

#include "support/tolerances.h"
#include "ui/chart_view.h"
#include "ui/main_window.h"
#include "ui/peak_list_dialog.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

// The bundled Cepheid and its catalogued period (days).
const QString kCepheid = QStringLiteral(FAZORN_EXAMPLES_DIR "/OGLE-LMC-CEP-1513.dat");
constexpr double kCatalogued = 8.4608918;
// The maximum of the default grid (0.0003 per day) near it.
constexpr double kGridPeriod = 8.467401;

struct Recorder {
  QStringList messages;
  int dialogResult = QDialog::Accepted;
  int dialogs = 0;
  int candidates = 0;      // rows of the candidate table in the last list
  int pickCandidate = -1;  // a candidate row to choose, -1 for the peak row
  double pickedPeriod = 0.0;
  WindowHooks hooks() {
    WindowHooks h;
    h.exitProcess = [](int) {};
    h.chooseDataFile = [](QWidget*) { return QString(); };
    h.showMessage = [this](QWidget*, const Message& m) {
      messages << QString::fromStdString(m.caption + "|" + m.text);
    };
    h.execDialog = [this](QDialog& d) {
      ++dialogs;
      // The list shows the peaks highest first; the first row is chosen.
      if (auto* list = qobject_cast<fazorn::ui::PeakListDialog*>(&d)) {
        if (list->table()->rowCount() != 10) messages << QStringLiteral("rows|wrong count");
        QTableWidget* c = list->candidateTable();
        candidates = c != nullptr ? c->rowCount() : 0;
        if (pickCandidate >= 0 && c != nullptr && pickCandidate < c->rowCount()) {
          c->selectRow(pickCandidate);
          emit c->cellClicked(pickCandidate, 0);
          pickedPeriod = list->chosenCandidatePeriod();
        }
      }
      return dialogResult;
    };
    return h;
  }
};

}  // namespace

class PeakSearchUiTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void doubleClickAdoptsTheTopOfThePeakUnderTheCursor() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.show();
    w.openDataFile(kCepheid);
    w.widgets().aov->click();
    QVERIFY(w.workspace().periodogram.frequencyCount > 0);
    // The default grid is too coarse for this span: the status bar says so.
    QVERIFY(w.widgets().notes->text().contains(QStringLiteral("coarser than half a peak")));

    // Half a per cent beside the peak's top, on the peak's flank.
    fazorn::ui::ChartView* chart = w.widgets().chart3;
    chart->replot();
    const double x = chart->xAxis->coordToPixel(8.50);
    const double y = chart->yAxis->coordToPixel(0.5);
    w.workspace().period = 1.0;
    QTest::mouseDClick(chart, Qt::LeftButton, Qt::NoModifier,
                       QPoint(static_cast<int>(x), static_cast<int>(y)));
    QVERIFY2(
        std::abs(w.workspace().period - kGridPeriod) < fazorn::test::kSixDecimals,
        qPrintable(QString::number(w.workspace().period, 'g', 10) + " at x " + QString::number(x)));
    QVERIFY(w.widgets().type->text().startsWith(QStringLiteral("DCEP")));
    QVERIFY(w.widgets().period_->text().startsWith(QStringLiteral("8.4674")));

    // "Refine period" takes it to the catalogued period.
    w.commandAction(QStringLiteral("Refine period"))->trigger();
    QVERIFY(std::abs(w.workspace().period - kCatalogued) < fazorn::test::kRefinedCepheidPeriod);
    QVERIFY(w.workspace().periodError > 0 && w.workspace().periodError < 1e-3);
    QVERIFY(rec.messages.isEmpty());
  }

  void autoSearchAndThePeakList() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.openDataFile(kCepheid);
    QVERIFY(w.widgets().autoSearch->isEnabled());
    w.commandAction(QStringLiteral("Auto search"))->trigger();
    QVERIFY(!w.searchRunning());
    QVERIFY(std::abs(w.workspace().period - kCatalogued) < fazorn::test::kRefinedCepheidPeriod);
    QVERIFY(w.widgets().notes->text().startsWith(QStringLiteral("Auto:")));
    QVERIFY(w.widgets().notes->text().contains(QStringLiteral("alias none")));
    QVERIFY(w.widgets().type->text().startsWith(QStringLiteral("DCEP")));
    // The fields keep what the user typed.
    QCOMPARE(w.widgets().minPeriod->text(), QStringLiteral("0.20"));

    // The list of peaks: the first row adopts the highest grid point.
    const double top = [&] {
      const auto& p = w.workspace().periodogram;
      return 1 / p.frequency[static_cast<std::size_t>(
                     std::max_element(p.power.begin(), p.power.end()) - p.power.begin())];
    }();
    w.commandAction(QStringLiteral("Periodogram peaks..."))->trigger();
    QCOMPARE(rec.dialogs, 1);
    QVERIFY(std::abs(w.workspace().period - top) < fazorn::test::kSumTolerance * top);
    // After the auto search the list also holds its candidates, the adopted
    // one first; picking one adopts its period.
    {
      fazorn::ui::PeakListDialog list(w.workspace(), fazorn::SearchEngine::Aov, 10, &w,
                                      {fazorn::Candidate{kCatalogued, -10.0, 3, "peak"},
                                       fazorn::Candidate{2 * kCatalogued, -2.0, 6, "double"}});
      QVERIFY(list.candidateTable() != nullptr);
      QCOMPARE(list.candidateTable()->rowCount(), 2);
      QCOMPARE(list.candidateTable()->item(1, 3)->text(), QStringLiteral("double"));
      QCOMPARE(list.chosenCandidatePeriod(), 0.0);  // a peak row is the default
      list.candidateTable()->selectRow(1);
      emit list.candidateTable()->cellClicked(1, 0);
      QCOMPARE(list.chosenCandidatePeriod(), 2 * kCatalogued);
      QCOMPARE(list.chosenIndex(), -1);
      emit list.table()->cellClicked(0, 0);
      QVERIFY(list.chosenIndex() >= 0);
    }
    {
      fazorn::ui::PeakListDialog plain(w.workspace(), fazorn::SearchEngine::Aov, 10, &w);
      QVERIFY(plain.candidateTable() == nullptr);
    }
    rec.pickCandidate = 1;  // the window's own list: the second candidate
    w.commandAction(QStringLiteral("Periodogram peaks..."))->trigger();
    QCOMPARE(rec.dialogs, 2);
    QVERIFY(rec.candidates >= 2);
    QVERIFY(std::abs(w.workspace().period - rec.pickedPeriod) < 1e-6 * rec.pickedPeriod);
    QVERIFY(std::abs(w.workspace().period - kCatalogued) > 1e-3);
    rec.pickCandidate = -1;
    // Any other search forgets the candidates.
    w.widgets().aov->click();
    w.commandAction(QStringLiteral("Periodogram peaks..."))->trigger();
    QCOMPARE(rec.candidates, 0);

    // Cancelled: nothing changes.
    rec.dialogResult = QDialog::Rejected;
    w.workspace().period = 3.0;
    w.commandAction(QStringLiteral("Periodogram peaks..."))->trigger();
    QCOMPARE(w.workspace().period, 3.0);
    QVERIFY(rec.messages.isEmpty());
  }

  void nothingToPickWithoutAPeriodogram() {
    Recorder rec;
    MainWindow w(rec.hooks());
    w.openDataFile(kCepheid);
    w.onPeriodogramDoubleClick(8.0);  // no search yet: ignored
    QCOMPARE(w.workspace().period, 1.0);
    w.commandAction(QStringLiteral("Periodogram peaks..."))->trigger();
    QCOMPARE(rec.messages.size(), 1);
    QCOMPARE(rec.dialogs, 0);
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(PeakSearchUiTest)
#include "peak_search_ui_test.moc"
