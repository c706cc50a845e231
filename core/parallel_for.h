// The one parallel loop of the engines, the randomisation tests and the
// batch commands: fixed blocks of a range of items on the threads of a
// RunControl, with progress and cancellation between blocks.
//
// The blocks depend only on the item count and the block size, never on the
// thread count (only which thread takes which block does), so work whose
// blocks are computed independently gives the same results on any number of
// threads. Progress goes through a WorkMeter, which calls the RunControl's
// callback at most WorkMeter::kReports + 1 times per run whatever the number
// of items or blocks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/run_control.h"

namespace fazorn {

// The items finished by all threads of one run, and whether the run should
// stop. Thread-safe; one per run, shared by its threads.
class WorkMeter {
 public:
  // Progress callbacks per run at most (plus one at the end).
  static constexpr std::int64_t kReports = 200;

  WorkMeter(const RunControl& rc, std::int64_t totalItems)
      : rc_(rc), total_(std::max<std::int64_t>(1, totalItems)) {}

  // Counts `items` more items as finished and reports progress each time the
  // total crosses one of kReports equal steps.
  void add(std::int64_t items) {
    if (items <= 0) return;
    const std::int64_t before = done_.fetch_add(items, std::memory_order_relaxed);
    const std::int64_t after = before + items;
    if (!rc_.progress) return;
    if (step(after) != step(before) || after == total_)
      rc_.report(static_cast<double>(std::min(after, total_)) / static_cast<double>(total_));
  }
  // True once the front end asked to stop or a worker called stop().
  bool cancelled() const {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (rc_.cancelled()) {
      stopped_.store(true, std::memory_order_relaxed);
      return true;
    }
    return false;
  }
  void stop() { stopped_.store(true, std::memory_order_relaxed); }
  std::int64_t done() const { return done_.load(std::memory_order_relaxed); }
  const RunControl& control() const { return rc_; }

 private:
  std::int64_t step(std::int64_t items) const {
    // items * kReports / total without overflow for any count of items.
    return static_cast<std::int64_t>(static_cast<double>(std::min(items, total_)) *
                                     static_cast<double>(kReports) / static_cast<double>(total_));
  }
  const RunControl& rc_;
  const std::int64_t total_;
  std::atomic<std::int64_t> done_{0};
  mutable std::atomic<bool> stopped_{false};
};

// Runs worker(t) for t = 0 .. threads - 1, worker 0 on the calling thread.
// An exception of any worker (running out of memory for its work storage)
// is rethrown on the calling thread once all have ended, so the front ends
// can report it instead of the program ending.
template <class Worker>
void runOnThreads(int threads, Worker worker) {
  if (threads <= 1) {
    worker(0);
    return;
  }
  std::exception_ptr failure;
  std::mutex failureMutex;
  auto guarded = [&](int t) {
    try {
      worker(t);
    } catch (...) {
      std::lock_guard<std::mutex> lock(failureMutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads - 1));
  int started = 1;  // worker 0 runs here
  try {
    for (; started < threads; ++started) pool.emplace_back(guarded, started);
  } catch (const std::system_error&) {
    // The system refused another thread (a process limit, no address space
    // left for its stack): the workers that did not start run here after
    // worker 0, so every worker's share is still done, only later.
  }
  guarded(0);
  for (int t = started; t < threads; ++t) guarded(t);
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

// Calls work(state, first, last) for the blocks [first, last) of
// [0, count), `blockSize` items each (the last may be shorter), on the
// meter's RunControl threads. Each thread makes its own state once with
// makeState(), so work storage is per thread and never shared. Cancellation
// is checked between blocks; `done`, when given, receives one flag per block
// (1 when the block was computed), for callers that keep the finished part
// of a cancelled run. Returns false when the run was cancelled.
template <class MakeState, class Work>
bool parallelFor(std::int64_t count, std::int64_t blockSize, WorkMeter& meter, MakeState makeState,
                 Work work, std::vector<char>* done = nullptr) {
  if (count <= 0) return !meter.cancelled();
  blockSize = std::max<std::int64_t>(1, blockSize);
  const std::int64_t blocks = (count + blockSize - 1) / blockSize;
  if (done) done->assign(static_cast<std::size_t>(blocks), 0);
  const int threads = meter.control().effectiveThreads(static_cast<long>(blocks));
  std::atomic<std::int64_t> nextBlock{0};
  std::atomic<std::int64_t> blocksDone{0};
  runOnThreads(threads, [&](int) {
    auto state = makeState();
    for (;;) {
      if (meter.cancelled()) return;
      const std::int64_t b = nextBlock.fetch_add(1);
      if (b >= blocks) return;
      const std::int64_t first = b * blockSize;
      const std::int64_t last = std::min(count, first + blockSize);
      if constexpr (std::is_same_v<decltype(work(state, first, last)), bool>) {
        if (!work(state, first, last)) {  // stopped part-way
          meter.stop();
          return;
        }
      } else {
        work(state, first, last);
      }
      if (done) (*done)[static_cast<std::size_t>(b)] = 1;
      blocksDone.fetch_add(1);
      meter.add(last - first);
    }
  });
  return blocksDone.load() == blocks && !meter.cancelled();
}

// The same with a meter of its own over the `count` items.
template <class MakeState, class Work>
bool parallelFor(std::int64_t count, std::int64_t blockSize, const RunControl& rc,
                 MakeState makeState, Work work) {
  WorkMeter meter(rc, count);
  return parallelFor(count, blockSize, meter, makeState, work);
}

}  // namespace fazorn
