#include "search/transit_periodogram.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "search/frequency_blocks.h"

namespace fazorn {

namespace {

constexpr std::int64_t kBlock = 64;

struct TransitState {
  std::vector<double> phase;
  PhaseOrder order;
  std::vector<double> groupWeight, groupSum;  // per group, then prefix sums
  TransitState(std::size_t n, std::size_t groups)
      : phase(n), order(n), groupWeight(2 * groups + 1), groupSum(2 * groups + 1) {}
};

// floor(u), exactly, without a library call on CPUs that lack a rounding
// instruction: truncation is the floor of a non-negative number below 2^52.
inline double floorOf(double u) {
  return u >= 0.0 && u < 0x1p52 ? static_cast<double>(static_cast<std::int64_t>(u)) : std::floor(u);
}

// The weight and the weighted deviation of a point side by side: the group
// sums fetch both with one access in phase order.
struct WeightPair {
  double w, wx;
};

}  // namespace

void mergeSortIndex(std::span<const double> key, std::span<int> index, std::span<double> sortedKey,
                    std::span<double> scratchKey, std::span<int> scratchIndex,
                    std::span<int> runs) {
  const std::size_t n = index.size();
  if (n == 0) return;
  for (std::size_t i = 0; i < n; ++i) sortedKey[i] = key[static_cast<std::size_t>(index[i])];
  // Ascending runs of the input order.
  std::size_t runCount = 0;
  runs[runCount++] = 0;
  for (std::size_t i = 1; i < n; ++i)
    if (sortedKey[i] < sortedKey[i - 1]) runs[runCount++] = static_cast<int>(i);
  runs[runCount] = static_cast<int>(n);
  double* k = sortedKey.data();
  int* x = index.data();
  double* k2 = scratchKey.data();
  int* x2 = scratchIndex.data();
  while (runCount > 1) {
    std::size_t out = 0;
    for (std::size_t r = 0; r < runCount; r += 2) {
      const int a = runs[r];
      if (r + 1 >= runCount) {
        // An odd run at the end is copied as it is.
        const int e = runs[r + 1];
        std::copy(k + a, k + e, k2 + a);
        std::copy(x + a, x + e, x2 + a);
        runs[out++] = a;
        continue;
      }
      const int mid = runs[r + 1], e = runs[r + 2];
      int i = a, j = mid, o = a;
      while (i < mid && j < e) {
        // Stable: the left run wins ties. Written without a branch, since
        // which side wins is unpredictable.
        const bool right = k[j] < k[i];
        k2[o] = right ? k[j] : k[i];
        x2[o] = right ? x[j] : x[i];
        ++o;
        j += right;
        i += !right;
      }
      for (; i < mid; ++i, ++o) k2[o] = k[i], x2[o] = x[i];
      for (; j < e; ++j, ++o) k2[o] = k[j], x2[o] = x[j];
      runs[out++] = a;
    }
    runs[out] = static_cast<int>(n);
    runCount = out;
    std::swap(k, k2);
    std::swap(x, x2);
  }
  if (k != sortedKey.data()) {
    std::copy(k, k + n, sortedKey.data());
    std::copy(x, x + n, index.data());
  }
}

PhaseOrder::PhaseOrder(std::size_t n)
    : start_(kCellsPerPoint * n + 2), ranked_(n), scratchIndex_(n), runs_(n + 1), sortedKey_(n), scratchKey_(n),
      index_(n) {}

std::span<const PhaseOrder::Ranked> PhaseOrder::order(std::span<const double> phase) {
  const std::size_t n = phase.size();
  if (n == 0) return {};
  const std::size_t cells = kCellsPerPoint * n;
  const double scale = static_cast<double>(cells);
  // A phase just below 1 may round up to the last cell's end. The cell is
  // a non-decreasing function of the phase, so cell order is phase order.
  auto cellOf = [&](double p) { return std::min(cells - 1, static_cast<std::size_t>(p * scale)); };
  int* start = start_.data();
  std::fill(start, start + cells + 2, 0);
  for (std::size_t i = 0; i < n; ++i) ++start[cellOf(phase[i]) + 2];
  for (std::size_t c = 2; c < cells + 2; ++c) start[c] += start[c - 1];
  // Dealing in index order keeps equal phases in index order. Afterwards
  // cell c holds the places [start[c], start[c + 1]).
  Ranked* r = ranked_.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double p = phase[i];
    r[start[cellOf(p) + 1]++] = {p, static_cast<int>(i)};
  }
  // Points out of order can only share a cell. Most cells hold one point or
  // none; a crowded cell (coinciding phases) is merge-sorted so that it
  // never costs the square of its size.
  for (std::size_t k = 1; k < n; ++k) {
    if (!(r[k].phase < r[k - 1].phase)) continue;
    const std::size_t c = cellOf(r[k].phase);
    const auto a = static_cast<std::size_t>(start[c]), e = static_cast<std::size_t>(start[c + 1]);
    if (e - a <= kInsertionLimit) {
      for (std::size_t j = k; j < e; ++j) {
        const Ranked x = r[j];
        std::size_t q = j;
        for (; q > a && x.phase < r[q - 1].phase; --q) r[q] = r[q - 1];
        r[q] = x;
      }
    } else {
      const std::size_t len = e - a;
      for (std::size_t q = a; q < e; ++q) index_[q] = r[q].index;
      const std::span<int> cellIndex = std::span(index_).subspan(a, len);
      mergeSortIndex(phase, cellIndex, std::span(sortedKey_).subspan(a, len),
                     std::span(scratchKey_).subspan(a, len),
                     std::span(scratchIndex_).subspan(a, len), std::span(runs_).subspan(a, len + 1));
      for (std::size_t q = a; q < e; ++q) r[q] = {sortedKey_[q], index_[q]};
    }
    k = e - 1;  // the cell is in order; go on after it
  }
  return {r, n};
}

void PhaseOrder::sort(std::span<const double> phase, std::span<int> index) {
  const auto ranked = order(phase.first(index.size()));
  for (std::size_t q = 0; q < ranked.size(); ++q) index[q] = ranked[q].index;
}

TransitResult computeTransitPeriodogram(const LightCurveView& lc, const TransitOptions& options,
                                        const RunControl& rc) {
  TransitResult r;
  const FrequencyGrid& grid = options.grid;
  const std::int64_t count = std::max<std::int32_t>(grid.count, 0);
  r.frequency.resize(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i)
    r.frequency[static_cast<std::size_t>(i)] =
        static_cast<double>(i) * grid.step + grid.minFrequency;
  r.power.assign(static_cast<std::size_t>(count), 0.0);

  const std::size_t n = std::min({lc.time.size(), lc.value.size(), lc.weight.size()});
  if (count == 0 || n < 2) {
    r.message = count == 0 ? "The frequency grid is empty." : "At least 2 points are needed.";
    return r;
  }
  const int binsPerSet = 10 * std::max(1, options.binFactor);
  const int sets = std::max(1, options.binSets);
  const std::size_t groups = static_cast<std::size_t>(binsPerSet) * static_cast<std::size_t>(sets);

  // Times from the first observation (small phase arguments for Julian
  // dates) and values about the weighted mean.
  std::vector<double> t(n), w(n), wx(n);
  std::vector<WeightPair> pair(n);
  const double tmin = *std::min_element(lc.time.begin(), lc.time.begin() + static_cast<long>(n));
  double weightSum = 0.0, weightedSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    t[i] = lc.time[i] - tmin;
    w[i] = lc.weight[i];
    weightSum += w[i];
    weightedSum += w[i] * lc.value[i];
  }
  const double mean = weightedSum / weightSum;
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = lc.value[i] - mean;
    wx[i] = w[i] * x;
    d += w[i] * x * x;
  }
  if (!(d > 0) || !std::isfinite(d) || !std::isfinite(weightSum)) {
    r.message = "The values do not vary about their mean.";
    return r;
  }
  for (std::size_t i = 0; i < n; ++i) pair[i] = {w[i], wx[i]};

  double* power = r.power.data();
  const double* freq = r.frequency.data();
  const bool finished = runFrequencyBlocks(
      count, kBlock, rc, [&] { return TransitState(n, groups); },
      [&](TransitState& st, std::int64_t first, std::int64_t last) {
        for (std::int64_t j = first; j < last; ++j) {
          const double f = freq[j];
          for (std::size_t i = 0; i < n; ++i) {
            const double u = f * t[i];
            st.phase[i] = u - floorOf(u);
          }
          const auto ranked = st.order.order(st.phase);
          // Sums per group of equal occupancy: ranks [g n / G, (g + 1) n / G).
          std::fill(st.groupWeight.begin(), st.groupWeight.end(), 0.0);
          std::fill(st.groupSum.begin(), st.groupSum.end(), 0.0);
          for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t a = g * n / groups, e = (g + 1) * n / groups;
            double gw = 0.0, gs = 0.0;
            for (std::size_t q = a; q < e; ++q) {
              const WeightPair& p = pair[static_cast<std::size_t>(ranked[q].index)];
              gw += p.w;
              gs += p.wx;
            }
            // Prefix sums over two turns of the cycle, so that a box may wrap.
            st.groupWeight[g + 1] = gw;
            st.groupSum[g + 1] = gs;
            st.groupWeight[g + groups + 1] = gw;
            st.groupSum[g + groups + 1] = gs;
          }
          for (std::size_t g = 1; g <= 2 * groups; ++g) {
            st.groupWeight[g] += st.groupWeight[g - 1];
            st.groupSum[g] += st.groupSum[g - 1];
          }
          double best = 0.0;
          const std::size_t width = static_cast<std::size_t>(sets);
          for (std::size_t g = 0; g < groups; ++g) {
            const double win = st.groupWeight[g + width] - st.groupWeight[g];
            const double wout = weightSum - win;
            if (!(win > 0) || !(wout > 0)) continue;
            const double sumIn = st.groupSum[g + width] - st.groupSum[g];
            const double theta = weightSum * sumIn * sumIn / (win * wout);
            best = std::max(best, theta);
          }
          power[j] = std::min(1.0, best / d);
        }
      });
  if (!takeFirstStrictMaximum(r, finished)) return r;
  r.bestFrequency = r.frequency[static_cast<std::size_t>(r.bestIndex)];
  return r;
}

}  // namespace fazorn
