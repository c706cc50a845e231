// "Open Data" for files that are not plain numbers: a dialog with the first
// rows of the table, the columns the reader guessed (time, value, error), the
// band to read and whether the values are magnitudes or fluxes, and the
// choice remembered per header layout.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "core/table_import.h"

class QComboBox;
class QLabel;
class QTableWidget;

namespace fazorn::ui {

class ImportDialog : public QDialog {
  Q_OBJECT
 public:
  // `preview` is the reading of the file with the choice shown first;
  // `valueKind` a kind chosen before (remembered for the layout), else the
  // kind is preselected from the file's evidence as the load would decide.
  ImportDialog(const QString& path, const TableImport& preview, QWidget* parent = nullptr,
               std::optional<ValueKind> valueKind = std::nullopt);

  // The choice: columns by name (empty when the guess was kept), the band
  // (empty when the file has no band column), the value kind (empty when
  // the preselection from the file's evidence was kept: the load then
  // decides, with its notes, exactly as without the dialog).
  ImportOptions options() const;

  QTableWidget* table = nullptr;
  QComboBox* timeBox = nullptr;
  QComboBox* valueBox = nullptr;
  QComboBox* errorBox = nullptr;  // item 0: no error column (errors of 1)
  QComboBox* bandBox = nullptr;
  QComboBox* valueKindBox = nullptr;  // "Magnitudes" (data "mag"), "Fluxes" ("flux")
  QLabel* summary = nullptr;

 private:
  void followValueColumn(int column);
  ValueKind shownKind() const;

  TableImport preview_;
  std::optional<ValueKind> chosenKind_;  // given by the caller: always passed on
  ValueKind guessedKind_ = ValueKind::Magnitude;
  bool kindTouched_ = false;  // the user picked a kind in the box
};

// The kind the load gives the values of `column` of `preview` by itself:
// the unit or name, else fluxes when the median value is too large for a
// magnitude. For the preview's own value column the read values are used,
// for another column the numbers of the preview rows.
ValueKind guessedValueKind(const TableImport& preview, int column);

// The choice remembered for a header layout (empty options when none; the
// value kind only when the user chose one) and
// remembering one, in the settings store (organisation "kv", application
// "Fazorn").
ImportOptions rememberedImportChoice(const std::string& layoutKey);
void rememberImportChoice(const std::string& layoutKey, const ImportOptions& options);

// How to read `path`: plain files need no question (empty options); for a
// table or FITS file the dialog is shown through `exec` with the remembered
// or guessed choice. Empty optional when the user cancels.
std::optional<ImportOptions> chooseImportOptions(QWidget* parent, const QString& path,
                                                 const std::function<int(QDialog&)>& exec);

}  // namespace fazorn::ui
