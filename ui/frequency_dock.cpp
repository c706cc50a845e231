#include "ui/frequency_dock.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/text_file.h"
#include "model/multi_sine_fit.h"
#include "search/amplitude_spectrum.h"
#include "ui/chart_view.h"

namespace fazorn::ui {

namespace {

enum Column {
  kOn,
  kName,
  kFrequency,
  kFrequencyError,
  kAmplitude,
  kAmplitudeError,
  kPhase,
  kPhaseError,
  kSnr,
  kRelation,
  kColumns
};

// The observations a job works on, copied from the Workspace when it starts.
struct Observations {
  std::vector<double> time, value, error;
};

Observations observationsOf(const Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(std::max<std::int32_t>(
      0, std::min<std::int32_t>(lc.pointCount, static_cast<std::int32_t>(lc.time.size()))));
  Observations o;
  o.time.assign(lc.time.begin(), lc.time.begin() + static_cast<std::ptrdiff_t>(n));
  o.value.assign(lc.value.begin(), lc.value.begin() + static_cast<std::ptrdiff_t>(n));
  o.error.assign(lc.error.begin(), lc.error.begin() + static_cast<std::ptrdiff_t>(n));
  return o;
}

Outcome refusal(const std::string& text) {
  Outcome out;
  out.ok = false;
  out.failure = Failure::Refused;
  out.message = warningBox(text);
  return out;
}

// A number with the user's decimal separator or a point.
std::optional<double> numberOf(const QString& text) {
  bool ok = false;
  double x = QLocale().toDouble(text.trimmed(), &ok);
  if (!ok) x = QLocale::c().toDouble(text.trimmed(), &ok);
  return ok && std::isfinite(x) ? std::optional<double>(x) : std::nullopt;
}

QString numberText(double x, int digits) {
  if (!std::isfinite(x)) return QStringLiteral("-");
  return QString::number(x, 'g', digits);
}

QTableWidgetItem* readOnlyItem(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return item;
}

}  // namespace

FrequencyDock::FrequencyDock(const Workspace& ws, Runner runner, QWidget* parent)
    : QDockWidget(QStringLiteral("Frequency analysis"), parent),
      ws_(ws),
      runner_(std::move(runner)) {
  setObjectName(QStringLiteral("frequencyDock"));
  chooseFile_ = [](QWidget* p, bool save) {
    const QString filter = QStringLiteral("Frequency tables (*.txt *.dat);;All files (*)");
    return save ? QFileDialog::getSaveFileName(p, QStringLiteral("Save frequency table"), QString(),
                                               filter)
                : QFileDialog::getOpenFileName(p, QStringLiteral("Load frequency table"), QString(),
                                               filter);
  };

  auto* body = new QWidget(this);
  auto* v = new QVBoxLayout(body);
  v->setContentsMargins(4, 4, 4, 4);

  auto* settings = new QHBoxLayout;
  auto field = [&](const QString& label, const QString& text, const QString& tip) {
    settings->addWidget(new QLabel(label, body));
    auto* e = new QLineEdit(text, body);
    e->setToolTip(tip);
    e->setMaximumWidth(80);
    settings->addWidget(e);
    return e;
  };
  w_.snrLimit = field(QStringLiteral("S/N limit:"), QStringLiteral("4"),
                      QStringLiteral("The cascade stops at the first residual peak below this "
                                     "amplitude signal-to-noise ratio"));
  w_.noiseWindow = field(QStringLiteral("Noise window:"), QStringLiteral("2"),
                         QStringLiteral("Full width (c/d) of the window around a peak in which "
                                        "the mean residual amplitude is the noise"));
  w_.maxCount = field(QStringLiteral("Max count:"), QStringLiteral("50"),
                      QStringLiteral("The most frequencies in the table"));
  w_.maxFrequency = field(QStringLiteral("Max frequency:"), QString(),
                          QStringLiteral("Highest frequency searched (c/d); empty: the Nyquist "
                                         "frequency of the median sampling interval, or of a "
                                         "shorter one that a quarter of the intervals repeat"));
  settings->addStretch(1);
  v->addLayout(settings);

  auto* buttons = new QHBoxLayout;
  auto button = [&](const QString& caption, void (FrequencyDock::*slot)()) {
    auto* b = new QPushButton(caption, body);
    connect(b, &QPushButton::clicked, this, slot);
    buttons->addWidget(b);
    return b;
  };
  w_.addFrequency = new QLineEdit(body);
  w_.addFrequency->setPlaceholderText(QStringLiteral("highest peak"));
  w_.addFrequency->setToolTip(
      QStringLiteral("Frequency (c/d) that Add adds; empty: the highest residual peak"));
  w_.addFrequency->setMaximumWidth(110);
  buttons->addWidget(w_.addFrequency);
  w_.add = button(QStringLiteral("Add"), &FrequencyDock::onAdd);
  w_.remove = button(QStringLiteral("Remove"), &FrequencyDock::onRemove);
  w_.improveAll = button(QStringLiteral("Improve all"), &FrequencyDock::onImproveAll);
  w_.prewhiten = button(QStringLiteral("Prewhiten"), &FrequencyDock::onPrewhiten);
  w_.save = button(QStringLiteral("Save..."), &FrequencyDock::onSave);
  w_.load = button(QStringLiteral("Load..."), &FrequencyDock::onLoad);
  buttons->addStretch(1);
  v->addLayout(buttons);

  auto* split = new QSplitter(Qt::Horizontal, body);
  w_.table = new QTableWidget(0, kColumns, split);
  w_.table->setHorizontalHeaderLabels(
      {QStringLiteral("On"), QStringLiteral("Name"), QStringLiteral("Frequency [c/d]"),
       QStringLiteral("\u03c3 f"), QStringLiteral("Amplitude"), QStringLiteral("\u03c3 A"),
       QStringLiteral("Phase [cycles]"), QStringLiteral("\u03c3 \u03c6"), QStringLiteral("S/N"),
       QStringLiteral("Relation")});
  w_.table->horizontalHeaderItem(kFrequencyError)
      ->setToolTip(QStringLiteral("Least-squares 1-sigma error; the tooltip of each cell has the "
                                  "Montgomery & O'Donoghue (1999) value"));
  w_.table->horizontalHeaderItem(kSnr)->setToolTip(
      QStringLiteral("Amplitude over the mean residual amplitude around the frequency; the "
                     "tooltip of each cell has its false-alarm probability as the highest peak "
                     "of white noise over the independent frequencies searched"));
  w_.table->horizontalHeaderItem(kRelation)->setToolTip(
      QStringLiteral("Harmonic or combination within 1/T (=2f1: held at it in fits); type "
                     "=2f1 or =f1+f2 to hold the frequency at a relation, - to free it"));
  w_.table->verticalHeader()->setVisible(false);
  w_.table->setSelectionBehavior(QAbstractItemView::SelectRows);
  connect(w_.table, &QTableWidget::cellChanged, this, &FrequencyDock::onCellChanged);

  auto* right = new QWidget(split);
  auto* rv = new QVBoxLayout(right);
  rv->setContentsMargins(0, 0, 0, 0);
  w_.spectrum = new QComboBox(right);
  connect(w_.spectrum, &QComboBox::activated, this, [this](int index) { showSpectrum(index); });
  rv->addWidget(w_.spectrum);
  w_.chart = new ChartView(QStringLiteral("Amplitude spectrum"), QColor(0, 0, 160), true, right);
  w_.chart->line = w_.chart->addGraph();
  w_.chart->line->setPen(QPen(QColor(0, 0, 128)));
  w_.chart->line->setAdaptiveSampling(true);
  // The table's terms over the data's spectrum.
  QCPGraph* terms = w_.chart->addGraph();
  terms->setLineStyle(QCPGraph::lsNone);
  terms->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, QColor(200, 0, 0), 6));
  w_.chart->xAxis->setLabel(QStringLiteral("Frequency [c/d]"));
  w_.chart->yAxis->setLabel(QStringLiteral("Amplitude"));
  w_.chart->setEmptyRange(QCPRange(0, 1), QCPRange(0, 1));
  w_.chart->setPreferredSize(QSize(420, 220));
  w_.chart->setMinimumSize(QSize(200, 120));
  rv->addWidget(w_.chart, 1);
  // The table's ten columns want more room than the chart.
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  v->addWidget(split, 1);

  w_.status = new QLabel(body);
  w_.status->setWordWrap(true);
  v->addWidget(w_.status);
  setWidget(body);
  refreshSpectrumChoices();
}

void FrequencyDock::setStatus(const QString& text) { w_.status->setText(text); }

std::optional<PrewhiteningOptions> FrequencyDock::readOptions() {
  PrewhiteningOptions o;
  const auto snr = numberOf(w_.snrLimit->text());
  const auto window = numberOf(w_.noiseWindow->text());
  const auto count = numberOf(w_.maxCount->text());
  std::optional<double> maxF = 0.0;
  if (!w_.maxFrequency->text().trimmed().isEmpty()) maxF = numberOf(w_.maxFrequency->text());
  if (!snr || *snr < 0)
    return setStatus(QStringLiteral("The S/N limit is not a number >= 0.")), std::nullopt;
  if (!window || !(*window > 0))
    return setStatus(QStringLiteral("The noise window is not a width > 0 (c/d).")), std::nullopt;
  if (!count || *count < 0 || *count > 10000 || *count != std::floor(*count))
    return setStatus(QStringLiteral("The maximum count is not a whole number 0..10000.")),
           std::nullopt;
  if (!maxF || *maxF < 0)
    return setStatus(QStringLiteral("The maximum frequency is not a number >= 0 (c/d).")),
           std::nullopt;
  o.snrLimit = *snr;
  o.noiseWindow = *window;
  o.maxCount = static_cast<int>(*count);
  o.maxFrequency = *maxF;
  o.keepResidualSpectra = true;
  return o;
}

void FrequencyDock::setTable(FrequencyTable table) {
  table_ = std::move(table);
  refreshTable();
}

void FrequencyDock::refreshTable() {
  filling_ = true;
  QTableWidget* t = w_.table;
  t->setRowCount(static_cast<int>(table_.terms.size()));
  for (int r = 0; r < t->rowCount(); ++r) {
    const FrequencyTerm& f = table_.terms[static_cast<std::size_t>(r)];
    auto* on = new QTableWidgetItem;
    on->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    on->setCheckState(f.enabled ? Qt::Checked : Qt::Unchecked);
    t->setItem(r, kOn, on);
    t->setItem(r, kName, readOnlyItem(QStringLiteral("f%1").arg(r + 1)));
    auto* freq = new QTableWidgetItem(QString::number(f.frequency, 'f', 8));
    freq->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (f.fixedToCombination) freq->setFlags(freq->flags() & ~Qt::ItemIsEditable);
    t->setItem(r, kFrequency, freq);
    auto error = [&](int column, double ls, double mo) {
      QTableWidgetItem* item = readOnlyItem(numberText(ls, 3));
      item->setToolTip(QStringLiteral("Montgomery & O'Donoghue (1999): %1").arg(numberText(mo, 3)));
      t->setItem(r, column, item);
    };
    error(kFrequencyError, f.frequencyError, f.frequencyErrorMO);
    t->setItem(r, kAmplitude, readOnlyItem(numberText(f.amplitude, 6)));
    error(kAmplitudeError, f.amplitudeError, f.amplitudeErrorMO);
    t->setItem(r, kPhase, readOnlyItem(QString::number(f.phase, 'f', 5)));
    error(kPhaseError, f.phaseError, f.phaseErrorMO);
    QTableWidgetItem* snr = readOnlyItem(QString::number(f.snr, 'f', 1));
    const double fap = termFalseAlarmProbability(table_, static_cast<std::size_t>(r));
    if (std::isfinite(fap))
      snr->setToolTip(
          f.fixedToCombination
              ? QStringLiteral("False-alarm probability %1 at its one predicted frequency")
                    .arg(numberText(fap, 2))
              : QStringLiteral("False-alarm probability %1 over %2 independent frequencies")
                    .arg(numberText(fap, 2))
                    .arg(table_.independentFrequencies, 0, 'f', 0));
    t->setItem(r, kSnr, snr);
    QString relation =
        f.combination.valid() ? QString::fromStdString(combinationText(f.combination)) : QString();
    if (f.fixedToCombination) relation = QLatin1Char('=') + relation;
    t->setItem(r, kRelation, new QTableWidgetItem(relation));
  }
  t->resizeColumnsToContents();
  filling_ = false;
  // The terms' marks over the data's spectrum follow the table.
  if (!choices_.empty()) showSpectrum(w_.spectrum->currentIndex());
}

void FrequencyDock::onCellChanged(int row, int column) {
  if (filling_ || row < 0 || row >= static_cast<int>(table_.terms.size())) return;
  FrequencyTerm& f = table_.terms[static_cast<std::size_t>(row)];
  QTableWidgetItem* item = w_.table->item(row, column);
  if (item == nullptr) return;
  if (column == kOn) {
    f.enabled = item->checkState() == Qt::Checked;
    setStatus(QStringLiteral("f%1 %2; \"Improve all\" fits the table again.")
                  .arg(row + 1)
                  .arg(f.enabled ? QStringLiteral("switched on") : QStringLiteral("switched off")));
  } else if (column == kFrequency) {
    const auto x = numberOf(item->text());
    if (x && *x > 0) {
      f.frequency = *x;
      f.frequencyError = f.amplitudeError = f.phaseError = std::nan("");
      setStatus(QStringLiteral("f%1 set to %2 c/d; \"Improve all\" fits it.").arg(row + 1).arg(*x));
    } else {
      setStatus(QStringLiteral("\"%1\" is not a frequency > 0.").arg(item->text()));
    }
  } else if (column == kRelation) {
    std::string text = item->text().trimmed().toStdString();
    if (!text.empty() && text[0] == '=') text.erase(0, 1);
    if (text.empty() || text == "-") {
      f.fixedToCombination = false;
      f.combination = {};
      setStatus(QStringLiteral("f%1 is free.").arg(row + 1));
    } else if (const auto c = parseCombination(text);
               c && c->i < row && c->j < row && (c->j < 0 || c->m != 0)) {
      f.combination = *c;
      f.fixedToCombination = true;
      // The frequency follows its parents at once.
      const auto& ti = table_.terms[static_cast<std::size_t>(c->i)];
      f.frequency = c->n * ti.frequency +
                    (c->j >= 0 ? c->m * table_.terms[static_cast<std::size_t>(c->j)].frequency : 0);
      setStatus(QStringLiteral("f%1 held at %2; \"Improve all\" keeps the relation.")
                    .arg(row + 1)
                    .arg(QString::fromStdString(combinationText(*c))));
    } else {
      setStatus(QStringLiteral("\"%1\" is no relation to terms above f%2 (2f1, f1+f2, 2f1-f3).")
                    .arg(item->text())
                    .arg(row + 1));
    }
  }
  refreshTable();
}

void FrequencyDock::refreshSpectrumChoices() {
  choices_.clear();
  w_.spectrum->clear();
  if (!spectra_.data.empty()) {
    choices_.push_back({SpectrumKind::Data, 0});
    w_.spectrum->addItem(QStringLiteral("Data"));
    choices_.push_back({SpectrumKind::Window, 0});
    w_.spectrum->addItem(QStringLiteral("Spectral window"));
  }
  for (std::size_t k = 0; k < spectra_.steps.size(); ++k) {
    choices_.push_back({SpectrumKind::Step, static_cast<int>(k)});
    w_.spectrum->addItem(QStringLiteral("Residuals after step %1 (%2 c/d)")
                             .arg(k + 1)
                             .arg(spectra_.stepFrequency[k], 0, 'f', 5));
  }
  if (!spectra_.residuals.empty()) {
    choices_.push_back({SpectrumKind::Residuals, 0});
    w_.spectrum->addItem(QStringLiteral("Residuals of the table"));
  }
  w_.spectrum->setEnabled(!choices_.empty());
}

int FrequencyDock::spectrumCount() const { return static_cast<int>(choices_.size()); }

bool FrequencyDock::showSpectrum(int index) {
  ChartView& chart = *w_.chart;
  QCPGraph* terms = chart.graph(1);
  if (index < 0 || index >= static_cast<int>(choices_.size())) {
    chart.line->data()->clear();
    terms->data()->clear();
    chart.showEmptyRange();
    chart.replot(QCustomPlot::rpQueuedReplot);
    return false;
  }
  if (w_.spectrum->currentIndex() != index) w_.spectrum->setCurrentIndex(index);
  const SpectrumChoice c = choices_[static_cast<std::size_t>(index)];
  const std::vector<double>* y = &spectra_.data;
  if (c.kind == SpectrumKind::Window) y = &spectra_.window;
  if (c.kind == SpectrumKind::Step) y = &spectra_.steps[static_cast<std::size_t>(c.step)];
  if (c.kind == SpectrumKind::Residuals) y = &spectra_.residuals;
  const std::size_t n = std::min(y->size(), spectra_.frequency.size());
  QVector<double> key(static_cast<qsizetype>(n)), value(static_cast<qsizetype>(n));
  double top = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    key[static_cast<qsizetype>(k)] = spectra_.frequency[k];
    value[static_cast<qsizetype>(k)] = (*y)[k];
    top = std::max(top, (*y)[k]);
  }
  chart.line->setData(key, value, true);
  QVector<double> tf, ta;
  if (c.kind == SpectrumKind::Data)
    for (const auto& f : table_.terms)
      if (f.enabled) tf.push_back(f.frequency), ta.push_back(f.amplitude);
  terms->setData(tf, ta);
  chart.yAxis->setLabel(c.kind == SpectrumKind::Window ? QStringLiteral("Window amplitude")
                                                       : QStringLiteral("Amplitude"));
  const double right = n > 0 ? spectra_.frequency[n - 1] : 1.0;
  chart.setHomeRange(QCPRange(0, right > 0 ? right : 1.0), QCPRange(0, top > 0 ? top * 1.05 : 1.0));
  chart.replot(QCustomPlot::rpQueuedReplot);
  return n > 0;
}

void FrequencyDock::onPrewhiten() {
  const auto options = readOptions();
  if (!options) return;
  auto result = std::make_shared<PrewhiteningResult>();
  const FrequencyTable start = table_;
  const bool ok = runner_([&, result](Workspace& ws, const RunControl& rc) {
    const Observations o = observationsOf(ws);
    *result = prewhiten(o.time, o.value, o.error, *options, start, rc);
    if (!result->ok) return refusal("Prewhitening: " + result->message);
    return Outcome{};
  });
  if (!ok) return;
  PrewhiteningResult& r = *result;
  spectra_.frequency = std::move(r.frequency);
  spectra_.data = std::move(r.originalAmplitude);
  spectra_.window = std::move(r.window);
  spectra_.residuals = std::move(r.residualAmplitude);
  spectra_.steps.clear();
  spectra_.stepFrequency.clear();
  for (auto& s : r.steps) {
    spectra_.steps.push_back(std::move(s.residualAmplitude));
    spectra_.stepFrequency.push_back(s.frequency);
  }
  table_ = std::move(r.table);
  refreshSpectrumChoices();
  refreshTable();
  showSpectrum(spectrumCount() - 1);
  setStatus(QStringLiteral("%1 frequencies, residual rms %2. Stopped: %3")
                .arg(table_.terms.size())
                .arg(table_.residualRms, 0, 'g', 5)
                .arg(QString::fromStdString(r.stopReason)));
}

void FrequencyDock::onImproveAll() {
  const auto options = readOptions();
  if (!options) return;
  if (table_.terms.empty())
    return setStatus(QStringLiteral("The table is empty: Add or Prewhiten first."));
  auto fitted = std::make_shared<FrequencyTable>(table_);
  auto spectra = std::make_shared<Spectra>();
  const bool ok = runner_([&, fitted, spectra](Workspace& ws, const RunControl&) {
    const Observations o = observationsOf(ws);
    const MultiSineFitResult fit =
        improveFrequencyTable(o.time, o.value, o.error, *fitted, *options);
    if (!fit.converged) return refusal("Improve all: " + fit.message);
    const AmplitudeSpectrumGrid grid =
        amplitudeSpectrumGrid(o.time, options->maxFrequency, options->oversampling);
    const AmplitudeSpectrum observed = computeAmplitudeSpectrum(o.time, o.value, grid, true);
    spectra->frequency = observed.frequency;
    spectra->data = observed.amplitude;
    spectra->window = observed.window;
    spectra->residuals = computeAmplitudeSpectrum(o.time, fit.residual, grid).amplitude;
    return Outcome{};
  });
  if (!ok) return;
  adopt(std::move(*fitted), std::move(*spectra));
  setStatus(QStringLiteral("Fitted %1 frequencies together, residual rms %2.")
                .arg(table_.terms.size())
                .arg(table_.residualRms, 0, 'g', 5));
}

void FrequencyDock::onAdd() {
  const auto options = readOptions();
  if (!options) return;
  std::optional<double> given;
  if (!w_.addFrequency->text().trimmed().isEmpty()) {
    given = numberOf(w_.addFrequency->text());
    if (!given || !(*given > 0))
      return setStatus(
          QStringLiteral("\"%1\" is not a frequency > 0.").arg(w_.addFrequency->text()));
  }
  auto extended = std::make_shared<FrequencyTable>(table_);
  auto spectra = std::make_shared<Spectra>();
  const bool ok = runner_([&, extended, spectra](Workspace& ws, const RunControl&) {
    const Observations o = observationsOf(ws);
    if (o.time.size() < 5) return refusal("Add: too few points");
    const AmplitudeSpectrumGrid grid =
        amplitudeSpectrumGrid(o.time, options->maxFrequency, options->oversampling);
    if (grid.count < 3) return refusal("Add: the frequency grid is empty");
    // The residuals of the table as it stands (its enabled terms).
    std::vector<double> residual = o.value;
    if (extended->terms.empty()) {
      double mean = 0.0;
      for (double v : o.value) mean += v;
      extended->zeroPoint = mean / static_cast<double>(o.value.size());
    }
    const std::vector<double> model = evaluateFrequencyTable(*extended, o.time);
    for (std::size_t j = 0; j < residual.size(); ++j) residual[j] -= model[j];
    double f = given.value_or(0.0);
    if (!given) {
      // The highest residual peak above the resolution 1/T.
      const auto [lo, hi] = std::minmax_element(o.time.begin(), o.time.end());
      const std::vector<double> a = computeAmplitudeSpectrum(o.time, residual, grid).amplitude;
      auto first = static_cast<std::size_t>(std::ceil(1.0 / (*hi - *lo) / grid.step));
      if (first >= a.size()) return refusal("Add: no frequency above the resolution 1/T");
      std::size_t best = first;
      for (std::size_t k = first; k < a.size(); ++k)
        if (a[k] > a[best]) best = k;
      f = static_cast<double>(best) * grid.step;
    }
    double tMean = 0.0;
    for (double t : o.time) tMean += t;
    tMean /= static_cast<double>(o.time.size());
    if (extended->terms.empty()) extended->epoch = tMean;
    const SinusoidAt s = amplitudeAt(o.time, residual, f);
    FrequencyTerm term;
    term.frequency = f;
    term.amplitude = s.amplitude;
    // a cos + b sin about the mean time == A sin(2 pi (f (t - mean) + phi)).
    term.phase = std::atan2(s.cosine, s.sine) / (2.0 * M_PI) - f * (tMean - extended->epoch);
    term.phase -= std::floor(term.phase);
    term.frequencyError = term.amplitudeError = term.phaseError = std::nan("");
    extended->terms.push_back(term);
    const AmplitudeSpectrum observed = computeAmplitudeSpectrum(o.time, o.value, grid, true);
    const std::vector<double> withNew = evaluateFrequencyTable(*extended, o.time);
    for (std::size_t j = 0; j < residual.size(); ++j) residual[j] = o.value[j] - withNew[j];
    spectra->frequency = observed.frequency;
    spectra->data = observed.amplitude;
    spectra->window = observed.window;
    spectra->residuals = computeAmplitudeSpectrum(o.time, residual, grid).amplitude;
    return Outcome{};
  });
  if (!ok) return;
  adopt(std::move(*extended), std::move(*spectra));
  const FrequencyTerm& added = table_.terms.back();
  setStatus(QStringLiteral("Added f%1 at %2 c/d (amplitude %3); \"Improve all\" fits it.")
                .arg(table_.terms.size())
                .arg(added.frequency, 0, 'f', 6)
                .arg(added.amplitude, 0, 'g', 4));
}

void FrequencyDock::onRemove() {
  std::vector<int> rows;
  for (const QModelIndex& i : w_.table->selectionModel()->selectedRows()) rows.push_back(i.row());
  if (rows.empty() && w_.table->currentRow() >= 0) rows.push_back(w_.table->currentRow());
  if (rows.empty()) return setStatus(QStringLiteral("Select the frequencies to remove."));
  // From the last, so that the earlier rows keep their numbers.
  std::sort(rows.rbegin(), rows.rend());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  for (int r : rows)
    if (r >= 0 && r < static_cast<int>(table_.terms.size()))
      table_.remove(static_cast<std::size_t>(r));
  refreshTable();
  setStatus(
      QStringLiteral("Removed %1 frequencies; \"Improve all\" fits the rest.").arg(rows.size()));
}

void FrequencyDock::onSave() {
  const QString path = chooseFile_(this, true);
  if (path.isEmpty()) return;
  // Whole or not at all: a failed save leaves an earlier table as it was.
  const std::string failure = writeWholeFile(
      path.toStdString(), [&](TextFileWriter& w) { w.write(formatFrequencyTable(table_)); },
      Links::Follow);
  if (!failure.empty()) return setStatus(QString::fromStdString(failure));
  setStatus(QStringLiteral("Saved %1 frequencies to %2.").arg(table_.terms.size()).arg(path));
}

void FrequencyDock::onLoad() {
  const QString path = chooseFile_(this, false);
  if (path.isEmpty()) return;
  std::ifstream in(path.toStdString(), std::ios::binary);
  if (!in) return setStatus(QStringLiteral("Cannot read %1.").arg(path));
  std::ostringstream text;
  text << in.rdbuf();
  std::string error;
  auto table = parseFrequencyTable(text.str(), &error);
  if (!table)
    return setStatus(
        QStringLiteral("%1 is no frequency table: %2").arg(path, QString::fromStdString(error)));
  setTable(std::move(*table));
  setStatus(QStringLiteral("Loaded %1 frequencies from %2; \"Improve all\" fits them to these "
                           "observations.")
                .arg(table_.terms.size())
                .arg(path));
}

}  // namespace fazorn::ui

namespace fazorn::ui {

void FrequencyDock::adopt(FrequencyTable table, Spectra spectra) {
  table_ = std::move(table);
  if (spectra.frequency.size() == spectra_.frequency.size()) {
    spectra.steps = std::move(spectra_.steps);
    spectra.stepFrequency = std::move(spectra_.stepFrequency);
  }
  spectra_ = std::move(spectra);
  refreshSpectrumChoices();
  refreshTable();
  showSpectrum(spectrumCount() - 1);
}

}  // namespace fazorn::ui

#include "moc_frequency_dock.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
