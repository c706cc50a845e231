#include "core/run_control.h"

#include <algorithm>
#include <thread>

namespace fazorn {

int RunControl::effectiveThreads(long tasks) const {
  int n = threads;
  if (n <= 0) n = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (tasks < n) n = static_cast<int>(std::max(1L, tasks));
  return n;
}

}  // namespace fazorn
