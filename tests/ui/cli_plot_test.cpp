// fazorn-cli plot and analyse --plot, run as a user runs them: the pictures
// they write (size, drawn content, file formats), their names, and the
// files that cannot be analysed beside those that can.
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

namespace {

const QString kCli = QStringLiteral(FAZORN_CLI_PATH);
const QString kCepheid = QStringLiteral(FAZORN_EXAMPLES_DIR "/OGLE-LMC-CEP-1513.dat");

struct Run {
  int status = -1;
  QString out, err;
};

// `program`: another copy of fazorn-cli; `variable`=`value` added to the
// environment when given.
Run runCli(const QStringList& args, const QString& program = kCli, const QString& variable = {},
           const QString& value = {}) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!variable.isEmpty()) env.insert(variable, value);
  // No display: the command must draw without one.
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.remove(QStringLiteral("QT_QPA_PLATFORM"));
  p.setProcessEnvironment(env);
  p.start(program, args);
  Run r;
  if (!p.waitForFinished(300000)) return r;
  r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

void writeText(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

QByteArray head(const QString& path, int n) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.read(n);
}

// The variance of the grey level over a region (0 for a blank region) and
// how many of its pixels have the points' fill and the model line's blue.
struct RegionStats {
  double variance = 0;
  int pointFill = 0;
  int modelBlue = 0;
};

RegionStats regionStats(const QImage& image, const QRect& region) {
  RegionStats s;
  double sum = 0, sum2 = 0;
  int n = 0;
  for (int y = region.top(); y <= region.bottom(); ++y)
    for (int x = region.left(); x <= region.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      const double g = qGray(c.rgb());
      sum += g;
      sum2 += g * g;
      ++n;
      if (c.red() == 0 && c.green() == 128 && c.blue() == 0) ++s.pointFill;
      if (c.blue() > 200 && c.red() < 100 && c.green() < 100) ++s.modelBlue;
    }
  const double mean = sum / n;
  s.variance = sum2 / n - mean * mean;
  return s;
}

}  // namespace

class CliPlotTest : public QObject {
  Q_OBJECT
 private slots:
  void pngOfTheRequestedSizeWithTheChartsDrawnAndBadFilesReported();
  void theModelOfAFluxCurveIsDrawnInFluxes();
  void pdfAndSvgFiles();
  void picturesOfFilesWithTheSameNameDoNotOverwriteEachOther();
  void picturesDoNotDependOnTheThreadCount();
  void analyseWritesThePictureBesideUnchangedFigures();
  void refusesWhatItCannotDraw();
  void startsWithoutQtAndLoadsThePicturesModuleOnlyToDraw();
};

void CliPlotTest::pngOfTheRequestedSizeWithTheChartsDrawnAndBadFilesReported() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString bad = dir.filePath(QStringLiteral("two_numbers.dat"));
  writeText(bad, "1 2 3\n");
  const QString missing = dir.filePath(QStringLiteral("missing.dat"));
  const QString out = dir.filePath(QStringLiteral("pictures"));
  const Run r =
      runCli({QStringLiteral("plot"), QStringLiteral("--auto"), QStringLiteral("--out"), out,
              QStringLiteral("--size"), QStringLiteral("1000x800"), bad, kCepheid, missing});
  // The bad files fail the run, each with its own message; the good one is
  // still drawn, and only its picture is listed.
  QCOMPARE(r.status, 1);
  QVERIFY2(r.err.contains(bad + QStringLiteral(": No period can be found")), qPrintable(r.err));
  QVERIFY2(r.err.contains(missing + QStringLiteral(": ")), qPrintable(r.err));
  const QString png = out + QStringLiteral("/OGLE-LMC-CEP-1513.png");
  QCOMPARE(r.out, png + QLatin1Char('\n'));
  QVERIFY(!QFileInfo::exists(out + QStringLiteral("/two_numbers.png")));

  const QImage image(png);
  QCOMPARE(image.size(), QSize(1000, 800));
  // The phase diagram fills the lower left quarter: the points and the
  // model are drawn in it, not only axes.
  const RegionStats phase = regionStats(image, QRect(0, 450, 500, 350));
  QVERIFY2(phase.variance > 100, qPrintable(QString::number(phase.variance)));
  // 1,000-odd points drawn twice as 6 px circles, most of them crowded and
  // many under the model (about 2,400 fill pixels at this size).
  QVERIFY2(phase.pointFill > 1000, qPrintable(QString::number(phase.pointFill)));
  QVERIFY2(phase.modelBlue > 500, qPrintable(QString::number(phase.modelBlue)));
  // The light curve above has points but no model.
  const RegionStats lightCurve = regionStats(image, QRect(0, 60, 1000, 330));
  QVERIFY(lightCurve.pointFill > 2000);
  QCOMPARE(lightCurve.modelBlue, 0);
}

void CliPlotTest::theModelOfAFluxCurveIsDrawnInFluxes() {
  // A sinusoid of 20 % in flux around 1000 (the model works on magnitudes
  // of it; drawn as magnitudes it would lie near 0, far below the points).
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QByteArray csv = "time,flux,flux_err\n";
  for (int i = 0; i < 400; ++i) {
    const double t = 0.25 * i + 0.01 * (i % 7);
    const double f = 1000.0 * (1.0 + 0.2 * std::sin(2 * M_PI * t / 3.3));
    csv += QByteArray::number(t, 'f', 5) + ',' + QByteArray::number(f, 'f', 4) + ",5\n";
  }
  const QString star = dir.filePath(QStringLiteral("flux.csv"));
  writeText(star, csv);
  const Run r = runCli({QStringLiteral("plot"), QStringLiteral("--out"), dir.path(),
                        QStringLiteral("--size"), QStringLiteral("1000x800"), star});
  QVERIFY2(r.status == 0, qPrintable(r.err));
  const QImage image(dir.filePath(QStringLiteral("flux.png")));
  QCOMPARE(image.size(), QSize(1000, 800));
  const RegionStats phase = regionStats(image, QRect(0, 450, 500, 350));
  QVERIFY2(phase.modelBlue > 500, qPrintable(QString::number(phase.modelBlue)));
}

void CliPlotTest::pdfAndSvgFiles() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  for (const char* format : {"pdf", "svg"}) {
    const Run r =
        runCli({QStringLiteral("plot"), QStringLiteral("--format"), QString::fromLatin1(format),
                QStringLiteral("--out"), dir.path(), kCepheid});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QString path = dir.filePath(QStringLiteral("OGLE-LMC-CEP-1513.") + format);
    QCOMPARE(r.out, path + QLatin1Char('\n'));
    QVERIFY(QFileInfo(path).size() > 10000);
    if (QByteArray(format) == "pdf")
      QCOMPARE(head(path, 5), QByteArray("%PDF-"));
    else
      QVERIFY(head(path, 400).contains("<svg"));
  }
}

void CliPlotTest::picturesOfFilesWithTheSameNameDoNotOverwriteEachOther() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a")));
  QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("b")));
  for (const char* sub : {"a", "b"})
    QVERIFY(QFile::copy(kCepheid, dir.filePath(QString::fromLatin1(sub) + "/star.dat")));
  const QString out = dir.filePath(QStringLiteral("out"));
  const Run r = runCli({QStringLiteral("plot"), QStringLiteral("--out"), out,
                        dir.filePath(QStringLiteral("a/star.dat")),
                        dir.filePath(QStringLiteral("b/star.dat"))});
  QVERIFY2(r.status == 0, qPrintable(r.err));
  QCOMPARE(r.out, out + "/star.png\n" + out + "/star-2.png\n");
  QVERIFY(QFileInfo::exists(out + "/star.png"));
  QVERIFY(QFileInfo::exists(out + "/star-2.png"));
}

void CliPlotTest::picturesDoNotDependOnTheThreadCount() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QStringList stars = {kCepheid, QStringLiteral(FAZORN_EXAMPLES_DIR "/V1191_Cen.dat"),
                             QStringLiteral(FAZORN_EXAMPLES_DIR "/V1269_Cen.dat")};
  QList<QByteArray> first;
  for (const char* threads : {"1", "3"}) {
    const QString out = dir.filePath(QString::fromLatin1(threads));
    const Run r = runCli(QStringList{QStringLiteral("plot"), QStringLiteral("--threads"),
                                     QString::fromLatin1(threads), QStringLiteral("--out"), out} +
                         stars);
    QVERIFY2(r.status == 0, qPrintable(r.err));
    for (int i = 0; i < stars.size(); ++i) {
      QFile f(out + QLatin1Char('/') + QFileInfo(stars[i]).completeBaseName() +
              QStringLiteral(".png"));
      QVERIFY(f.open(QIODevice::ReadOnly));
      const QByteArray bytes = f.readAll();
      if (first.size() < stars.size())
        first.append(bytes);
      else
        QVERIFY2(bytes == first[i], qPrintable(stars[i]));
    }
  }
}

void CliPlotTest::analyseWritesThePictureBesideUnchangedFigures() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const Run plain = runCli({QStringLiteral("analyse"), QStringLiteral("--json"), kCepheid});
  const Run plotted = runCli({QStringLiteral("analyse"), QStringLiteral("--json"),
                              QStringLiteral("--plot"), dir.path(), kCepheid});
  QVERIFY2(plain.status == 0 && plotted.status == 0, qPrintable(plotted.err));
  const QString png = dir.filePath(QStringLiteral("OGLE-LMC-CEP-1513.png"));
  QVERIFY(QFileInfo::exists(png));
  // The same object with one key more at its end.
  QString expected = plain.out.trimmed();
  expected.chop(1);
  expected += QStringLiteral(", \"plot_file\": \"") + png + QStringLiteral("\"}");
  QCOMPARE(plotted.out.trimmed(), expected);
}

void CliPlotTest::refusesWhatItCannotDraw() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString out = dir.filePath(QStringLiteral("never"));
  for (const QStringList& args :
       {QStringList{QStringLiteral("plot"), QStringLiteral("--format"), QStringLiteral("bmp"),
                    QStringLiteral("--out"), out, kCepheid},
        QStringList{QStringLiteral("plot"), QStringLiteral("--size"), QStringLiteral("100x50"),
                    QStringLiteral("--out"), out, kCepheid},
        QStringList{QStringLiteral("analyse"), QStringLiteral("--format"), QStringLiteral("pdf"),
                    kCepheid}}) {
    const Run r = runCli(args);
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
  }
  QVERIFY(!QFileInfo::exists(out));
  // A picture directory that cannot be made (a file is in the way).
  writeText(dir.filePath(QStringLiteral("file")), "x");
  const Run r = runCli({QStringLiteral("plot"), QStringLiteral("--out"),
                        dir.filePath(QStringLiteral("file/sub")), kCepheid});
  QCOMPARE(r.status, 2);
  QVERIFY2(r.err.contains(QStringLiteral("cannot make the picture directory")), qPrintable(r.err));
}

// The drawing lives in fazorn-pictures.so beside the program: other commands
// map no Qt library, and a copy of the program without the module (or with
// a file of that name that is no module) refuses pictures with the reason
// and still analyses.
void CliPlotTest::startsWithoutQtAndLoadsThePicturesModuleOnlyToDraw() {
  // glibc's loader lists every library it looks for under LD_DEBUG=libs.
  const auto librariesOf = [](const QStringList& args) {
    return runCli(args, kCli, QStringLiteral("LD_DEBUG"), QStringLiteral("libs")).err;
  };
  const QString started = librariesOf({QStringLiteral("--version")});
  if (started.contains(QStringLiteral("find library="))) {
    QVERIFY2(!started.contains(QStringLiteral("libQt6")), qPrintable(started));
    QTemporaryDir pictures;
    QVERIFY(pictures.isValid());
    const QString drawing =
        librariesOf({QStringLiteral("plot"), QStringLiteral("--out"), pictures.path(), kCepheid});
    QVERIFY(drawing.contains(QStringLiteral("fazorn-pictures.so")));
    QVERIFY(drawing.contains(QStringLiteral("libQt6Widgets")));
  }

  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString copy = dir.filePath(QStringLiteral("fazorn-cli"));
  QVERIFY(QFile::copy(kCli, copy));
  const QStringList plot{QStringLiteral("plot"), QStringLiteral("--out"),
                         dir.filePath(QStringLiteral("pictures")), kCepheid};
  Run r = runCli(plot, copy);
  QCOMPARE(r.status, 2);
  QVERIFY(r.out.isEmpty());
  QVERIFY2(r.err.contains(QStringLiteral("fazorn-pictures.so, which is not installed")),
           qPrintable(r.err));
  QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("pictures"))));
  const Run analysed = runCli({QStringLiteral("analyse"), kCepheid}, copy);
  QVERIFY2(analysed.status == 0 && analysed.out.contains(QStringLiteral("Period")),
           qPrintable(analysed.err));

  writeText(dir.filePath(QStringLiteral("fazorn-pictures.so")), "not a library");
  r = runCli(plot, copy);
  QCOMPARE(r.status, 2);
  QVERIFY2(r.err.contains(QStringLiteral("cannot load the picture module")), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(CliPlotTest)
#include "cli_plot_test.moc"
