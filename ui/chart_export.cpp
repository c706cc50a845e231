#include "ui/chart_export.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QImageWriter>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <memory>
#include <new>
#ifdef FAZORN_HAVE_QT_SVG
#include <QSvgGenerator>
#endif

#include "ui/chart_view.h"

namespace fazorn::ui {

namespace {

const QColor kHeading(0, 0, 128);  // the charts' navy titles
const QColor kWarning(160, 0, 0);  // warnings stand out from the heading
const QColor kAdopted(220, 0, 0);  // the adopted period on the periodogram
const QColor kCandidate(255, 140, 0);
constexpr int kMargin = 6;            // px around the text lines
constexpr int kMostWarningLines = 4;  // lines of warnings at most
// Pictures are laid out in pixels at the screen's 96 per inch; PDF and SVG
// pages get the same size in points (72 per inch).
constexpr double kPixelsPerInch = 96.0;

// The window's three charts, made once and refilled for every star, with
// the periodogram's marks that only the pictures carry.
class ChartSet final : public StarPictureWriter {
 public:
  // `app`: the application started for the writer (null when one ran
  // already); it goes after the charts.
  explicit ChartSet(std::unique_ptr<QApplication> app)
      : app_(std::move(app)),
        lightCurve_(createLightCurveChart()),
        phase_(createPhaseChart()),
        periodogram_(createPeriodogramChart()) {
    adopted_ = new QCPItemStraightLine(periodogram_.get());
    adopted_->setPen(QPen(kAdopted, 1, Qt::DashLine));
    adopted_->setSelectable(false);
    candidates_ = periodogram_->addGraph();
    candidates_->setLineStyle(QCPGraph::lsNone);
    candidates_->setScatterStyle(
        QCPScatterStyle(QCPScatterStyle::ssTriangleInverted, kCandidate, kCandidate, 8));
    candidates_->setSelectable(QCP::stNone);
  }

  std::function<std::string()> draw(const Workspace& ws, const StarPictureText& text,
                                    PictureFormat format, int width, int height,
                                    const std::string& path) override {
    fill(ws, text);
    const QString file = QString::fromStdString(path);
    try {
      if (format == PictureFormat::Png) {
        QImage image(width, height, QImage::Format_RGB32);
        if (image.isNull()) return [] { return std::string("not enough memory for the picture"); };
        {
          QCPPainter painter(&image);
          paint(painter, text, width, height);
        }
        return [image, file] {
          QSaveFile out(file);
          if (!out.open(QIODevice::WriteOnly)) return out.errorString().toStdString();
          QImageWriter writer(&out, "png");
          if (!writer.write(image)) return writer.errorString().toStdString();
          if (!out.commit()) return out.errorString().toStdString();
          return std::string();
        };
      }
      const std::string error = drawVector(format, text, width, height, file);
      return [error] { return error; };
    } catch (const std::bad_alloc&) {
      return [] { return std::string("not enough memory for the picture"); };
    }
  }

 private:
  void fill(const Workspace& ws, const StarPictureText& text) {
    // Magnitudes brighter up, as the window shows them after "Invert
    // ordinate"; fluxes upwards.
    const bool inverted = ws.lightCurve.valueKind == ValueKind::Magnitude;
    for (ChartView* c : {lightCurve_.get(), phase_.get()}) setOrdinateInverted(*c, inverted);
    fillLightCurve(*lightCurve_, ws);
    PhaseDiagramView view;
    view.model = true;  // the window's "Model over phase diagram"
    fillPhaseDiagram(*phase_, ws, view);
    fillPeriodogram(*periodogram_, ws);

    const bool adoptable =
        ws.periodogram.frequencyCount > 0 && std::isfinite(ws.period) && ws.period > 0;
    adopted_->setVisible(adoptable);
    if (adoptable) {
      adopted_->point1->setCoords(ws.period, 0.0);
      adopted_->point2->setCoords(ws.period, 1.0);
    }
    QVector<double> periods, powers;
    for (std::size_t i = 0; i < text.peakPeriods.size() && i < text.peakPowers.size(); ++i) {
      if (!(text.peakPeriods[i] > 0) || !std::isfinite(text.peakPowers[i])) continue;
      periods.push_back(text.peakPeriods[i]);
      powers.push_back(text.peakPowers[i]);
    }
    candidates_->setData(periods, powers);
  }

  // The text lines above the charts, warnings wrapped at the picture's
  // width; returns where the charts begin.
  int paintText(QPainter& painter, const StarPictureText& text, int width) const {
    QFont headingFont = lightCurve_->font();
    headingFont.setPointSize(11);
    headingFont.setBold(true);
    QFont warningFont = lightCurve_->font();
    warningFont.setPointSize(9);
    const int usable = std::max(1, width - 2 * kMargin);
    int y = kMargin;
    const QFontMetrics headingMetrics(headingFont, painter.device());
    painter.setFont(headingFont);
    painter.setPen(kHeading);
    painter.drawText(
        QRect(kMargin, y, usable, headingMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
        headingMetrics.elidedText(QString::fromStdString(text.heading), Qt::ElideRight, usable));
    y += headingMetrics.lineSpacing();

    const QFontMetrics metrics(warningFont, painter.device());
    painter.setFont(warningFont);
    painter.setPen(kWarning);
    auto draw = [&](const QString& line, int lines) {
      painter.drawText(QRect(kMargin, y, usable, lines * metrics.lineSpacing()),
                       Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, line);
      y += lines * metrics.lineSpacing();
    };
    auto more = [&](int count) {
      if (count > 0) draw(QStringLiteral("... and %1 more warnings").arg(count), 1);
    };
    // Each warning wrapped, in kMostWarningLines lines at most; the last
    // line says how many did not fit.
    int linesLeft = kMostWarningLines;
    const int n = static_cast<int>(text.warnings.size());
    for (int i = 0; i < n; ++i) {
      const bool last = i + 1 == n;
      const int room = linesLeft - (last ? 0 : 1);
      if (room <= 0) {
        more(n - i);
        break;
      }
      const QString line = QStringLiteral("Warning: ") + QString::fromStdString(text.warnings[i]);
      const QRect r = metrics.boundingRect(QRect(0, 0, usable, 1 << 20), Qt::TextWordWrap, line);
      const int wrapped =
          std::max(1, (r.height() + metrics.lineSpacing() - 1) / metrics.lineSpacing());
      draw(line, std::min(wrapped, room));
      linesLeft -= std::min(wrapped, room);
      if (wrapped > room && !last) {
        more(n - i - 1);
        break;
      }
    }
    return y + kMargin;
  }

  // The window's arrangement: the light curve across the top, the phase
  // diagram and the periodogram side by side below it.
  void paint(QCPPainter& painter, const StarPictureText& text, int width, int height) {
    painter.fillRect(QRect(0, 0, width, height), Qt::white);
    const int top = std::min(paintText(painter, text, width), height / 3);
    const int rest = height - top;
    const int upper = rest / 2;
    const int half = width / 2;
    chart(*lightCurve_, painter, QRect(0, top, width, upper));
    chart(*phase_, painter, QRect(0, top + upper, half, rest - upper));
    chart(*periodogram_, painter, QRect(half, top + upper, width - half, rest - upper));
  }

  static void chart(ChartView& c, QCPPainter& painter, const QRect& r) {
    painter.save();
    painter.translate(r.topLeft());
    c.toPainter(&painter, r.width(), r.height());
    painter.restore();
  }

  std::string drawVector(PictureFormat format, const StarPictureText& text, int width, int height,
                         const QString& file) {
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) return out.errorString().toStdString();
    QCPPainter painter;
    std::unique_ptr<QPaintDevice> device;
    if (format == PictureFormat::Pdf) {
      auto pdf = std::make_unique<QPdfWriter>(&out);
      pdf->setResolution(static_cast<int>(kPixelsPerInch));
      pdf->setPageLayout(
          QPageLayout(QPageSize(QSizeF(width, height) * (72.0 / kPixelsPerInch), QPageSize::Point),
                      QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
      pdf->setCreator(QStringLiteral("fazorn-cli"));
      pdf->setTitle(QString::fromStdString(text.heading));
      device = std::move(pdf);
    } else {
#ifdef FAZORN_HAVE_QT_SVG
      auto svg = std::make_unique<QSvgGenerator>();
      svg->setOutputDevice(&out);
      svg->setResolution(static_cast<int>(kPixelsPerInch));
      svg->setSize(QSize(width, height));
      svg->setViewBox(QRect(0, 0, width, height));
      svg->setTitle(QString::fromStdString(text.heading));
      device = std::move(svg);
#else
      return "this build cannot write SVG (it was built without the Qt SVG module)";
#endif
    }
    if (!painter.begin(device.get())) return "cannot draw into the file";
    painter.setMode(QCPPainter::pmVectorized);
    painter.setWindow(0, 0, width, height);
    paint(painter, text, width, height);
    painter.end();
    device.reset();  // flushes the document into the file
    if (!out.commit()) return out.errorString().toStdString();
    return {};
  }

  std::unique_ptr<QApplication> app_;  // first in, last out
  std::unique_ptr<ChartView> lightCurve_, phase_, periodogram_;
  QCPItemStraightLine* adopted_ = nullptr;  // owned by the periodogram
  QCPGraph* candidates_ = nullptr;
};

}  // namespace

bool pictureFormatAvailable(PictureFormat format) {
#ifdef FAZORN_HAVE_QT_SVG
  (void)format;
  return true;
#else
  return format != PictureFormat::Svg;
#endif
}

namespace {

// Qt's own notes about the environment (no XDG_RUNTIME_DIR in a batch job)
// say nothing about the pictures; everything else goes on to stderr.
QtMessageHandler previousMessageHandler = nullptr;

void quietEnvironmentNotes(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
  if (type != QtFatalMsg && message.startsWith(QLatin1String("QStandardPaths:"))) return;
  if (previousMessageHandler != nullptr) previousMessageHandler(type, context, message);
}

}  // namespace

std::unique_ptr<StarPictureWriter> makeStarPictureWriter() {
  std::unique_ptr<QApplication> app;
  if (QCoreApplication::instance() == nullptr) {
    previousMessageHandler = qInstallMessageHandler(quietEnvironmentNotes);
    // Always the offscreen platform: the pictures then come out the same
    // with or without a display (a screen's resolution would change the
    // font sizes), and no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt keeps references to both for the application's life.
    static int argc = 1;
    static char name[] = "fazorn-cli";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
    // Starting Qt takes the user's locale; numbers stay in the C locale.
    std::setlocale(LC_NUMERIC, "C");
  }
  return std::make_unique<ChartSet>(std::move(app));
}

}  // namespace fazorn::ui
