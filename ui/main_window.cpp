#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "commands/analysis.h"
#include "commands/auto_search.h"
#include "commands/frequencies.h"
#include "commands/model_chain.h"
#include "commands/significance.h"
#include "core/data_saving.h"
#include "core/derived_files.h"
#include "core/number_format.h"
#include "core/observation_file.h"
#include "core/results_panel.h"
#include "edit/binning.h"
#include "edit/marking.h"
#include "edit/moving.h"
#include "edit/randomization.h"
#include "edit/transformations.h"
#include "ui/chart_view.h"
#include "ui/dialogs.h"
#include "ui/frequency_dock.h"
#include "ui/import_dialog.h"
#include "ui/peak_list_dialog.h"

namespace fazorn::ui {

namespace {

// Half the width of the cursor on the periodogram, pixels: the peak under a
// double click is the highest point this close to it.
constexpr double kPickPixels = 4.0;

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Key filters of the edit fields. Only typed characters are filtered:
// navigation and editing keys without text pass, and so does pasting.
class KeyFilter : public QObject {
 public:
  enum class Kind { Decimal, Digits };
  KeyFilter(Kind kind, QObject* parent) : QObject(parent), kind_(kind) {}

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    const bool press = event->type() == QEvent::KeyPress;
    if (!press && event->type() != QEvent::ShortcutOverride) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (!press) {
      // A key this field swallows is not typing: leave it to the window's
      // shortcuts (the plain letters O, S, F, E, P).
      if (!accepts(object, key)) {
        event->ignore();
        return true;
      }
      return false;
    }
    return !accepts(object, key);
  }

 private:
  bool accepts(QObject* object, QKeyEvent* key) const {
    const QString text = key->text();
    if (text.isEmpty() || key->key() == Qt::Key_Backspace || !text.at(0).isPrint() ||
        (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
      return true;
    if (text.at(0).isDigit()) return true;
    if (kind_ == Kind::Decimal) {
      const QString separator = QLocale().decimalPoint();
      auto* edit = qobject_cast<QLineEdit*>(object);
      // A second separator is swallowed; one replacing a selection is not.
      if (edit && text == separator &&
          (!edit->text().contains(separator) || edit->selectedText().contains(separator)))
        return true;
    }
    return false;
  }

  Kind kind_;
};

// A line edit claims the editing shortcuts (Ctrl+Z, Ctrl+Shift+Z, Ctrl+C,
// Ctrl+X) before the window's commands see them, whether it has anything to
// undo or copy or not: with the focus in a field, Edit > Undo would never
// run, and nothing would tell the user. A field keeps such a key only when
// it can act on it (its own text changes to undo or redo, a selection to
// copy or cut); otherwise the window's command runs. The fields' own undo
// stays in their context menu. Escape hands the focus back to the light
// curve, where every shortcut reaches the window.
class FieldShortcuts : public QObject {
 public:
  FieldShortcuts(QLineEdit* edit, QWidget* release)
      : QObject(edit), edit_(edit), release_(release) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress)
      return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
      if (event->type() == QEvent::KeyPress && release_ != nullptr)
        release_->setFocus(Qt::OtherFocusReason);
      event->accept();
      return true;
    }
    if (event->type() != QEvent::ShortcutOverride) return false;
    bool fieldActs = true;
    if (key->matches(QKeySequence::Undo))
      fieldActs = edit_->isUndoAvailable();
    else if (key->matches(QKeySequence::Redo))
      fieldActs = edit_->isRedoAvailable();
    else if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Cut))
      fieldActs = edit_->hasSelectedText();
    if (fieldActs) return false;
    event->ignore();  // not claimed: the window's shortcut runs
    return true;
  }

 private:
  QLineEdit* edit_;
  QWidget* release_;
};

// A panel of the status bar: `preferred` pixels wide while the window has
// room for it (its width does not follow its text), narrowing down to
// `minimum` in a narrow window.
class StatusField : public QLabel {
 public:
  StatusField(int preferred, int minimum, QWidget* parent)
      : QLabel(parent), preferred_(preferred), minimum_(minimum) {
    setFrameShape(QFrame::StyledPanel);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  }
  QSize sizeHint() const override {
    return {std::max(preferred_, minimum_), QLabel::sizeHint().height()};
  }
  QSize minimumSizeHint() const override { return {minimum_, QLabel::minimumSizeHint().height()}; }

 private:
  int preferred_, minimum_;
};

// A status-bar panel cuts a text longer than itself, so the whole text (or
// `whole`, one remark a line) is its tooltip too. The tooltip is rich text,
// which Qt wraps to a readable width; plain text would make one line as
// wide as the text, beyond the screen for a long warning.
void setStatusField(QLabel* field, const QString& text, const QString& whole = QString()) {
  field->setText(text);
  const QString tip = whole.isEmpty() ? text : whole;
  field->setToolTip(
      tip.isEmpty() ? QString()
                    : QStringLiteral("<p>") +
                          tip.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
                          QStringLiteral("</p>"));
}

// The right panel's scroll area: never narrower than the panel with room
// for the scroll bar beside it (the panel is never narrowed, only scrolled
// up and down), and asking for the height of the whole panel (a plain
// scroll area asks for at most 24 lines). Both follow the panel's fonts and
// style.
class PanelScrollArea : public QScrollArea {
 public:
  using QScrollArea::QScrollArea;
  QSize minimumSizeHint() const override {
    const QWidget* panel = widget();
    if (panel == nullptr) return QScrollArea::minimumSizeHint();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    return {panel->minimumSizeHint().expandedTo(panel->minimumSize()).width() + bar,
            QScrollArea::minimumSizeHint().height()};
  }
  QSize sizeHint() const override {
    const QWidget* panel = widget();
    if (panel == nullptr) return QScrollArea::sizeHint();
    return {minimumSizeHint().width(), panel->sizeHint().height()};
  }
};

QLineEdit* makeField(QWidget* parent, KeyFilter::Kind kind, const QString& hint = QString()) {
  auto* edit = new QLineEdit(parent);
  edit->installEventFilter(new KeyFilter(kind, edit));
  if (!hint.isEmpty()) edit->setToolTip(hint);
  return edit;
}

QLabel* makeValueLabel(QWidget* parent) {
  auto* label = new QLabel(QStringLiteral("-"), parent);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setMinimumWidth(120);
  return label;
}

QLabel* makeTitle(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont f = label->font();
  f.setBold(true);
  label->setFont(f);
  return label;
}

QMessageBox::Icon boxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

// The settings store: "Software\kv\Fazorn" of the current user on Windows,
// ~/.config/kv/Fazorn.conf elsewhere.
QSettings settingsStore() { return QSettings(QStringLiteral("kv"), QStringLiteral("Fazorn")); }

}  // namespace

WindowHooks defaultWindowHooks() {
  WindowHooks h;
  h.exitProcess = [](int status) {
    std::fflush(nullptr);
    std::_Exit(status);
  };
  h.chooseDataFile = [](QWidget* parent) {
    return QFileDialog::getOpenFileName(
        parent, QStringLiteral("Open Data"), QStringLiteral("."),
        QStringLiteral("Light curves (*.dat *.DAT *.txt *.csv *.tbl "
                       "*.fits *.fit *.FITS *.FIT);;"
                       "DAT files (*.DAT *.dat);;All files (*)"));
  };
  h.showMessage = [](QWidget* parent, const Message& m) {
    QMessageBox box(boxIcon(m.icon), qs(m.caption), qs(m.text), QMessageBox::Ok, parent);
    box.exec();
  };
  h.execDialog = [](QDialog& dialog) { return dialog.exec(); };
  h.chooseSaveFile = [](QWidget* parent, const QString& suggestion) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save Data As"), suggestion,
                                        QStringLiteral("DAT files (*.DAT *.dat);;All files (*)"));
  };
  h.askUnsavedChanges = [](QWidget* parent, const QString& dataPath) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Fazorn"),
                    QStringLiteral("The observations of %1 have unsaved changes.")
                        .arg(QFileInfo(dataPath).fileName()),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.setInformativeText(QStringLiteral("Save them before going on?"));
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
      case QMessageBox::Save:
        return UnsavedChoice::Save;
      case QMessageBox::Discard:
        return UnsavedChoice::Discard;
      default:
        return UnsavedChoice::Cancel;
    }
  };
  h.confirmDeleteFile = [](QWidget* parent, const QString& dataPath) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Fazorn"),
                    QStringLiteral("Delete the file %1?").arg(QFileInfo(dataPath).fileName()),
                    QMessageBox::NoButton, parent);
    box.setInformativeText(
        QStringLiteral("%1\nThe file is removed from the disk for good; the observations stay "
                       "loaded.")
            .arg(QDir::toNativeSeparators(QFileInfo(dataPath).absoluteFilePath())));
    QPushButton* remove = box.addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton(QStringLiteral("Keep"), QMessageBox::RejectRole);
    // Enter and Escape keep the file: deleting takes choosing "Delete".
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == remove;
  };
  return h;
}

MainWindow::MainWindow(WindowHooks hooks, QWidget* parent)
    : QMainWindow(parent), hooks_(std::move(hooks)) {
  const WindowHooks defaults = defaultWindowHooks();
  if (!hooks_.exitProcess) hooks_.exitProcess = defaults.exitProcess;
  if (!hooks_.chooseDataFile) hooks_.chooseDataFile = defaults.chooseDataFile;
  if (!hooks_.showMessage) hooks_.showMessage = defaults.showMessage;
  if (!hooks_.execDialog) hooks_.execDialog = defaults.execDialog;
  if (!hooks_.chooseSaveFile) hooks_.chooseSaveFile = defaults.chooseSaveFile;
  if (!hooks_.askUnsavedChanges) hooks_.askUnsavedChanges = defaults.askUnsavedChanges;
  if (!hooks_.confirmDeleteFile) hooks_.confirmDeleteFile = defaults.confirmDeleteFile;

  ws_.decimalSeparator = QLocale().decimalPoint().at(0).toLatin1();
  if (ws_.decimalSeparator == 0) ws_.decimalSeparator = '.';

  // The light curve above, the phase diagram and the periodogram side by
  // side below, the right panel beside them; the handles between them move,
  // and the charts take whatever room the window gains or loses.
  auto* central = new QWidget(this);
  auto* margins = new QHBoxLayout(central);
  margins->setContentsMargins(4, 4, 4, 4);
  auto* sides = new QSplitter(Qt::Horizontal, central);
  auto* charts = new QSplitter(Qt::Vertical, sides);
  w_.chart1 = createLightCurveChart(charts);
  auto* lower = new QSplitter(Qt::Horizontal, charts);
  w_.chart2 = createPhaseChart(lower);
  w_.chart3 = createPeriodogramChart(lower);
  w_.rightPanel = buildRightPanel(sides);
  for (QSplitter* split : {sides, charts, lower}) {
    split->setChildrenCollapsible(false);
    split->setHandleWidth(4);
  }
  charts->setStretchFactor(0, 1);
  charts->setStretchFactor(1, 1);
  sides->setStretchFactor(0, 1);
  sides->setStretchFactor(1, 0);
  margins->addWidget(sides);
  setCentralWidget(central);
  // Multi-frequency analysis, hidden until View > Frequency analysis; its
  // jobs run as the searches do.
  frequencyDock_ = new FrequencyDock(
      ws_, [this](const auto& job) { return runSearch(job); }, this);
  addDockWidget(Qt::BottomDockWidgetArea, frequencyDock_);
  frequencyDock_->hide();
  buildMenus();
  buildStatusBar();
  // The charts take the focus when clicked, and the light curve has it at
  // the start: a window that opened with the focus in "Min period:" would
  // let that field take Ctrl+Z and the Shift+arrow keys for itself.
  for (ChartView* c : {w_.chart1, w_.chart2, w_.chart3}) c->setFocusPolicy(Qt::ClickFocus);
  for (QLineEdit* e : {w_.minPeriod, w_.maxPeriod, w_.harmonics, w_.resolution, w_.period, w_.t0})
    e->installEventFilter(new FieldShortcuts(e, w_.chart1));
  w_.chart1->setFocus(Qt::OtherFocusReason);
  // Opens at the size the charts and the panel ask for (the charts at their
  // preferred sizes, the panel whole), but never larger than the screen's
  // free area: on a small screen the panel then scrolls.
  QSize opening = sizeHint();
  if (const QScreen* s = screen()) {
    // The window manager's frame and title bar come on top of the size.
    constexpr QSize kFrameAllowance(16, 48);
    opening = opening.boundedTo(s->availableGeometry().size() - kFrameAllowance);
  }
  resize(opening.expandedTo(minimumSizeHint()));

  connect(w_.chart1, &ChartView::pointClicked, this,
          [this](double x, double y) { onLightCurveClick(x, y); });
  connect(w_.chart2, &ChartView::pointClicked, this,
          [this](double x, double y) { onPhaseDiagramClick(x, y); });
  connect(w_.chart3, &ChartView::pointClicked, this,
          [this](double x, double y) { onPeriodogramClick(x, y); });
  // QCustomPlot signals a double click before the chart resets its zoom, so
  // the position is read in the range the user saw.
  connect(w_.chart3, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const double x = e->position().x();
    onPeriodogramDoubleClick(w_.chart3->xAxis->pixelToCoord(x),
                             w_.chart3->xAxis->pixelToCoord(x - kPickPixels),
                             w_.chart3->xAxis->pixelToCoord(x + kPickPixels));
  });

  // FormCreate
  restoreSettings();
  resetForNoData(ws_);
  ws_.phaseCycles = 2;
  ws_.period = 1.0;
  ws_.randomizationRunCounter = 0;
  seed_ = static_cast<std::uint64_t>(std::time(nullptr));
  applyWorkspaceTexts();
  for (ChartView* c : {w_.chart1, w_.chart2, w_.chart3}) c->replot();

  about_ = new AboutBox(this);
  help_ = new HelpForm(this);
  adding_ = new AddingForm(this);
  buildHelp();
  setAcceptDrops(true);
  updateUndoActions();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenus() {
  auto add = [this](QMenu* menu, const QString& caption, const QKeySequence& key,
                    void (MainWindow::*handler)()) {
    QAction* a = menu->addAction(caption);
    if (!key.isEmpty()) a->setShortcut(key);
    connect(a, &QAction::triggered, this, handler);
    addAction(a);  // shortcuts also act while the menu bar is not focused
    actions_.push_back(a);
    return a;
  };
  using K = QKeySequence;
  const Qt::KeyboardModifiers cs = Qt::ControlModifier | Qt::ShiftModifier;

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  add(file, QStringLiteral("Open Data"), K(Qt::Key_O), &MainWindow::onOpenData);
  recentMenu_ = file->addMenu(QStringLiteral("Recent files"));
  connect(recentMenu_, &QMenu::aboutToShow, this, &MainWindow::rebuildRecentFilesMenu);
  rebuildRecentFilesMenu();
  saveData_ = add(file, QStringLiteral("Save Data"), K(Qt::Key_S), &MainWindow::onSaveData);
  saveAs_ = add(file, QStringLiteral("Save Data As..."), K(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
                &MainWindow::onSaveDataAs);
  savePhased_ =
      add(file, QStringLiteral("Save Phased Data"), K(Qt::Key_F), &MainWindow::onSavePhasedData);
  add(file, QStringLiteral("Save Phased Binned"), K(Qt::Key_E), &MainWindow::onSavePhasedBinned);
  savePeriodogram_ =
      add(file, QStringLiteral("Save Periodogram"), K(Qt::Key_P), &MainWindow::onSavePeriodogram);
  file->addSeparator();
  add(file, QStringLiteral("Exit"), K(), &MainWindow::onExit);

  // Undo and redo of the commands that change the observations or marks
  // (Ctrl+Y is "2-sigma outliers", so redo is Ctrl+Shift+Z only).
  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  undo_ = add(edit, QStringLiteral("Undo"), K(Qt::CTRL | Qt::Key_Z), &MainWindow::onUndo);
  redo_ = add(edit, QStringLiteral("Redo"), K(cs | Qt::Key_Z), &MainWindow::onRedo);

  QMenu* dataMenu = menuBar()->addMenu(QStringLiteral("&Data"));
  analyse_ = add(dataMenu, QStringLiteral("Analyse"), K(Qt::Key_F1), &MainWindow::onAnalyse);
  getStatistics_ =
      add(dataMenu, QStringLiteral("Get statistics"), K(Qt::Key_F2), &MainWindow::onGetStatistics);
  QMenu* binning = dataMenu->addMenu(QStringLiteral("Binning"));
  add(binning, QStringLiteral("2 point binning"), K(), &MainWindow::onBin2Points);
  add(binning, QStringLiteral("3 point binning"), K(), &MainWindow::onBin3Points);
  add(binning, QStringLiteral("4 point binning"), K(), &MainWindow::onBin4Points);
  dayBinning_ = add(binning, QStringLiteral("Day binning"), K(), &MainWindow::onBinDays);
  add(binning, QStringLiteral("1 minute"), K(), &MainWindow::onBin1Minute);
  add(binning, QStringLiteral("2 minutes"), K(), &MainWindow::onBin2Minutes);
  add(binning, QStringLiteral("3 minutes"), K(), &MainWindow::onBin3Minutes);
  add(binning, QStringLiteral("5 minutes"), K(), &MainWindow::onBin5Minutes);
  add(binning, QStringLiteral("10 minutes"), K(), &MainWindow::onBin10Minutes);
  normalize_ = add(dataMenu, QStringLiteral("Normalize light curve"), K(Qt::Key_F3),
                   &MainWindow::onNormalize);
  add(dataMenu, QStringLiteral("Flux to mag"), K(), &MainWindow::onFluxToMag);
  add(dataMenu, QStringLiteral("Mag to flux"), K(), &MainWindow::onMagToFlux);
  halve_ = add(dataMenu, QStringLiteral("Halve period"), K(Qt::Key_F5), &MainWindow::onHalvePeriod);
  double_ =
      add(dataMenu, QStringLiteral("Double period"), K(Qt::Key_F6), &MainWindow::onDoublePeriod);
  shiftT0_ = add(dataMenu, QStringLiteral("Shift T0"), K(Qt::Key_F7), &MainWindow::onShiftT0);
  QMenu* mark = dataMenu->addMenu(QStringLiteral("Mark..."));
  add(mark, QStringLiteral("5-sigma outliers"), K(Qt::CTRL | Qt::Key_F), &MainWindow::onMark5Sigma);
  add(mark, QStringLiteral("3-sigma outliers"), K(Qt::CTRL | Qt::Key_T), &MainWindow::onMark3Sigma);
  add(mark, QStringLiteral("2.5-sigma outliers"), K(Qt::CTRL | Qt::Key_G),
      &MainWindow::onMark25Sigma);
  add(mark, QStringLiteral("2-sigma outliers"), K(Qt::CTRL | Qt::Key_Y), &MainWindow::onMark2Sigma);
  add(mark, QStringLiteral("Move marked points up"), K(Qt::SHIFT | Qt::Key_Up),
      &MainWindow::onMoveMarkedUp);
  add(mark, QStringLiteral("Move marked points left"), K(Qt::SHIFT | Qt::Key_Left),
      &MainWindow::onMoveMarkedLeft);
  add(mark, QStringLiteral("Move left faster"), K(cs | Qt::Key_Left),
      &MainWindow::onMoveMarkedLeftFaster);
  add(mark, QStringLiteral("Move marked points down"), K(Qt::SHIFT | Qt::Key_Down),
      &MainWindow::onMoveMarkedDown);
  add(mark, QStringLiteral("Move marked points right"), K(Qt::SHIFT | Qt::Key_Right),
      &MainWindow::onMoveMarkedRight);
  add(mark, QStringLiteral("Move right faster "), K(cs | Qt::Key_Right),
      &MainWindow::onMoveMarkedRightFaster);
  add(mark, QStringLiteral("Night"), K(Qt::CTRL | Qt::Key_N), &MainWindow::onMarkNight);
  unmark_ =
      add(mark, QStringLiteral("Unmark points"), K(Qt::CTRL | Qt::Key_M), &MainWindow::onUnmark);
  remove_ = add(mark, QStringLiteral("Remove marked points"), K(Qt::CTRL | Qt::Key_R),
                &MainWindow::onRemoveMarked);
  add(mark, QStringLiteral("Mark between"), K(Qt::CTRL | Qt::Key_B), &MainWindow::onMarkBetween);
  add(dataMenu, QStringLiteral("Add flipped dataset"), K(), &MainWindow::onAddFlippedDataset);
  add(dataMenu, QStringLiteral("Add to X"), K(), &MainWindow::onAddToX);
  add(dataMenu, QStringLiteral("Add to Y"), K(), &MainWindow::onAddToY);
  dataMenu->addSeparator();
  add(dataMenu, QStringLiteral("Generate white noise"), K(Qt::CTRL | Qt::Key_W),
      &MainWindow::onGenerateWhiteNoise);
  add(dataMenu, QStringLiteral("  --> 1e5 L-S iterations"), K(),
      &MainWindow::onWhiteNoiseLombScargleRuns);
  add(dataMenu, QStringLiteral("Randomly permute"), K(Qt::CTRL | Qt::Key_P),
      &MainWindow::onRandomlyPermute);
  add(dataMenu, QStringLiteral("  --> 1e5 AoV iterations"), K(), &MainWindow::onPermutationAovRuns);
  add(dataMenu, QStringLiteral("  --> 1e5 L-S iterations"), K(),
      &MainWindow::onPermutationLombScargleRuns);
  add(dataMenu, QStringLiteral("Spectral window"), K(), &MainWindow::onSpectralWindow);
  dataMenu->addSeparator();
  add(dataMenu, QStringLiteral("Mark spec"), K(), &MainWindow::onMarkSpec);
  add(dataMenu, QStringLiteral("mark plus minus"), K(), &MainWindow::onMarkPlusMinus);
  deleteFile_ =
      add(dataMenu, QStringLiteral("Delete file"), K(Qt::Key_F12), &MainWindow::onDeleteFile);
  add(dataMenu, QStringLiteral("Add as a template"), K(), &MainWindow::onAddAsTemplate)
      ->setVisible(false);
  add(dataMenu, QStringLiteral("Remove period"), K(), &MainWindow::onRemovePeriod)
      ->setVisible(false);
  dataMenu->addSeparator();
  add(dataMenu, QStringLiteral("Auto search"), K(Qt::Key_F8), &MainWindow::onAutoSearch);
  add(dataMenu, QStringLiteral("Refine period"), K(Qt::Key_F9), &MainWindow::onRefinePeriod);
  add(dataMenu, QStringLiteral("Periodogram peaks..."), K(Qt::CTRL | Qt::Key_K),
      &MainWindow::onPeriodogramPeaks);
  add(dataMenu, QStringLiteral("Amplitude spectrum"), K(), &MainWindow::onAmplitudeSpectrum);

  // What the charts show; the two choices are kept in the settings.
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  QSettings store = settingsStore();
  showModel_ = add(view, QStringLiteral("Model over phase diagram"), K(Qt::CTRL | Qt::Key_L),
                   &MainWindow::onShowModel);
  showModel_->setCheckable(true);
  showModel_->setChecked(store.value(QStringLiteral("showModel"), true).toBool());
  showResiduals_ =
      add(view, QStringLiteral("Residuals in phase diagram"), K(), &MainWindow::onShowResiduals);
  showResiduals_->setCheckable(true);
  showResiduals_->setChecked(store.value(QStringLiteral("showResiduals"), false).toBool());
  // Not kept in the settings: the window opens on the period view.
  byFrequency_ = add(view, QStringLiteral("Periodogram by frequency"), K(),
                     &MainWindow::onPeriodogramByFrequency);
  byFrequency_->setCheckable(true);
  view->addAction(frequencyDock_->toggleViewAction());
  view->addSeparator();
  add(view, QStringLiteral("Reset zoom"), K(Qt::CTRL | Qt::Key_0), &MainWindow::onResetZoom);

  QMenu* product = menuBar()->addMenu(QStringLiteral("Fazorn"));
  QAction* options = product->addAction(QStringLiteral("Options"));  // no action
  options->setVisible(false);
  add(product, QStringLiteral("Help"), K(), &MainWindow::onHelp);
  add(product, QStringLiteral("About"), K(), &MainWindow::onAbout);
}

QScrollArea* MainWindow::buildRightPanel(QWidget* parent) {
  auto* scroll = new PanelScrollArea(parent);
  auto* panel = new QWidget(scroll);
  panel->setMinimumWidth(270);
  auto* v = new QVBoxLayout(panel);
  v->setContentsMargins(6, 0, 0, 0);
  auto form = [&](const QString& title) {
    v->addWidget(makeTitle(title, panel));
    auto* f = new QFormLayout;
    f->setContentsMargins(8, 0, 0, 4);
    f->setVerticalSpacing(3);
    v->addLayout(f);
    return f;
  };

  QFormLayout* about = form(QStringLiteral("About light curve:"));
  about->addRow(QStringLiteral("Data points:"), w_.dataPoints = makeValueLabel(panel));
  about->addRow(QStringLiteral("Time span:"), w_.timeSpan = makeValueLabel(panel));

  QFormLayout* analyse = form(QStringLiteral("Analyse:"));
  using Kind = KeyFilter::Kind;
  analyse->addRow(QStringLiteral("Min period:"), w_.minPeriod = makeField(panel, Kind::Decimal));
  analyse->addRow(QStringLiteral("Max period:"), w_.maxPeriod = makeField(panel, Kind::Decimal));
  analyse->addRow(
      QStringLiteral("Harmonics:"),
      w_.harmonics = makeField(panel, Kind::Digits, QStringLiteral("Number of harmonics")));
  analyse->addRow(QStringLiteral("Resolution:"),
                  w_.resolution = makeField(panel, Kind::Decimal,
                                            QStringLiteral("Periodam resolution [1/day]")));
  // Two rows: four captions side by side do not fit the panel's width.
  auto* searchButtons = new QGridLayout;
  searchButtons->setContentsMargins(0, 0, 0, 4);
  w_.aov = new QPushButton(QStringLiteral("AoV"), panel);
  w_.aovTransit = new QPushButton(QStringLiteral("AoVtr"), panel);
  w_.lombScargle = new QPushButton(QStringLiteral("Lomb-Scarge"), panel);
  w_.autoSearch = new QPushButton(QStringLiteral("Auto"), panel);
  w_.autoSearch->setToolTip(
      QStringLiteral("Grid from the time span, refined period with its 1-sigma error, "
                     "P / 2P / P/2 from the light curve (F8)"));
  w_.amplitudeSpectrum = new QPushButton(QStringLiteral("Amplitude"), panel);
  w_.amplitudeSpectrum->setToolTip(
      QStringLiteral("Amplitude spectrum of the light curve by frequency (c/d), in the "
                     "values' units"));
  w_.byFrequency = new QCheckBox(QStringLiteral("By frequency"), panel);
  w_.byFrequency->setToolTip(QStringLiteral("Periodogram against frequency (c/d)"));
  int at = 0;
  for (QPushButton* b :
       {w_.aov, w_.aovTransit, w_.lombScargle, w_.autoSearch, w_.amplitudeSpectrum}) {
    searchButtons->addWidget(b, at / 2, at % 2);
    ++at;
  }
  searchButtons->addWidget(w_.byFrequency, at / 2, at % 2);
  v->addLayout(searchButtons);
  connect(w_.amplitudeSpectrum, &QPushButton::clicked, this, &MainWindow::onAmplitudeSpectrum);
  // clicked, not toggled: set by the program, the box does not call back.
  connect(w_.byFrequency, &QCheckBox::clicked, this,
          [this](bool checked) { setPeriodogramByFrequency(checked); });
  connect(w_.aov, &QPushButton::clicked, this, &MainWindow::onAovButton);
  connect(w_.aovTransit, &QPushButton::clicked, this, &MainWindow::onAovTransitButton);
  connect(w_.lombScargle, &QPushButton::clicked, this, &MainWindow::onLombScargleButton);
  connect(w_.autoSearch, &QPushButton::clicked, this, &MainWindow::onAutoSearch);

  QFormLayout* manual = form(QStringLiteral("Manual phasing:"));
  // These two accept any key; their background shows which one has the focus.
  w_.period = new QLineEdit(panel);
  w_.t0 = new QLineEdit(panel);
  for (QLineEdit* e : {w_.period, w_.t0})
    e->setStyleSheet(
        QStringLiteral("QLineEdit { background: palette(button); }"
                       "QLineEdit:focus { background: palette(base); }"));
  manual->addRow(QStringLiteral("Period:"), w_.period);
  manual->addRow(QStringLiteral("T0:"), w_.t0);
  w_.phase = new QPushButton(QStringLiteral("Phase"), panel);
  manual->addRow(QString(), w_.phase);
  connect(w_.phase, &QPushButton::clicked, this, &MainWindow::onPhaseButton);

  QFormLayout* results = form(QStringLiteral("Results:"));
  results->addRow(QStringLiteral("Period:"), w_.period_ = makeValueLabel(panel));
  results->addRow(QStringLiteral("T0:"), w_.t0_ = makeValueLabel(panel));
  results->addRow(QStringLiteral("Max mag:"), w_.maxMag = makeValueLabel(panel));
  results->addRow(QStringLiteral("Amplitude"), w_.amplitude = makeValueLabel(panel));
  results->addRow(QStringLiteral("Type:"), w_.type = makeValueLabel(panel));
  results->addRow(QStringLiteral("Score:"), w_.score = makeValueLabel(panel));
  results->addRow(QStringLiteral("Error:"), w_.error = makeValueLabel(panel));
  results->addRow(QStringLiteral("Mean Mag:"), w_.meanMag = makeValueLabel(panel));
  results->addRow(QStringLiteral("rms:"), w_.rms = makeValueLabel(panel));
  results->addRow(QStringLiteral("gamma:"), w_.gamma = makeValueLabel(panel));
  w_.type->setWordWrap(true);
  w_.score->setWordWrap(true);
  v->addStretch(1);

  w_.invertOrdinate = new QPushButton(QStringLiteral("Invert ordinate"), panel);
  v->addWidget(w_.invertOrdinate);
  connect(w_.invertOrdinate, &QPushButton::clicked, this, &MainWindow::onInvertOrdinate);

  // A window shorter than the panel scrolls it.
  scroll->setWidget(panel);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  return scroll;
}

void MainWindow::buildStatusBar() {
  // Pixels: the panels' widths when the window has room, and the least each
  // keeps in a narrow window.
  const int widths[3] = {556, 180, 20};
  const int least[3] = {120, 60, 20};
  for (int i = 0; i < 3; ++i) {
    w_.status[i] = new StatusField(widths[i], least[i], this);
    statusBar()->addWidget(w_.status[i]);
  }
  w_.notes = new StatusField(0, 40, this);
  statusBar()->addWidget(w_.notes, 1);
}

// Settings ------------------------------------------------------------------

void MainWindow::restoreSettings() {
  QSettings store = settingsStore();
  SearchSettings& s = ws_.settings;
  s = SearchSettings{};
  // A value missing from the store keeps its default rather than failing
  // the start.
  s.harmonics = store.value(QStringLiteral("nharm"), s.harmonics).toInt();
  s.minPeriod = store.value(QStringLiteral("minper"), s.minPeriod).toDouble();
  s.maxPeriod = store.value(QStringLiteral("maxper"), s.maxPeriod).toDouble();
  s.resolution = store.value(QStringLiteral("accuracy"), s.resolution).toDouble();
  if (!(s.resolution >= 0.00001)) s.resolution = 0.00001;
  const char sep = ws_.decimalSeparator;
  w_.minPeriod->setText(qs(formatFixed(s.minPeriod, 2, 5, sep)));
  w_.maxPeriod->setText(qs(formatFixed(s.maxPeriod, 2, 5, sep)));
  w_.harmonics->setText(QString::number(s.harmonics));
  w_.resolution->setText(qs(formatFixed(s.resolution, 5, 7, sep)));
}

bool MainWindow::saveSettings() {
  // The edit texts are saved, rounded to single precision on purpose (the
  // stored values are what the fields held, as floats widened to double).
  std::optional<double> minPeriod = readDouble(w_.minPeriod->text());
  if (!minPeriod) return false;
  std::optional<double> maxPeriod = readDouble(w_.maxPeriod->text());
  if (!maxPeriod) return false;
  std::optional<double> resolution = readDouble(w_.resolution->text());
  if (!resolution) return false;
  std::optional<int> harmonics = readInt(w_.harmonics->text());
  if (!harmonics) return false;
  QSettings store = settingsStore();
  store.setValue(QStringLiteral("nharm"), *harmonics);
  store.setValue(QStringLiteral("minper"), static_cast<double>(static_cast<float>(*minPeriod)));
  store.setValue(QStringLiteral("maxper"), static_cast<double>(static_cast<float>(*maxPeriod)));
  store.setValue(QStringLiteral("accuracy"), static_cast<double>(static_cast<float>(*resolution)));
  store.sync();
  return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_ || !maybeSaveChanges() || !saveSettings()) {
    event->ignore();
    return;
  }
  event->accept();
}

// Conversions ---------------------------------------------------------------

std::optional<double> MainWindow::readDouble(const QString& text) {
  bool ok = false;
  const double v = QLocale().toDouble(text.trimmed(), &ok);
  if (ok) return v;
  hooks_.showMessage(
      this, {QStringLiteral("\"%1\" is not a valid floating point value").arg(text).toStdString(),
             "Fazorn", MessageIcon::Error});
  return std::nullopt;
}

std::optional<int> MainWindow::readInt(const QString& text) {
  bool ok = false;
  const int v = QLocale().toInt(text.trimmed(), &ok);
  if (ok) return v;
  hooks_.showMessage(this,
                     {QStringLiteral("\"%1\" is not a valid integer value").arg(text).toStdString(),
                      "Fazorn", MessageIcon::Error});
  return std::nullopt;
}

bool MainWindow::readSearchSettings() {
  // Each value is stored as soon as it converts, so a bad field leaves the
  // ones before it updated.
  SearchSettings& s = ws_.settings;
  if (auto v = readDouble(w_.minPeriod->text()))
    s.minPeriod = *v;
  else
    return false;
  if (auto v = readDouble(w_.maxPeriod->text()))
    s.maxPeriod = *v;
  else
    return false;
  if (auto v = readInt(w_.harmonics->text()))
    s.harmonics = *v;
  else
    return false;
  if (auto v = readDouble(w_.resolution->text()))
    s.resolution = *v;
  else
    return false;
  return true;
}

// Running commands and showing outcomes -------------------------------------

void MainWindow::run(const std::function<Outcome()>& operation) {
  if (busy_) return;
  setNotes({});
  QApplication::setOverrideCursor(Qt::WaitCursor);
  Outcome out = runGuardingMemory("this command", operation);
  QApplication::restoreOverrideCursor();
  showOutcome(out);
}

namespace {
// "45 s", "3 min 20 s", "2 h 05 min": the time left of a long run.
QString durationText(qint64 milliseconds) {
  const qint64 s = (milliseconds + 999) / 1000;
  if (s < 60) return QStringLiteral("%1 s").arg(s);
  if (s < 3600)
    return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

bool MainWindow::runSearch(const std::function<Outcome(Workspace&, const RunControl&)>& search,
                           bool statusWorking) {
  if (busy_) return false;
  busy_ = true;
  setNotes({});
  if (statusWorking) setStatusField(w_.status[1], QStringLiteral("Working..."));
  QApplication::setOverrideCursor(Qt::WaitCursor);

  std::atomic<bool> cancel{false};
  std::atomic<bool> done{false};
  std::atomic<int> permille{0};
  RunControl rc;
  rc.threads = 0;
  rc.cancel = &cancel;
  rc.progress = [&permille](double f) { permille.store(static_cast<int>(f * 1000)); };

  Outcome out;
  {
    // The dialog is window-modal and shown at once, so no other command can
    // start while the worker owns the Workspace.
    QProgressDialog progress(QStringLiteral("Working..."), QStringLiteral("Cancel"), 0, 1000, this);
    progress.setWindowTitle(QStringLiteral("Fazorn"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setMinimumDuration(0);
    auto requestCancel = [&] {
      if (cancel.exchange(true)) return;
      progress.setLabelText(QStringLiteral("Cancelling..."));
    };
    connect(&progress, &QProgressDialog::canceled, this, requestCancel);
    progress.show();

    QEventLoop loop;
    std::thread worker([&] {
      // Nothing may leave the worker thread: running out of memory becomes a
      // message box like any refusal.
      out = runGuardingMemory("this search", [&] { return search(ws_, rc); });
      done.store(true);
    });
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    connect(&poll, &QTimer::timeout, &loop, [&] {
      if (progress.wasCanceled()) requestCancel();  // also closed or reset
      if (!cancel.load()) {
        const int p = permille.load();
        progress.setValue(p);
        // Long runs (the repeated searches take minutes to hours) say early
        // how long the wait will be: the time left at the pace so far.
        const qint64 elapsed = clock.elapsed();
        if (p > 0 && p < 1000 && elapsed > 700)
          progress.setLabelText(QStringLiteral("Working... %1 % done, about %2 left")
                                    .arg(p / 10)
                                    .arg(durationText(elapsed * (1000 - p) / p)));
      }
      if (done.load()) loop.quit();
    });
    poll.start(25);
    loop.exec();
    worker.join();
    // The dialog goes here, before any box of the outcome: one only hidden
    // would be shown again by its own delayed-show timer once the box's event
    // loop runs, window-modal over the box, whose OK would then do nothing.
  }

  QApplication::restoreOverrideCursor();
  setStatusField(w_.status[1], QString());
  busy_ = false;
  showOutcome(out);
  return out.ok;
}

void MainWindow::showOutcome(const Outcome& out) {
  if (out.message) hooks_.showMessage(this, *out.message);
  for (int i = 0; i < 3; ++i)
    if (out.status[i]) setStatusField(w_.status[i], qs(*out.status[i]));
  if (!out.notes.empty()) {
    QStringList notes;
    for (const std::string& n : out.notes) notes << qs(n);
    setNotes(notes);
  }
  redraw(out.redraw);
  applyWorkspaceTexts();
}

void MainWindow::setNotes(const QStringList& notes) {
  notes_ = notes;
  setStatusField(w_.notes, notes.join(QStringLiteral("; ")), notes.join(QLatin1Char('\n')));
}

void MainWindow::redraw(const Redraws& r) {
  // The light-curve redraw empties the phase diagram; operations that want
  // it back ask for the phase diagram too.
  if (r.lightCurve) {
    fillLightCurve(*w_.chart1, ws_);
    clearPointSeries(*w_.chart2);
    w_.chart1->replot(QCustomPlot::rpQueuedReplot);
  }
  if (r.phaseDiagram) {
    fillPhaseDiagram(*w_.chart2, ws_, phaseView());
    if (ws_.phased == 1) ws_.commands.savePhasedData = true;
  }
  if (r.lightCurve || r.phaseDiagram) w_.chart2->replot(QCustomPlot::rpQueuedReplot);
  // A search's periodogram or a change that empties it ends the display
  // of the amplitude spectrum, which no longer belongs to the light curve.
  if (r.clearPeriodogram) clearPeriodogram(*w_.chart3);
  if (r.periodogram) {
    fillPeriodogram(*w_.chart3, ws_);
    ws_.commands.savePeriodogram = true;
  }
  if (r.clearPeriodogram || r.periodogram) w_.chart3->replot(QCustomPlot::rpQueuedReplot);
}

void MainWindow::applyWorkspaceTexts() {
  const PanelTexts& p = ws_.panel;
  w_.dataPoints->setText(qs(p.dataPoints));
  w_.timeSpan->setText(qs(p.timeSpan));
  w_.meanMag->setText(qs(p.meanMag));
  w_.rms->setText(qs(p.rms));
  w_.gamma->setText(qs(p.gamma));
  w_.period_->setText(qs(p.period));
  w_.t0_->setText(qs(p.t0));
  w_.error->setText(qs(p.error));
  w_.maxMag->setText(qs(p.maxMag));
  w_.amplitude->setText(qs(p.amplitude));
  w_.type->setText(qs(p.type));
  w_.score->setText(qs(p.score));
  // The phasing fields follow the Workspace only when an operation wrote
  // them, so that typing in them survives unrelated commands.
  if (qs(p.periodField) != shownPeriodField_)
    w_.period->setText(shownPeriodField_ = qs(p.periodField));
  if (qs(p.t0Field) != shownT0Field_) w_.t0->setText(shownT0Field_ = qs(p.t0Field));

  const CommandStates& c = ws_.commands;
  saveData_->setEnabled(c.saveData);
  analyse_->setEnabled(c.analyse);
  w_.aov->setEnabled(c.analyse);
  w_.autoSearch->setEnabled(c.analyse);
  w_.amplitudeSpectrum->setEnabled(c.analyse);
  unmark_->setEnabled(c.unmarkPoints);
  remove_->setEnabled(c.removeMarkedPoints);
  deleteFile_->setEnabled(c.deleteFile);
  w_.phase->setEnabled(c.phaseButton);
  dayBinning_->setEnabled(c.dayBinning);
  savePhased_->setEnabled(c.savePhasedData);
  savePeriodogram_->setEnabled(c.savePeriodogram);
  getStatistics_->setEnabled(c.getStatistics);
  halve_->setEnabled(c.halvePeriod);
  double_->setEnabled(c.doublePeriod);
  shiftT0_->setEnabled(c.shiftT0);
  normalize_->setEnabled(c.normalize);
  saveAs_->setEnabled(c.saveData);
  updateCaption();
}

void MainWindow::showReadout(double x, double y) {
  const char sep = ws_.decimalSeparator;
  setStatusField(w_.status[1],
                 QStringLiteral("( %1 ; %2 )")
                     .arg(qs(formatFixed(x, 6, 13, sep)), qs(formatFixed(y, 5, 8, sep))));
}

QList<QAction*> MainWindow::commandActions() const { return actions_; }

QAction* MainWindow::commandAction(const QString& caption) const {
  for (QAction* a : actions_)
    if (a->text() == caption) return a;
  return nullptr;
}

void MainWindow::openDataFile(const QString& path) {
  if (busy_) return;
  // Tables and FITS files first ask which columns and band to read.
  const std::optional<ImportOptions> options = chooseImportOptions(this, path, hooks_.execDialog);
  if (!options) return;
  bool opened = false;
  run([&] {
    Outcome out = loadObservations(ws_, path.toStdString(), *options);
    opened = out.ok;
    if (opened) forgetPreviousLightCurve(out);
    return out;
  });
  // A file that gave no light curve leaves the one on screen as it was: its
  // zoom, fields and status texts, its undo steps, its unsaved state, and
  // the recent files.
  if (!opened) return;
  // A new light curve starts unzoomed. The light curve's fill above already
  // set its home range, kept from view while zoomed; the emptied phase
  // diagram and periodogram take the ranges of empty charts.
  w_.chart1->resetZoom();
  w_.chart2->showEmptyRange();
  w_.chart3->showEmptyRange();
  for (ChartView* c : {w_.chart1, w_.chart2, w_.chart3}) c->replot(QCustomPlot::rpQueuedReplot);
  // Also what the user typed there: it was for the previous star.
  w_.period->clear();
  w_.t0->clear();
  shownPeriodField_.clear();
  shownT0Field_.clear();
  history_.clear();
  periodogramShownAt_.clear();
  markSaved();
  addRecentFile(path);
}

void MainWindow::forgetPreviousLightCurve(Outcome& loaded) {
  // The load resets the results panel and the command states; what else
  // described the previous star goes too, so that no command finds it
  // there: the last fit, the periodogram (its peaks would be listed and
  // adopted for the new star), the clicked times ("Night" and "Mark
  // between" would mark by them), the manual phasing fields and the status
  // bar's texts (an empty text clears a panel).
  ws_.modelCurve = FittedModelCurve{};
  ws_.periodogram = Periodogram{};
  ws_.lastClickTime = ws_.previousClickTime = 0.0;
  ws_.panel.periodField.clear();
  ws_.panel.t0Field.clear();
  for (std::optional<std::string>& text : loaded.status)
    if (!text) text.emplace();
}

void MainWindow::openChosenFile(const QString& path) {
  if (busy_ || !maybeSaveChanges()) return;
  openDataFile(path);
}

// Undo, unsaved changes, recent files, dropped files -------------------------

void MainWindow::runEdit(const QString& name, const std::function<Outcome()>& operation) {
  if (busy_) return;
  const std::uint64_t beforeId = history_.stateId();
  const bool shownBefore = w_.chart3->line->dataCount() > 0;
  history_.begin(ws_);
  run(operation);
  if (history_.commit(ws_, name.toStdString())) {
    periodogramShownAt_[beforeId] = shownBefore;
    periodogramShownAt_[history_.stateId()] = w_.chart3->line->dataCount() > 0;
  }
  updateUndoActions();
}

void MainWindow::undoOrRedo(bool undo) {
  if (busy_ || !(undo ? history_.canUndo() : history_.canRedo())) return;
  const std::uint64_t fromId = history_.stateId();
  run([&] {
    Outcome out = undo ? history_.undo(ws_) : history_.redo(ws_);
    if (!out.ok) return out;
    // A periodogram the step's command took off the chart comes back with
    // undo and goes again with redo; one a later search drew stays.
    const std::uint64_t toId = history_.stateId();
    if (periodogramShownAt_.value(toId, false) && w_.chart3->line->dataCount() == 0)
      out.redraw.periodogram = true;
    if (!undo && periodogramShownAt_.value(fromId, false) && !periodogramShownAt_.value(toId, true))
      out.redraw.clearPeriodogram = true;
    return out;
  });
  if (!history_.canUndo() && !history_.canRedo()) periodogramShownAt_.clear();
  updateUndoActions();
}

void MainWindow::updateUndoActions() {
  const QString undoName = qs(history_.undoName());
  const QString redoName = qs(history_.redoName());
  undo_->setText(undoName.isEmpty() ? QStringLiteral("Undo") : QStringLiteral("Undo ") + undoName);
  redo_->setText(redoName.isEmpty() ? QStringLiteral("Redo") : QStringLiteral("Redo ") + redoName);
  undo_->setEnabled(history_.canUndo());
  redo_->setEnabled(history_.canRedo());
  updateCaption();
}

bool MainWindow::hasUnsavedChanges() const {
  if (ws_.dataLoaded != 1) return false;
  // Only commands recorded in the history change the observations, so the
  // fingerprint is recomputed only when the history's state moved. Marks
  // alone are not saved and do not count.
  if (history_.stateId() != fingerprintStateId_) {
    fingerprintStateId_ = history_.stateId();
    currentFingerprint_ = savedContentFingerprint(ws_.lightCurve);
  }
  return currentFingerprint_ != savedFingerprint_;
}

void MainWindow::updateCaption() {
  // The caption already uses " * " between the name and the path, so the
  // mark of unsaved changes follows the path.
  setWindowTitle(qs(ws_.caption) + (hasUnsavedChanges() ? QStringLiteral("*") : QString()));
}

void MainWindow::markSaved() {
  savedFingerprint_ = savedContentFingerprint(ws_.lightCurve);
  fingerprintStateId_ = history_.stateId();
  currentFingerprint_ = savedFingerprint_;
  updateCaption();
}

bool MainWindow::maybeSaveChanges() {
  if (!hasUnsavedChanges()) return true;
  switch (hooks_.askUnsavedChanges(this, qs(ws_.files.dataPath))) {
    case UnsavedChoice::Save:
      return saveCurrentData();
    case UnsavedChoice::Discard:
      return true;
    case UnsavedChoice::Cancel:
      break;
  }
  return false;
}

bool MainWindow::saveCurrentData() {
  if (busy_) return false;
  bool saved = false;
  run([&] {
    Outcome out = saveDataKeepingOriginal(ws_);
    saved = out.ok && ws_.dataLoaded == 1;
    return out;
  });
  if (saved) markSaved();
  return saved;
}

void MainWindow::addRecentFile(const QString& path) {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  QSettings store = settingsStore();
  QStringList files = store.value(QStringLiteral("recentFiles")).toStringList();
  files.removeAll(absolute);
  files.prepend(absolute);
  while (files.size() > kRecentFiles) files.removeLast();
  store.setValue(QStringLiteral("recentFiles"), files);
  rebuildRecentFilesMenu();
}

void MainWindow::rebuildRecentFilesMenu() {
  recentMenu_->clear();
  const QStringList files = settingsStore().value(QStringLiteral("recentFiles")).toStringList();
  int number = 0;
  for (const QString& path : files) {
    if (number == kRecentFiles) break;
    ++number;
    QAction* a = recentMenu_->addAction(
        QStringLiteral("&%1 %2").arg(number % 10).arg(QFileInfo(path).fileName()));
    a->setToolTip(path);
    a->setStatusTip(path);
    a->setData(path);
    // A file that has gone stays listed, greyed, until the list is cleared.
    a->setEnabled(QFileInfo::exists(path));
    connect(a, &QAction::triggered, this, [this, path] { openChosenFile(path); });
  }
  if (files.isEmpty()) recentMenu_->addAction(QStringLiteral("(none)"))->setEnabled(false);
  recentMenu_->addSeparator();
  QAction* clear = recentMenu_->addAction(QStringLiteral("Clear list"));
  clear->setEnabled(!files.isEmpty());
  connect(clear, &QAction::triggered, this, [this] {
    settingsStore().remove(QStringLiteral("recentFiles"));
    rebuildRecentFilesMenu();
  });
}

namespace {
// The first local file among dropped URLs, or an empty text.
QString droppedFile(const QMimeData* mime) {
  if (mime == nullptr || !mime->hasUrls()) return QString();
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) return url.toLocalFile();
  return QString();
}
}  // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!busy_ && !droppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  const QString path = droppedFile(event->mimeData());
  if (busy_ || path.isEmpty()) return;
  event->acceptProposedAction();
  // Opened after the drop has finished, so that a question about unsaved
  // changes does not hold the dragging program.
  QTimer::singleShot(0, this, [this, path] { openChosenFile(path); });
}

PhaseDiagramView MainWindow::phaseView() const {
  PhaseDiagramView v;
  v.model = showModel_ != nullptr && showModel_->isChecked();
  v.residuals = showResiduals_ != nullptr && showResiduals_->isChecked();
  return v;
}

// Handlers ------------------------------------------------------------------

void MainWindow::onOpenData() {
  if (busy_ || !maybeSaveChanges()) return;
  const QString path = hooks_.chooseDataFile(this);
  if (!path.isEmpty()) openDataFile(path);
}
void MainWindow::onSaveData() { saveCurrentData(); }
void MainWindow::onSaveDataAs() {
  if (busy_ || ws_.dataLoaded != 1) return;
  const QString path = hooks_.chooseSaveFile(this, qs(ws_.files.dataPath));
  if (path.isEmpty()) return;
  bool saved = false;
  run([&] {
    Outcome out = saveDataAs(ws_, path.toStdString());
    saved = out.ok;
    return out;
  });
  if (saved) {
    markSaved();
    addRecentFile(path);
  }
}

void MainWindow::onUndo() { undoOrRedo(true); }
void MainWindow::onRedo() { undoOrRedo(false); }

void MainWindow::onShowModel() {
  settingsStore().setValue(QStringLiteral("showModel"), showModel_->isChecked());
  redraw(Redraws{.phaseDiagram = true});
}
void MainWindow::onShowResiduals() {
  settingsStore().setValue(QStringLiteral("showResiduals"), showResiduals_->isChecked());
  // Points move between values and residuals: the zoomed range means nothing
  // in the other view.
  w_.chart2->resetZoom();
  redraw(Redraws{.phaseDiagram = true});
}
void MainWindow::onResetZoom() {
  for (ChartView* c : {w_.chart1, w_.chart2, w_.chart3}) {
    c->resetZoom();
    c->replot(QCustomPlot::rpQueuedReplot);
  }
}
void MainWindow::onSavePhasedData() {
  run([&] { return savePhasedData(ws_); });
}
void MainWindow::onSavePhasedBinned() {
  run([&] { return savePhasedBinned(ws_); });
}
void MainWindow::onSavePeriodogram() {
  run([&] { return savePeriodogram(ws_); });
}
void MainWindow::onExit() {
  if (busy_ || !maybeSaveChanges()) return;
  hooks_.exitProcess(0);
}

void MainWindow::onAnalyse() {
  if (busy_ || !readSearchSettings()) return;
  if (runSearch(analyseAov)) showSearchReport(SearchEngine::Aov);
}
void MainWindow::onAovButton() { onAnalyse(); }
void MainWindow::onAovTransitButton() {
  if (busy_ || !readSearchSettings()) return;
  if (runSearch(analyseAovTransit, false)) showSearchReport(SearchEngine::AovTransit);
}
void MainWindow::onLombScargleButton() {
  if (busy_ || !readSearchSettings()) return;
  if (runSearch(analyseLombScargle, false)) showSearchReport(SearchEngine::LombScargle);
}

void MainWindow::onGetStatistics() {
  run([&] { return getStatistics(ws_); });
}
void MainWindow::onBin2Points() {
  run([&] { return binByPoints(ws_, 2); });
}
void MainWindow::onBin3Points() {
  run([&] { return binByPoints(ws_, 3); });
}
void MainWindow::onBin4Points() {
  run([&] { return binByPoints(ws_, 4); });
}
void MainWindow::onBinDays() {
  run([&] { return binByDay(ws_); });
}
void MainWindow::onBin1Minute() {
  run([&] { return binByMinutes(ws_, 1); });
}
void MainWindow::onBin2Minutes() {
  run([&] { return binByMinutes(ws_, 2); });
}
void MainWindow::onBin3Minutes() {
  run([&] { return binByMinutes(ws_, 3); });
}
void MainWindow::onBin5Minutes() {
  run([&] { return binByMinutes(ws_, 5); });
}
void MainWindow::onBin10Minutes() {
  run([&] { return binByMinutes(ws_, 10); });
}
void MainWindow::onNormalize() {
  runEdit(QStringLiteral("Normalize light curve"), [&] { return normalizeLightCurve(ws_); });
}
void MainWindow::onFluxToMag() {
  runEdit(QStringLiteral("Flux to mag"), [&] { return fluxToMag(ws_); });
}
void MainWindow::onMagToFlux() {
  runEdit(QStringLiteral("Mag to flux"), [&] { return magToFlux(ws_); });
}
void MainWindow::onHalvePeriod() {
  run([&] { return halvePeriod(ws_); });
}
void MainWindow::onDoublePeriod() {
  run([&] { return doublePeriod(ws_); });
}
void MainWindow::onShiftT0() {
  run([&] { return shiftT0(ws_); });
}

void MainWindow::onMark5Sigma() {
  runEdit(QStringLiteral("5-sigma outliers"), [&] { return markSigmaOutliers(ws_, 5); });
}
void MainWindow::onMark3Sigma() {
  runEdit(QStringLiteral("3-sigma outliers"), [&] { return markSigmaOutliers(ws_, 3); });
}
void MainWindow::onMark25Sigma() {
  runEdit(QStringLiteral("2.5-sigma outliers"), [&] { return markSigmaOutliers(ws_, 2.5); });
}
void MainWindow::onMark2Sigma() {
  runEdit(QStringLiteral("2-sigma outliers"), [&] { return markSigmaOutliers(ws_, 2); });
}
void MainWindow::onMoveMarkedUp() {
  runEdit(QStringLiteral("Move marked points up"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::Up); });
}
void MainWindow::onMoveMarkedLeft() {
  runEdit(QStringLiteral("Move marked points left"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::Left); });
}
void MainWindow::onMoveMarkedLeftFaster() {
  runEdit(QStringLiteral("Move left faster"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::LeftFaster); });
}
void MainWindow::onMoveMarkedDown() {
  runEdit(QStringLiteral("Move marked points down"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::Down); });
}
void MainWindow::onMoveMarkedRight() {
  runEdit(QStringLiteral("Move marked points right"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::Right); });
}
void MainWindow::onMoveMarkedRightFaster() {
  runEdit(QStringLiteral("Move right faster"),
          [&] { return moveMarkedPoints(ws_, MoveDirection::RightFaster); });
}
void MainWindow::onMarkNight() {
  runEdit(QStringLiteral("Night"), [&] { return markNight(ws_); });
}
void MainWindow::onUnmark() {
  runEdit(QStringLiteral("Unmark points"), [&] { return unmarkPoints(ws_); });
}
void MainWindow::onRemoveMarked() {
  runEdit(QStringLiteral("Remove marked points"), [&] { return removeMarkedPoints(ws_); });
}
void MainWindow::onMarkBetween() {
  runEdit(QStringLiteral("Mark between"), [&] { return markBetween(ws_); });
}
void MainWindow::onAddFlippedDataset() {
  runEdit(QStringLiteral("Add flipped dataset"), [&] { return addFlippedDataset(ws_); });
}

void MainWindow::onAddToX() {
  if (busy_ || hooks_.execDialog(*adding_) != QDialog::Accepted) return;
  if (auto v = readDouble(adding_->valueField->text()))
    runEdit(QStringLiteral("Add to X"), [&] { return addToX(ws_, *v); });
}
void MainWindow::onAddToY() {
  if (busy_ || hooks_.execDialog(*adding_) != QDialog::Accepted) return;
  if (auto v = readDouble(adding_->valueField->text()))
    runEdit(QStringLiteral("Add to Y"), [&] { return addToY(ws_, *v); });
}

void MainWindow::onGenerateWhiteNoise() {
  runEdit(QStringLiteral("Generate white noise"),
          [&] { return generateWhiteNoise(ws_, nextSeed()); });
}
void MainWindow::onRandomlyPermute() {
  runEdit(QStringLiteral("Randomly permute"), [&] { return randomlyPermute(ws_, nextSeed()); });
}
void MainWindow::onWhiteNoiseLombScargleRuns() {
  runSignificance(SearchEngine::LombScargle, Randomization::WhiteNoise);
}
void MainWindow::onPermutationAovRuns() {
  runSignificance(SearchEngine::Aov, Randomization::Permute);
}
void MainWindow::onPermutationLombScargleRuns() {
  runSignificance(SearchEngine::LombScargle, Randomization::Permute);
}

void MainWindow::runSignificance(SearchEngine method, Randomization randomization) {
  if (busy_ || !readSearchSettings()) return;
  SignificanceOptions options;
  options.method = method;
  options.randomization = randomization;
  options.iterations = significanceIterations;
  options.seed = nextSeed();
  runSearch([options](Workspace& ws, const RunControl& rc) {
    return runSignificanceTest(ws, options, rc);
  });
}

std::uint64_t MainWindow::nextSeed() { return seed_++; }

void MainWindow::onSpectralWindow() {
  runEdit(QStringLiteral("Spectral window"), [&] { return spectralWindow(ws_); });
}
void MainWindow::onMarkSpec() {
  runEdit(QStringLiteral("Mark spec"), [&] { return markSpec(ws_); });
}
void MainWindow::onMarkPlusMinus() {
  runEdit(QStringLiteral("mark plus minus"), [&] { return markPlusMinus(ws_); });
}
void MainWindow::onDeleteFile() {
  if (busy_) return;
  // Deleting cannot be undone, and F12 is one key away from the others:
  // the file is deleted only when the user says so. Without a file name
  // (nothing loaded) there is nothing to name or delete.
  const QString path = qs(ws_.files.dataPath);
  if (!path.isEmpty() && !hooks_.confirmDeleteFile(this, path)) return;
  run([&] { return deleteDataFile(ws_); });
}
void MainWindow::onAddAsTemplate() {
  run([&] { return addAsTemplate(ws_); });
}
void MainWindow::onRemovePeriod() {
  runEdit(QStringLiteral("Remove period"), [&] { return removePeriod(ws_); });
}

void MainWindow::buildHelp() {
  // From the menus themselves, so that the table never misses a shortcut.
  QList<QPair<QString, QString>> rows;
  for (QAction* a : actions_)
    if (!a->shortcut().isEmpty() && a->isVisible())
      rows.append({a->text().trimmed(), a->shortcut().toString(QKeySequence::NativeText)});
  rows.append(
      {QStringLiteral("Mark or unmark a point (top and phase charts)"), QStringLiteral("Click")});
  rows.append({QStringLiteral("Zoom into a rectangle"), QStringLiteral("Drag")});
  rows.append({QStringLiteral("Zoom around the cursor (over an axis: that axis)"),
               QStringLiteral("Wheel; Ctrl+Wheel horizontal, Shift+Wheel vertical")});
  rows.append({QStringLiteral("Pan the periodogram"), QStringLiteral("Shift+Drag")});
  rows.append({QStringLiteral("Save a chart, reset its zoom"), QStringLiteral("Right click")});
  rows.append({QStringLiteral("Open a file"), QStringLiteral("Drop it on the window")});
  help_->setShortcuts(rows);
}

void MainWindow::onHelp() {
  if (!busy_) hooks_.execDialog(*help_);
}
void MainWindow::onAbout() {
  if (!busy_) hooks_.execDialog(*about_);
}

void MainWindow::onPhaseButton() {
  if (busy_) return;
  const std::optional<double> period = readDouble(w_.period->text());
  if (!period) return;
  const std::optional<double> t0 = readDouble(w_.t0->text());
  if (!t0) return;
  run([&] { return phaseManually(ws_, *period, *t0); });
}

void MainWindow::onInvertOrdinate() {
  // The phase chart decides; both charts always switch together.
  const bool invert = !ordinateInverted(*w_.chart2);
  for (ChartView* c : {w_.chart1, w_.chart2}) {
    setOrdinateInverted(*c, invert);
    c->replot(QCustomPlot::rpQueuedReplot);
  }
  if (residualsShown(ws_, phaseView())) w_.chart2->yAxis->setLabel(QStringLiteral("Residual"));
}

void MainWindow::onLightCurveClick(double x, double y) {
  if (busy_) return;
  showReadout(x, y);
  runEdit(QStringLiteral("Click on a point"), [&] { return toggleMarkInLightCurve(ws_, x, y); });
}

void MainWindow::onPhaseDiagramClick(double x, double y) {
  if (busy_) return;
  showReadout(x, y);
  // In the residuals view the chart shows value minus model: find the
  // clicked point by what the chart shows, then toggle it by its value.
  double value = y;
  const PhaseDiagramView view = phaseView();
  if (residualsShown(ws_, view)) {
    const int n = std::min<int>(ws_.lightCurve.pointCount, static_cast<int>(ws_.phase.size()));
    for (int i = 0; i < n; ++i)
      if ((ws_.phase[i] == x || ws_.phase[i] + 1 == x) && phaseChartValue(ws_, i, view) == y) {
        value = ws_.phasedValue[i];
        break;
      }
  }
  runEdit(QStringLiteral("Click on a point"),
          [&] { return toggleMarkInPhaseDiagram(ws_, x, value); });
}

void MainWindow::onPeriodogramClick(double x, double y) { showReadout(x, y); }

// Searches beyond the three commands ------------------------------------------

void MainWindow::showSearchReport(SearchEngine engine) {
  lastEngine_ = engine;
  autoCandidates_.clear();  // they belong to the auto search's periodogram
  const SearchReport report = reportForStoredSearch(ws_, engine);
  if (report.warnings.empty()) return;
  setNotes(notes_ + QStringList{qs(report.warnings.front())});
}

void MainWindow::onAutoSearch() {
  if (busy_ || !ws_.commands.analyse || !readSearchSettings()) return;
  SearchReport report;
  const bool ok = runSearch([&report](Workspace& ws, const RunControl& rc) {
    // The period limits come from the data; the fields keep the user's.
    const SearchSettings typed = ws.settings;
    Outcome out = analyseAutoSearch(ws, autoSearchOptions(SearchEngine::Aov), rc, &report);
    ws.settings = typed;
    return out;
  });
  if (!ok) return;
  lastEngine_ = SearchEngine::Aov;
  autoCandidates_ = report.candidates;
  const char sep = ws_.decimalSeparator;
  QString note =
      QStringLiteral("Auto: periods %1 to %2 d, grid period %3 d, alias %4")
          .arg(qs(formatFixed(report.minPeriod, 3, 6, sep)),
               qs(formatFixed(report.maxPeriod, 1, 7, sep)),
               qs(formatFixed(report.gridPeriod, 6, 10, sep)),
               QString::fromLatin1(aliasName(report.alias.value_or(AliasDecision::None))));
  // A close runner-up is the sign that a person should look at both folds.
  if (const std::string runnerUp = runnerUpNote(report, sep); !runnerUp.empty())
    note += QStringLiteral("; ") + qs(runnerUp);
  setNotes({note});
}

void MainWindow::onRefinePeriod() {
  if (busy_) return;
  // A period typed into "Period:" is refined without pressing "Phase". An
  // empty field (as after opening a file) is no typing error: the adopted
  // period is refined, when this light curve has one.
  if (w_.period->text().trimmed().isEmpty()) {
    if (ws_.phased != 1) {
      hooks_.showMessage(this, informationBox("Type a period into \"Period:\" or run a search "
                                              "first: there is no period to refine."));
      return;
    }
  } else if (auto period = readDouble(w_.period->text()); period && *period > 0) {
    ws_.period = *period;
  }
  const SearchEngine engine = lastEngine_;
  runSearch([engine](Workspace& ws, const RunControl& rc) {
    return refineCurrentPeriod(ws, engine, rc);
  });
}

void MainWindow::onPeriodogramPeaks() {
  if (busy_) return;
  if (ws_.periodogram.frequencyCount <= 0) {
    hooks_.showMessage(this, informationBox("Run a search first: there is no periodogram."));
    return;
  }
  PeakListDialog dialog(ws_, lastEngine_, 10, this, autoCandidates_);
  if (hooks_.execDialog(dialog) != QDialog::Accepted) return;
  if (const double period = dialog.chosenCandidatePeriod(); period > 0) {
    run([&] { return analyseAtPeriod(ws_, period); });
    return;
  }
  const std::int32_t index = dialog.chosenIndex();
  if (index >= 0) run([&] { return adoptPeriodogramPeak(ws_, index); });
}

void MainWindow::onPeriodogramDoubleClick(double x, double xLow, double xHigh) {
  if (busy_ || ws_.periodogram.frequencyCount <= 0 || !(x > 0)) return;
  // The amplitude spectrum's peaks are not the search's: nothing to adopt.
  if (amplitudeSpectrumShown(*w_.chart3)) return;
  const bool byFrequency = periodogramAbscissa(*w_.chart3) == PeriodogramAbscissa::Frequency;
  // The cursor's few pixels, as frequencies either side.
  auto frequencyOf = [byFrequency](double v) { return byFrequency ? v : 1 / v; };
  double tolerance = 0.0;
  for (double edge : {xLow, xHigh})
    if (edge > 0) tolerance = std::max(tolerance, std::abs(frequencyOf(edge) - frequencyOf(x)));
  const std::int32_t index = peakUnder(ws_.periodogram, frequencyOf(x), tolerance);
  if (index >= 0) run([&] { return adoptPeriodogramPeak(ws_, index); });
}

// The periodogram by frequency ---------------------------------------------

void MainWindow::setPeriodogramByFrequency(bool byFrequency) {
  byFrequency_->setChecked(byFrequency);
  w_.byFrequency->setChecked(byFrequency);
  const PeriodogramAbscissa wanted =
      byFrequency ? PeriodogramAbscissa::Frequency : PeriodogramAbscissa::Period;
  // The amplitude spectrum stays while the view stays by frequency.
  if (periodogramAbscissa(*w_.chart3) == wanted) return;
  setPeriodogramAbscissa(*w_.chart3, wanted);
  fillPeriodogram(*w_.chart3, ws_);
  w_.chart3->replot(QCustomPlot::rpQueuedReplot);
}

void MainWindow::onPeriodogramByFrequency() {
  if (busy_) {
    byFrequency_->setChecked(!byFrequency_->isChecked());  // undo the menu's toggle
    return;
  }
  setPeriodogramByFrequency(byFrequency_->isChecked());
}

void MainWindow::onAmplitudeSpectrum() {
  if (busy_ || !ws_.commands.analyse) return;
  auto spectrum = std::make_shared<LightCurveAmplitudeSpectrum>();
  const bool ok = runSearch([spectrum](Workspace& ws, const RunControl&) {
    *spectrum = amplitudeSpectrumOfLightCurve(ws);
    Outcome out;
    if (!spectrum->ok) {
      out.ok = false;
      out.failure = Failure::Refused;
      out.message = warningBox(spectrum->message);
    }
    return out;
  });
  if (!ok) return;
  setPeriodogramByFrequency(true);
  fillAmplitudeSpectrum(*w_.chart3, spectrum->frequency, spectrum->amplitude, spectrum->valueKind);
  w_.chart3->replot(QCustomPlot::rpQueuedReplot);
  const char sep = ws_.decimalSeparator;
  setNotes({QStringLiteral("Amplitude spectrum: highest %1 at %2 c/d (period %3 d)")
                .arg(qs(formatFixed(spectrum->peakAmplitude, 5, 10, sep)),
                     qs(formatFixed(spectrum->peakFrequency, 6, 10, sep)),
                     qs(spectrum->peakFrequency > 0
                            ? formatFixed(1 / spectrum->peakFrequency, 6, 10, sep)
                            : std::string("-")))});
}

}  // namespace fazorn::ui

#include "moc_main_window.cpp"  // here, not in a file of its own: ui/CMakeLists.txt
