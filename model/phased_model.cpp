#include "model/phased_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/statistics.h"
#include "model/least_squares.h"

namespace fazorn {

namespace {

constexpr int kNodes = 100;         // phase grid k * 0.01
constexpr double kNodeStep = 0.01;  // phase units
constexpr int kHarmonics = 8;       // of the doubled period
// The grid evaluation uses this truncation of 2 pi, the basis kBasisTwoPi;
// both are kept so that epochs agree with those users have recorded.
constexpr double kGridTwoPi = 6.28318512;
constexpr double kCoverage = 0.01;     // phase distance that covers a node
constexpr double kGapWidth = 0.05;     // Gaussian width of the gap filler
constexpr double kSmoothWidth = 0.03;  // Gaussian width of the smoother
constexpr double kSameTime = 0.0001;   // days: repeated exposures count once

inline double nodePhase(int k) { return k * kNodeStep; }

double circularDistance(double g, double phase) {
  double d = std::fabs(g - phase);
  if (d > 0.5) d = 1.0 - d;
  return d;
}

// The basis row of the harmonic fit at x (p[1..ma] of harmonicBasis at x,
// into row[0..ma-1]). Harmonic k comes from harmonic 1 by angle addition in
// double (two calls to sin/cos per point instead of 2H); the values differ
// from direct calls by a few units of 1e-16 before they are rounded to float.
void harmonicRow(float x, int ma, float* row) {
  const int H = (ma - 1) / 2;
  const double theta = static_cast<double>(x) * kBasisTwoPi;
  const double c1 = std::cos(theta);
  const double s1 = std::sin(theta);
  double c = c1;
  double s = s1;
  row[0] = 1.0f;
  for (int k = 1; k <= H; ++k) {
    row[2 * k - 1] = static_cast<float>(c);
    row[2 * k] = static_cast<float>(s);
    const double cn = c * c1 - s * s1;
    s = s * c1 + c * s1;
    c = cn;
  }
}

// The smoother's weighted moments about each node.
struct NodeSums {
  std::array<double, kNodes> w{}, x{}, xx{}, xxx{}, xxxx{}, y{}, yx{}, yxx{};
};

}  // namespace

double HarmonicFit::valueAtNode(int k) const {
  const double g = nodePhase(k);
  double v = c0;
  const int H = static_cast<int>(A.size()) - 1;
  for (int h = 1; h <= H; ++h) {
    const double arg = h * kGridTwoPi * g;
    v += A[h] * std::cos(arg) + B[h] * std::sin(arg);
  }
  return v;
}

ExtendedCurve fillPhaseGaps(std::span<const double> time, std::span<const double> value, int n,
                            double foldPeriod) {
  ExtendedCurve e;
  const std::size_t capacity = static_cast<std::size_t>(n) + kNodes;
  e.time.assign(capacity, 0.0);
  e.value.assign(capacity, 0.0);
  e.phase.assign(capacity, 0.0);
  if (n < 1) return e;
  for (int i = 0; i < n; ++i) {
    double ph = std::fmod(time[i] - time[0], foldPeriod) / foldPeriod;
    if (ph < 0) ph += 1.0;
    e.phase[i] = ph;
    e.time[i] = time[i];
    e.value[i] = value[i];
  }
  // Coverage: a point covers the nodes within 0.01 of it, at most its
  // nearest node and the two beside it.
  std::array<bool, kNodes> covered{};
  for (int j = 0; j < n; ++j) {
    if (!std::isfinite(e.phase[j])) continue;  // a time that is not a number covers nothing
    const int c = static_cast<int>(std::lround(e.phase[j] / kNodeStep));
    for (int k = c - 1; k <= c + 1; ++k) {
      const int node = (k + kNodes) % kNodes;
      if (circularDistance(nodePhase(node), e.phase[j]) < kCoverage) covered[node] = true;
    }
  }
  std::vector<int> gaps;
  for (int k = 0; k < kNodes; ++k)
    if (!covered[k]) gaps.push_back(k);

  // Gaussian-weighted sums over every observation, in array order, for each
  // uncovered node. exp(-d^2 / w^2) for the node d steps from the point's
  // nearest node factorises as in the smoother (two exp calls per point);
  // only a few gaps are summed term by term.
  std::array<double, kNodes> weightSum{}, valueSum{};
  if (gaps.size() <= 4) {
    for (int k : gaps) {
      const double g = nodePhase(k);
      for (int j = 0; j < n; ++j) {
        const double d = circularDistance(g, e.phase[j]);
        const double w = std::exp(-d * d / kGapWidth / kGapWidth);
        weightSum[k] += w;
        valueSum[k] += w * e.value[j];
      }
    }
  } else {
    constexpr int kHalf = kNodes / 2;
    static const std::array<double, kNodes + 1> gauss = [] {
      std::array<double, kNodes + 1> t{};
      for (int d = -kHalf; d <= kHalf; ++d) {
        const double x = d * kNodeStep;
        t[d + kHalf] = std::exp(-x * x / kGapWidth / kGapWidth);
      }
      return t;
    }();
    std::array<double, kNodes + 1> weightAt{};
    for (int j = 0; j < n; ++j) {
      const double p = e.phase[j];
      if (!std::isfinite(p)) {
        // Its weight is not a number, and so is every sum it joins.
        for (int k : gaps) weightSum[k] = valueSum[k] = std::numeric_limits<double>::quiet_NaN();
        continue;
      }
      const int c = static_cast<int>(std::lround(p / kNodeStep));
      const double delta = p - c * kNodeStep;
      const double e0 = std::exp(-delta * delta / kGapWidth / kGapWidth);
      const double q = std::exp(2.0 * delta * kNodeStep / kGapWidth / kGapWidth);
      const double qInv = 1.0 / q;
      double up = e0;
      double down = e0;
      weightAt[kHalf] = e0 * gauss[kHalf];
      for (int d = 1; d <= kHalf; ++d) {
        up *= q;
        down *= qInv;
        weightAt[kHalf + d] = up * gauss[kHalf + d];
        weightAt[kHalf - d] = down * gauss[kHalf - d];
      }
      const double v = e.value[j];
      for (int k : gaps) {
        // The node's signed distance in steps, the shorter way round.
        int d = k - c;  // -100 .. 99, folded into -50 .. 49
        if (d >= kHalf) d -= kNodes;
        if (d < -kHalf) d += kNodes;
        if (d == -kHalf && delta > 0) d = kHalf;
        const double w = weightAt[d + kHalf];
        weightSum[k] += w;
        valueSum[k] += w * v;
      }
    }
  }
  int m = n;
  for (int k : gaps) {
    const double g = nodePhase(k);
    e.phase[m] = g;
    e.value[m] = valueSum[k] / weightSum[k];
    e.time[m] = time[n - 1] + foldPeriod * g;
    ++m;
  }
  e.m = m;
  return e;
}

double smoothPhasedCurve(std::span<const double> time, std::span<const double> phase,
                         std::span<const double> value, int n, int m, std::span<double> smoothed) {
  std::array<double, kNodes> g{};
  for (int k = 0; k < kNodes; ++k) g[k] = nodePhase(k);

  // Only nodes within kReach steps of a point take its weight: further out
  // exp(-x^2 / 0.03^2) < 1e-31, and every node has points within 0.01 (after
  // the gap filling) whose weights are near 1, so the dropped terms lie far
  // below the rounding of the sums. Within reach the wrap rule needs no
  // test: nodes past either end of the grid are the wrapped ones.
  constexpr int kReach = 25;
  // exp(-x^2 / w^2) with x = delta - d * 0.01 (delta the point's offset from
  // its nearest node c, d = k - c the node distance in steps) factorises into
  // exp(-delta^2/w^2) * q^d * exp(-d^2 0.01^2 / w^2): two exp calls per point
  // instead of one per node.
  static const std::array<double, 2 * kReach + 1> gauss = [] {
    std::array<double, 2 * kReach + 1> t{};
    for (int d = -kReach; d <= kReach; ++d) {
      const double x = d * kNodeStep;
      t[d + kReach] = std::exp(-x * x / kSmoothWidth / kSmoothWidth);
    }
    return t;
  }();
  NodeSums sums;

  // Points are grouped by their nearest node (keeping array order within a
  // group): the points of a group share their window of nodes, so four of
  // them at a time update each node's sums with one load and store. A short
  // last batch is padded with points of weight 0, which add exactly nothing.
  constexpr int kBuckets = kNodes + 1;  // nearest node 0..100 (phase up to 1)
  std::array<int, kBuckets + 1> bucketStart{};
  std::vector<int> nearest(static_cast<std::size_t>(m), -1);
  bool poisoned = false;
  for (int j = 0; j < m; ++j) {
    if (!std::isfinite(phase[j])) {
      poisoned = true;  // its terms would make every node's sums nan
      continue;
    }
    nearest[j] = static_cast<int>(std::lround(phase[j] / kNodeStep));
    ++bucketStart[nearest[j] + 1];
  }
  for (int c = 0; c < kBuckets; ++c) bucketStart[c + 1] += bucketStart[c];
  std::vector<int> order(static_cast<std::size_t>(bucketStart[kBuckets]));
  {
    std::array<int, kBuckets> fill{};
    std::copy(bucketStart.begin(), bucketStart.end() - 1, fill.begin());
    for (int j = 0; j < m; ++j)
      if (nearest[j] >= 0) order[fill[nearest[j]]++] = j;
  }

  constexpr int kBatch = 4;
  std::array<std::array<double, 2 * kReach + 1>, kBatch> weightAt{};
  std::array<double, kBatch> ps{}, ys{};
  for (int c = 0; c < kBuckets; ++c) {
    for (int i0 = bucketStart[c]; i0 < bucketStart[c + 1]; i0 += kBatch) {
      for (int b = 0; b < kBatch; ++b) {
        const int i = i0 + b;
        if (i >= bucketStart[c + 1]) {
          weightAt[b].fill(0.0);
          ps[b] = c * kNodeStep;
          ys[b] = 0.0;
          continue;
        }
        const double p = phase[order[i]];
        ps[b] = p;
        ys[b] = value[order[i]];
        const double delta = p - c * kNodeStep;
        const double e0 = std::exp(-delta * delta / kSmoothWidth / kSmoothWidth);
        const double q = std::exp(2.0 * delta * kNodeStep / kSmoothWidth / kSmoothWidth);
        // q^d for d = -kReach..kReach from two short chains (|q^d| <= e^3).
        double up = e0;
        double down = e0;
        const double qInv = 1.0 / q;
        weightAt[b][kReach] = e0 * gauss[kReach];
        for (int d = 1; d <= kReach; ++d) {
          up *= q;
          down *= qInv;
          weightAt[b][kReach + d] = up * gauss[kReach + d];
          weightAt[b][kReach - d] = down * gauss[kReach - d];
        }
      }
      // Nodes kBegin..kEnd-1 at distance k - c + dOffset; shift is the wrap.
      auto run = [&](int kBegin, int kEnd, double shift, int dOffset) {
        const int base = kReach - c + dOffset;
        for (int k = kBegin; k < kEnd; ++k) {
          double aw = sums.w[k], ax = sums.x[k], axx = sums.xx[k], axxx = sums.xxx[k];
          double axxxx = sums.xxxx[k], ay = sums.y[k], ayx = sums.yx[k], ayxx = sums.yxx[k];
          for (int b = 0; b < kBatch; ++b) {
            const double x = (ps[b] - g[k]) + shift;
            const double wk = weightAt[b][base + k];
            const double wx = wk * x;
            const double wxx = wx * x;
            aw += wk;
            ax += wx;
            axx += wxx;
            axxx += wxx * x;
            axxxx += wxx * x * x;
            ay += wk * ys[b];
            ayx += wx * ys[b];
            ayxx += wxx * ys[b];
          }
          sums.w[k] = aw, sums.x[k] = ax, sums.xx[k] = axx, sums.xxx[k] = axxx;
          sums.xxxx[k] = axxxx, sums.y[k] = ay, sums.yx[k] = ayx, sums.yxx[k] = ayxx;
        }
      };
      const int lo = c - kReach;
      const int hi = c + kReach + 1;  // exclusive
      run(std::max(lo, 0), std::min(hi, kNodes), 0.0, 0);
      if (lo < 0) run(lo + kNodes, kNodes, 1.0, -kNodes);  // x < -0.5: x + 1
      if (hi > kNodes) run(0, hi - kNodes, -1.0, kNodes);  // x > 0.5: x - 1
    }
  }

  auto det3 = [](double a, double b, double c, double d, double e, double f, double gg, double h,
                 double i) {
    return a * (e * i - f * h) - b * (d * i - f * gg) + c * (d * h - e * gg);
  };
  std::array<double, kNodes> S{};
  for (int k = 0; k < kNodes; ++k) {
    const NodeSums& q = sums;
    const double den =
        det3(q.xxxx[k], q.xxx[k], q.xx[k], q.xxx[k], q.xx[k], q.x[k], q.xx[k], q.x[k], q.w[k]);
    const double num =
        det3(q.xxxx[k], q.xxx[k], q.xx[k], q.xxx[k], q.xx[k], q.x[k], q.yxx[k], q.yx[k], q.y[k]);
    S[k] = poisoned ? std::numeric_limits<double>::quiet_NaN() : num / den;
  }
  if (smoothed.size() >= static_cast<std::size_t>(kNodes))
    std::copy(S.begin(), S.end(), smoothed.begin());

  // Extremes from the model values themselves, whatever their scale.
  double largest = -std::numeric_limits<double>::infinity();
  double smallest = std::numeric_limits<double>::infinity();
  for (int i = 0; i < n; ++i) {
    if (i > 0 && std::fabs(time[i] - time[i - 1]) < kSameTime) continue;
    const double u = phase[i] * 100.0;
    if (!std::isfinite(u)) continue;  // its model value would be nan, never an extreme
    int k = static_cast<int>(u);
    const double f = u - k;
    // A phase that rounded up to exactly 1 lies on node 0 of the next cycle.
    k = std::clamp(k, 0, kNodes) % kNodes;
    const double model = (1.0 - f) * S[k] + f * S[(k + 1) % kNodes];
    if (model > largest) largest = model;
    if (model < smallest) smallest = model;
  }
  // No comparable model value (only non-finite ones): no measurable range.
  if (!(largest >= smallest)) return 0.0;
  return largest - smallest;
}

HarmonicFit fitHarmonics(std::span<const double> phase, std::span<const double> flux,
                         std::span<const double> sig, int m, int H, bool evenOnly) {
  const int ma = 2 * H + 1;
  HarmonicFit fit;
  fit.A.assign(static_cast<std::size_t>(H) + 1, 0.0);
  fit.B.assign(static_cast<std::size_t>(H) + 1, 0.0);
  if (m < 1 || H < 0) return fit;

  std::vector<float> x(static_cast<std::size_t>(m));
  nr::FloatVector y = nr::vector(1, m);
  nr::FloatVector s = nr::vector(1, m);
  nr::FloatVector a = nr::vector(1, ma);
  nr::IntVector lista = nr::ivector(1, ma);
  nr::FloatMatrix covar = nr::matrix(1, ma, 1, ma);
  if (!y.ok() || !s.ok() || !a.ok() || !lista.ok() || !covar.ok()) return fit;
  for (int i = 0; i < m; ++i) {
    x[i] = static_cast<float>(phase[i]);
    y[i + 1] = static_cast<float>(flux[i]);
    s[i + 1] = sig.empty() ? 1.0f : static_cast<float>(sig[i]);
  }
  int mfit = ma;
  if (evenOnly) {
    mfit = H + 1;
    lista[1] = 1;
    for (int g = 1; g <= H; ++g) lista[g + 1] = (g % 2 == 1) ? 2 * g + 2 : 2 * g + 1;
  } else {
    for (int j = 1; j <= ma; ++j) lista[j] = j;
  }
  // Rows made as the fit reads them: a table of all rows would be the
  // largest array of a long light curve's analysis.
  float chisq = 0.0f;
  linearFit([&](int i, float* row) { harmonicRow(x[static_cast<std::size_t>(i - 1)], ma, row); },
            y.indexed(), s.indexed(), m, a.indexed(), ma, lista.indexed(), mfit, covar, &chisq);
  fit.c0 = a[1];
  for (int h = 1; h <= H; ++h) {
    fit.A[h] = a[2 * h];
    fit.B[h] = a[2 * h + 1];
  }
  return fit;
}

PhasedModel fitPhasedLightCurve(std::span<const double> time, std::span<const double> value,
                                double period) {
  PhasedModel model;
  const int n = static_cast<int>(std::min(time.size(), value.size()));
  if (n < 1 || !(period > 0.0) || !std::isfinite(period)) return model;

  const double F = 2.0 * period;
  ExtendedCurve e = fillPhaseGaps(time, value, n, F);
  const int m = e.m;
  model.amplitude = smoothPhasedCurve(e.time, e.phase, e.value, n, m);

  // Normalised flux: the 95th percentile of the fluxes becomes 1. Only the
  // value at that rank is needed, which a selection gives without the full
  // index sort.
  std::vector<double> flux(static_cast<std::size_t>(m));
  for (int i = 0; i < m; ++i) flux[i] = std::pow(10.0, -0.4 * e.value[i]);
  const auto rank = static_cast<std::size_t>(std::trunc(0.95 * m));
  double fRef;
  if (std::none_of(flux.begin(), flux.end(), [](double f) { return std::isnan(f); })) {
    std::vector<double> sorted(flux);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank),
                     sorted.end());
    fRef = sorted[rank];
  } else {
    // NaN has no place in a selection's ordering; the heap sort copes.
    std::vector<int> order(flux.size());
    indexSort(flux, order);
    fRef = flux[static_cast<std::size_t>(order[rank])];
  }
  for (double& f : flux) f /= fRef;

  const std::span<const double> phase(e.phase.data(), static_cast<std::size_t>(m));
  const HarmonicFit first = fitHarmonics(phase, flux, {}, m, kHarmonics, true);
  int k1 = 0;
  double lowest = 1e32;
  for (int k = 0; k < kNodes; ++k) {
    const double v = first.valueAtNode(k);
    if (v < lowest) {
      lowest = v;
      k1 = k;
    }
  }
  const double phi1 = nodePhase(k1);
  for (int i = 0; i < m; ++i) {
    double ph = e.phase[i] - phi1;
    if (ph < 0) ph += 1.0;
    if (ph > 1) ph -= 1.0;
    e.phase[i] = ph;
  }
  const double E = time[0] + phi1 * F;

  const HarmonicFit second = fitHarmonics(phase, flux, {}, m, kHarmonics, false);
  std::array<double, kNodes> C{};
  int kMin = 0;
  int kMax = 0;
  double cMin = 1e32;
  double cMax = -1e32;
  for (int k = 0; k < kNodes; ++k) {
    C[k] = second.valueAtNode(k);
    if (C[k] < cMin) {
      cMin = C[k];
      kMin = k;
    }
    if (C[k] > cMax) {
      cMax = C[k];
      kMax = k;
    }
  }
  const double phiMin = nodePhase(kMin);
  const double phiMax = nodePhase(kMax);
  const double maxFlux = C[kMax];
  if (maxFlux * fRef > 0) {
    model.magAtMaximum = -2.5 * std::log10(maxFlux * fRef);
    model.magAtMaximumValid = std::isfinite(model.magAtMaximum);
    if (!model.magAtMaximumValid) model.magAtMaximum = 0.0;
  }

  auto isLocalMaximum = [&](int k) {
    return C[(k + 1) % kNodes] < C[k] && C[(k + 99) % kNodes] < C[k];
  };
  double phiSec = -1.0;
  for (int s = -1; s <= 1; ++s) {
    for (int i = 0; i <= 24; ++i) {
      const int k = static_cast<int>(std::trunc((phiMax + 0.5) * 100 + i * s)) % kNodes;
      if (isLocalMaximum(k)) {
        phiSec = k * 0.01;
        break;
      }
    }
  }
  model.curve.valid = true;
  model.curve.foldPeriod = F;
  model.curve.epoch = E;
  model.curve.referenceFlux = fRef;
  model.curve.c0 = second.c0;
  model.curve.A = second.A;
  model.curve.B = second.B;
  model.epochOfMinimum = E + phiMin * F;
  model.epochOfMaximum = phiSec > phiMax ? E + phiSec * F : E + phiMax * F;
  return model;
}

void fitPhasedLightCurve(Workspace& ws) {
  const auto n = static_cast<std::size_t>(std::max(ws.lightCurve.pointCount, 0));
  const std::size_t count = std::min({n, ws.lightCurve.time.size(), ws.lightCurve.value.size()});
  const PhasedModel m = fitPhasedLightCurve(std::span(ws.lightCurve.time).first(count),
                                            std::span(ws.lightCurve.value).first(count), ws.period);
  ws.epochOfMinimum = m.epochOfMinimum;
  ws.epochOfMaximum = m.epochOfMaximum;
  ws.magAtMaximum = m.magAtMaximum;
  ws.magAtMaximumValid = m.magAtMaximumValid;
  ws.amplitude = m.amplitude;
  ws.modelCurve = m.curve;
  ws.modelCurve.period = ws.period;
}

double modelMagnitudeAt(const FittedModelCurve& model, double time) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (!model.valid || !(model.foldPeriod > 0.0)) return nan;
  double g = std::fmod((time - model.epoch) / model.foldPeriod, 1.0);
  if (g < 0) g += 1.0;
  // The fit's own basis constant, so that the line follows the fitted series.
  double flux = model.c0;
  const std::size_t H = std::min(model.A.size(), model.B.size());
  for (std::size_t h = 1; h < H; ++h) {
    const double arg = static_cast<double>(h) * kBasisTwoPi * g;
    flux += model.A[h] * std::cos(arg) + model.B[h] * std::sin(arg);
  }
  flux *= model.referenceFlux;
  if (!(flux > 0.0)) return nan;
  return -2.5 * std::log10(flux);
}

}  // namespace fazorn
