// fazorn_ui_demo FILE [MILLISECONDS]: the window on FILE after an AoV search
// with the default settings, shown for a while and then closed. Used by
// scripts/screenshot.sh to picture the window under a virtual display.
#include <QApplication>
#include <QTimer>
#include <clocale>

#include "ui/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Fazorn"));
  QApplication::setOrganizationName(QStringLiteral("kv"));
  const QStringList args = QApplication::arguments();
  if (args.size() < 2) return 2;
  fazorn::ui::WindowHooks hooks;
  hooks.showMessage = [](QWidget*, const fazorn::Message&) {};
  hooks.askUnsavedChanges = [](QWidget*, const QString&) {
    return fazorn::ui::UnsavedChoice::Discard;
  };
  fazorn::ui::MainWindow window(hooks);
  window.move(0, 0);
  window.show();
  const int lifetime = args.size() > 2 ? args.at(2).toInt() : 8000;
  QTimer::singleShot(100, &window, [&window, path = args.at(1)] {
    window.openDataFile(path);
    window.onAovButton();
    window.onInvertOrdinate();  // magnitudes: brighter up
  });
  QTimer::singleShot(lifetime, &app, &QApplication::quit);
  return app.exec();
}
