// The three small dialogs of the main window.
#pragma once

#include <QDialog>

class QLineEdit;

namespace fazorn::ui {

// Product name, version and credits for the methods; "OK" hides it.
class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

// Short usage notes; "Close" hides it.
class HelpForm : public QDialog {
  Q_OBJECT
 public:
  explicit HelpForm(QWidget* parent = nullptr);
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
