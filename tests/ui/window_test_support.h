// What the window tests share: settings kept apart from the user's, and
// window hooks that neither show a dialog nor end the process.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <clocale>

#include "ui/main_window.h"

namespace fazorn::ui::test {

// QSettings of both formats under `dir` (a test's temporary folder), so
// that no test reads or writes the user's settings; LC_NUMERIC back at "C"
// after QApplication's setlocale, as the program keeps it.
inline void useSettingsIn(const QString& dir) {
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
  std::setlocale(LC_NUMERIC, "C");
}

// Hooks that collect the window's messages in `messages` and answer every
// file chooser and dialog with "cancel".
inline WindowHooks quietHooks(QStringList* messages) {
  WindowHooks h;
  h.exitProcess = [](int) {};
  h.chooseDataFile = [](QWidget*) { return QString(); };
  h.showMessage = [messages](QWidget*, const Message& m) {
    *messages << QString::fromStdString(m.text);
  };
  h.execDialog = [](QDialog&) { return 0; };
  return h;
}

}  // namespace fazorn::ui::test
