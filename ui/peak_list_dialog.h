// "Periodogram peaks": the highest independent peaks of the periodogram
// shown last, with period, power and (for Lomb-Scargle) the false-alarm
// probability; choosing one adopts it as the period.
#pragma once

#include <QDialog>
#include <vector>

#include "core/workspace.h"
#include "search/search_grid.h"

class QTableWidget;

namespace fazorn::ui {

class PeakListDialog : public QDialog {
  Q_OBJECT
 public:
  // The `count` highest peaks of ws.periodogram as `engine` computed it;
  // peaks closer than a peak width count once.
  PeakListDialog(const Workspace& ws, SearchEngine engine, int count, QWidget* parent = nullptr);

  const std::vector<Peak>& peaks() const { return peaks_; }
  QTableWidget* table() const { return table_; }
  // The periodogram index of the chosen row; -1 when none is chosen.
  std::int32_t chosenIndex() const;

 private:
  std::vector<Peak> peaks_;
  QTableWidget* table_ = nullptr;
};

}  // namespace fazorn::ui
