// "Open Data" on tables: the import dialog shows the first rows and the
// guessed columns, lets the user choose a band, and remembers the choice for
// files with the same header; "Save Data" then keeps the original file.
#include "ui/import_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>

#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ui::ImportDialog;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

const QByteArray kTwoBands =
    "# exported light curve\n"
    "obsid,mjd,mag,magerr,filter\n"
    "a,1.0,12.0,0.01,g\n"
    "b,1.1,13.0,0.02,r\n"
    "c,2.0,12.2,0.01,g\n"
    "d,2.1,13.1,0.02,r\n"
    "e,3.0,12.1,0.01,g\n";

}  // namespace

class ImportDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void showsTheFileAndTheGuessAndRemembersTheChoice() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("star.csv"));
    writeFile(file, kTwoBands);
    int dialogs = 0;
    QString shownBand;
    QString chooseBand = QStringLiteral("r");
    WindowHooks hooks;
    hooks.exitProcess = [](int) {};
    hooks.showMessage = [](QWidget*, const Message&) {};
    hooks.execDialog = [&](QDialog& d) {
      auto* dialog = qobject_cast<ImportDialog*>(&d);
      if (dialog == nullptr) return int(QDialog::Rejected);
      ++dialogs;
      // The first rows and the guessed columns.
      [&] {
        QCOMPARE(dialog->table->columnCount(), 5);
        QCOMPARE(dialog->table->rowCount(), 5);
        QCOMPARE(dialog->table->horizontalHeaderItem(1)->text(), QStringLiteral("mjd"));
        QCOMPARE(dialog->table->item(1, 4)->text(), QStringLiteral("r"));
        QCOMPARE(dialog->timeBox->currentText(), QStringLiteral("mjd"));
        QCOMPARE(dialog->valueBox->currentText(), QStringLiteral("mag"));
        QCOMPARE(dialog->errorBox->currentText(), QStringLiteral("magerr"));
      }();
      shownBand = dialog->bandBox->currentData().toString();
      const int r = dialog->bandBox->findData(chooseBand);
      if (r >= 0) dialog->bandBox->setCurrentIndex(r);
      return int(QDialog::Accepted);
    };
    MainWindow w(hooks);
    w.openDataFile(file);
    QCOMPARE(dialogs, 1);
    QCOMPARE(shownBand, QStringLiteral("g"));  // the band with most rows first
    QCOMPARE(w.workspace().lightCurve.pointCount, 2);
    QCOMPARE(w.workspace().lightCurve.value[0], 13.0);

    // Another file with the same header: the dialog shows the remembered band.
    const QString other = dir.filePath(QStringLiteral("other.csv"));
    writeFile(other, kTwoBands);
    chooseBand.clear();
    w.openDataFile(other);
    QCOMPARE(dialogs, 2);
    QCOMPARE(shownBand, QStringLiteral("r"));
    QCOMPARE(w.workspace().lightCurve.pointCount, 2);

    // "Save Data" writes beside the table and leaves it untouched.
    w.commandAction(QStringLiteral("Save Data"))->trigger();
    QCOMPARE(readFile(other), kTwoBands);
    QVERIFY(
        readFile(dir.filePath(QStringLiteral("other-data.dat"))).startsWith("     1.1000000\t"));
  }

  void cancellingTheDialogChangesNothing() {
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.dat"));
    writeFile(plain, "1 2 0.1\n2 3 0.1\n3 4 0.1\n");
    const QString table = dir.filePath(QStringLiteral("table.csv"));
    writeFile(table, kTwoBands);
    int dialogs = 0;
    WindowHooks hooks;
    hooks.exitProcess = [](int) {};
    hooks.showMessage = [](QWidget*, const Message&) {};
    hooks.execDialog = [&](QDialog&) {
      ++dialogs;
      return int(QDialog::Rejected);
    };
    MainWindow w(hooks);
    w.openDataFile(plain);  // plain numbers: no question
    QCOMPARE(dialogs, 0);
    QCOMPARE(w.workspace().lightCurve.pointCount, 3);
    w.openDataFile(table);
    QCOMPARE(dialogs, 1);
    QCOMPARE(w.workspace().lightCurve.pointCount, 3);
    QCOMPARE(QString::fromStdString(w.workspace().files.dataPath), plain);
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(ImportDialogTest)
#include "import_dialog_test.moc"
