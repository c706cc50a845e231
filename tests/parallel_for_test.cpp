#include "core/parallel_for.h"

#include <atomic>
#include <mutex>
#include <new>
#include <numeric>

#include "search/aov_periodogram.h"
#include "search/lomb_scargle.h"
#include "search/significance_runs.h"
#include "search/transit_periodogram.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// Progress calls of one run, recorded from any thread.
struct ProgressLog {
  std::mutex lock;
  std::vector<double> fractions;
  std::function<void(double)> callback() {
    return [this](double f) {
      std::lock_guard<std::mutex> g(lock);
      fractions.push_back(f);
    };
  }
};

TEST(ParallelFor, EveryItemOnceInFixedBlocksWhateverTheThreadCount) {
  const std::int64_t count = 10007, blockSize = 64;
  std::vector<std::vector<int>> seen;
  for (int threads : {1, 2, 5}) {
    RunControl rc;
    rc.threads = threads;
    std::vector<int> hits(count, 0);
    std::vector<std::int64_t> blockStarts;
    std::mutex lock;
    std::atomic<int> states{0};
    ProgressLog log;
    rc.progress = log.callback();
    const bool finished = parallelFor(
        count, blockSize, rc, [&] { return ++states; },
        [&](int, std::int64_t first, std::int64_t last) {
          for (std::int64_t i = first; i < last; ++i) ++hits[static_cast<std::size_t>(i)];
          std::lock_guard<std::mutex> g(lock);
          blockStarts.push_back(first);
          EXPECT_TRUE(last - first == blockSize || last == count);
        });
    EXPECT_TRUE(finished);
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), count) << threads << " threads";
    EXPECT_LE(states.load(), threads);
    std::sort(blockStarts.begin(), blockStarts.end());
    ASSERT_EQ(blockStarts.size(), 157u);
    for (std::size_t b = 0; b < blockStarts.size(); ++b)
      EXPECT_EQ(blockStarts[b], static_cast<std::int64_t>(b) * blockSize);
    ASSERT_FALSE(log.fractions.empty());
    EXPECT_LE(log.fractions.size(), static_cast<std::size_t>(WorkMeter::kReports + 1));
    EXPECT_EQ(*std::max_element(log.fractions.begin(), log.fractions.end()), 1.0);
  }
}

TEST(ParallelFor, AWorkerRunningOutOfMemoryFailsTheCallNotTheProgram) {
  for (int failing : {0, 1, 2}) {
    std::atomic<int> ran{0};
    EXPECT_THROW(runOnThreads(3,
                              [&](int t) {
                                ++ran;
                                if (t == failing) throw std::bad_alloc();
                              }),
                 std::bad_alloc)
        << failing;
    EXPECT_EQ(ran.load(), 3);  // the others ran to their end and were joined
  }
}

TEST(ParallelFor, CancellingStopsBetweenBlocksAndFlagsTheFinishedOnes) {
  for (int threads : {1, 2}) {
    std::atomic<bool> cancel{false};
    RunControl rc;
    rc.threads = threads;
    rc.cancel = &cancel;
    rc.progress = [&](double f) {
      if (f >= 0.25) cancel = true;
    };
    WorkMeter meter(rc, 1000);
    std::vector<char> done;
    std::atomic<int> computed{0};
    const bool finished = parallelFor(
        1000, 10, meter, [] { return 0; }, [&](int, std::int64_t, std::int64_t) { ++computed; },
        &done);
    EXPECT_FALSE(finished);
    ASSERT_EQ(done.size(), 100u);
    const auto flagged = std::count(done.begin(), done.end(), 1);
    EXPECT_GE(flagged, 25);
    EXPECT_LT(flagged, 100);
    EXPECT_EQ(flagged, computed.load());

    // Work that notices the cancellation inside a block leaves it unflagged.
    std::atomic<bool> cancel2{false};
    RunControl rc2;
    rc2.threads = threads;
    rc2.cancel = &cancel2;
    WorkMeter meter2(rc2, 100);
    EXPECT_FALSE(parallelFor(
        100, 1, meter2, [] { return 0; },
        [&](int, std::int64_t first, std::int64_t) {
          if (first == 40) cancel2 = true;
          return !rc2.cancelled();
        },
        &done));
    EXPECT_EQ(done[40], 0);
  }
}

// The engines report a bounded number of times on any grid: the meter, not
// the block size, decides how often.
TEST(ParallelFor, EnginesReportProgressAFewHundredTimesWhateverTheGrid) {
  const test::Series s = test::makeSineSeries(5, 40, 0.9, 0.3, 0.05, 200.0);
  std::vector<double> weight(s.error.size(), 1.0);
  const LightCurveView view{s.time, s.value, weight};
  const GridCheck g = makeFrequencyGrid(0.01, 30.0, 0.0003);  // about 100,000 frequencies
  ASSERT_TRUE(g.ok());
  for (int threads : {1, 2}) {
    auto check = [&](const char* engine, auto run) {
      ProgressLog log;
      RunControl rc;
      rc.threads = threads;
      rc.progress = log.callback();
      run(rc);
      ASSERT_FALSE(log.fractions.empty()) << engine;
      EXPECT_LE(log.fractions.size(), static_cast<std::size_t>(WorkMeter::kReports + 1)) << engine;
      EXPECT_GE(log.fractions.size(), 50u) << engine;
      EXPECT_EQ(*std::max_element(log.fractions.begin(), log.fractions.end()), 1.0) << engine;
    };
    check("AoV", [&](const RunControl& rc) { computeAovPeriodogram(view, {g.grid, 5}, rc); });
    check("AoVtr", [&](const RunControl& rc) {
      computeTransitPeriodogram(view, {g.grid, 2, 5}, rc);
    });
    check("Lomb-Scargle", [&](const RunControl& rc) {
      // 0.5 * 100 * 50 * 40 = 100,000 frequencies
      computeLombScarglePeriodogram(s.time, s.value, {100.0, 50.0, -1}, rc);
    });
  }
}

TEST(SignificanceRuns, InnerSearchesSeeTheCancelAndTheirRunsAreDropped) {
  const test::Series s = test::makeSineSeries(6, 30, 2.0, 0.3, 0.05, 50.0);
  const std::vector<double> weight(s.error.size(), 1.0);
  const RandomizationInput input{s.time, s.value, s.error, weight};
  std::atomic<bool> cancel{false};
  std::atomic<int> searches{0};
  // The fifth search to start cancels the test from inside and sees it.
  PeakSearch search = [&](std::span<const double>, std::span<const double> v,
                          std::span<const double>, const SearchSettings&, const RunControl& rc) {
    if (++searches == 5) {
      cancel = true;
      EXPECT_TRUE(rc.cancelled());
    }
    return PeakFound{1.0, v[0]};
  };
  for (int threads : {1, 2}) {
    cancel = false;
    searches = 0;
    RunControl rc;
    rc.threads = threads;
    rc.cancel = &cancel;
    long delivered = 0;
    const RandomizationRuns runs =
        runRandomizations(input, {Randomization::Permute, 1000, 3}, search, SearchSettings{}, rc,
                          [&](long first, std::span<const PeakFound> peaks) {
                            EXPECT_EQ(first, delivered);
                            delivered += static_cast<long>(peaks.size());
                          });
    EXPECT_TRUE(runs.cancelled);
    EXPECT_LT(runs.peaks.size(), 5u);
    EXPECT_EQ(static_cast<long>(runs.peaks.size()), delivered);
  }
  // Uncancelled, the peaks are the same on any thread count and each run
  // is the permutation its own seed gives.
  std::vector<PeakFound> first;
  for (int threads : {1, 3}) {
    RunControl rc;
    rc.threads = threads;
    PeakSearch value0 = [](std::span<const double>, std::span<const double> v,
                           std::span<const double>, const SearchSettings&, const RunControl&) {
      return PeakFound{1.0, v[0]};
    };
    const RandomizationRuns runs =
        runRandomizations(input, {Randomization::Permute, 600, 3}, value0, SearchSettings{}, rc);
    ASSERT_EQ(runs.peaks.size(), 600u);
    if (first.empty()) {
      first = runs.peaks;
      for (long k : {0L, 299L, 599L}) {
        std::vector<double> v = s.value, e = s.error, w = weight;
        RandomStream rng(randomizationRunSeed(3, k));
        permuteTogether(v, e, w, rng);
        EXPECT_EQ(runs.peaks[static_cast<std::size_t>(k)].power, v[0]);
      }
    } else {
      for (std::size_t k = 0; k < first.size(); ++k) EXPECT_EQ(runs.peaks[k].power, first[k].power);
    }
  }
}

}  // namespace
}  // namespace fazorn
