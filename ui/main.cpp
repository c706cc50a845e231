// fazorn [FILE]: the desktop program; opens FILE at start when given.
#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <clocale>

#include "ui/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Data files are read and written with '.' whatever the user's locale;
  // the window converts its fields with QLocale instead.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Fazorn"));
  QApplication::setOrganizationName(QStringLiteral("kv"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/fazorn.svg")));

  fazorn::ui::MainWindow window;
  window.show();
  const QStringList args = QApplication::arguments();
  if (args.size() > 1) {
    const QString path = args.at(1);
    QTimer::singleShot(0, &window, [&window, path] { window.openDataFile(path); });
  }
  return app.exec();
}
