#include "search/transit_periodogram.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "search/frequency_blocks.h"

namespace fazorn {

namespace {

constexpr std::int64_t kBlock = 64;
// Auto takes the fast route from this many points: below it a frequency
// costs microseconds either way.
constexpr std::size_t kFastRouteMinPoints = 1000;

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

namespace {

// The light curve as both routes see it.
struct TransitInput {
  std::vector<double> t;         // days from the first observation
  std::vector<WeightPair> pair;  // weight, weight times the value's deviation from the weighted mean
  double weightSum = 0.0;        // W
  double d = 0.0;                // weighted sum of squares about the weighted mean
  std::size_t groups = 0;        // groups of equal occupancy round the cycle
  std::size_t width = 0;         // groups per box
};

// The best box from the groups' sums, which the caller has put at [g + 1]
// (index 0 holds 0): prefix sums over two turns of the cycle, so that a box
// may wrap round phase 0.
double scanBoxes(const TransitInput& in, std::vector<double>& groupWeight,
                 std::vector<double>& groupSum) {
  const std::size_t groups = in.groups;
  for (std::size_t g = 1; g <= groups; ++g) {
    groupWeight[g + groups] = groupWeight[g];
    groupSum[g + groups] = groupSum[g];
  }
  for (std::size_t g = 1; g <= 2 * groups; ++g) {
    groupWeight[g] += groupWeight[g - 1];
    groupSum[g] += groupSum[g - 1];
  }
  double best = 0.0;
  for (std::size_t g = 0; g < groups; ++g) {
    const double win = groupWeight[g + in.width] - groupWeight[g];
    const double wout = in.weightSum - win;
    if (!(win > 0) || !(wout > 0)) continue;
    const double sumIn = groupSum[g + in.width] - groupSum[g];
    const double theta = in.weightSum * sumIn * sumIn / (win * wout);
    best = std::max(best, theta);
  }
  return std::min(1.0, best / in.d);
}

// The exact route: the points in phase order, each group summed in that
// order. These are the window's numbers.
double exactPower(const TransitInput& in, double f, TransitState& st) {
  const std::size_t n = in.t.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double u = f * in.t[i];
    st.phase[i] = u - floorOf(u);
  }
  const auto ranked = st.order.order(st.phase);
  // Sums per group of equal occupancy: ranks [g n / G, (g + 1) n / G).
  std::fill(st.groupWeight.begin(), st.groupWeight.end(), 0.0);
  std::fill(st.groupSum.begin(), st.groupSum.end(), 0.0);
  for (std::size_t g = 0; g < in.groups; ++g) {
    const std::size_t a = g * n / in.groups, e = (g + 1) * n / in.groups;
    double gw = 0.0, gs = 0.0;
    for (std::size_t q = a; q < e; ++q) {
      const WeightPair& p = in.pair[static_cast<std::size_t>(ranked[q].index)];
      gw += p.w;
      gs += p.wx;
    }
    st.groupWeight[g + 1] = gw;
    st.groupSum[g + 1] = gs;
  }
  return scanBoxes(in, st.groupWeight, st.groupSum);
}

// The fast route. A group's sums need only which points it holds, not their
// order inside it. The points are counted into phase cells (a power of two
// of them, so that the cell c / C <= phase < (c + 1) / C is exact) and each
// cell's weight and weighted deviation summed as the points come; a cell
// whose ranks lie in one group adds its sums to that group whole. Only a
// cell that a group boundary cuts (at most G - 1 of them) is put in phase
// order, with the exact route's phases and tie rule (equal phases in index
// order), so every group holds exactly the exact route's points and only the
// order of the additions differs.
struct alignas(32) FastCell {
  double w, wx;
  std::int32_t count;
  std::int32_t head;  // last point dealt into the cell, -1 for none; next[] chains the others
};

// Points whose cells are computed in one vectorisable pass before they are
// dealt.
constexpr std::size_t kFastChunk = 512;
// Points per cell on average: fewer cells keep the cell arrays in cache, more
// cells keep the cut cells short.
constexpr std::size_t kFastPointsPerCell = 16;

struct FastState {
  std::size_t cells;
  std::vector<FastCell> cell;
  std::vector<std::int32_t> next;  // the point dealt into the same cell before this one, -1 for none
  std::vector<std::uint32_t> chunkCell;
  std::vector<PhaseOrder::Ranked> cut;
  std::vector<double> groupWeight, groupSum;
  FastState(std::size_t n, std::size_t groups)
      : cells(std::bit_ceil(std::max<std::size_t>(1, n / kFastPointsPerCell))),
        cell(cells),
        next(n),
        chunkCell(kFastChunk),
        groupWeight(2 * groups + 1),
        groupSum(2 * groups + 1) {}
};

// Deals the points [i0, i0 + m) into the cells of frequency f (cell[] and
// next[] of that frequency). Every f t lies in [0, 2^51] (the caller
// checks), where floor(u) is (u + 2^52) - 2^52, less one when that rounded
// up: a form that vectorises and equals floorOf(u) to the bit. The phase is
// below 1 and the cell count a power of two, so the cell is below `cells`.
inline void dealChunk(const TransitInput& in, std::size_t i0, std::size_t m, double f,
                      std::size_t cells, FastCell* cell, std::int32_t* next, std::uint32_t* chunk) {
  const double scale = static_cast<double>(cells);
  const double* t = in.t.data() + i0;
  std::size_t k = 0;
#if defined(__SSE2__)
  const __m128d vf = _mm_set1_pd(f), magic = _mm_set1_pd(0x1p52), one = _mm_set1_pd(1.0),
                vs = _mm_set1_pd(scale);
  for (; k + 2 <= m; k += 2) {
    const __m128d u = _mm_mul_pd(vf, _mm_loadu_pd(t + k));
    __m128d r = _mm_sub_pd(_mm_add_pd(u, magic), magic);
    r = _mm_sub_pd(r, _mm_and_pd(_mm_cmpgt_pd(r, u), one));
    const __m128i c = _mm_cvttpd_epi32(_mm_mul_pd(_mm_sub_pd(u, r), vs));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(chunk + k), c);
  }
#endif
  for (; k < m; ++k) {
    const double u = f * t[k];
    chunk[k] = static_cast<std::uint32_t>((u - floorOf(u)) * scale);
  }
  const WeightPair* pair = in.pair.data() + i0;
  for (k = 0; k < m; ++k) {
    FastCell& c = cell[chunk[k]];
    c.w += pair[k].w;
    c.wx += pair[k].wx;
    ++c.count;
    next[i0 + k] = c.head;
    c.head = static_cast<std::int32_t>(i0 + k);
  }
}

// The groups' sums from the dealt cells, then the best box.
double walkCells(const TransitInput& in, double f, const FastCell* cell, std::size_t cells,
                 const std::int32_t* next, FastState& st) {
  const std::size_t n = in.t.size();
  const WeightPair* pair = in.pair.data();
  // Walk the cells in phase order; rank counts the points passed, group g
  // holds ranks [g n / G, end).
  const std::size_t groups = in.groups;
  std::fill(st.groupWeight.begin(), st.groupWeight.end(), 0.0);
  std::fill(st.groupSum.begin(), st.groupSum.end(), 0.0);
  double* gw = st.groupWeight.data() + 1;
  double* gs = st.groupSum.data() + 1;
  std::size_t rank = 0, g = 0, end = n / groups;
  for (std::size_t c = 0; c < cells; ++c) {
    const auto count = static_cast<std::size_t>(cell[c].count);
    if (count == 0) continue;
    while (end <= rank) end = (++g + 1) * n / groups;
    if (rank + count <= end) {
      gw[g] += cell[c].w;
      gs[g] += cell[c].wx;
      rank += count;
      continue;
    }
    // A cut cell: its points in phase order, equal phases in index order.
    st.cut.clear();
    for (std::int32_t i = cell[c].head; i >= 0; i = next[i]) {
      const double u = f * in.t[static_cast<std::size_t>(i)];
      st.cut.push_back({u - floorOf(u), i});
    }
    std::sort(st.cut.begin(), st.cut.end(),
              [](const PhaseOrder::Ranked& a, const PhaseOrder::Ranked& b) {
                return a.phase < b.phase || (a.phase == b.phase && a.index < b.index);
              });
    for (const PhaseOrder::Ranked& p : st.cut) {
      while (end <= rank) end = (++g + 1) * n / groups;
      gw[g] += pair[p.index].w;
      gs[g] += pair[p.index].wx;
      ++rank;
    }
  }
  return scanBoxes(in, st.groupWeight, st.groupSum);
}

double fastPower(const TransitInput& in, double f, FastState& st) {
  const std::size_t n = in.t.size();
  std::fill(st.cell.begin(), st.cell.end(), FastCell{0.0, 0.0, 0, -1});
  for (std::size_t i0 = 0; i0 < n; i0 += kFastChunk)
    dealChunk(in, i0, std::min(kFastChunk, n - i0), f, st.cells, st.cell.data(), st.next.data(),
              st.chunkCell.data());
  return walkCells(in, f, st.cell.data(), st.cells, st.next.data(), st);
}

// Fast powers lie within 1e-12 of the exact ones; every frequency within
// this of the fast maximum is recomputed exactly, so the peak is the exact
// route's.
constexpr double kCandidateWindow = 1e-10;

}  // namespace

bool transitFastRouteIsCheaper(std::size_t n, std::int64_t count) {
  return n >= kFastRouteMinPoints && count >= 1;
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
  TransitInput in;
  const int binsPerSet = 10 * std::max(1, options.binFactor);
  const int sets = std::max(1, options.binSets);
  in.groups = static_cast<std::size_t>(binsPerSet) * static_cast<std::size_t>(sets);
  in.width = static_cast<std::size_t>(sets);

  // Times from the first observation (small phase arguments for Julian
  // dates) and values about the weighted mean.
  in.t.resize(n);
  in.pair.resize(n);
  const double tmin = *std::min_element(lc.time.begin(), lc.time.begin() + static_cast<long>(n));
  double weightSum = 0.0, weightedSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    in.t[i] = lc.time[i] - tmin;
    weightSum += lc.weight[i];
    weightedSum += lc.weight[i] * lc.value[i];
  }
  const double mean = weightedSum / weightSum;
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = lc.weight[i], x = lc.value[i] - mean;
    in.pair[i] = {w, w * x};
    d += w * x * x;
  }
  if (!(d > 0) || !std::isfinite(d) || !std::isfinite(weightSum)) {
    r.message = "The values do not vary about their mean.";
    return r;
  }
  in.weightSum = weightSum;
  in.d = d;

  double* power = r.power.data();
  const double* freq = r.frequency.data();
  // The fast route's cells need every f t in [0, 2^51] (see dealChunk);
  // grids or times outside that keep the exact route.
  double tmax = 0.0;
  bool timesFinite = true;
  for (double x : in.t) {
    timesFinite = timesFinite && std::isfinite(x);
    tmax = std::max(tmax, x);
  }
  const bool fast = (options.route == SearchRoute::Fast ||
                     (options.route == SearchRoute::Auto && transitFastRouteIsCheaper(n, count))) &&
                    timesFinite && freq[0] >= 0.0 && freq[count - 1] * tmax <= 0x1p51;
  bool finished = false;
  if (fast) {
    r.route = SearchRoute::Fast;
    finished = runFrequencyBlocks(
        count, kBlock, rc, [&] { return FastState(n, in.groups); },
        [&](FastState& st, std::int64_t first, std::int64_t last) {
          for (std::int64_t j = first; j < last; ++j) power[j] = fastPower(in, freq[j], st);
        });
    const double top = finished ? *std::max_element(power, power + count) : 0.0;
    if (top > 0.0) {
      std::vector<std::int64_t> candidate;
      for (std::int64_t j = 0; j < count; ++j)
        if (power[j] >= top - kCandidateWindow) candidate.push_back(j);
      finished = runFrequencyBlocks(
          static_cast<std::int64_t>(candidate.size()), 1, rc, [&] { return TransitState(n, in.groups); },
          [&](TransitState& st, std::int64_t first, std::int64_t last) {
            for (std::int64_t k = first; k < last; ++k) {
              const std::int64_t j = candidate[static_cast<std::size_t>(k)];
              power[j] = exactPower(in, freq[j], st);
            }
          });
    }
  } else {
    finished = runFrequencyBlocks(
        count, kBlock, rc, [&] { return TransitState(n, in.groups); },
        [&](TransitState& st, std::int64_t first, std::int64_t last) {
          for (std::int64_t j = first; j < last; ++j) power[j] = exactPower(in, freq[j], st);
        });
  }
  if (!takeFirstStrictMaximum(r, finished)) return r;
  r.bestFrequency = r.frequency[static_cast<std::size_t>(r.bestIndex)];
  return r;
}

}  // namespace fazorn
