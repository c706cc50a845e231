// "Open Data" for files that are not plain numbers: a dialog with the first
// rows of the table, the columns the reader guessed (time, value, error) and
// the band to read, and the choice remembered per header layout.
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
  // `preview` is the reading of the file with the choice shown first.
  ImportDialog(const QString& path, const TableImport& preview, QWidget* parent = nullptr);

  // The choice: columns by name (empty when the guess was kept), the band
  // (empty when the file has no band column).
  ImportOptions options() const;

  QTableWidget* table = nullptr;
  QComboBox* timeBox = nullptr;
  QComboBox* valueBox = nullptr;
  QComboBox* errorBox = nullptr;  // item 0: no error column (errors of 1)
  QComboBox* bandBox = nullptr;
  QLabel* summary = nullptr;

 private:
  TableImport preview_;
};

// The choice remembered for a header layout (empty options when none) and
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
