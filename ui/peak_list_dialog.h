// "Periodogram peaks": the highest independent peaks of the periodogram
// shown last, with period, power and (for Lomb-Scargle) the false-alarm
// probability; choosing one adopts it as the period. After an auto search
// the candidates it weighed (peaks, aliases, half and double, with their
// criterion) are listed below the peaks, adopted first; choosing one of
// them adopts its period.
#pragma once

#include <QDialog>
#include <vector>

#include "commands/auto_search.h"
#include "core/workspace.h"
#include "search/search_grid.h"

class QTableWidget;

namespace fazorn::ui {

class PeakListDialog : public QDialog {
  Q_OBJECT
 public:
  // The `count` highest peaks of ws.periodogram as `engine` computed it;
  // peaks closer than a peak width count once.
  // `candidates` (of the auto search that made the periodogram) get a
  // table of their own when there are any.
  PeakListDialog(const Workspace& ws, SearchEngine engine, int count, QWidget* parent = nullptr,
                 std::vector<Candidate> candidates = {});

  const std::vector<Peak>& peaks() const { return peaks_; }
  QTableWidget* table() const { return table_; }
  QTableWidget* candidateTable() const { return candidateTable_; }
  // The periodogram index of the chosen row; -1 when none is chosen or when
  // the choice is a candidate.
  std::int32_t chosenIndex() const;
  // The period (days) of the chosen candidate; 0 when the choice is a peak.
  double chosenCandidatePeriod() const;

 private:
  std::vector<Peak> peaks_;
  std::vector<Candidate> candidates_;
  QTableWidget* table_ = nullptr;
  QTableWidget* candidateTable_ = nullptr;
  bool candidateChosen_ = false;  // the row last picked is a candidate's
};

}  // namespace fazorn::ui
