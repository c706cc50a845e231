// The three small dialogs of the main window.
#pragma once

#include <QDialog>

class QLineEdit;
class QTextBrowser;

namespace fazorn::ui {

// Product name, version and credits for the methods; "OK" hides it.
class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

// The quick start, the table of shortcuts and what each search is good
// for; "Close" hides it. The window fills in the shortcuts of its menus.
class HelpForm : public QDialog {
  Q_OBJECT
 public:
  explicit HelpForm(QWidget* parent = nullptr);
  // One row per command: its menu and caption, and its key.
  void setShortcuts(const QList<QPair<QString, QString>>& rows);
  QTextBrowser* text = nullptr;
};

// "Add a value": one number for "Add to X" and "Add to Y". The field keeps
// its text between uses; the caller converts it after an OK.
class AddingForm : public QDialog {
  Q_OBJECT
 public:
  explicit AddingForm(QWidget* parent = nullptr);
  QLineEdit* valueField = nullptr;
};

}  // namespace fazorn::ui
