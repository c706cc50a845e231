// The main window: menus, shortcuts, the search and phasing fields, the
// results panel, the status bar and the three charts. Every command handler
// reads its fields, calls one core operation on the Workspace and shows the
// Outcome; the window computes nothing itself.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <optional>

#include "commands/auto_search.h"
#include "commands/significance.h"
#include "core/outcome.h"
#include "core/run_control.h"
#include "core/undo_history.h"
#include "core/workspace.h"
#include "search/search_grid.h"
#include "ui/chart_view.h"

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollArea;

namespace fazorn::ui {

class AboutBox;
class AddingForm;
class ChartView;
class FrequencyDock;
class HelpForm;

// The answer to "unsaved changes" before opening another file or leaving.
enum class UnsavedChoice { Save, Discard, Cancel };

// What the window does outside itself; tests replace these so that nothing
// blocks or ends the test process.
struct WindowHooks {
  // "Exit": ends the process with the status, without saving the settings.
  std::function<void(int status)> exitProcess;
  // "Open Data": the chosen path, or an empty text when cancelled.
  std::function<QString(QWidget* parent)> chooseDataFile;
  // A modal message box with an OK button.
  std::function<void(QWidget* parent, const Message&)> showMessage;
  // Runs a dialog modally and returns its result (QDialog::Accepted...).
  std::function<int(QDialog&)> execDialog;
  // "Save Data As...": the chosen path, or an empty text when cancelled.
  std::function<QString(QWidget* parent, const QString& suggestion)> chooseSaveFile;
  // Asked before unsaved changes to the observations would be lost.
  std::function<UnsavedChoice(QWidget* parent, const QString& dataPath)> askUnsavedChanges;
  // Asked before "Delete file" removes the observation file: true deletes it.
  std::function<bool(QWidget* parent, const QString& dataPath)> confirmDeleteFile;
};

// The hooks of the real program: std::_Exit, QFileDialog, QMessageBox, exec().
// Unset hooks of a WindowHooks given to the window are these.
WindowHooks defaultWindowHooks();

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(WindowHooks hooks = defaultWindowHooks(), QWidget* parent = nullptr);
  ~MainWindow() override;

  Workspace& workspace() { return ws_; }

  // Opens a data file as "Open Data" does after its dialog.
  void openDataFile(const QString& path);
  // Opens a data file chosen outside the open dialog (a dropped file, a
  // recent file): first asks about unsaved changes.
  void openChosenFile(const QString& path);

  // Unsaved changes to the observations since they were opened or saved.
  bool hasUnsavedChanges() const;
  UndoHistory& history() { return history_; }
  // The "Recent files" submenu, rebuilt from the settings when shown.
  QMenu* recentFilesMenu() const { return recentMenu_; }
  void rebuildRecentFilesMenu();
  static constexpr int kRecentFiles = 10;

  // Runs a search on a worker thread behind a window-modal progress dialog
  // with a Cancel button, the wait cursor and "Working..." in the second
  // status panel; no other command starts meanwhile. The search owns the
  // Workspace until it returns; cancelling sets its RunControl's flag.
  // `statusWorking`: "Working..." in the second status panel during the run
  // (the AoV commands); the AoVtr and Lomb-Scargle commands leave it as it is
  // until they empty it at the end.
  // Returns the search's Outcome.ok (false also when a search was running).
  bool runSearch(const std::function<Outcome(Workspace&, const RunControl&)>& search,
                 bool statusWorking = true);
  bool searchRunning() const { return busy_; }

  // Randomised runs of the "1e5 iterations" significance tests.
  long significanceIterations = 100000;

  // Every command of the menus, including the hidden ones, in menu order.
  QList<QAction*> commandActions() const;
  QAction* commandAction(const QString& caption) const;  // first with that caption

  // The parts of the window, for the handlers and for tests.
  struct Widgets {
    ChartView* chart1 = nullptr;  // "Observed data"
    ChartView* chart2 = nullptr;  // "Phased data"
    ChartView* chart3 = nullptr;  // "Periodogram"
    QLineEdit* minPeriod = nullptr;
    QLineEdit* maxPeriod = nullptr;
    QLineEdit* harmonics = nullptr;
    QLineEdit* resolution = nullptr;
    QLineEdit* period = nullptr;  // "Manual phasing:"
    QLineEdit* t0 = nullptr;
    QPushButton* aov = nullptr;
    QPushButton* aovTransit = nullptr;
    QPushButton* lombScargle = nullptr;
    QPushButton* autoSearch = nullptr;  // "Auto"
    // The amplitude spectrum as the periodogram's method, and the frequency
    // abscissa it is drawn on (also View > Periodogram by frequency).
    QPushButton* amplitudeSpectrum = nullptr;  // "Amplitude"
    QCheckBox* byFrequency = nullptr;          // "By frequency"
    QPushButton* phase = nullptr;
    QPushButton* invertOrdinate = nullptr;
    QLabel* dataPoints = nullptr;
    QLabel* timeSpan = nullptr;
    QLabel* period_ = nullptr;  // "Results:" labels
    QLabel* t0_ = nullptr;
    QLabel* maxMag = nullptr;
    QLabel* amplitude = nullptr;
    QLabel* type = nullptr;
    QLabel* score = nullptr;
    QLabel* error = nullptr;
    QLabel* meanMag = nullptr;
    QLabel* rms = nullptr;
    QLabel* gamma = nullptr;
    QLabel* status[3] = {nullptr, nullptr, nullptr};
    QLabel* notes = nullptr;            // non-modal remarks of the last command
    QScrollArea* rightPanel = nullptr;  // the fields, buttons and labels beside the charts
  };
  const Widgets& widgets() const { return w_; }

  // The dialogs, created after the window as the program starts.
  AboutBox* aboutBox() const { return about_; }
  HelpForm* helpForm() const { return help_; }
  AddingForm* addingForm() const { return adding_; }
  // The frequency table and amplitude spectra (View > Frequency analysis).
  FrequencyDock* frequencyDock() const { return frequencyDock_; }

 public slots:
  // One slot a command, named by what it does; each says its menu caption
  // (and shortcut), so that a command is found from the menu.
  // File
  void onOpenData();          // "Open Data" (O)
  void onSaveData();          // "Save Data" (S)
  void onSaveDataAs();        // "Save Data As..." (Ctrl+Shift+S)
  void onSavePhasedData();    // "Save Phased Data" (F)
  void onSavePhasedBinned();  // "Save Phased Binned" (E)
  void onSavePeriodogram();   // "Save Periodogram" (P)
  void onExit();              // "Exit"
  // Data
  void onAnalyse();                     // "Analyse" (F1)
  void onGetStatistics();               // "Get statistics" (F2)
  void onBin2Points();                  // "2 point binning"
  void onBin3Points();                  // "3 point binning"
  void onBin4Points();                  // "4 point binning"
  void onBinDays();                     // "Day binning"
  void onBin1Minute();                  // "1 minute"
  void onBin2Minutes();                 // "2 minutes"
  void onBin3Minutes();                 // "3 minutes"
  void onBin5Minutes();                 // "5 minutes"
  void onBin10Minutes();                // "10 minutes"
  void onNormalize();                   // "Normalize light curve" (F3)
  void onFluxToMag();                   // "Flux to mag"
  void onMagToFlux();                   // "Mag to flux"
  void onHalvePeriod();                 // "Halve period" (F5)
  void onDoublePeriod();                // "Double period" (F6)
  void onShiftT0();                     // "Shift T0" (F7)
  void onMark5Sigma();                  // "5-sigma outliers" (Ctrl+F)
  void onMark3Sigma();                  // "3-sigma outliers" (Ctrl+T)
  void onMark25Sigma();                 // "2.5-sigma outliers" (Ctrl+G)
  void onMark2Sigma();                  // "2-sigma outliers" (Ctrl+Y)
  void onMoveMarkedUp();                // "Move marked points up" (Shift+Up)
  void onMoveMarkedLeft();              // "Move marked points left" (Shift+Left)
  void onMoveMarkedLeftFaster();        // "Move left faster" (Ctrl+Shift+Left)
  void onMoveMarkedDown();              // "Move marked points down" (Shift+Down)
  void onMoveMarkedRight();             // "Move marked points right" (Shift+Right)
  void onMoveMarkedRightFaster();       // "Move right faster" (Ctrl+Shift+Right)
  void onMarkNight();                   // "Night" (Ctrl+N)
  void onUnmark();                      // "Unmark points" (Ctrl+M)
  void onRemoveMarked();                // "Remove marked points" (Ctrl+R)
  void onMarkBetween();                 // "Mark between" (Ctrl+B)
  void onAddFlippedDataset();           // "Add flipped dataset"
  void onAddToX();                      // "Add to X"
  void onAddToY();                      // "Add to Y"
  void onGenerateWhiteNoise();          // "Generate white noise" (Ctrl+W)
  void onWhiteNoiseLombScargleRuns();   // "--> 1e5 L-S iterations"
  void onRandomlyPermute();             // "Randomly permute" (Ctrl+P)
  void onPermutationAovRuns();          // "--> 1e5 AoV iterations"
  void onPermutationLombScargleRuns();  // "--> 1e5 L-S iterations"
  void onSpectralWindow();              // "Spectral window"
  void onMarkSpec();                    // "Mark spec"
  void onMarkPlusMinus();               // "mark plus minus"
  void onDeleteFile();                  // "Delete file" (F12)
  void onAddAsTemplate();               // "Add as a template"
  void onRemovePeriod();                // "Remove period"
  // Edit
  void onUndo();  // "Undo" (Ctrl+Z)
  void onRedo();  // "Redo" (Ctrl+Shift+Z)
  // View
  void onShowModel();      // "Model over phase diagram" (Ctrl+L)
  void onShowResiduals();  // "Residuals in phase diagram"
  void onResetZoom();      // "Reset zoom" (Ctrl+0)
  // The periodogram by frequency (c/d, linear) instead of by period.
  void onPeriodogramByFrequency();  // "Periodogram by frequency"
  // Searches beyond the three commands (the engine of the last search is
  // the one refined and listed).
  void onAutoSearch();        // "Auto search" (F8), the button "Auto"
  void onRefinePeriod();      // "Refine period" (F9)
  void onPeriodogramPeaks();  // "Periodogram peaks..." (Ctrl+K)
  // The amplitude spectrum of the light curve in the periodogram chart, by
  // frequency; the search's periodogram stays in the Workspace.
  void onAmplitudeSpectrum();  // "Amplitude spectrum", the button "Amplitude"
  // A double click on the periodogram at period x (the cursor covering
  // xLow to xHigh): adopts the highest point of the peak under it.
  void onPeriodogramDoubleClick(double x, double xLow = 0, double xHigh = 0);
  // Fazorn
  void onHelp();   // "Help"
  void onAbout();  // "About"
  // Buttons
  void onAovButton();          // "AoV"
  void onAovTransitButton();   // "AoVtr"
  void onLombScargleButton();  // "Lomb-Scarge"
  void onPhaseButton();        // "Phase"
  void onInvertOrdinate();     // "Invert ordinate"
  // Chart clicks: (x, y) of the clicked point.
  void onLightCurveClick(double x, double y);
  void onPhaseDiagramClick(double x, double y);
  void onPeriodogramClick(double x, double y);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void buildMenus();
  QScrollArea* buildRightPanel(QWidget* parent);
  void buildStatusBar();
  void restoreSettings();
  bool saveSettings();

  // Field conversions with the user's locale; a text that is not a number
  // shows the conversion error naming it and gives nothing.
  std::optional<double> readDouble(const QString& text);
  std::optional<int> readInt(const QString& text);
  bool readSearchSettings();

  // Runs one operation between the wait cursor and the default cursor and
  // shows its outcome. Ignored while a search runs.
  void run(const std::function<Outcome()>& operation);
  // The same for a command that may change the observations or marks: it is
  // recorded in the undo history under `name` when it changed them.
  void runEdit(const QString& name, const std::function<Outcome()>& operation);
  void updateUndoActions();
  void updateCaption();
  // Asks about unsaved changes; false when the user cancelled (or saving
  // failed), true when the caller may go on.
  bool maybeSaveChanges();
  bool saveCurrentData();
  void markSaved();
  void addRecentFile(const QString& path);
  // After a successful open: clears what belonged to the previous light
  // curve and the load itself leaves, and has `loaded` empty the status bar.
  void forgetPreviousLightCurve(Outcome& loaded);
  PhaseDiagramView phaseView() const;
  void buildHelp();
  void showOutcome(const Outcome& out);
  // The non-modal remarks in the status bar's last panel, each whole on a
  // line of its tooltip.
  void setNotes(const QStringList& notes);
  void redraw(const Redraws& r);
  void applyWorkspaceTexts();
  void runSignificance(SearchEngine method, Randomization randomization);
  std::uint64_t nextSeed();
  void showReadout(double x, double y);
  // The grid warning of the search just run, in the status bar's notes.
  void showSearchReport(SearchEngine engine);

  Workspace ws_;
  WindowHooks hooks_;
  Widgets w_;
  bool busy_ = false;
  std::uint64_t seed_ = 1;                       // of the randomisations, from the clock at start
  SearchEngine lastEngine_ = SearchEngine::Aov;  // of the last search
  // The candidates of the auto search that made the periodogram shown; none
  // after any other search.
  std::vector<Candidate> autoCandidates_;
  QString shownPeriodField_, shownT0Field_;
  QStringList notes_;  // as shown in the status bar's last panel

  UndoHistory history_;
  // What was opened or last saved, to tell unsaved changes: the fingerprint
  // of the saved content, and the cached one of the current state.
  std::uint64_t savedFingerprint_ = 0;
  mutable std::uint64_t fingerprintStateId_ = ~std::uint64_t{0};
  mutable std::uint64_t currentFingerprint_ = 0;
  QMenu* recentMenu_ = nullptr;
  // Whether the periodogram chart was filled in each state of the history
  // ("Remove marked points" empties it; undo brings it back).
  QHash<std::uint64_t, bool> periodogramShownAt_;
  void undoOrRedo(bool undo);

  QList<QAction*> actions_;
  QAction *saveData_{}, *savePhased_{}, *savePeriodogram_{}, *analyse_{}, *getStatistics_{},
      *dayBinning_{}, *normalize_{}, *halve_{}, *double_{}, *shiftT0_{}, *unmark_{}, *remove_{},
      *deleteFile_{}, *undo_{}, *redo_{}, *saveAs_{}, *showModel_{}, *showResiduals_{},
      *byFrequency_{};
  void setPeriodogramByFrequency(bool byFrequency);

  AboutBox* about_ = nullptr;
  HelpForm* help_ = nullptr;
  AddingForm* adding_ = nullptr;
  FrequencyDock* frequencyDock_ = nullptr;
};

}  // namespace fazorn::ui
