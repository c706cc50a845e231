#include "ui/peak_list_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "core/number_format.h"

namespace fazorn::ui {

namespace {
QTableWidgetItem* cell(const std::string& text) {
  auto* item = new QTableWidgetItem(QString::fromStdString(text));
  item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return item;
}
}  // namespace

PeakListDialog::PeakListDialog(const Workspace& ws, SearchEngine engine, int count, QWidget* parent,
                               std::vector<Candidate> candidates)
    : QDialog(parent), candidates_(std::move(candidates)) {
  setWindowTitle(QStringLiteral("Periodogram peaks"));
  const Periodogram& p = ws.periodogram;
  const auto n = static_cast<std::size_t>(std::max(0, ws.lightCurve.pointCount));
  const double span = timeSpanOf(std::span(ws.lightCurve.time.data(), n));
  const double width = peakWidth(engine, span, std::max(1, ws.settings.harmonics));
  peaks_ = independentPeaks(p.frequency, p.power, width, count);
  const bool lomb = engine == SearchEngine::LombScargle;
  const double independent = independentFrequencies(p.frequency, span);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(
      new QLabel(QStringLiteral("The highest peaks (peaks closer than a peak width count once).\n"
                                "Double-click a row or choose \"Adopt\" to take its period."),
                 this));
  table_ = new QTableWidget(static_cast<int>(peaks_.size()), lomb ? 4 : 3, this);
  QStringList headers{QStringLiteral("Period [d]"), QStringLiteral("Frequency [1/d]"),
                      QStringLiteral("Power")};
  if (lomb) headers << QStringLiteral("FAP");
  table_->setHorizontalHeaderLabels(headers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  const char sep = ws.decimalSeparator;
  for (std::size_t i = 0; i < peaks_.size(); ++i) {
    const Peak& k = peaks_[i];
    const int row = static_cast<int>(i);
    table_->setItem(row, 0, cell(formatFixed(1.0 / k.frequency, 6, 10, sep)));
    table_->setItem(row, 1, cell(formatFixed(k.frequency, 6, 10, sep)));
    table_->setItem(row, 2, cell(formatFixed(k.power, 6, 9, sep)));
    if (lomb) {
      const double fap = lombScargleFalseAlarm(k.power, independent);
      table_->setItem(row, 3, cell(formatPrintf("%.3g", fap)));
    }
  }
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  if (!peaks_.empty()) table_->selectRow(0);
  layout->addWidget(table_);
  if (!candidates_.empty()) {
    // The criterion is a Bayesian information criterion: smaller is better,
    // and a difference below 6 is no strong evidence either way.
    layout->addWidget(new QLabel(
        QStringLiteral("Candidates of the auto search, the adopted one first (smaller criterion "
                       "is better;\na difference below 6 is no strong evidence):"),
        this));
    candidateTable_ = new QTableWidget(static_cast<int>(candidates_.size()), 4, this);
    candidateTable_->setHorizontalHeaderLabels(
        {QStringLiteral("Period [d]"), QStringLiteral("Criterion"), QStringLiteral("Harmonics"),
         QStringLiteral("Why")});
    candidateTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    candidateTable_->setSelectionMode(QAbstractItemView::SingleSelection);
    candidateTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
      const Candidate& c = candidates_[i];
      const int row = static_cast<int>(i);
      candidateTable_->setItem(row, 0, cell(formatFixed(c.period, 6, 10, sep)));
      candidateTable_->setItem(row, 1, cell(formatFixed(c.criterion, 1, 9, sep)));
      candidateTable_->setItem(row, 2, cell(std::to_string(c.harmonics)));
      auto* why = new QTableWidgetItem(QString::fromStdString(c.why));
      candidateTable_->setItem(row, 3, why);
    }
    candidateTable_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(candidateTable_);
    // The table last clicked holds the choice.
    connect(candidateTable_, &QTableWidget::cellClicked, this,
            [this](int, int) { candidateChosen_ = true; });
    connect(table_, &QTableWidget::cellClicked, this,
            [this](int, int) { candidateChosen_ = false; });
    connect(candidateTable_, &QTableWidget::cellDoubleClicked, this, [this](int, int) {
      candidateChosen_ = true;
      accept();
    });
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
  QPushButton* adopt = buttons->addButton(QStringLiteral("Adopt"), QDialogButtonBox::AcceptRole);
  adopt->setEnabled(!peaks_.empty());
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int, int) {
    candidateChosen_ = false;
    accept();
  });
  resize(460, candidates_.empty() ? 340 : 560);
}

std::int32_t PeakListDialog::chosenIndex() const {
  if (candidateChosen_) return -1;
  const int row = table_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= peaks_.size()) return -1;
  return peaks_[static_cast<std::size_t>(row)].index;
}

}  // namespace fazorn::ui

namespace fazorn::ui {

double PeakListDialog::chosenCandidatePeriod() const {
  if (!candidateChosen_ || candidateTable_ == nullptr) return 0.0;
  const int row = candidateTable_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= candidates_.size()) return 0.0;
  return candidates_[static_cast<std::size_t>(row)].period;
}

}  // namespace fazorn::ui

#include "moc_peak_list_dialog.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
