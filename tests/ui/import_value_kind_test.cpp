// "Open Data" on a table: the import dialog's "Values are:" box. A relative
// flux near 1 has no unit and no telling name, so the file alone reads as
// magnitudes; picking "Fluxes" must reach the load, be remembered for the
// layout, and give the eclipsing binary its type.
#include <QComboBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <clocale>
#include <cmath>

#include "commands/auto_search.h"
#include "commands/model_chain.h"
#include "ui/import_dialog.h"
#include "ui/main_window.h"
#include "window_test_support.h"

using fazorn::Message;
using fazorn::ValueKind;
using fazorn::ui::ImportDialog;
using fazorn::ui::MainWindow;
using fazorn::ui::WindowHooks;

namespace {

constexpr double kPeriod = 1.7;  // days

// A detached eclipsing binary in relative flux: out of eclipse 1, a primary
// eclipse 40 % deep at phase 0 and a secondary 12 % deep at phase 0.5, both
// Gaussian dips of 0.03 in phase; 900 points over 60 days at uneven times.
QByteArray eclipsingBinaryCsv(const char* valueName) {
  QByteArray text = QByteArray("hjd,") + valueName + ",error\n";
  for (int i = 0; i < 900; ++i) {
    const double t = 2450000.0 + i * (60.0 / 900.0) + 0.013 * std::sin(i * 1.7);
    double phase = std::fmod(t / kPeriod, 1.0);
    const double d0 = std::min(phase, 1.0 - phase);
    const double d1 = std::fabs(phase - 0.5);
    const double flux = 1.0 - 0.40 * std::exp(-0.5 * (d0 / 0.03) * (d0 / 0.03)) -
                        0.12 * std::exp(-0.5 * (d1 / 0.03) * (d1 / 0.03)) +
                        0.002 * std::sin(i * 12.9898);
    text += QByteArray::number(t, 'f', 6) + ',' + QByteArray::number(flux, 'f', 6) + ",0.002\n";
  }
  return text;
}

void writeFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

WindowHooks quietHooks() {
  WindowHooks hooks;
  hooks.exitProcess = [](int) {};
  hooks.showMessage = [](QWidget*, const Message&) {};
  return hooks;
}

}  // namespace

class ImportValueKindTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(settingsDir_.isValid());
    fazorn::ui::test::useSettingsIn(settingsDir_.path());
  }

  void pickingFluxesReachesTheLoadIsRememberedAndGivesTheType() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("eb.csv"));
    writeFile(file, eclipsingBinaryCsv("value"));
    QString shown;
    QString pick = QStringLiteral("flux");
    WindowHooks hooks = quietHooks();
    hooks.execDialog = [&](QDialog& d) {
      auto* dialog = qobject_cast<ImportDialog*>(&d);
      if (dialog == nullptr) return int(QDialog::Rejected);
      shown = dialog->valueKindBox->currentData().toString();
      if (!pick.isEmpty())
        dialog->valueKindBox->setCurrentIndex(dialog->valueKindBox->findData(pick));
      return int(QDialog::Accepted);
    };
    MainWindow w(hooks);
    w.openDataFile(file);
    QCOMPARE(shown, QStringLiteral("mag"));  // values near 1, no unit: the file says magnitudes
    QCOMPARE(w.workspace().lightCurve.valueKind, ValueKind::Flux);
    QCOMPARE(w.workspace().lightCurve.pointCount, 900);
    QVERIFY(fazorn::analyseAtPeriod(w.workspace(), kPeriod).ok);
    const std::string asFlux = w.workspace().typeText;
    QVERIFY2(asFlux.rfind("EA", 0) == 0, asFlux.c_str());
    QVERIFY(fazorn::typeAdmitted(w.workspace()));

    // Another file of the layout: the dialog shows the remembered kind and
    // keeps it when accepted as shown.
    const QString other = dir.filePath(QStringLiteral("other.csv"));
    writeFile(other, eclipsingBinaryCsv("value"));
    pick.clear();
    w.openDataFile(other);
    QCOMPARE(shown, QStringLiteral("flux"));
    QCOMPARE(w.workspace().lightCurve.valueKind, ValueKind::Flux);

    // Turning it back to magnitudes is a choice too: the dips are then read
    // as brightenings, and the type is no longer that of the fluxes.
    pick = QStringLiteral("mag");
    w.openDataFile(other);
    QCOMPARE(w.workspace().lightCurve.valueKind, ValueKind::Magnitude);
    QVERIFY(fazorn::analyseAtPeriod(w.workspace(), kPeriod).ok);
    QVERIFY(w.workspace().typeText != asFlux);
  }

  void theGuessFollowsTheEvidenceAndAKeptGuessIsNoChoice() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("flux.csv"));
    writeFile(file, eclipsingBinaryCsv("rel_flux"));
    const fazorn::TableImport preview = fazorn::importTable(file.toStdString(), {});
    QVERIFY(!preview.failed);
    ImportDialog dialog(file, preview);
    // The name says flux: preselected, and kept it leaves the load to decide.
    QCOMPARE(dialog.valueKindBox->currentData().toString(), QStringLiteral("flux"));
    QVERIFY(!dialog.options().valueKind.has_value());
    // The box follows the value column until the user picks a kind: "hjd"
    // has values far above any magnitude.
    dialog.valueBox->setCurrentIndex(0);
    QCOMPARE(dialog.valueKindBox->currentData().toString(), QStringLiteral("flux"));
    dialog.valueBox->setCurrentIndex(2);  // "error": 0.002, no telling name
    QCOMPARE(dialog.valueKindBox->currentData().toString(), QStringLiteral("mag"));
    QVERIFY(!dialog.options().valueKind.has_value());
    dialog.valueBox->setCurrentIndex(1);
    dialog.valueKindBox->setCurrentIndex(dialog.valueKindBox->findData(QStringLiteral("mag")));
    QCOMPARE(dialog.options().valueKind, std::optional<ValueKind>(ValueKind::Magnitude));
  }

 private:
  QTemporaryDir settingsDir_;
};

QTEST_MAIN(ImportValueKindTest)
#include "import_value_kind_test.moc"
