#include "ui/dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace fazorn::ui {

namespace {
QPushButton* addButtonRow(QDialog* dialog, QVBoxLayout* layout, const QString& caption) {
  auto* box = new QDialogButtonBox(dialog);
  QPushButton* button = box->addButton(caption, QDialogButtonBox::AcceptRole);
  button->setDefault(true);
  QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  layout->addWidget(box);
  return button;
}
}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("About"));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(QStringLiteral("Fazorn"), this);
  QFont big = name->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  name->setFont(big);
  layout->addWidget(name);
  auto* text = new QLabel(this);
  text->setTextFormat(Qt::PlainText);
  text->setText(tr("Version %1\n\n"
                   "Period analysis of light curves.\n\n"
                   "Multiharmonic analysis of variance (AoV):\n"
                   "  Schwarzenberg-Czerny, A. 1996, ApJ 460, L107.\n"
                   "Transit search (AoVtr), the AoV statistic with a box-shaped model:\n"
                   "  Schwarzenberg-Czerny, A. & Beaulieu, J.-Ph. 2006, MNRAS 365, 165.\n"
                   "Lomb-Scargle periodogram: Lomb, N. R. 1976, Ap&SS 39, 447;\n"
                   "  Scargle, J. D. 1982, ApJ 263, 835; in the Numerical Recipes\n"
                   "  formulation.\n"
                   "Classification: comparison of the normalised phased light curve\n"
                   "with template light curves.")
                    .arg(QStringLiteral(FAZORN_VERSION)));
  layout->addWidget(text);
  addButtonRow(this, layout, tr("OK"));
}

namespace {

const char* const kQuickStart = R"(
<h2>Quick start</h2>
<ol>
<li><b>Open</b> a light curve: <i>File &gt; Open Data</i> (O), a file dropped on the
window, <i>File &gt; Recent files</i>, or <tt>fazorn FILE</tt>. The file is plain text,
three numbers per observation: time (days), brightness (magnitude or flux), error.
The top chart shows the observations, the panel their count and time span.</li>
<li><b>Search</b>: set <i>Min period</i> and <i>Max period</i> (days), <i>Harmonics</i>
and <i>Resolution</i> (frequency step, 1/day), then press <i>AoV</i> (F1),
<i>AoVtr</i> or <i>Lomb-Scarge</i>. A long search shows its progress and can be
cancelled. Choose a resolution well below 1 / (time span): a peak is about
1 / time span wide in frequency.</li>
<li><b>Read the result</b>: the periodogram (bottom right) shows power against period
with the best period as its highest peak; <i>Results</i> gives the period, its error,
T0 (epoch of minimum or maximum light), the brightness at maximum, the amplitude and
the variability types that fit best. The phase diagram (bottom left) folds the
observations on the period, two cycles wide, with the fitted model as a blue line
(<i>View &gt; Model over phase diagram</i>; <i>Residuals</i> shows data minus model).
A clean, narrow phase diagram means a good period; a scattered one, or one showing two
different minima, suggests half or twice the period.</li>
<li><b>Refine by hand</b>: type a period and T0 under <i>Manual phasing</i> and press
<i>Phase</i>; <i>Halve period</i> (F5), <i>Double period</i> (F6) and <i>Shift T0</i>
(F7) change the solution in steps; <i>Get statistics</i> (F2) fits the model and the
type again at the period shown. Zoom a chart with the mouse wheel (over an axis: that
axis only) or by dragging a rectangle; Ctrl+0, a double click or the chart's context
menu restore it. A click on a point shows its coordinates.</li>
<li><b>Edit</b>: a click on a point in the top or phase chart marks it (red) or
unmarks it; <i>Data &gt; Mark...</i> marks outliers, a night, or the points between
the last two clicked times, moves marked points and removes them. Every command that
changes the observations or marks can be undone (Ctrl+Z) and redone (Ctrl+Shift+Z).</li>
<li><b>Save</b>: <i>Save Data</i> (S) writes the observations back over the file; the
first time it does so the original is kept beside it as <tt>NAME.orig</tt>, never
overwritten later. <i>Save Data As...</i> writes elsewhere. A <tt>*</tt> after the name
in the caption means unsaved changes; opening another file or leaving then asks first.
<i>Save Phased Data</i> (F), <i>Save Phased Binned</i> (E) and <i>Save Periodogram</i>
(P) write text files beside the data file.</li>
</ol>
<h2>Which search for which star</h2>
<ul>
<li><b>AoV</b>, multiharmonic analysis of variance: the general choice for pulsating
stars, eclipsing binaries and rotational variables, any smooth periodic shape.
<i>Harmonics</i> sets how many Fourier terms the trial model has: 1 to 2 for
near-sinusoidal curves, 3 to 6 for sharp RR Lyrae or Cepheid light curves and
eclipses. Weights the points by 1 / error&sup2;.</li>
<li><b>AoVtr</b>, the transit variant: short box-shaped dips (planetary transits,
detached eclipsing binaries with narrow eclipses) that occupy a small part of the
cycle. Here <i>Harmonics</i> sets the box width: 1 / (10 &times; harmonics) of the
cycle, so raise it for shorter transits.</li>
<li><b>Lomb-Scargle</b>: a single sinusoid, with the false-alarm probability of the
highest peak; fast and classical for near-sinusoidal variation and unevenly sampled
data. Its grid runs in steps of 1 / max period; <i>Resolution</i> and
<i>Harmonics</i> do not apply.</li>
</ul>
<p>The significance of a peak can be checked under <i>Data</i> with white noise or
random permutations of the observations (long runs).</p>
)";

}  // namespace

HelpForm::HelpForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Help"));
  auto* layout = new QVBoxLayout(this);
  text = new QTextBrowser(this);
  text->setOpenExternalLinks(false);
  text->setHtml(QString::fromUtf8(kQuickStart));
  layout->addWidget(text);
  resize(720, 640);
  addButtonRow(this, layout, tr("Close"));
}

void HelpForm::setShortcuts(const QList<QPair<QString, QString>>& rows) {
  QString table = QStringLiteral(
      "<h2>Shortcuts</h2><table cellspacing=\"0\" cellpadding=\"3\" border=\"1\">"
      "<tr><th align=\"left\">Command</th><th align=\"left\">Key</th></tr>");
  for (const auto& [command, key] : rows)
    table += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>")
                 .arg(command.toHtmlEscaped(), key.toHtmlEscaped());
  table += QStringLiteral("</table>");
  text->setHtml(QString::fromUtf8(kQuickStart) + table);
}

AddingForm::AddingForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Add a value"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  valueField = new QLineEdit(QStringLiteral("0"), this);
  form->addRow(QStringLiteral("Add a value::"), valueField);
  layout->addLayout(form);
  addButtonRow(this, layout, QStringLiteral("OK"));
}

}  // namespace fazorn::ui

#include "moc_dialogs.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
