#include "search/transit_periodogram.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "search/frequency_blocks.h"

namespace fazorn {

namespace {

constexpr std::int64_t kBlock = 64;
// Auto takes the fast route from this many points: below it the fast
// route's fixed work per frequency (its cells) makes it no faster.
constexpr std::size_t kFastRouteMinPoints = 2000;
// ... and from this many frequencies: the peak is recomputed on the exact
// route, which a grid of a few frequencies would pay for twice.
constexpr std::int64_t kFastRouteMinFrequencies = 16;

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
    : start_(kCellsPerPoint * n + 2),
      ranked_(n),
      scratchIndex_(n),
      runs_(n + 1),
      sortedKey_(n),
      scratchKey_(n),
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
                     std::span(scratchIndex_).subspan(a, len),
                     std::span(runs_).subspan(a, len + 1));
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
  std::vector<double> t;  // days from the first observation
  std::vector<WeightPair>
      pair;                // weight, weight times the value's deviation from the weighted mean
  double weightSum = 0.0;  // W
  double d = 0.0;          // weighted sum of squares about the weighted mean
  std::size_t groups = 0;  // groups of equal occupancy round the cycle
  std::size_t width = 0;   // groups per box
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
// of them, so that cell c holds exactly c / C <= phase < (c + 1) / C); the
// running count over the cells tells which group each cell's points fall
// in, and a second pass adds every point to its cell's group. Only the
// points of a cell that a group boundary cuts (at most G - 1 cells) are put
// in phase order, with the exact route's phases and tie rule (equal phases
// in index order), so every group holds exactly the exact route's points
// and only the order of the additions differs. The counts, the cells'
// groups and the groups' sums are small enough to stay in the first-level
// cache, where the random accesses of both passes go.

// Points per cell on average: fewer cells keep the counts in cache, more
// cells keep the cut cells short.
constexpr std::size_t kFastPointsPerCell = 16;
// At least this many cells per group (but not more than points), so that
// few points fall in cut cells when the groups are small.
constexpr std::size_t kFastCellsPerGroup = 16;
// At most this many cells, so that a cell number fits 16 bits.
constexpr std::size_t kFastMaxCells = std::size_t{1} << 16;
// A cell's label: its group, or kCutCell plus the number of the cut cell.
constexpr std::uint32_t kCutCell = 0x80000000u;
// Longest cut cell put in order by insertion; longer ones (coinciding
// phases) by a stable sort, so that they never cost the square of their size.
constexpr std::size_t kInsertionLimit = 32;
// Interleaved copies of the groups' sums: consecutive points (often in the
// same group at low frequencies) add to different copies, so the additions
// do not wait on each other.
constexpr std::size_t kSumCopies = 4;

struct FastState {
  std::size_t cells;
  std::vector<std::uint16_t> cellOf;     // each point's cell
  std::vector<std::uint32_t> label;      // per cell: first its count, then its label
  std::vector<WeightPair> sums;          // kSumCopies x groups
  std::vector<std::uint32_t> cutStart;   // per cut cell: its first rank
  std::vector<std::uint32_t> cutOffset;  // per cut cell: its first place in cut
  std::vector<std::uint32_t> cutPoint;   // points of cut cells, in index order (n places)
  std::vector<PhaseOrder::Ranked> cut;   // the same grouped by cut cell, then ordered
  std::vector<double> groupWeight, groupSum;
  FastState(std::size_t n, std::size_t groups)
      : cells(std::min(kFastMaxCells,
                       std::bit_ceil(std::max(n / kFastPointsPerCell,
                                              std::min(kFastCellsPerGroup * groups, n))))),
        cellOf(n),
        label(cells),
        sums(kSumCopies * groups),
        cutPoint(n),
        groupWeight(2 * groups + 1),
        groupSum(2 * groups + 1) {}
};

// The group of rank q: g n / G <= q < (g + 1) n / G.
inline std::size_t groupOfRank(std::size_t q, std::size_t n, std::size_t groups) {
  std::size_t g = q * groups / n;
  while ((g + 1) * n / groups <= q) ++g;
  while (g * n / groups > q) --g;
  return g;
}

// The power at frequency f. The caller checks that every f t C lies in
// [0, 2^51] (C the cell count).
double fastPower(const TransitInput& in, double f, FastState& st) {
  const std::size_t n = in.t.size(), cells = st.cells, groups = in.groups;
  const double scale = static_cast<double>(cells);
  const double* t = in.t.data();
  std::uint16_t* cellOf = st.cellOf.data();
  std::uint32_t* label = st.label.data();
  std::fill(label, label + cells, 0u);
  std::size_t i = 0;
#if defined(__SSE2__)
  // The cell is floor(frac(f t) C) = floor(f t C) mod C, and (f C) t is
  // f t C exactly (C a power of two). Below 2^52, v + 2^52 holds round(v)
  // in its low bits; one less where that rounded up gives floor(v), and the
  // low bits of that, its remainder mod C.
  const __m128d vf = _mm_set1_pd(f * scale), magic = _mm_set1_pd(0x1p52);
  const __m128i mask = _mm_set1_epi64x(static_cast<long long>(cells - 1));
  for (; i + 2 <= n; i += 2) {
    const __m128d v = _mm_mul_pd(vf, _mm_loadu_pd(t + i));
    const __m128d y = _mm_add_pd(v, magic);
    const __m128i up = _mm_castpd_si128(_mm_cmpgt_pd(_mm_sub_pd(y, magic), v));
    const __m128i c = _mm_and_si128(_mm_add_epi64(_mm_castpd_si128(y), up), mask);
    const auto c0 = static_cast<std::uint16_t>(_mm_cvtsi128_si32(c));
    const auto c1 = static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm_srli_si128(c, 8)));
    cellOf[i] = c0;
    cellOf[i + 1] = c1;
    ++label[c0];
    ++label[c1];
  }
#endif
  for (; i < n; ++i) {
    const double u = f * t[i];
    const auto c = static_cast<std::uint16_t>((u - floorOf(u)) * scale);
    cellOf[i] = c;
    ++label[c];
  }

  // The cells in phase order: rank counts the points passed.
  st.cutStart.clear();
  st.cutOffset.clear();
  std::size_t rank = 0, g = 0, end = n / groups, cutPoints = 0;
  for (std::size_t c = 0; c < cells; ++c) {
    const std::size_t count = label[c];
    if (count == 0) continue;
    while (end <= rank) end = (++g + 1) * n / groups;
    if (rank + count <= end) {
      label[c] = static_cast<std::uint32_t>(g);
    } else {
      label[c] = kCutCell | static_cast<std::uint32_t>(st.cutStart.size());
      st.cutStart.push_back(static_cast<std::uint32_t>(rank));
      st.cutOffset.push_back(static_cast<std::uint32_t>(cutPoints));
      cutPoints += count;
    }
    rank += count;
  }

  // Every point to its cell's group, the cut cells' points aside.
  WeightPair* sums = st.sums.data();
  std::fill(sums, sums + kSumCopies * groups, WeightPair{0.0, 0.0});
  const WeightPair* pair = in.pair.data();
  std::uint32_t* cutPoint = st.cutPoint.data();
  std::size_t cutTaken = 0;
  auto add = [&](WeightPair* copy, std::size_t p) {
    const std::uint32_t l = label[cellOf[p]];
    if (l < kCutCell) {
      copy[l].w += pair[p].w;
      copy[l].wx += pair[p].wx;
    } else {
      cutPoint[cutTaken++] = static_cast<std::uint32_t>(p);
    }
  };
  for (i = 0; i + kSumCopies <= n; i += kSumCopies)
    for (std::size_t k = 0; k < kSumCopies; ++k) add(sums + k * groups, i + k);
  for (; i < n; ++i) add(sums, i);
  double* gw = st.groupWeight.data();
  double* gs = st.groupSum.data();
  gw[0] = gs[0] = 0.0;
  for (g = 0; g < groups; ++g) {
    double w = 0.0, wx = 0.0;
    for (std::size_t k = 0; k < kSumCopies; ++k) {
      w += sums[k * groups + g].w;
      wx += sums[k * groups + g].wx;
    }
    gw[g + 1] = w;
    gs[g + 1] = wx;
  }

  // The cut cells' points dealt to their cells (in index order), each cell
  // ordered by phase, then index, and its ranks given to their groups.
  st.cut.resize(cutPoints);
  for (std::size_t q = 0; q < cutTaken; ++q) {
    const std::uint32_t p = cutPoint[q];
    const std::uint32_t k = label[cellOf[p]] & ~kCutCell;
    const double u = f * t[p];
    st.cut[st.cutOffset[k]++] = {u - floorOf(u), static_cast<int>(p)};
  }
  PhaseOrder::Ranked* cut = st.cut.data();
  std::size_t a = 0;
  for (std::size_t k = 0; k < st.cutStart.size(); ++k) {
    const std::size_t e = st.cutOffset[k];  // now the end of cell k's places
    // The cell's places hold its points in index order: insertion from the
    // left, or a stable sort for a crowded cell, keeps equal phases so.
    if (e - a > kInsertionLimit) {
      std::stable_sort(cut + a, cut + e,
                       [](const PhaseOrder::Ranked& x, const PhaseOrder::Ranked& y) {
                         return x.phase < y.phase;
                       });
    } else {
      for (std::size_t j = a + 1; j < e; ++j) {
        const PhaseOrder::Ranked x = cut[j];
        std::size_t q = j;
        for (; q > a && x.phase < cut[q - 1].phase; --q) cut[q] = cut[q - 1];
        cut[q] = x;
      }
    }
    std::size_t cutRank = st.cutStart[k], h = groupOfRank(cutRank, n, groups),
                hEnd = (h + 1) * n / groups;
    for (std::size_t j = a; j < e; ++j, ++cutRank) {
      while (hEnd <= cutRank) hEnd = (++h + 1) * n / groups;
      gw[h + 1] += pair[cut[j].index].w;
      gs[h + 1] += pair[cut[j].index].wx;
    }
    a = e;
  }
  return scanBoxes(in, st.groupWeight, st.groupSum);
}

// Fast powers lie within 1e-12 of the exact ones; every frequency within
// this of the fast maximum is recomputed exactly, so the peak is the exact
// route's.
constexpr double kCandidateWindow = 1e-10;

}  // namespace

bool transitFastRouteIsCheaper(std::size_t n, std::int64_t count) {
  return n >= kFastRouteMinPoints && count >= kFastRouteMinFrequencies;
}

namespace {

// The grid's frequencies (from the index, not accumulated), zero powers, and
// the light curve as both routes see it; false, with the message set, when
// there is nothing to search.
bool prepareTransit(const LightCurveView& lc, const TransitOptions& options, TransitResult& r,
                    TransitInput& in) {
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
    return false;
  }
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
    return false;
  }
  in.weightSum = weightSum;
  in.d = d;
  return true;
}

}  // namespace

namespace {

// The powers at freq[] (ascending) on the route asked for: the body of
// computeTransitPeriodogram, shared with computeTransitWindows. `used`
// receives the route that ran; false when cancelled.
bool fillTransitPowers(const TransitInput& in, const double* freq, double* power,
                       std::int64_t count, SearchRoute route, const RunControl& rc,
                       SearchRoute* used) {
  const std::size_t n = in.t.size();
  *used = SearchRoute::Exact;
  // The fast route's cells need every f t C in [0, 2^51] (see fastPower);
  // grids or times outside that keep the exact route.
  double tmax = 0.0;
  bool timesFinite = true;
  for (double x : in.t) {
    timesFinite = timesFinite && std::isfinite(x);
    tmax = std::max(tmax, x);
  }
  const bool fast = (route == SearchRoute::Fast ||
                     (route == SearchRoute::Auto && transitFastRouteIsCheaper(n, count))) &&
                    timesFinite && freq[0] >= 0.0 &&
                    freq[count - 1] * tmax * static_cast<double>(kFastMaxCells) <= 0x1p51;
  bool finished = false;
  if (fast) {
    *used = SearchRoute::Fast;
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
          static_cast<std::int64_t>(candidate.size()), 1, rc,
          [&] { return TransitState(n, in.groups); },
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
  return finished;
}

}  // namespace

TransitResult computeTransitPeriodogram(const LightCurveView& lc, const TransitOptions& options,
                                        const RunControl& rc) {
  TransitResult r;
  TransitInput in;
  if (!prepareTransit(lc, options, r, in)) return r;
  const bool finished = fillTransitPowers(in, r.frequency.data(), r.power.data(),
                                          options.grid.count, options.route, rc, &r.route);
  if (!takeFirstStrictMaximum(r, finished)) return r;
  r.bestFrequency = r.frequency[static_cast<std::size_t>(r.bestIndex)];
  return r;
}

std::vector<double> computeTransitWindows(const LightCurveView& lc, const TransitOptions& options,
                                          const std::vector<FrequencyGrid>& windows,
                                          const RunControl& rc) {
  std::vector<double> freq;
  for (const FrequencyGrid& w : windows)
    for (std::int32_t i = 0; i < w.count; ++i)
      freq.push_back(static_cast<double>(i) * w.step + w.minFrequency);
  std::vector<double> power(freq.size(), 0.0);
  if (freq.empty()) return power;
  TransitOptions first = options;
  first.grid = {freq[0], 1.0, 1};
  TransitResult r;
  TransitInput in;
  if (!prepareTransit(lc, first, r, in)) return power;
  SearchRoute used = SearchRoute::Exact;
  fillTransitPowers(in, freq.data(), power.data(), static_cast<std::int64_t>(freq.size()),
                    options.route, rc, &used);
  return power;
}

namespace {

// The candidate pass: segments folded once per reference frequency and
// combined with phase shifts (see computeTransitCandidates).

// Phase bins per group of equal occupancy (rounded up to a power of two of
// bins): the groups' edges are placed inside the bins by interpolation.
constexpr double kBinsPerGroup = 2.5;
// Costs relative to the fast route's work per point and frequency (about
// the same steps: a phase, a bin, scattered additions): adding one bin of a
// folded segment (three floats, vectorised) into a frequency's profile.
constexpr double kCombineCost = 0.25;
// Folding in segments is taken when its estimated work is below this
// fraction of the fast route's. The estimate is about twice the work
// measured (963k points, 29,926 frequencies on one thread: 34 us per
// frequency folded against 68 us estimated from the fast route's 2.6 ns
// per point), which leaves the margin.
constexpr double kCandidateGain = 1.0;
// The profiles of one block of frequencies stay within about this many bytes
// (second-level cache).
constexpr std::size_t kCandidateBlockBytes = std::size_t{1} << 20;

struct SegmentPoint {
  double t;     // days from the first observation
  float w, wx;  // the point's weight and weighted deviation
};

struct CandidatePlan {
  std::size_t bins = 0;      // phase bins, a power of two
  std::size_t segments = 0;  // time segments of equal length
  double length = 0.0;       // their length, days
  double refStep = 0.0;      // spacing of the reference frequencies, cycles per day
  std::int64_t block = 0;    // frequencies per block of profiles
  double cost = 0.0;         // estimated work per frequency, in points of the fast route
};

// The segment count that balances folding (points times references per
// frequency, step B L / 2 with L = T / K) against combining (K B bins per
// frequency): K = sqrt(n step T / (2 kCombineCost)).
CandidatePlan planCandidates(std::size_t n, std::size_t groups, double step, double span) {
  CandidatePlan p;
  p.bins = std::bit_ceil(
      static_cast<std::size_t>(std::ceil(kBinsPerGroup * static_cast<double>(groups))));
  const double b = static_cast<double>(p.bins), nd = static_cast<double>(n);
  p.block = std::max<std::int64_t>(
      8, static_cast<std::int64_t>(kCandidateBlockBytes / (3 * sizeof(float) * p.bins)));
  const double k = std::sqrt(nd * step * span / (2.0 * kCombineCost));
  p.segments = static_cast<std::size_t>(std::clamp(std::round(k), 1.0, nd));
  p.length = span / static_cast<double>(p.segments);
  // A frequency at most refStep / 2 from its reference, on times at most
  // L / 2 from their segment's middle, errs by refStep L / 4 in phase: half
  // a bin, as much as rounding the shift to whole bins.
  p.refStep = 2.0 / (b * p.length);
  const double foldsPerFrequency =
      std::min(1.0, step / p.refStep + 1.0 / static_cast<double>(p.block));
  p.cost = nd * foldsPerFrequency + kCombineCost * static_cast<double>(p.segments) * b + b +
           static_cast<double>(groups);
  return p;
}

struct CandidateState {
  std::vector<float> profile;  // two interleaved copies of count, weight, sum per bin
  std::vector<float> acc;      // per frequency of the block: count, weight, sum per bin
  std::vector<double> groupWeight, groupSum;
  CandidateState(std::size_t bins, std::int64_t block, std::size_t groups)
      : profile(6 * bins),
        acc(3 * bins * static_cast<std::size_t>(block)),
        groupWeight(2 * groups + 1),
        groupSum(2 * groups + 1) {}
};

// Adds the folded profile, shifted by `shift` bins, into a frequency's.
void addShifted(const float* __restrict prof, float* __restrict acc, std::size_t bins,
                std::size_t shift) {
  for (std::size_t part = 0; part < 3; ++part) {
    const float* src = prof + part * bins;
    float* dst = acc + part * bins;
    const std::size_t head = bins - shift;
    for (std::size_t b = 0; b < head; ++b) dst[b + shift] += src[b];
    for (std::size_t b = head; b < bins; ++b) dst[b - head] += src[b];
  }
}

// The box power of a phase profile: the edges of the groups of equal
// occupancy (ranks g n / G, as on the exact route) placed inside their bins
// as if the bin's points were spread evenly over it.
double profilePower(const TransitInput& in, const float* acc, std::size_t bins,
                    CandidateState& st) {
  const std::size_t n = in.t.size(), groups = in.groups;
  const float* cnt = acc;
  const float* w = acc + bins;
  const float* wx = acc + 2 * bins;
  double before = 0.0, beforeW = 0.0, beforeS = 0.0;  // sums over the bins passed
  double lastW = 0.0, lastS = 0.0;                    // at the previous edge
  std::size_t b = 0;
  for (std::size_t g = 1; g <= groups; ++g) {
    double edgeW = 0.0, edgeS = 0.0;
    if (g == groups) {
      for (; b < bins; ++b) beforeW += w[b], beforeS += wx[b];
      edgeW = beforeW;
      edgeS = beforeS;
    } else {
      const auto rank = static_cast<double>(g * n / groups);
      while (b < bins && before + cnt[b] <= rank) {
        before += cnt[b];
        beforeW += w[b];
        beforeS += wx[b];
        ++b;
      }
      const double part = b < bins && cnt[b] > 0 ? (rank - before) / cnt[b] : 0.0;
      edgeW = beforeW + (b < bins ? part * w[b] : 0.0);
      edgeS = beforeS + (b < bins ? part * wx[b] : 0.0);
    }
    st.groupWeight[g] = edgeW - lastW;
    st.groupSum[g] = edgeS - lastS;
    lastW = edgeW;
    lastS = edgeS;
  }
  st.groupWeight[0] = st.groupSum[0] = 0.0;
  return scanBoxes(in, st.groupWeight, st.groupSum);
}

}  // namespace

bool transitCandidatesFold(std::size_t n, int binFactor, int binSets, double step,
                           double timeSpan) {
  const std::size_t groups = static_cast<std::size_t>(10 * std::max(1, binFactor)) *
                             static_cast<std::size_t>(std::max(1, binSets));
  if (n < 2 || !(step > 0) || !(timeSpan > 0) || !std::isfinite(timeSpan)) return false;
  return planCandidates(n, groups, step, timeSpan).cost < kCandidateGain * static_cast<double>(n);
}

TransitResult computeTransitCandidates(const LightCurveView& lc, const TransitOptions& options,
                                       const RunControl& rc) {
  TransitResult r;
  TransitInput in;
  if (!prepareTransit(lc, options, r, in)) return r;
  const std::int64_t count = options.grid.count;
  const std::size_t n = in.t.size();
  const double f0 = options.grid.minFrequency, step = options.grid.step;
  double span = 0.0;
  bool finite = true;
  for (double x : in.t) {
    finite = finite && std::isfinite(x);
    span = std::max(span, x);
  }
  const CandidatePlan plan = planCandidates(n, in.groups, step, span);
  // Folding pays only where it saves work; negative frequencies and
  // phases beyond 2^51 bins keep the periodogram itself.
  const double fmax = f0 + static_cast<double>(count - 1) * step;
  if (!finite || !(span > 0) || !(f0 >= 0) || !(step > 0) ||
      fmax * span * static_cast<double>(plan.bins) > 0x1p51 ||
      !(plan.cost < kCandidateGain * static_cast<double>(n)))
    return computeTransitPeriodogram(lc, options, rc);

  // The points grouped by segment (in index order within each).
  const std::size_t segments = plan.segments, bins = plan.bins, mask = bins - 1;
  std::vector<std::size_t> segStart(segments + 2, 0);
  auto segmentOf = [&](double t) {
    return std::min(segments - 1, static_cast<std::size_t>(t / plan.length));
  };
  for (double t : in.t) ++segStart[segmentOf(t) + 2];
  for (std::size_t k = 2; k < segments + 2; ++k) segStart[k] += segStart[k - 1];
  std::vector<SegmentPoint> points(n);
  for (std::size_t i = 0; i < n; ++i)
    points[segStart[segmentOf(in.t[i]) + 1]++] = {in.t[i], static_cast<float>(in.pair[i].w),
                                                  static_cast<float>(in.pair[i].wx)};

  double* power = r.power.data();
  const double* freq = r.frequency.data();
  const double b = static_cast<double>(bins);
  const bool finished = runFrequencyBlocks(
      count, plan.block, rc, [&] { return CandidateState(bins, plan.block, in.groups); },
      [&](CandidateState& st, std::int64_t first, std::int64_t last) {
        float* acc = st.acc.data();
        std::fill(acc, acc + 3 * bins * static_cast<std::size_t>(last - first), 0.0f);
        for (std::size_t k = 0; k < segments; ++k) {
          const SegmentPoint* p = points.data() + segStart[k];
          const std::size_t m = segStart[k + 1] - segStart[k];
          if (m == 0) continue;
          const double centre = (static_cast<double>(k) + 0.5) * plan.length;
          // Runs of frequencies that share their nearest reference.
          for (std::int64_t j = first; j < last;) {
            const double ref = f0 + std::round((freq[j] - f0) / plan.refStep) * plan.refStep;
            std::int64_t e = j + 1;
            while (e < last && f0 + std::round((freq[e] - f0) / plan.refStep) * plan.refStep == ref)
              ++e;
            // Fold the segment at the reference: bin floor(ref t B) mod B,
            // two copies so that neighbouring points (often in one bin)
            // do not wait on each other's additions.
            float* prof = st.profile.data();
            std::fill(prof, prof + 6 * bins, 0.0f);
            const double scale = ref * b;
            std::size_t q = 0;
            for (; q + 2 <= m; q += 2) {
              const auto b0 =
                  static_cast<std::size_t>(static_cast<std::int64_t>(scale * p[q].t)) & mask;
              const auto b1 =
                  static_cast<std::size_t>(static_cast<std::int64_t>(scale * p[q + 1].t)) & mask;
              prof[b0] += 1.0f;
              prof[bins + b0] += p[q].w;
              prof[2 * bins + b0] += p[q].wx;
              prof[3 * bins + b1] += 1.0f;
              prof[4 * bins + b1] += p[q + 1].w;
              prof[5 * bins + b1] += p[q + 1].wx;
            }
            for (; q < m; ++q) {
              const auto b0 =
                  static_cast<std::size_t>(static_cast<std::int64_t>(scale * p[q].t)) & mask;
              prof[b0] += 1.0f;
              prof[bins + b0] += p[q].w;
              prof[2 * bins + b0] += p[q].wx;
            }
            for (std::size_t x = 0; x < 3 * bins; ++x) prof[x] += prof[3 * bins + x];
            // At f the phases move by (f - ref) t: by (f - ref) centre for
            // the whole segment, rounded to whole bins.
            for (; j < e; ++j) {
              const double shift = std::round((freq[j] - ref) * centre * b);
              const auto s = static_cast<std::size_t>(static_cast<std::int64_t>(shift)) & mask;
              addShifted(prof, acc + 3 * bins * static_cast<std::size_t>(j - first), bins, s);
            }
          }
        }
        for (std::int64_t j = first; j < last; ++j)
          power[j] =
              profilePower(in, acc + 3 * bins * static_cast<std::size_t>(j - first), bins, st);
      });
  r.route = SearchRoute::Fast;
  if (!takeFirstStrictMaximum(r, finished)) return r;
  r.bestFrequency = r.frequency[static_cast<std::size_t>(r.bestIndex)];
  return r;
}

}  // namespace fazorn
