// fazorn [FILE]: the desktop program; opens FILE at start when given.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>
#include <clocale>

#include "ui/main_window.h"

namespace {

// An error that escapes a command is shown and the program goes on.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      QMessageBox::critical(activeWindow(), QStringLiteral("Fazorn"), QString::fromUtf8(e.what()));
    } catch (...) {
      QMessageBox::critical(activeWindow(), QStringLiteral("Fazorn"),
                            QStringLiteral("Unexpected error"));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Application app(argc, argv);
  // Data files are read and written with '.' whatever the user's locale;
  // the window converts its fields with QLocale instead.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Fazorn"));
  QApplication::setOrganizationName(QStringLiteral("kv"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/fazorn.png")));

  fazorn::ui::MainWindow window;
  window.show();
  const QStringList args = QApplication::arguments();
  if (args.size() > 1) {
    const QString path = args.at(1);
    QTimer::singleShot(0, &window, [&window, path] { window.openDataFile(path); });
  }
  return app.exec();
}
