// Threading, progress and cancellation for long computations. Engines check
// it between blocks of work (frequency blocks, randomisation runs), never per
// point, so checking costs nothing measurable.
#pragma once

#include <atomic>
#include <functional>

namespace fazorn {

struct RunControl {
  // Worker threads; 0 means every hardware thread. Results never depend on it.
  int threads = 1;
  // Called from worker threads with the fraction done (0..1); may be empty.
  // It must be cheap and thread-safe; engines report through a WorkMeter
  // (core/parallel_for.h), which calls it at most WorkMeter::kReports + 1
  // times per run whatever the grid.
  std::function<void(double fraction)> progress;
  // Set by the front end to stop a run early; may be null.
  const std::atomic<bool>* cancel = nullptr;

  bool cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }
  void report(double fraction) const {
    if (progress) progress(fraction);
  }
  // The thread count to use for a job of `tasks` independent pieces.
  int effectiveThreads(long tasks) const;
};

}  // namespace fazorn
