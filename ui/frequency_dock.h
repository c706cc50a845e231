// The dockable frequency table of multi-periodic analysis: the terms of the
// table (frequency, amplitude, phase, their errors, S/N, the harmonic or
// combination relation, an on/off check), the cascade's settings, the
// buttons Add, Remove, "Improve all", "Prewhiten", Save and Load, and an
// amplitude-spectrum chart by frequency (c/d, linear axis) that shows the
// data's spectrum, the spectral window, the residual spectrum after each
// step of the cascade or of the table as it stands.
//
// The dock computes nothing itself: the cascade and the fit run as a job
// through the window's runner (a worker thread behind the progress dialog),
// on a copy of the observations taken when the job starts.
#pragma once

#include <QDockWidget>
#include <functional>
#include <optional>
#include <vector>

#include "commands/frequencies.h"
#include "core/outcome.h"
#include "core/run_control.h"
#include "core/workspace.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace fazorn::ui {

class ChartView;

class FrequencyDock : public QDockWidget {
  Q_OBJECT
 public:
  // Runs `job` on the window's Workspace the way the window runs its
  // searches; returns the job's Outcome.ok (false when another job runs).
  using Runner = std::function<bool(const std::function<Outcome(Workspace&, const RunControl&)>&)>;
  // The file chosen for Save (save true) or Load; empty when cancelled.
  using FileChooser = std::function<QString(QWidget* parent, bool save)>;

  FrequencyDock(const Workspace& ws, Runner runner, QWidget* parent = nullptr);

  // Tests replace the file dialogs.
  void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }

  const FrequencyTable& table() const { return table_; }
  // Replaces the table (as Load does) and shows it; the spectra of an
  // earlier cascade stay until the next job.
  void setTable(FrequencyTable table);

  // The views of the chart, in the order of its selector: the data, the
  // spectral window, the residuals after each cascade step, and the
  // residuals of the table as last fitted.
  enum class SpectrumKind { Data, Window, Step, Residuals };
  struct SpectrumChoice {
    SpectrumKind kind = SpectrumKind::Data;
    int step = 0;  // 0-based, for Step
  };
  // Chooses a view (index into the selector); false when it has no data.
  bool showSpectrum(int index);
  int spectrumCount() const;

  struct Widgets {
    QTableWidget* table = nullptr;
    QLineEdit* snrLimit = nullptr;
    QLineEdit* noiseWindow = nullptr;
    QLineEdit* maxCount = nullptr;
    QLineEdit* maxFrequency = nullptr;  // empty: the Nyquist frequency of the sampling
    QLineEdit* addFrequency = nullptr;  // empty: the highest residual peak
    QPushButton* add = nullptr;
    QPushButton* remove = nullptr;
    QPushButton* improveAll = nullptr;
    QPushButton* prewhiten = nullptr;
    QPushButton* save = nullptr;
    QPushButton* load = nullptr;
    QComboBox* spectrum = nullptr;
    ChartView* chart = nullptr;
    QLabel* status = nullptr;
  };
  const Widgets& widgets() const { return w_; }

 public slots:
  void onAdd();
  void onRemove();
  void onImproveAll();
  void onPrewhiten();
  void onSave();
  void onLoad();

 private:
  // The settings of the fields; nothing (and the reason in the status line)
  // when one is not a number in its range.
  std::optional<PrewhiteningOptions> readOptions();
  void refreshTable();
  void refreshSpectrumChoices();
  void setStatus(const QString& text);
  void onCellChanged(int row, int column);
  // The spectra for the current light curve on `options`' grid, and the
  // residual spectrum of `residual`, from a job (the data's once per job).
  struct Spectra {
    std::vector<double> frequency, data, window, residuals;
    std::vector<std::vector<double>> steps;
    std::vector<double> stepFrequency;
  };

  // Takes a job's table and spectra: the steps of an earlier cascade stay
  // viewable while the grid is the same; the table and the views follow.
  void adopt(FrequencyTable table, Spectra spectra);

  const Workspace& ws_;
  Runner runner_;
  FileChooser chooseFile_;
  FrequencyTable table_;
  Spectra spectra_;
  std::vector<SpectrumChoice> choices_;
  bool filling_ = false;  // the table is being refilled: no edits to take
  Widgets w_;
};

}  // namespace fazorn::ui
