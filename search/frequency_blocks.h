// Work over fixed blocks of trial frequencies on the threads of a
// RunControl. The blocks do not depend on the thread count (only which
// thread takes which block does), so engines whose blocks are computed
// independently give the same results on any number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/run_control.h"

namespace fazorn {

// Calls work(state, first, last) for the blocks [first, last) of
// [0, count), `blockSize` items each (the last may be shorter). Each thread
// makes its own state once with makeState(), so work storage is per thread
// and never shared. Cancellation is checked and progress reported between
// blocks. Returns false when the run was cancelled (some blocks not done).
template <class MakeState, class Work>
bool runFrequencyBlocks(std::int64_t count, std::int64_t blockSize, const RunControl& rc,
                        MakeState makeState, Work work) {
  if (count <= 0) return !rc.cancelled();
  blockSize = std::max<std::int64_t>(1, blockSize);
  const std::int64_t blocks = (count + blockSize - 1) / blockSize;
  const int threads = rc.effectiveThreads(static_cast<long>(blocks));
  std::atomic<std::int64_t> nextBlock{0};
  std::atomic<std::int64_t> blocksDone{0};
  std::atomic<bool> stopped{false};
  // Progress at most about 200 times per run.
  const std::int64_t reportEvery = std::max<std::int64_t>(1, blocks / 200);
  auto worker = [&]() {
    auto state = makeState();
    for (;;) {
      if (rc.cancelled()) {
        stopped.store(true, std::memory_order_relaxed);
        return;
      }
      const std::int64_t b = nextBlock.fetch_add(1);
      if (b >= blocks) return;
      const std::int64_t first = b * blockSize;
      work(state, first, std::min(count, first + blockSize));
      const std::int64_t done = blocksDone.fetch_add(1) + 1;
      if (done % reportEvery == 0 || done == blocks)
        rc.report(static_cast<double>(done) / static_cast<double>(blocks));
    }
  };
  if (threads <= 1) {
    worker();
  } else {
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
  }
  return !stopped.load() && blocksDone.load() == blocks;
}

}  // namespace fazorn
