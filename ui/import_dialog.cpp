#include "ui/import_dialog.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSettings>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace fazorn::ui {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString settingsGroup(const std::string& layoutKey) {
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(layoutKey), QCryptographicHash::Sha1);
  return QStringLiteral("import/") + QString::fromLatin1(hash.toHex());
}

void fillColumns(QComboBox* box, const std::vector<std::string>& names, int chosen, bool withNone) {
  if (withNone) box->addItem(QStringLiteral("(none: every error is 1)"));
  for (const auto& n : names) box->addItem(qs(n));
  box->setCurrentIndex(chosen < 0 ? 0 : chosen + (withNone ? 1 : 0));
}

const char* kindKey(ValueKind kind) { return kind == ValueKind::Flux ? "flux" : "mag"; }

}  // namespace

ValueKind guessedValueKind(const TableImport& preview, int column) {
  if (column < 0 || static_cast<std::size_t>(column) >= preview.columnNames.size())
    return ValueKind::Magnitude;
  const bool ownColumn = column == preview.valueColumn;
  const std::string& name = preview.columnNames[static_cast<std::size_t>(column)];
  const std::string unit = ownColumn ? preview.valueUnit : std::string();
  // The load's own rule (core/table_import.h): on the rows read for the
  // chosen column, on the preview's cells for another.
  if (ownColumn && !preview.failed) return guessValueKind(name, unit, preview.value).kind;
  std::vector<double> values;
  for (const auto& row : preview.previewRows) {
    if (static_cast<std::size_t>(column) >= row.size()) continue;
    const std::string& cell = row[static_cast<std::size_t>(column)];
    double v = 0.0;
    const auto [end, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), v);
    if (ec == std::errc() && end == cell.data() + cell.size()) values.push_back(v);
  }
  return guessValueKind(name, unit, values).kind;
}

ImportDialog::ImportDialog(const QString& path, const TableImport& preview, QWidget* parent,
                           std::optional<ValueKind> valueKind)
    : QDialog(parent), preview_(preview), chosenKind_(valueKind) {
  setWindowTitle(QStringLiteral("Import ") + QFileInfo(path).fileName());
  auto* layout = new QVBoxLayout(this);

  table = new QTableWidget(this);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setColumnCount(static_cast<int>(preview.columnNames.size()));
  QStringList headers;
  for (const auto& n : preview.columnNames) headers << qs(n);
  table->setHorizontalHeaderLabels(headers);
  table->setRowCount(static_cast<int>(preview.previewRows.size()));
  for (std::size_t r = 0; r < preview.previewRows.size(); ++r)
    for (std::size_t c = 0; c < preview.previewRows[r].size() && c < preview.columnNames.size();
         ++c)
      table->setItem(static_cast<int>(r), static_cast<int>(c),
                     new QTableWidgetItem(qs(preview.previewRows[r][c])));
  table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  layout->addWidget(new QLabel(QStringLiteral("First rows of the file:"), this));
  layout->addWidget(table, 1);

  auto* form = new QFormLayout;
  timeBox = new QComboBox(this);
  valueBox = new QComboBox(this);
  errorBox = new QComboBox(this);
  bandBox = new QComboBox(this);
  fillColumns(timeBox, preview.columnNames, preview.timeColumn, false);
  fillColumns(valueBox, preview.columnNames, preview.valueColumn, false);
  fillColumns(errorBox, preview.columnNames, preview.errorColumn, true);
  for (const auto& [name, count] : preview.bands)
    bandBox->addItem(QStringLiteral("%1 (%2 rows)").arg(qs(name)).arg(count), qs(name));
  const auto chosen = std::find_if(preview.bands.begin(), preview.bands.end(),
                                   [&](const auto& b) { return b.first == preview.chosenBand; });
  if (chosen != preview.bands.end())
    bandBox->setCurrentIndex(static_cast<int>(chosen - preview.bands.begin()));
  bandBox->setEnabled(preview.bandColumn >= 0 && preview.bands.size() > 1);
  valueKindBox = new QComboBox(this);
  valueKindBox->addItem(QStringLiteral("Magnitudes"), QStringLiteral("mag"));
  valueKindBox->addItem(QStringLiteral("Fluxes"), QStringLiteral("flux"));
  valueKindBox->setToolTip(
      QStringLiteral("Fluxes are modelled and classified as magnitudes of the flux against "
                     "its median; the observations stay as read."));
  guessedKind_ = guessedValueKind(preview, preview.valueColumn);
  valueKindBox->setCurrentIndex(chosenKind_.value_or(guessedKind_) == ValueKind::Flux ? 1 : 0);
  // Only a pick by the user counts as a choice; the box follows the value
  // column until then.
  connect(valueKindBox, &QComboBox::activated, this, [this] { kindTouched_ = true; });
  connect(valueBox, &QComboBox::currentIndexChanged, this, &ImportDialog::followValueColumn);
  form->addRow(QStringLiteral("Time:"), timeBox);
  form->addRow(QStringLiteral("Value:"), valueBox);
  form->addRow(QStringLiteral("Error:"), errorBox);
  form->addRow(QStringLiteral("Band:"), bandBox);
  form->addRow(QStringLiteral("Values are:"), valueKindBox);
  layout->addLayout(form);

  summary = new QLabel(this);
  summary->setWordWrap(true);
  summary->setText(preview.failed
                       ? QStringLiteral("Cannot read it this way: ") + qs(preview.failure)
                       : qs(preview.summary));
  layout->addWidget(summary);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(720, 520);
}

ImportOptions ImportDialog::options() const {
  ImportOptions o;
  const int t = timeBox->currentIndex(), v = valueBox->currentIndex(),
            e = errorBox->currentIndex() - 1;
  if (t != preview_.timeColumn || v != preview_.valueColumn || e != preview_.errorColumn) {
    // Columns by number: names may repeat or be empty.
    o.columns = {std::to_string(t + 1), std::to_string(v + 1)};
    if (e >= 0) o.columns.push_back(std::to_string(e + 1));
  }
  if (preview_.bandColumn >= 0 && bandBox->currentIndex() >= 0)
    o.band = bandBox->currentData().toString().toStdString();
  // A remembered kind stays a choice; otherwise only a kind that differs
  // from the load's own guess (or one the user picked) is passed on, so that
  // a kept guess loads exactly as "Open Data" did without the box.
  const ValueKind kind = shownKind();
  if (chosenKind_ || kindTouched_ || kind != guessedKind_) o.valueKind = kind;
  return o;
}

ValueKind ImportDialog::shownKind() const {
  return valueKindBox->currentData().toString() == QStringLiteral("flux") ? ValueKind::Flux
                                                                          : ValueKind::Magnitude;
}

void ImportDialog::followValueColumn(int column) {
  guessedKind_ = guessedValueKind(preview_, column);
  if (!chosenKind_ && !kindTouched_)
    valueKindBox->setCurrentIndex(guessedKind_ == ValueKind::Flux ? 1 : 0);
}

ImportOptions rememberedImportChoice(const std::string& layoutKey) {
  ImportOptions o;
  if (layoutKey.empty()) return o;
  QSettings store(QStringLiteral("kv"), QStringLiteral("Fazorn"));
  store.beginGroup(settingsGroup(layoutKey));
  for (const QString& c : store.value(QStringLiteral("columns")).toStringList())
    o.columns.push_back(c.toStdString());
  o.band = store.value(QStringLiteral("band")).toString().toStdString();
  const QString kind = store.value(QStringLiteral("values")).toString();
  if (kind == QLatin1String(kindKey(ValueKind::Flux))) o.valueKind = ValueKind::Flux;
  if (kind == QLatin1String(kindKey(ValueKind::Magnitude))) o.valueKind = ValueKind::Magnitude;
  return o;
}

void rememberImportChoice(const std::string& layoutKey, const ImportOptions& options) {
  if (layoutKey.empty()) return;
  QSettings store(QStringLiteral("kv"), QStringLiteral("Fazorn"));
  store.beginGroup(settingsGroup(layoutKey));
  QStringList columns;
  for (const auto& c : options.columns) columns << qs(c);
  store.setValue(QStringLiteral("columns"), columns);
  store.setValue(QStringLiteral("band"), qs(options.band));
  // Empty: the kind is guessed again for each file of the layout.
  store.setValue(QStringLiteral("values"),
                 options.valueKind ? QString::fromLatin1(kindKey(*options.valueKind)) : QString());
}

std::optional<ImportOptions> chooseImportOptions(QWidget* parent, const QString& path,
                                                 const std::function<int(QDialog&)>& exec) {
  const std::string file = path.toStdString();
  const FileSniff sniff = sniffObservationFile(file);
  // Plain numbers, and files that cannot be opened (the load says so).
  if (!sniff.opened || sniff.kind == FileKind::Plain) return ImportOptions{};
  TableImport preview = importTable(file, ImportOptions{});
  if (!preview.opened) return ImportOptions{};
  ImportOptions remembered = rememberedImportChoice(preview.layoutKey);
  if (!remembered.band.empty() &&
      std::none_of(preview.bands.begin(), preview.bands.end(),
                   [&](const auto& b) { return b.first == remembered.band; }))
    remembered.band.clear();  // a file of the same layout without that band
  if (!remembered.columns.empty() || !remembered.band.empty()) {
    TableImport again = importTable(file, remembered);
    if (!again.failed) preview = std::move(again);
  }
  ImportDialog dialog(path, preview, parent, remembered.valueKind);
  if (exec(dialog) != QDialog::Accepted) return std::nullopt;
  ImportOptions chosen = dialog.options();
  if (chosen.columns.empty() && !remembered.columns.empty() && !preview.failed)
    chosen.columns = remembered.columns;  // the remembered choice, shown and kept
  rememberImportChoice(preview.layoutKey, chosen);
  return chosen;
}

}  // namespace fazorn::ui

#include "moc_import_dialog.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
