// The AoV engine. Two routes to the same statistic:
//
// - The pointwise route (aovPower) follows the published recurrence: for
//   every point the sine and cosine of omega t, then P passes over the points
//   building phi_n = z phi_(n-1) - alpha z^(n-1) conj(phi_(n-1)) and summing
//   the weighted products. It costs 4N sines and cosines and about 60 N
//   operations per degree.
//
// - The fast route (the frequency loop) uses that every inner product of the
//   recurrence is a fixed combination of the weighted moments
//   mu_k = sum w z^k (k = 0 .. P-1) and nu_d = sum w x z^d (d = 0 .. m),
//   because <z^j, z^k> = mu_(j-k). One pass over the points per frequency
//   gathers the moments; the recurrence then runs on the coefficient vectors
//   of the polynomials (the Szegoe recursion on the Toeplitz moment matrix),
//   O(P^3) work independent of N. The phasors z are not recomputed from sines
//   and cosines at every frequency: they are rotated by exp(i dOmega t) and
//   re-anchored with exact sines and cosines at the start of every block of
//   kBlock frequencies. Because omega is accumulated by repeated addition,
//   it drifts from anchor + k dOmega by a few units in the last place; the
//   known drift e is applied to each point as the small rotation (1 + i e t).
//
// The moment route loses precision when the orthogonal polynomials become
// nearly dependent (very low frequencies over a short time span, or fewer
// distinct points than terms): the norm of phi_n is then a small difference
// of large moment terms. The ratio r = |phi_n|^2 / (mu_0 sum |a_k|^2)
// measures this; below kMinConditioning that frequency is recomputed by the
// pointwise route, which keeps the powers within 1e-9 of the plain
// recurrence everywhere.
#include "search/aov_periodogram.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>

#include "search/frequency_blocks.h"
#include "search/nonuniform_fft.h"
#include "search/unit_phasor.h"
#include "search/work_pool.h"

// The moment sums use GCC vector types wider than the baseline ISA; their
// calling convention never crosses this file.
#pragma GCC diagnostic ignored "-Wpsabi"

// The moment loops run over template-constant bounds and are unrolled
// completely, so that their sums stay in registers. The sanitizer build keeps
// them as loops: there every unrolled access carries checks of its own, and
// this file alone took a minute and a half of compiling. Unrolling never
// changes the order of the operations, so both compute the same.
#if defined(__SANITIZE_ADDRESS__)
#define FAZORN_UNROLL
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAZORN_UNROLL
#endif
#endif
#ifndef FAZORN_UNROLL
#define FAZORN_UNROLL _Pragma("GCC unroll 16")
#endif

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
// CPU-specific code chosen at run time; the default build targets any x86-64.
#define FAZORN_TARGET_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define FAZORN_TARGET_CLONES
#endif

namespace fazorn {

namespace {

// Frequencies between exact re-anchorings of the rotated phasors; also the
// unit of work handed to threads. Fixed, so results never depend on the
// thread count. The rotation error grows by about 1e-16 per step.
constexpr std::int64_t kBlock = 256;
// Below this conditioning ratio a frequency is recomputed pointwise.
constexpr double kMinConditioning = 1e-3;
// The largest number of harmonics with a compiled moment kernel; more
// harmonics take the pointwise route at every frequency.
constexpr int kMaxFastHarmonics = 6;
// Lanes of the moment sums: eight partial sums per moment, added in a fixed
// order at the end, whatever the vector width of the CPU.
constexpr std::size_t kLanes = 8;
// Points per chunk (a multiple of kLanes): the seven arrays a frequency reads
// of one chunk take 112 kB, well inside the per-core cache.
constexpr std::size_t kChunk = 2048;
// Light curves of at most this many points take the quick route's sums with
// the lanes over frequencies: their phasors at eight frequencies, 128 bytes
// a point, then stay in the per-core cache as a chunk does.
constexpr std::size_t kFrequencyLanePoints = kChunk;

typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));

inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }
inline double laneSum(Lanes v) {
  double s = 0.0;
  for (std::size_t l = 0; l < kLanes; ++l) s += v[l];
  return s;
}

// Where the polynomials are not independent on the points (fewer distinct
// phases than terms: too few points, or points that coincide in phase at
// this frequency) the recurrence divides rounding noise by rounding noise
// and the "power" is not a number or lies outside [0, 1]. Such a frequency
// carries no information and gets power 0. The slack admits the rounding of
// an exact fit (power 1).
constexpr double kPowerSlack = 1e-9;
double usablePower(double p) { return p >= 0.0 && p <= 1.0 + kPowerSlack ? p : 0.0; }

int harmonicOrder(int harmonicTerms) {
  // The integer part of floor(P * 0.5 - 0.4): for P = 2H + 1 this is H.
  return static_cast<int>(std::floor(harmonicTerms * 0.5 - 0.4));
}

// Work storage of the pointwise route, one set per thread.
struct PointwiseScratch {
  std::vector<double> zr, zi, cr, ci, pr, pi, er, ei;
  explicit PointwiseScratch(std::size_t n)
      : zr(n), zi(n), cr(n), ci(n), pr(n), pi(n), er(n), ei(n) {}
};

double pointwisePower(const AovPrepared& p, double omega, PointwiseScratch& s) {
  const std::size_t n = p.shiftedTime.size();
  const int terms = p.harmonicTerms;
  const double m = harmonicOrder(terms);
  const double* t = p.shiftedTime.data();
  const double* x = p.centredValue.data();
  const double* w = p.weight.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = omega * t[i];
    const double harmonicAngle = angle * m;
    s.cr[i] = x[i] * std::cos(harmonicAngle);
    s.ci[i] = x[i] * std::sin(harmonicAngle);
    s.zr[i] = std::cos(angle);
    s.zi[i] = std::sin(angle);
  }
  double theta = 0.0, alphaRe = 0.0, alphaIm = 0.0;
  for (int degree = 0; degree < terms; ++degree) {
    double aRe = 0, aIm = 0, bRe = 0, bIm = 0, norm = 0, gRe = 0, gIm = 0;
    for (std::size_t i = 0; i < n; ++i) {
      double pr, pi, er, ei;
      if (degree == 0) {
        pr = 1.0, pi = 0.0, er = 1.0, ei = 0.0;
      } else {
        const double qr = s.pr[i], qi = s.pi[i];  // psi, degree - 1
        const double zr = s.zr[i], zi = s.zi[i];
        // zeta * conj(psi), zeta still z^(degree - 1)
        const double ur = s.er[i] * qr + s.ei[i] * qi;
        const double ui = s.ei[i] * qr - s.er[i] * qi;
        pr = (zr * qr - zi * qi) - (alphaRe * ur - alphaIm * ui);
        pi = (zr * qi + zi * qr) - (alphaRe * ui + alphaIm * ur);
        er = s.er[i] * zr - s.ei[i] * zi;
        ei = s.er[i] * zi + s.ei[i] * zr;
      }
      s.pr[i] = pr, s.pi[i] = pi, s.er[i] = er, s.ei[i] = ei;
      const double q = w[i] * (pr * pr + pi * pi);
      norm += q;
      aRe += q * s.zr[i];
      aIm += q * s.zi[i];
      // zeta * conj(phi)^2
      const double c2r = pr * pr - pi * pi, c2i = -2.0 * pr * pi;
      bRe += w[i] * (er * c2r - ei * c2i);
      bIm += w[i] * (er * c2i + ei * c2r);
      // c * conj(phi)
      gRe += w[i] * (s.cr[i] * pr + s.ci[i] * pi);
      gIm += w[i] * (s.ci[i] * pr - s.cr[i] * pi);
    }
    const double bb = bRe * bRe + bIm * bIm;
    alphaRe = (aRe * bRe + aIm * bIm) / bb;
    alphaIm = (aIm * bRe - aRe * bIm) / bb;
    const double root = std::sqrt(norm);
    const double g1 = gRe / root, g2 = gIm / root;
    theta += g1 * g1 + g2 * g2;
  }
  return theta / p.denominator;
}

// Arrays shared read-only by all threads, padded to whole lanes with points
// of weight 0 (they add nothing to any moment).
struct FastShared {
  std::size_t padded = 0;
  // The prepared times and weights (padded in place), and the products and
  // rotations the moment sums need.
  const double* time = nullptr;
  const double* weight = nullptr;
  std::vector<double> weightedValue, stepRe, stepIm;
  const AovPrepared* prepared = nullptr;
  const std::vector<double>* omega = nullptr;  // the accumulated angular frequencies
  double deltaOmega = 0.0;
  double weightSum = 0.0;       // mu_0
  double weightedValueSum = 0;  // nu_0
  int order = 0;                // m, the number of harmonics
  // For the quick route on short light curves (frequencyLanes): the points
  // without padding and the rotation by eight grid steps, exp(i 8 dOmega t).
  bool frequencyLanes = false;
  std::size_t points = 0;
  std::vector<double> step8Re, step8Im;
  // Frequencies the moment route handed to the pointwise route.
  mutable std::atomic<std::int64_t> pointwise{0};
};

struct FastThreadState {
  // The rotated phasors of the points of one chunk.
  std::vector<double> zRe, zIm;
  // The moment sums of every frequency of a block.
  std::vector<std::complex<double>> moments;
  // The same sums by moment and frequency (mu_k over the block for
  // k = 1 .. 2M, nu_d for d = 1 .. M), as the eight-lane recurrence reads
  // them; sized on the first block that takes that recurrence.
  std::vector<std::vector<std::complex<double>>> laneMu, laneNu;
  // The phasors of every point at eight neighbouring frequencies (point i's
  // at 8 i .. 8 i + 7), for frequencyLanes.
  std::vector<double> laneZRe, laneZIm;
  // The pointwise route's eight arrays of n, made on the first frequency
  // that needs them: on a well-conditioned light curve none does, and they
  // would be most of the search's memory (64 bytes a point a thread).
  std::optional<PointwiseScratch> pointwise;
  std::size_t padded;
  explicit FastThreadState(std::size_t paddedCount)
      : zRe(std::min(paddedCount, kChunk)),
        zIm(std::min(paddedCount, kChunk)),
        moments(static_cast<std::size_t>(kBlock) * (3 * kMaxFastHarmonics + 2)),
        padded(paddedCount) {}
  PointwiseScratch& pointwiseScratch() {
    if (!pointwise) pointwise.emplace(padded);
    return *pointwise;
  }
};

using Complex = std::complex<double>;
using ComplexVector = std::vector<Complex>;

// The power from the moments mu[0..2M] and nu[0..M] by the recurrence on
// coefficient vectors; negative when the conditioning is too poor. M is a
// template argument so that the triangular loops unroll and every moment's
// index (and whether it is conjugated) is known when compiling: the exact
// route spends most of its time here, one call a frequency. The operations
// and their order are those of a loop over run-time bounds, and the
// function stays out of the CPU-specific clones of its callers (where the
// compiler would fuse multiplications and additions), so the powers are
// the same bit for bit on every CPU.
template <int M>
__attribute__((noinline)) double powerFromMoments(const Complex* mu, const Complex* nu,
                                                  double denominator) {
  constexpr int m = M;
  constexpr int terms = 2 * m + 1;
  auto muAt = [&](int k) { return k >= 0 ? mu[k] : std::conj(mu[-k]); };
  auto nuAt = [&](int d) { return d >= 0 ? nu[d] : std::conj(nu[-d]); };
  Complex a[2 * kMaxFastHarmonics + 2] = {};
  Complex next[2 * kMaxFastHarmonics + 2] = {};
  a[0] = 1.0;
  Complex alpha = 0.0;
  double theta = 0.0;
  const double mu0 = mu[0].real();
  FAZORN_UNROLL
  for (int n = 0; n < terms; ++n) {
    if (n > 0) {
      // phi_n = z phi_(n-1) - alpha phi*_(n-1), phi*_(n-1) having the
      // coefficients conj(a[n-1-k]).
      FAZORN_UNROLL
      for (int k = 0; k <= n; ++k) {
        Complex v = k >= 1 ? a[k - 1] : Complex(0.0);
        if (k <= n - 1) v -= alpha * std::conj(a[n - 1 - k]);
        next[k] = v;
      }
      std::copy(next, next + n + 1, a);
    }
    double norm = 0.0, coefficientNorm = 0.0;
    Complex projection = 0.0;
    FAZORN_UNROLL
    for (int j = 0; j <= n; ++j) {
      Complex row = 0.0;
      FAZORN_UNROLL
      for (int k = 0; k <= n; ++k) row += std::conj(a[k]) * muAt(j - k);
      norm += (a[j] * row).real();
      coefficientNorm += std::norm(a[j]);
      projection += std::conj(a[j]) * nuAt(m - j);
    }
    if (!(norm >= kMinConditioning * mu0 * coefficientNorm)) return -1.0;
    theta += std::norm(projection) / norm;
    if (n + 1 < terms) {
      Complex aa = 0.0, bb = 0.0;
      FAZORN_UNROLL
      for (int j = 0; j <= n; ++j) {
        FAZORN_UNROLL
        for (int k = 0; k <= n; ++k) {
          const Complex ck = std::conj(a[k]);
          aa += a[j] * ck * muAt(j + 1 - k);
          bb += std::conj(a[n - j]) * ck * muAt(j - k);
        }
      }
      alpha = aa / bb;
    }
  }
  return theta / denominator;
}

// The same power from the same moments by the Szegoe recurrence in its
// O(P^2) form: with monic phi_n of coefficients a, the reflection
// c_n = <z phi_n, 1> / kappa_n = sum_k a_k mu_(k+1) / kappa_n gives
// phi_(n+1) = z phi_n - c_n phi_n* and kappa_(n+1) = kappa_n (1 - |c_n|^2),
// so the norms come from the recurrence instead of the moment matrix. It
// agrees with powerFromMoments to rounding where both are well conditioned
// and costs a quarter as much: the Fourier routes use it, the exact route
// keeps the direct norms.
//
// Eight neighbouring frequencies at once, one per lane: mu[k] and nu[d]
// point at the moments of the first of the eight frequencies (k, d >= 1);
// mu0 and nu0 are the same at every frequency. A lane whose conditioning
// fails at any degree gets -1.
typedef long long LaneMask __attribute__((vector_size(kLanes * sizeof(long long))));

template <int M>
__attribute__((always_inline)) inline void recurrenceLanesFor(const Complex* const* mu,
                                                              const Complex* const* nu, double mu0,
                                                              double nu0, double denominator,
                                                              double* out) {
  constexpr int terms = 2 * M + 1;
  Lanes muRe[2 * M + 1], muIm[2 * M + 1], nuRe[M + 1], nuIm[M + 1];
  for (int k = 1; k <= 2 * M; ++k)
    for (std::size_t l = 0; l < kLanes; ++l)
      muRe[k][l] = mu[k][l].real(), muIm[k][l] = mu[k][l].imag();
  for (int d = 1; d <= M; ++d)
    for (std::size_t l = 0; l < kLanes; ++l)
      nuRe[d][l] = nu[d][l].real(), nuIm[d][l] = nu[d][l].imag();
  const Lanes zero = {};
  nuRe[0] = zero + nu0;
  nuIm[0] = zero;
  Lanes ar[terms + 1], ai[terms + 1];
  ar[0] = zero + 1.0;
  ai[0] = zero;
  Lanes kappa = zero + mu0, coefficientNorm = zero + 1.0, theta = zero;
  const double bound = kMinConditioning * mu0;
  LaneMask bad = {};
  FAZORN_UNROLL
  for (int n = 0; n < terms; ++n) {
    bad |= (kappa >= bound * coefficientNorm) == 0;
    const Lanes inverse = 1.0 / kappa;
    Lanes pRe = zero, pIm = zero;
    FAZORN_UNROLL
    for (int k = 0; k <= n; ++k) {
      const int d = M - k;
      const Lanes vr = nuRe[d >= 0 ? d : -d];
      const Lanes vi = d >= 0 ? nuIm[d] : -nuIm[-d];
      pRe += ar[k] * vr + ai[k] * vi;
      pIm += ar[k] * vi - ai[k] * vr;
    }
    theta += (pRe * pRe + pIm * pIm) * inverse;
    if (n + 1 == terms) break;
    Lanes gRe = zero, gIm = zero;
    FAZORN_UNROLL
    for (int k = 0; k <= n; ++k) {
      gRe += ar[k] * muRe[k + 1] - ai[k] * muIm[k + 1];
      gIm += ar[k] * muIm[k + 1] + ai[k] * muRe[k + 1];
    }
    const Lanes cRe = gRe * inverse, cIm = gIm * inverse;
    Lanes nr[terms + 1], ni[terms + 1];
    coefficientNorm = zero;
    FAZORN_UNROLL
    for (int k = 0; k <= n + 1; ++k) {
      Lanes vr = k >= 1 ? ar[k - 1] : zero, vi = k >= 1 ? ai[k - 1] : zero;
      if (k <= n) {
        const Lanes br = ar[n - k], bi = -ai[n - k];
        vr -= cRe * br - cIm * bi;
        vi -= cRe * bi + cIm * br;
      }
      nr[k] = vr;
      ni[k] = vi;
      coefficientNorm += vr * vr + vi * vi;
    }
    FAZORN_UNROLL
    for (int k = 0; k <= n + 1; ++k) ar[k] = nr[k], ai[k] = ni[k];
    kappa *= 1.0 - (cRe * cRe + cIm * cIm);
  }
  const Lanes power = theta / denominator;
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = bad[l] ? -1.0 : power[l];
}

// Calls f with std::integral_constant<int, m> for the harmonic orders that
// have kernels (1 .. kMaxFastHarmonics), so that each kernel is compiled
// for its order; false, without a call, for any other order.
template <class F>
__attribute__((always_inline)) inline bool withHarmonicOrder(int m, F&& f) {
  static_assert(kMaxFastHarmonics == 6, "one case per kernel order");
  switch (m) {
    case 1:
      f(std::integral_constant<int, 1>{});
      return true;
    case 2:
      f(std::integral_constant<int, 2>{});
      return true;
    case 3:
      f(std::integral_constant<int, 3>{});
      return true;
    case 4:
      f(std::integral_constant<int, 4>{});
      return true;
    case 5:
      f(std::integral_constant<int, 5>{});
      return true;
    case 6:
      f(std::integral_constant<int, 6>{});
      return true;
    default:
      return false;
  }
}

__attribute__((always_inline)) inline void recurrenceLanes(int m, const Complex* const* mu,
                                                           const Complex* const* nu, double mu0,
                                                           double nu0, double denominator,
                                                           double* out) {
  const bool known = withHarmonicOrder(
      m, [&](auto order) __attribute__((always_inline)) {
        recurrenceLanesFor<decltype(order)::value>(mu, nu, mu0, nu0, denominator, out);
      });
  if (!known) std::fill(out, out + kLanes, -1.0);
}

// Powers at the frequencies [first, last) from moment series indexed by
// frequency (mu[k - 1][j], nu[d - 1][j]), eight at a time from `first`;
// -1 where the conditioning fails.
FAZORN_TARGET_CLONES
void recurrencePowers(const std::vector<ComplexVector>& mu, const std::vector<ComplexVector>& nu,
                      int m, double mu0, double nu0, double denominator, std::int64_t first,
                      std::int64_t last, double* out) {
  const Complex* muAt[2 * kMaxFastHarmonics + 1] = {};
  const Complex* nuAt[kMaxFastHarmonics + 1] = {};
  std::int64_t j = first;
  for (; j + static_cast<std::int64_t>(kLanes) <= last; j += kLanes) {
    for (int k = 1; k <= 2 * m; ++k) muAt[k] = mu[static_cast<std::size_t>(k - 1)].data() + j;
    for (int d = 1; d <= m; ++d) nuAt[d] = nu[static_cast<std::size_t>(d - 1)].data() + j;
    recurrenceLanes(m, muAt, nuAt, mu0, nu0, denominator, out + (j - first));
  }
  if (j == last) return;
  // The last few frequencies through the same lanes, the unused lanes
  // repeating the last frequency.
  Complex muTail[2 * kMaxFastHarmonics + 1][kLanes], nuTail[kMaxFastHarmonics + 1][kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    const auto q = static_cast<std::size_t>(
        std::min<std::int64_t>(j + static_cast<std::int64_t>(l), last - 1));
    for (int k = 1; k <= 2 * m; ++k) muTail[k][l] = mu[static_cast<std::size_t>(k - 1)][q];
    for (int d = 1; d <= m; ++d) nuTail[d][l] = nu[static_cast<std::size_t>(d - 1)][q];
  }
  for (int k = 1; k <= 2 * m; ++k) muAt[k] = muTail[k];
  for (int d = 1; d <= m; ++d) nuAt[d] = nuTail[d];
  double tail[kLanes];
  recurrenceLanes(m, muAt, nuAt, mu0, nu0, denominator, tail);
  std::copy(tail, tail + (last - j), out + (j - first));
}

// One point's share of the moments: the powers u^1 .. u^2M of its corrected
// phasors, weighted by w into mu and by w x into nu. W is Lanes when the
// lanes run over points, double when they run over frequencies at one point
// (a double multiplies every lane alike: the same products either way).
template <int M, class W>
__attribute__((always_inline)) inline void addPowerMoments(Lanes ur, Lanes ui, W vw, W vwx,
                                                           Lanes* muRe, Lanes* muIm, Lanes* nuRe,
                                                           Lanes* nuIm) {
  Lanes pr = ur, pi = ui;
  FAZORN_UNROLL
  for (int k = 0; k < 2 * M; ++k) {
    muRe[k] += vw * pr;
    muIm[k] += vw * pi;
    if (k < M) {
      nuRe[k] += vwx * pr;
      nuIm[k] += vwx * pi;
    }
    if (k + 1 < 2 * M) {
      const Lanes nr = pr * ur - pi * ui;
      pi = pr * ui + pi * ur;
      pr = nr;
    }
  }
}

// One pass over the points [begin, end) at one frequency: the moments of
// the corrected phasors u = z (1 + i e t) are added to mu[1..2M] and
// nu[1..M], and z is rotated on to the next frequency.
template <int M>
__attribute__((always_inline)) inline void gatherMoments(const FastShared& sh, FastThreadState& st,
                                                         std::size_t begin, std::size_t end,
                                                         double drift, Complex* mu, Complex* nu) {
  Lanes muRe[2 * M] = {}, muIm[2 * M] = {}, nuRe[M] = {}, nuIm[M] = {};
  const double* t = sh.time;
  const double* w = sh.weight;
  const double* wx = sh.weightedValue.data();
  const double* dr = sh.stepRe.data();
  const double* di = sh.stepIm.data();
  double* zr = st.zRe.data();
  double* zi = st.zIm.data();
  for (std::size_t i = begin; i < end; i += kLanes) {
    // The phasors are held for the current chunk only.
    const std::size_t q = i - begin;
    const Lanes vr = load(zr + q), vi = load(zi + q), vt = load(t + i);
    const Lanes vw = load(w + i), vwx = load(wx + i);
    const Lanes small = drift * vt;
    const Lanes ur = vr - vi * small, ui = vi + vr * small;
    const Lanes sr = load(dr + i), si = load(di + i);
    store(zr + q, vr * sr - vi * si);
    store(zi + q, vr * si + vi * sr);
    addPowerMoments<M>(ur, ui, vw, vwx, muRe, muIm, nuRe, nuIm);
  }
  for (int k = 0; k < 2 * M; ++k) mu[k + 1] += Complex(laneSum(muRe[k]), laneSum(muIm[k]));
  for (int k = 0; k < M; ++k) nu[k + 1] += Complex(laneSum(nuRe[k]), laneSum(nuIm[k]));
}

// A block of frequencies. The points are taken in chunks of kChunk: every
// frequency of the block sweeps one chunk while it sits in the cache, so
// long light curves are not streamed from memory once per frequency. The
// chunks are fixed, so the order of the sums never depends on the threads.
template <int M>
__attribute__((always_inline)) inline void fastBlockFor(const FastShared& sh, FastThreadState& st,
                                                        std::int64_t first, std::int64_t last,
                                                        bool quick, double* power) {
  const std::vector<double>& omega = *sh.omega;
  const double anchor = omega[static_cast<std::size_t>(first)];
  constexpr int kMu = 2 * M + 1, kNu = M + 1;
  const std::int64_t count = last - first;
  Complex* mu = st.moments.data();
  Complex* nu = mu + count * kMu;
  std::fill(mu, nu + count * kNu, Complex(0.0));
  for (std::size_t begin = 0; begin < sh.padded; begin += kChunk) {
    const std::size_t end = std::min(sh.padded, begin + kChunk);
    // The padding points sit at time 0: their phasors are 1.
    for (std::size_t i = begin; i < end; ++i) {
      const double angle = anchor * sh.time[i];
      st.zRe[i - begin] = std::cos(angle);
      st.zIm[i - begin] = std::sin(angle);
    }
    for (std::int64_t j = 0; j < count; ++j) {
      const double drift = (omega[static_cast<std::size_t>(first + j)] - anchor) -
                           static_cast<double>(j) * sh.deltaOmega;
      gatherMoments<M>(sh, st, begin, end, drift, mu + j * kMu, nu + j * kNu);
    }
  }
  if (quick) {
    // The O(P^2) recurrence, eight frequencies at a time, on the same
    // moments; a frequency whose conditioning fails goes pointwise as below.
    st.laneMu.resize(2 * M);
    st.laneNu.resize(M);
    for (auto& v : st.laneMu) v.resize(static_cast<std::size_t>(kBlock));
    for (auto& v : st.laneNu) v.resize(static_cast<std::size_t>(kBlock));
    for (std::int64_t j = 0; j < count; ++j) {
      const auto q = static_cast<std::size_t>(j);
      for (int k = 1; k <= 2 * M; ++k)
        st.laneMu[static_cast<std::size_t>(k - 1)][q] = mu[j * kMu + k];
      for (int d = 1; d <= M; ++d) st.laneNu[static_cast<std::size_t>(d - 1)][q] = nu[j * kNu + d];
    }
    recurrencePowers(st.laneMu, st.laneNu, M, sh.weightSum, sh.weightedValueSum,
                     sh.prepared->denominator, 0, count, power + first);
  }
  for (std::int64_t j = 0; j < count; ++j) {
    mu[j * kMu] = sh.weightSum;
    nu[j * kNu] = sh.weightedValueSum;
    const double w = omega[static_cast<std::size_t>(first + j)];
    double p = quick ? power[first + j]
                     : powerFromMoments<M>(mu + j * kMu, nu + j * kNu, sh.prepared->denominator);
    if (p < 0.0) {
      p = pointwisePower(*sh.prepared, w, st.pointwiseScratch());
      sh.pointwise.fetch_add(1, std::memory_order_relaxed);
    }
    power[first + j] = usablePower(p);
  }
}

// The quick route's block with the lanes over frequencies instead of
// points: each of the eight lanes sums one frequency of a group of eight
// over all points, so the sums need no adding up across lanes at the end
// (on short light curves that adding up, twelve eight-way sums a frequency
// for two harmonics, costs as much as the points themselves), and they come
// out in the layout of the eight-lane recurrence. Every point keeps its
// phasors at the group's eight frequencies and turns them by eight grid
// steps a group; they are re-anchored with one exact sine and cosine a
// point a block (the other seven lanes by seven rotations of one step). The
// drift of the accumulated frequencies enters as in gatherMoments.
template <int M>
__attribute__((always_inline)) inline void frequencyLaneBlockFor(const FastShared& sh,
                                                                 FastThreadState& st,
                                                                 std::int64_t first,
                                                                 std::int64_t last, double* power) {
  const std::vector<double>& omega = *sh.omega;
  const double anchor = omega[static_cast<std::size_t>(first)];
  const std::int64_t count = last - first;
  const std::size_t n = sh.points;
  const double* t = sh.time;
  const double* w = sh.weight;
  const double* wx = sh.weightedValue.data();
  st.laneZRe.resize(n * kLanes);
  st.laneZIm.resize(n * kLanes);
  double* zr = st.laneZRe.data();
  double* zi = st.laneZIm.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = anchor * t[i];
    double cr = std::cos(angle), ci = std::sin(angle);
    const double sr = sh.stepRe[i], si = sh.stepIm[i];
    for (std::size_t l = 0; l < kLanes; ++l) {
      zr[i * kLanes + l] = cr;
      zi[i * kLanes + l] = ci;
      const double nr = cr * sr - ci * si;
      ci = cr * si + ci * sr;
      cr = nr;
    }
  }
  st.laneMu.resize(2 * M);
  st.laneNu.resize(M);
  for (auto& v : st.laneMu) v.resize(static_cast<std::size_t>(kBlock));
  for (auto& v : st.laneNu) v.resize(static_cast<std::size_t>(kBlock));
  const Lanes zero = {};
  for (std::int64_t g = 0; g < count; g += static_cast<std::int64_t>(kLanes)) {
    Lanes drift = zero;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::int64_t j = g + static_cast<std::int64_t>(l);
      if (j < count)
        drift[l] = (omega[static_cast<std::size_t>(first + j)] - anchor) -
                   static_cast<double>(j) * sh.deltaOmega;
    }
    Lanes muRe[2 * M] = {}, muIm[2 * M] = {}, nuRe[M] = {}, nuIm[M] = {};
    for (std::size_t i = 0; i < n; ++i) {
      const Lanes vr = load(zr + i * kLanes), vi = load(zi + i * kLanes);
      const Lanes small = drift * t[i];
      const Lanes ur = vr - vi * small, ui = vi + vr * small;
      const double sr = sh.step8Re[i], si = sh.step8Im[i];
      store(zr + i * kLanes, vr * sr - vi * si);
      store(zi + i * kLanes, vr * si + vi * sr);
      const double vw = w[i], vwx = wx[i];
      addPowerMoments<M>(ur, ui, vw, vwx, muRe, muIm, nuRe, nuIm);
    }
    const std::size_t lanes = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kLanes), count - g));
    for (std::size_t l = 0; l < lanes; ++l) {
      const auto q = static_cast<std::size_t>(g) + l;
      for (int k = 0; k < 2 * M; ++k)
        st.laneMu[static_cast<std::size_t>(k)][q] = Complex(muRe[k][l], muIm[k][l]);
      for (int d = 0; d < M; ++d)
        st.laneNu[static_cast<std::size_t>(d)][q] = Complex(nuRe[d][l], nuIm[d][l]);
    }
  }
  recurrencePowers(st.laneMu, st.laneNu, M, sh.weightSum, sh.weightedValueSum,
                   sh.prepared->denominator, 0, count, power + first);
  for (std::int64_t j = 0; j < count; ++j) {
    double p = power[first + j];
    if (p < 0.0) {
      p = pointwisePower(*sh.prepared, omega[static_cast<std::size_t>(first + j)],
                         st.pointwiseScratch());
      sh.pointwise.fetch_add(1, std::memory_order_relaxed);
    }
    power[first + j] = usablePower(p);
  }
}

// `quick`: the powers by the O(P^2) recurrence of the Fourier routes
// (recurrencePowers) instead of the direct norms; they agree to rounding,
// not bit for bit.
FAZORN_TARGET_CLONES
void fastBlock(const FastShared& sh, FastThreadState& st, std::int64_t first, std::int64_t last,
               bool quick, double* power) {
  withHarmonicOrder(
      sh.order, [&](auto order) __attribute__((always_inline)) {
        constexpr int M = decltype(order)::value;
        if (quick && sh.frequencyLanes)
          frequencyLaneBlockFor<M>(sh, st, first, last, power);
        else
          fastBlockFor<M>(sh, st, first, last, quick, power);
      });
}

// The Fourier route. Every moment the recurrence needs is a sum over the
// points of a weight times exp(i k omega t); on the uniform grid
// omega_j = omega_0 + j dOmega these are, for each k, one non-uniform
// Fourier transform of the strengths c exp(i k omega_0 t) at the angles
// k dOmega t. The engine's frequencies are accumulated by repeated addition
// and drift from omega_0 + j dOmega by e_j (a few units in the last place
// times j); as in the exact route the drift enters to first order,
// exp(i k (omega + e) t) = exp(i k omega t) (1 + i k e t), which needs the
// same transforms of c t as well. The second-order term, (k e t)^2 / 2, stays
// below 1e-11 for any grid the engine accepts.
constexpr double kFourierTolerance = 1e-13;
// Frequencies whose Fourier power lies this close to the highest are
// recomputed by the exact route, so that the peak is the exact route's.
constexpr double kCandidateMargin = 1e-6;
// The same margin for the quick recurrence on the exact route's moments,
// whose powers stay within about 1e-12 of the direct norms' where the
// conditioning passes (a thousand times the rounding of the worst case it
// admits): a hundred times that.
constexpr double kQuickCandidateMargin = 1e-10;
// At most this many blocks of candidates are recomputed (a periodogram
// flat to within the margin over more is pure noise or degenerate).
constexpr std::size_t kMaxCandidateBlocks = 64;

// The transforms of one moment family (weights w or weighted values w x):
// sums[k - 1][j] and timeSums[k - 1][j] for k = 1 .. highest.
struct MomentSeries {
  std::vector<ComplexVector> sums, timeSums;
};

void fourierPowers(const FastShared& sh, const std::vector<double>& omega, const RunControl& rc,
                   double* power, bool* finished) {
  const std::size_t n = sh.prepared->shiftedTime.size();  // padded: weight 0 adds nothing
  const auto count = static_cast<std::int64_t>(omega.size());
  const int m = sh.order;
  const double omega0 = omega.front();
  // The transforms: mu_k for k = 1 .. 2m and nu_d for d = 1 .. m, each of
  // the strengths and of the strengths times t.
  struct Task {
    int k;
    bool values, timed;
  };
  std::vector<Task> tasks;
  for (int k = 1; k <= 2 * m; ++k)
    for (bool timed : {false, true}) tasks.push_back({k, false, timed});
  for (int d = 1; d <= m; ++d)
    for (bool timed : {false, true}) tasks.push_back({d, true, timed});
  MomentSeries mu, nu;
  mu.sums.resize(static_cast<std::size_t>(2 * m));
  mu.timeSums.resize(static_cast<std::size_t>(2 * m));
  nu.sums.resize(static_cast<std::size_t>(m));
  nu.timeSums.resize(static_cast<std::size_t>(m));
  WorkMeter meter(rc, static_cast<std::int64_t>(tasks.size()) + count);
  const bool transformed = parallelFor(
      static_cast<std::int64_t>(tasks.size()), 1, meter,
      [&] { return std::pair<std::vector<double>, ComplexVector>(n, ComplexVector(n)); },
      [&](std::pair<std::vector<double>, ComplexVector>& st, std::int64_t first, std::int64_t) {
        const Task& task = tasks[static_cast<std::size_t>(first)];
        const double* strength = task.values ? sh.weightedValue.data() : sh.weight;
        const double k = task.k;
        for (std::size_t i = 0; i < n; ++i) {
          const double t = sh.time[i];
          const double a = k * (omega0 * t);
          const double c = strength[i] * (task.timed ? t : 1.0);
          st.first[i] = k * (sh.deltaOmega * t);
          st.second[i] = Complex(c * std::cos(a), c * std::sin(a));
        }
        ComplexVector out(static_cast<std::size_t>(count));
        nonuniformSums(st.first, st.second, kFourierTolerance, out);
        MomentSeries& series = task.values ? nu : mu;
        (task.timed ? series.timeSums : series.sums)[static_cast<std::size_t>(task.k - 1)] =
            std::move(out);
      });
  if (!transformed) {
    *finished = false;
    return;
  }
  std::atomic<std::int64_t> pointwise{0};
  *finished = parallelFor(
      count, kBlock, meter, [] { return std::optional<PointwiseScratch>(); },
      [&](std::optional<PointwiseScratch>& scratch, std::int64_t first, std::int64_t last) {
        // The drift correction in place (each frequency belongs to one
        // block), then the recurrence eight frequencies at a time.
        for (std::int64_t j = first; j < last; ++j) {
          const auto q = static_cast<std::size_t>(j);
          const double drift = (omega[q] - omega0) - static_cast<double>(j) * sh.deltaOmega;
          for (int k = 1; k <= 2 * m; ++k) {
            const auto kq = static_cast<std::size_t>(k - 1);
            mu.sums[kq][q] += Complex(0.0, k * drift) * mu.timeSums[kq][q];
            if (k <= m) nu.sums[kq][q] += Complex(0.0, k * drift) * nu.timeSums[kq][q];
          }
        }
        recurrencePowers(mu.sums, nu.sums, m, sh.weightSum, sh.weightedValueSum,
                         sh.prepared->denominator, first, last, power + first);
        for (std::int64_t j = first; j < last; ++j) {
          double p = power[j];
          if (p < 0.0) {
            if (!scratch) scratch.emplace(n);
            p = pointwisePower(*sh.prepared, omega[static_cast<std::size_t>(j)], *scratch);
            pointwise.fetch_add(1, std::memory_order_relaxed);
          }
          power[j] = usablePower(p);
        }
      });
  sh.pointwise.fetch_add(pointwise.load());
}

// The exact route's powers over the blocks holding the frequencies whose
// Fourier power lies within kCandidateMargin of the highest: the peak the
// exact route would report then stands in power[] with its exact value.
bool recomputeCandidates(const FastShared& sh, std::int64_t count, const RunControl& rc,
                         double* power, double margin = kCandidateMargin) {
  const double highest = *std::max_element(power, power + count);
  std::vector<std::int64_t> blocks;
  for (std::int64_t j = 0; j < count; ++j) {
    if (!(power[j] >= highest - margin)) continue;
    const std::int64_t b = j / kBlock;
    if (blocks.empty() || blocks.back() != b) blocks.push_back(b);
    if (blocks.size() >= kMaxCandidateBlocks) break;
  }
  return parallelFor(
      static_cast<std::int64_t>(blocks.size()), 1, rc, [&] { return FastThreadState(sh.padded); },
      [&](FastThreadState& st, std::int64_t first, std::int64_t) {
        const std::int64_t b = blocks[static_cast<std::size_t>(first)];
        fastBlock(sh, st, b * kBlock, std::min(count, (b + 1) * kBlock), false, power);
      });
}

}  // namespace

AovPrepared prepareAov(const LightCurveView& lc, int harmonicTerms) {
  AovPrepared p;
  p.harmonicTerms = harmonicTerms;
  const std::size_t n = std::min({lc.time.size(), lc.value.size(), lc.weight.size()});
  p.shiftedTime.assign(lc.time.begin(), lc.time.begin() + static_cast<std::ptrdiff_t>(n));
  p.centredValue.assign(lc.value.begin(), lc.value.begin() + static_cast<std::ptrdiff_t>(n));
  p.weight.assign(lc.weight.begin(), lc.weight.begin() + static_cast<std::ptrdiff_t>(n));
  if (n == 0) return p;
  double mean = 0.0;
  for (double v : p.centredValue) mean += v;
  mean /= static_cast<double>(n);
  const double tmin = *std::min_element(p.shiftedTime.begin(), p.shiftedTime.end());
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    p.centredValue[i] -= mean;
    p.shiftedTime[i] -= tmin;
    d += p.weight[i] * p.centredValue[i] * p.centredValue[i];
  }
  p.denominator = d;
  return p;
}

bool aovFourierRouteIsCheaper(std::size_t n, std::int64_t count, int harmonics) {
  // The exact route costs about n count (6 + 4 harmonics) operations; the
  // Fourier route 6 harmonics transforms of about 2 count log2(2 count) + 30 n
  // operations each plus about 40 harmonics^3 per frequency. The margin of 4
  // keeps short runs, where the constant costs dominate, on the exact route.
  if (harmonics < 1 || harmonics > kMaxFastHarmonics || count < 64) return false;
  const double c = static_cast<double>(count), h = harmonics;
  const double exact = static_cast<double>(n) * c * (6.0 + 4.0 * h);
  // 2e5 stands for the fixed costs of a transform (planning, allocation).
  const double fourier =
      6.0 * h * (10.0 * c * std::log2(2.0 * c) + 30.0 * static_cast<double>(n) + 2e5) +
      40.0 * h * h * h * c;
  return 4.0 * fourier < exact;
}

namespace {

// The moment route at one frequency: the phasors from sines and cosines
// within an ulp or two (unitPhasors, in blocks: the library's sincos a
// point took half of this function and 6 % of --auto), the moments summed
// point by point, the power by the direct norms (powerFromMoments, as the
// exact route's grid); negative where the conditioning fails. One sine and
// cosine a point where the pointwise route takes two and 2 P passes over
// the points.
template <int M>
double momentPower(const AovPrepared& p, double omega) {
  double muRe[2 * M + 1] = {}, muIm[2 * M + 1] = {}, nuRe[M + 1] = {}, nuIm[M + 1] = {};
  const std::size_t n = p.shiftedTime.size();
  constexpr std::size_t kPhasorBlock = 256;
  double angle[kPhasorBlock];
  Complex phasor[kPhasorBlock];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t b = i % kPhasorBlock;
    if (b == 0) {
      const std::size_t count = std::min(kPhasorBlock, n - i);
      for (std::size_t q = 0; q < count; ++q) angle[q] = omega * p.shiftedTime[i + q];
      unitPhasors(angle, count, phasor);
    }
    const double zr = phasor[b].real(), zi = phasor[b].imag();
    const double w = p.weight[i], wx = w * p.centredValue[i];
    muRe[0] += w;
    nuRe[0] += wx;
    double pr = zr, pi = zi;
    for (int k = 1; k <= 2 * M; ++k) {
      muRe[k] += w * pr;
      muIm[k] += w * pi;
      if (k <= M) {
        nuRe[k] += wx * pr;
        nuIm[k] += wx * pi;
      }
      const double nr = pr * zr - pi * zi;
      pi = pr * zi + pi * zr;
      pr = nr;
    }
  }
  Complex mu[2 * M + 1], nu[M + 1];
  for (int k = 0; k <= 2 * M; ++k) mu[k] = Complex(muRe[k], muIm[k]);
  for (int d = 0; d <= M; ++d) nu[d] = Complex(nuRe[d], nuIm[d]);
  return powerFromMoments<M>(mu, nu, p.denominator);
}

}  // namespace

double aovPower(const AovPrepared& prepared, double angularFrequency) {
  const int m = harmonicOrder(prepared.harmonicTerms);
  if (prepared.harmonicTerms == 2 * m + 1) {
    double p = -1.0;
    withHarmonicOrder(m, [&](auto order) {
      p = momentPower<decltype(order)::value>(prepared, angularFrequency);
    });
    if (p >= 0.0) return p;
  }
  // Refinements call this many times a light curve: for light curves whose
  // work arrays are small (at most 4 MB) they are kept per thread instead
  // of allocated and zeroed at every call (every element is written before
  // it is read); larger ones cost far more to compute than to allocate.
  constexpr std::size_t kKeptPoints = 1 << 16;
  const std::size_t n = prepared.shiftedTime.size();
  if (n > kKeptPoints) {
    PointwiseScratch own(n);
    return pointwisePower(prepared, angularFrequency, own);
  }
  thread_local std::optional<PointwiseScratch> scratch;
  if (!scratch || scratch->zr.size() < n) scratch.emplace(n);
  return pointwisePower(prepared, angularFrequency, *scratch);
}

AovResult computeAovPeriodogram(const LightCurveView& lc, const AovOptions& options,
                                const RunControl& rc) {
  AovResult r;
  const FrequencyGrid& grid = options.grid;
  const std::int64_t count = std::max<std::int32_t>(grid.count, 0);
  const double pi = 2.0 * std::asin(1.0);
  const double twoPi = 2.0 * pi;

  std::vector<double> omega(static_cast<std::size_t>(count));
  double w = 2.0 * pi * grid.minFrequency;
  const double deltaOmega = 2.0 * pi * grid.step;
  for (auto& o : omega) {
    o = w;
    w = w + deltaOmega;
  }
  r.frequency.resize(omega.size());
  for (std::size_t j = 0; j < omega.size(); ++j) r.frequency[j] = omega[j] / twoPi;
  r.power.assign(omega.size(), 0.0);

  AovPrepared prepared = prepareAov(lc, std::max(1, options.harmonicTerms));
  const std::size_t n = prepared.shiftedTime.size();
  if (count == 0) {
    r.message = "The frequency grid is empty.";
    return r;
  }
  if (n == 0 || !(prepared.denominator > 0) || !std::isfinite(prepared.denominator)) {
    r.message = n == 0 ? "There are no points." : "The values do not vary about their mean.";
    return r;
  }

  const int m = harmonicOrder(prepared.harmonicTerms);
  const bool fast = m >= 1 && m <= kMaxFastHarmonics && prepared.harmonicTerms == 2 * m + 1;
  double* power = r.power.data();
  bool finished;
  if (fast) {
    FastShared sh;
    sh.prepared = &prepared;
    sh.omega = &omega;
    sh.deltaOmega = deltaOmega;
    sh.order = m;
    sh.padded = (n + kLanes - 1) / kLanes * kLanes;
    // Padding points of weight 0, value 0 and time 0 add exact zeros to
    // every sum of both routes, so the prepared arrays serve the moment sums
    // without copies (memory: a long light curve is mostly these arrays).
    prepared.shiftedTime.resize(sh.padded, 0.0);
    prepared.centredValue.resize(sh.padded, 0.0);
    prepared.weight.resize(sh.padded, 0.0);
    sh.time = prepared.shiftedTime.data();
    sh.weight = prepared.weight.data();
    sh.weightedValue.assign(sh.padded, 0.0);
    sh.stepRe.assign(sh.padded, 1.0);
    sh.stepIm.assign(sh.padded, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      sh.weightedValue[i] = prepared.weight[i] * prepared.centredValue[i];
      sh.stepRe[i] = std::cos(deltaOmega * sh.time[i]);
      sh.stepIm[i] = std::sin(deltaOmega * sh.time[i]);
      sh.weightSum += sh.weight[i];
      sh.weightedValueSum += sh.weightedValue[i];
    }
    const bool fourier =
        options.route == SearchRoute::Fast ||
        (options.route == SearchRoute::Auto && aovFourierRouteIsCheaper(n, count, m));
    if (fourier) {
      r.route = SearchRoute::Fast;
      fourierPowers(sh, omega, rc, power, &finished);
      if (finished) finished = recomputeCandidates(sh, count, rc, power);
    } else {
      // Auto without the transforms: the moments as the exact route gathers
      // them, the powers by the quicker recurrence, and the blocks near the
      // highest power recomputed with the direct norms, so that the peak is
      // the exact route's.
      const bool quick = options.route == SearchRoute::Auto;
      if (quick && n <= kFrequencyLanePoints) {
        sh.frequencyLanes = true;
        sh.points = n;
        sh.step8Re.resize(n);
        sh.step8Im.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
          const double a = static_cast<double>(kLanes) * (deltaOmega * sh.time[i]);
          sh.step8Re[i] = std::cos(a);
          sh.step8Im[i] = std::sin(a);
        }
      }
      finished = runFrequencyBlocks(
          count, kBlock, rc, [&] { return FastThreadState(sh.padded); },
          [&](FastThreadState& st, std::int64_t first, std::int64_t last) {
            fastBlock(sh, st, first, last, quick, power);
          });
      if (quick) {
        r.route = SearchRoute::Fast;
        if (finished) finished = recomputeCandidates(sh, count, rc, power, kQuickCandidateMargin);
      }
    }
    r.pointwiseFrequencies = sh.pointwise.load();
  } else {
    r.pointwiseFrequencies = count;
    finished = runFrequencyBlocks(
        count, kBlock, rc, [&] { return PointwiseScratch(n); },
        [&](PointwiseScratch& st, std::int64_t first, std::int64_t last) {
          for (std::int64_t j = first; j < last; ++j)
            power[j] =
                usablePower(pointwisePower(prepared, omega[static_cast<std::size_t>(j)], st));
        });
  }
  if (!takeFirstStrictMaximum(r, finished)) return r;
  r.bestFrequency = omega[static_cast<std::size_t>(r.bestIndex)] / twoPi;
  return r;
}

// ---------------------------------------------------------------------------
// Many light curves on the same times and grid.

namespace {

// Relative accuracy of the shared transforms (error / sum |strength|): the
// moments enter the power through ratios of size 1, so the powers keep
// about this many digits where the recurrence is well conditioned.
constexpr double kSharedTolerance = 1e-10;
// Spreading grid oversampling: the smallest for which the Gaussian kernel's
// deconvolution stays harmless (see nonuniform_fft.h); it keeps the FFTs,
// most of a run's cost, a quarter smaller than the one-off transforms' 2.
constexpr double kSharedOversampling = 1.5;

// One light curve in flight.
struct SharedWork {
  std::vector<double> weightedValue;  // w x of the light curve in flight
  std::vector<Complex> strength;
  std::vector<ComplexVector> mu, nu;  // mu_k, k = 1 .. 2m, and nu_d, d = 1 .. m, over the grid
  NonuniformTransform::Work grid;
};

}  // namespace

struct AovSharedTimes::Impl {
  int m = 0;
  int harmonicTerms = 0;
  std::size_t n = 0;
  std::int64_t count = 0;
  std::vector<double> time;             // the times as given
  std::vector<double> engineFrequency;  // the engine's accumulated frequencies, for reporting
  double omega0 = 0.0, deltaOmega = 0.0;
  // transform[k - 1]: the angles k dOmega t; phasor[k - 1]: exp(i k omega0 t).
  std::vector<std::unique_ptr<NonuniformTransform>> transform;
  std::vector<ComplexVector> phasor;
  std::vector<double> referenceWeight;
  std::vector<ComplexVector> referenceMu;  // mu_k of the reference weights, when given
  WorkPool<SharedWork> pool;

  std::unique_ptr<SharedWork> acquire() {
    return pool.acquire([&] {
      auto w = std::make_unique<SharedWork>();
      w->weightedValue.resize(n);
      w->strength.resize(n);
      w->mu.assign(static_cast<std::size_t>(2 * m), ComplexVector(static_cast<std::size_t>(count)));
      w->nu.assign(static_cast<std::size_t>(m), ComplexVector(static_cast<std::size_t>(count)));
      w->grid = transform.front()->makeWork();
      return w;
    });
  }
  void release(std::unique_ptr<SharedWork> w) { pool.release(std::move(w)); }
  // The moments sum s exp(i k omega_j t) of strengths s over the grid.
  void moments(std::span<const double> s, int k, SharedWork& w, ComplexVector& out) const {
    const ComplexVector& p = phasor[static_cast<std::size_t>(k - 1)];
    for (std::size_t i = 0; i < n; ++i) w.strength[i] = s[i] * p[i];
    transform[static_cast<std::size_t>(k - 1)]->apply(w.strength, out, w.grid);
  }
};

AovSharedTimes::AovSharedTimes(std::span<const double> time, const FrequencyGrid& grid,
                               int harmonicTerms, std::span<const double> referenceWeight)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.harmonicTerms = std::max(1, harmonicTerms);
  const int m = harmonicOrder(d.harmonicTerms);
  d.count = std::max<std::int32_t>(grid.count, 0);
  d.n = time.size();
  if (m < 1 || m > kMaxFastHarmonics || d.harmonicTerms != 2 * m + 1 || d.count == 0 || d.n == 0)
    return;
  d.m = m;
  d.time.assign(time.begin(), time.end());
  // The engine's grid: angular frequencies from 2 pi minFrequency by
  // repeated addition of 2 pi step, with pi = 2 asin(1).
  const double pi = 2.0 * std::asin(1.0);
  d.omega0 = 2.0 * pi * grid.minFrequency;
  d.deltaOmega = 2.0 * pi * grid.step;
  d.engineFrequency.resize(static_cast<std::size_t>(d.count));
  double w = d.omega0;
  for (auto& f : d.engineFrequency) {
    f = w / (2.0 * pi);
    w = w + d.deltaOmega;
  }
  const double tmin = *std::min_element(time.begin(), time.end());
  std::vector<double> angle(d.n);
  for (int k = 1; k <= 2 * m; ++k) {
    ComplexVector p(d.n);
    for (std::size_t i = 0; i < d.n; ++i) {
      const double t = time[i] - tmin;
      const double a = k * (d.omega0 * t);
      p[i] = Complex(std::cos(a), std::sin(a));
      angle[i] = k * (d.deltaOmega * t);
    }
    d.phasor.push_back(std::move(p));
    d.transform.push_back(std::make_unique<NonuniformTransform>(
        angle, d.count, kSharedTolerance, kSharedOversampling, /*powersOfTwoAndThree=*/true));
  }
  if (referenceWeight.size() == d.n) {
    d.referenceWeight.assign(referenceWeight.begin(), referenceWeight.end());
    auto work = d.acquire();
    d.referenceMu.assign(static_cast<std::size_t>(2 * m),
                         ComplexVector(static_cast<std::size_t>(d.count)));
    for (int k = 1; k <= 2 * m; ++k)
      d.moments(d.referenceWeight, k, *work, d.referenceMu[static_cast<std::size_t>(k - 1)]);
    d.release(std::move(work));
  }
}

AovSharedTimes::~AovSharedTimes() = default;

bool AovSharedTimes::usable() const { return impl_->m > 0; }
std::size_t AovSharedTimes::points() const { return impl_->n; }

bool AovSharedTimes::cheaperThanExact(std::size_t n, std::int64_t count, int harmonics) {
  if (harmonics < 1 || harmonics > kMaxFastHarmonics || count < 64) return false;
  // Per light curve: 3 harmonics transforms of about 1.6 count points
  // (5 log2 operations a point) plus the spreading, and about 30 harmonics^2
  // operations per frequency; the exact route n count (6 + 4 harmonics).
  // The margin of 2 keeps the exact numbers where the gain would be small.
  const double c = static_cast<double>(count), h = harmonics;
  const double exact = static_cast<double>(n) * c * (6.0 + 4.0 * h);
  const double shared =
      3.0 * h * (8.0 * c * std::log2(1.6 * c) + 60.0 * static_cast<double>(n)) + 30.0 * h * h * c;
  return 2.0 * shared < exact;
}

AovSharedTimes::Peak AovSharedTimes::peak(std::span<const double> value,
                                          std::span<const double> weight, const RunControl& rc,
                                          std::span<double> power) const {
  Impl& d = *impl_;
  Peak best;
  if (d.m == 0 || value.size() < d.n || weight.size() < d.n || rc.cancelled()) return best;
  // Centred values and the denominator exactly as the engine prepares them.
  const AovPrepared prepared = prepareAov(
      {std::span<const double>(d.time), value.first(d.n), weight.first(d.n)}, d.harmonicTerms);
  if (!(prepared.denominator > 0) || !std::isfinite(prepared.denominator)) return best;
  const int m = d.m;
  auto work = d.acquire();
  SharedWork& w = *work;
  const std::span<const double> wt = weight.first(d.n);
  const bool sharedMu = !d.referenceMu.empty() &&
                        std::memcmp(wt.data(), d.referenceWeight.data(), d.n * sizeof(double)) == 0;
  double weightSum = 0.0, weightedValueSum = 0.0;
  std::vector<double>& weightedValue = w.weightedValue;
  for (std::size_t i = 0; i < d.n; ++i) {
    weightedValue[i] = wt[i] * prepared.centredValue[i];
    weightSum += wt[i];
    weightedValueSum += weightedValue[i];
  }
  const std::vector<ComplexVector>& mu = sharedMu ? d.referenceMu : w.mu;
  if (!sharedMu)
    for (int k = 1; k <= 2 * m; ++k) d.moments(wt, k, w, w.mu[static_cast<std::size_t>(k - 1)]);
  for (int k = 1; k <= m; ++k)
    d.moments(weightedValue, k, w, w.nu[static_cast<std::size_t>(k - 1)]);
  if (rc.cancelled()) {
    d.release(std::move(work));
    return best;
  }
  std::optional<PointwiseScratch> scratch;
  double top = 0.0;
  // The powers in blocks (fixed: the results never depend on the caller).
  constexpr std::int64_t kPowerBlock = 512;
  double block[kPowerBlock];
  for (std::int64_t first = 0; first < d.count; first += kPowerBlock) {
    const std::int64_t last = std::min(d.count, first + kPowerBlock);
    recurrencePowers(mu, w.nu, m, weightSum, weightedValueSum, prepared.denominator, first, last,
                     block);
    for (std::int64_t j = first; j < last; ++j) {
      double p = block[j - first];
      if (p < 0.0) {
        if (!scratch) scratch.emplace(d.n);
        p = pointwisePower(prepared, d.omega0 + static_cast<double>(j) * d.deltaOmega, *scratch);
      }
      p = usablePower(p);
      if (!power.empty()) power[static_cast<std::size_t>(j)] = p;
      if (p > top) {
        top = p;
        best.index = j;
      }
    }
  }
  d.release(std::move(work));
  if (best.index >= 0) {
    best.power = top;
    best.frequency = d.engineFrequency[static_cast<std::size_t>(best.index)];
  }
  return best;
}

}  // namespace fazorn
