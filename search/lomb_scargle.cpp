#include "search/lomb_scargle.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <utility>

#include "core/numeric_kit.h"
#include "core/parallel_for.h"
#include "search/amplitude_spectrum.h"
#include "search/frequency_grid.h"
#include "search/large_memory.h"
#include "search/moment_transform.h"
#include "search/nonuniform_fft.h"
#include "search/unit_phasor.h"
#include "search/work_pool.h"

namespace fazorn {

namespace {

// 2 pi as the published routine writes it.
constexpr double kTwoPi = 6.283185307179586;
// Frequencies between checks of the cancel flag.
constexpr std::int64_t kCheckEvery = 64;
// Cost of advancing the recurrence by one frequency relative to a full
// frequency, for balancing the ranges of the threads.
constexpr double kAdvanceCost = 0.3;

struct PointState {
  std::vector<double> c, s;  // cosineTerm, sineTerm
};

// One step of the recurrence for every point; the same expression serves
// the main loop and the advance to a thread's first frequency, so both give
// the same bits.
inline void advance(std::size_t n, const double* cosineStep, const double* sineStep, double* c,
                    double* s) {
  for (std::size_t j = 0; j < n; ++j) {
    const double cj = c[j], sj = s[j];
    c[j] = (cj * cosineStep[j] - sj * sineStep[j]) + cj;
    s[j] = (sj * cosineStep[j] + cj * sineStep[j]) + sj;
  }
}

// The Fourier route: at omega = 2 pi f the normalised power needs only the
// sums Z2 = sum exp(2 i omega t) and Zy = sum y exp(i omega t) (Press &
// Rybicki 1989): with tan(2 omega tau) = Im Z2 / Re Z2,
//   sum cos^2 omega (t - tau) = n / 2 + |Z2| / 2, sum sin^2 = n / 2 - |Z2| / 2,
//   sum y cos omega (t - tau) = Re(Zy exp(-i omega tau)), sum y sin = Im(...).
// Both are non-uniform Fourier transforms over the uniform grid f0 + k step;
// the grid's frequencies are accumulated by repeated addition, and the drift
// e_k enters to first order through the same transforms of t exp(...), as in
// the AoV engine.
constexpr double kFourierTolerance = 1e-13;
// Frequencies within this of the highest Fourier power are recomputed by
// direct sums, at most kMaxCandidates of them.
constexpr double kCandidateMargin = 1e-6;
constexpr std::size_t kMaxCandidates = 4096;

// The cost model's unit costs (see spreadingCost and momentCost), in
// nanoseconds on one thread of the 2-core development machine, fitted to
// timings of both kinds from 10^3 to 10^6 points on 3e3 to 1e5 frequencies:
// the model picks the faster kind in every case but two, where the two
// differ by a tenth. The spreading's point and tap costs were scaled since
// by the measured speed-ups of those two steps (the kernel factors by a
// vectorised exponential, 3.1 times; a point's spreading, 1.75 times): with
// the old costs Auto took the moments at twice the time or more on 10^5
// points x 1.7e4-3e4 frequencies, and at 3.6 times on 3 10^4 x 10^4.
constexpr double kSpreadFixedNs = 1e6;     // the transforms' plans and grids
constexpr double kSpreadPointNs = 20.0;    // a point's kernel factors, per harmonic
constexpr double kSpreadTapNs = 0.6;       // a kernel value into both grids, per strength
constexpr double kFftPointLogNs = 0.8;     // an FFT of N points costs this N log2 N
constexpr double kModeNs = 5.0;            // a mode out of both grids, per strength
constexpr double kMomentPointNs = 5.0;     // a point's cell and basis, per harmonic
constexpr double kMomentTermNs = 0.6;      // a point's term into a grid of moments
constexpr double kMomentModeTermNs = 0.7;  // a term of the series at a mode, per strength
constexpr double kMomentModeNs = 25.0;     // a mode's Bessel coefficients, once
// A byte of fresh memory: zeroed and its page mapped on first touch (about
// 1 us a 4 KiB page on common hardware; this machine's virtualised page
// faults take ten times that).
constexpr double kFreshByteNs = 0.25;
// Auto takes the moments only while their grids stay below this (bytes),
// or below what the spreading keeps.
constexpr double kMomentMemoryBytes = 64e6;

// The normalised power from Z2 = sum exp(2 i omega t) and Zy = sum y
// exp(i omega t) (half = n / 2): with tan(2 omega tau) = Im Z2 / Re Z2, see
// above.
inline double powerFromSums(std::complex<double> z2, std::complex<double> zy, double half,
                            double variance, double r2) {
  // exp(-i omega tau) from 2 omega tau = arg Z2.
  double c2 = 1.0, s2 = 0.0;
  if (r2 > 0) c2 = z2.real() / r2, s2 = z2.imag() / r2;
  const double ct = std::sqrt(std::max(0.0, 0.5 * (1.0 + c2)));
  double st = std::sqrt(std::max(0.0, 0.5 * (1.0 - c2)));
  if (s2 < 0) st = -st;
  const std::complex<double> rotated = zy * std::complex<double>(ct, -st);
  const double cc = half + 0.5 * r2, ss = half - 0.5 * r2;
  const double yc = rotated.real(), ys = rotated.imag();
  return 0.5 * (yc * yc / cc + (ss > 0 ? ys * ys / ss : 0.0)) / variance;
}

// The same power without the angle tau: with u = |Zy|^2, v = Re(Zy^2
// conj(Z2)) and r = |Z2|, the rotated sums give yc^2 = (u + v / r) / 2 and
// ys^2 = (u - v / r) / 2 over cc = (n + r) / 2 and ss = (n - r) / 2, whose
// sum is (n u - v) / (n^2 - r^2): one division a frequency instead of three
// square roots and five divisions, which took a sixth of the whole
// periodogram on 10^4 points and 2 10^5 frequencies. Both n u - v and n^2 -
// r^2 cancel as r nears n (the doubled angles all alike, as for even
// sampling at its Nyquist frequency), by a relative error about 1e-16 n^2 /
// (n^2 - r^2); there, from 1 - r^2 / n^2 < 1e-6 (an error above 1e-10 of
// the power), the rotated form above takes over.
inline double powerFromSumsClosedForm(std::complex<double> z2, std::complex<double> zy, double half,
                                      double variance) {
  const double n = 2.0 * half;
  const double r2 = std::norm(z2);
  const double denominator = n * n - r2;
  if (!(denominator > 1e-6 * n * n)) return powerFromSums(z2, zy, half, variance, std::sqrt(r2));
  const double u = std::norm(zy);
  const double v = (zy.real() * zy.real() - zy.imag() * zy.imag()) * z2.real() +
                   2.0 * zy.real() * zy.imag() * z2.imag();
  return (n * u - v) / (denominator * variance);
}

// The spreading grid's oversampling for n points on `count` frequencies.
// A grid 1.5 times the modes instead of 2 makes the four FFTs smaller (and
// 2^a 3^b sizes near 1.5 count happen to transform fast) for a kernel five
// points wider; timed on this machine, 1.5 was as fast or faster for
// 10^3 to 10^6 points on 10^4 to 10^6 frequencies wherever the frequencies
// outnumber the points, and 2 is kept elsewhere.
double lombScargleFourierOversampling(std::size_t n, std::int64_t count) {
  return static_cast<double>(count) >= static_cast<double>(n) ? 1.5 : kNufftOversampling;
}

// The estimated costs of the two kinds of sums, in nanoseconds of one
// thread (see the unit costs above; only their ratio matters). `jobs`
// strength vectors over `harmonics` distinct harmonics, each with its drift
// companion.
//
// Spreading: per harmonic, the points' kernel factors (two exponentials a
// point, 40 bytes kept); per strength, its n strengths, the kernel of 2 Msp
// values and two grids of 2 Msp updates a point, and two FFTs of the
// oversampled grid.
// `grids`: the grids of a strength, 2 with its companion, 1 where the grid
// has no drift to take.
double spreadingBytes(double n, double count, double jobs, double harmonics, double grids = 2.0) {
  const double r =
      lombScargleFourierOversampling(static_cast<std::size_t>(n), static_cast<std::int64_t>(count));
  return harmonics * n * 40.0 + jobs * (16.0 * n + grids * 16.0 * r * count);
}

double spreadingCost(double n, double count, double jobs, double harmonics, double grids = 2.0) {
  const double r =
      lombScargleFourierOversampling(static_cast<std::size_t>(n), static_cast<std::int64_t>(count));
  const double width = 2.0 * nufftHalfWidth(kFourierTolerance, r);
  const double grid = r * count;
  return kSpreadFixedNs + harmonics * n * kSpreadPointNs + jobs * n * width * kSpreadTapNs +
         jobs * grids * grid * std::log2(grid) * kFftPointLogNs + jobs * count * kModeNs +
         spreadingBytes(n, count, jobs, harmonics, grids) * kFreshByteNs;
}

// Moments (moment_transform.h) on `cells` cells: `pointTerms` terms added
// a point (all strengths), `columns` terms a cell; the points' cells and
// basis values once per harmonic, the FFTs of every column, the
// coefficients of every mode and the series of every column there, and the
// grids' memory.
double momentCost(double n, double count, double harmonics, double cells, double pointTerms,
                  double columns) {
  return harmonics * n * kMomentPointNs + n * pointTerms * kMomentTermNs +
         columns * cells * std::log2(cells) * kFftPointLogNs +
         count * (kMomentModeNs + columns * kMomentModeTermNs) +
         16.0 * cells * columns * kFreshByteNs;
}

// The moment route's cells for K modes: the cheapest of K, 2K, 4K and 8K
// (FFT-friendly sizes), with the terms each needs. More cells make the
// series shorter (the reach a = pi K / 2M smaller) and the FFTs longer.
struct MomentPlan {
  std::int64_t cells = 0;
  int terms[2] = {0, 0};       // per harmonic 1, 2: the sums' terms
  int driftTerms[2] = {0, 0};  // and their time-weighted companions' terms
  // Per harmonic: the companions follow from the sums' moments (the
  // points' angles at that harmonic span less than a turn), no terms of
  // their own a point.
  bool derived[2] = {false, false};
  double cost = 0.0;
  double bytes = 0.0;  // the grids of moments of all strengths
};

// The companions' terms: the grid's largest drift from f0 + k step (cycles
// per day, the repeated additions' rounding) times 2 pi h |t| (|t| <=
// maxTime days) multiplies their error. `turns`: the span of the points'
// angles at harmonic 1 in turns (step times the time span).
MomentPlan momentPlan(double n, std::int64_t count, const std::vector<int>& jobHarmonics,
                      double drift, double maxTime, double turns) {
  MomentPlan best;
  best.cost = std::numeric_limits<double>::infinity();
  for (std::int64_t factor : {1, 2, 4, 8}) {
    MomentPlan p;
    p.cells = nufft_detail::smoothSize(factor * count);
    const auto cells = static_cast<double>(p.cells);
    const double reach = M_PI * static_cast<double>(count) / (2.0 * cells);
    double pointTerms = 0.0, columns = 0.0, harmonics = 0.0;
    for (int h = 1; h <= 2; ++h) {
      const auto jobs =
          static_cast<double>(std::count(jobHarmonics.begin(), jobHarmonics.end(), h));
      if (jobs == 0) continue;
      harmonics += 1.0;
      const auto i = static_cast<std::size_t>(h - 1);
      const double amplified = 2.0 * M_PI * h * drift * maxTime;
      p.driftTerms[i] = amplified > 0 ? momentTerms(reach, kFourierTolerance / amplified) : 0;
      // A derived companion's term p needs the sums' term p + 1; two cells
      // of margin for the rounding of the points' cells.
      p.derived[i] = h * turns * cells + 2.0 < cells;
      p.terms[i] = std::max(momentTerms(reach, kFourierTolerance),
                            p.derived[i] && p.driftTerms[i] > 0 ? p.driftTerms[i] + 1 : 0);
      pointTerms += jobs * (p.terms[i] + (p.derived[i] ? 0 : p.driftTerms[i]));
      columns += jobs * (p.terms[i] + p.driftTerms[i]);
    }
    p.cost = momentCost(n, static_cast<double>(count), harmonics, cells, pointTerms, columns);
    p.bytes = 16.0 * cells * columns;
    if (p.cost < best.cost) best = p;
  }
  return best;
}

// The sums over the points of strength_j exp(i h omega_k (t_j - xave)) for
// every frequency of the grid, for a few strength vectors, each at harmonic
// h = 1 or 2, with the time-weighted companions that take the grid's drift
// from exact multiples of the step. By Gaussian spreading (one transform per
// harmonic, its points' kernels shared by the strengths at that harmonic)
// or by the points' moments in cells, whichever costs less.
class GridSums {
 public:
  static constexpr std::int64_t kMaxBlock = 512;

  struct Job {
    int harmonic;            // 1 or 2
    const double* strength;  // one a point; nullptr: every strength 1
  };

  // t: the times about xave; frequency: the grid (accumulated), step its
  // step.
  GridSums(std::span<const double> t, std::span<const double> frequency, double step,
           FourierSums sums, std::vector<Job> jobs)
      : t_(t),
        f0_(frequency.front()),
        step_(step),
        count_(static_cast<std::int64_t>(frequency.size())),
        jobs_(std::move(jobs)) {
    std::vector<int> harmonics;
    for (const Job& job : jobs_) harmonics.push_back(job.harmonic);
    double drift = 0.0, maxTime = 0.0, first = 0.0, last = 0.0;
    for (std::int64_t k = 0; k < count_; ++k)
      drift = std::max(drift, std::abs(driftAt(k, frequency[static_cast<std::size_t>(k)])));
    for (double v : t_) {
      maxTime = std::max(maxTime, std::abs(v));
      first = std::min(first, v);
      last = std::max(last, v);
    }
    first_ = first;
    // A companion moves a sum by at most h drift |t| sum |c| (first order):
    // below the sums' own tolerance it is left out (a grid whose every
    // frequency is exactly f0 + k step has none).
    for (int h = 1; h <= 2; ++h)
      companions_[h - 1] = static_cast<double>(h) * drift * maxTime > kFourierTolerance;
    const auto n = static_cast<double>(t_.size());
    plan_ = momentPlan(n, count_, harmonics, drift / (2.0 * M_PI), maxTime, step_ * (last - first));
    const double distinct = std::count(harmonics.begin(), harmonics.end(), 1) > 0 &&
                                    std::count(harmonics.begin(), harmonics.end(), 2) > 0
                                ? 2.0
                                : 1.0;
    const auto count = static_cast<double>(count_);
    const auto jobCount = static_cast<double>(jobs_.size());
    const double grids = companions_[0] || companions_[1] ? 2.0 : 1.0;
    const double spreading = spreadingCost(n, count, jobCount, distinct, grids);
    moments_ = sums == FourierSums::Moments ||
               (sums == FourierSums::Auto &&
                plan_.bytes <= std::max(kMomentMemoryBytes,
                                        spreadingBytes(n, count, jobCount, distinct, grids)) &&
                plan_.cost < spreading);
    cost_ = moments_ ? plan_.cost : spreading;
  }

  // The estimated cost of these sums (nanoseconds, the unit costs above) on
  // the kind chosen.
  double cost() const { return cost_; }

  FourierSums used() const { return moments_ ? FourierSums::Moments : FourierSums::Spreading; }

  // Sums and transforms; false when cancelled.
  bool run(WorkMeter& meter) {
    // The phasor exp(i theta_j) of each point at harmonic 1, with the
    // transforms' centring shift folded in: theta = omega_0 t + centre x.
    // Harmonic 2 takes its square, exp(2 i theta), whose angle is exactly
    // what that transform needs (the same centre, twice the angles): one
    // sine and cosine a point for every strength at both harmonics (by
    // unitPhasor, within an ulp or two of the library's).
    // The transforms' centre K / 2, an integer mode.
    const std::int64_t centreMode = count_ / 2;
    const auto centre = static_cast<double>(centreMode);
    const double twoPi = 2.0 * M_PI;
    phasor_.resize(t_.size());
    {
      LargeVector<double> angle(t_.size());
      for (std::size_t j = 0; j < t_.size(); ++j)
        angle[j] = twoPi * f0_ * t_[j] + centre * (twoPi * step_ * t_[j]);
      unitPhasors(angle.data(), angle.size(), phasor_.data());
    }
    return moments_ ? runMoments(meter) : runSpreading(meter);
  }

  // The sums of every job at the `count` frequencies from k0 on (count <=
  // kMaxBlock): out[job][i] at frequency k0 + i (frequency: theirs), whose
  // accumulated value exceeds f0 + k step by the drift, taken to first
  // order: exp(i h 2 pi drift t) = 1 + i h 2 pi drift t (the companions).
  // One job at a time over the block, so that the loops run straight.
  void block(std::int64_t k0, std::int64_t count, const double* frequency,
             std::complex<double>* const* out) const {
    if (moments_) {
      momentBlock(k0, count, frequency, out);
      return;
    }
    double drift[kMaxBlock];
    if (companions_[0] || companions_[1])
      for (std::int64_t i = 0; i < count; ++i) drift[i] = driftAt(k0 + i, frequency[i]);
    for (std::size_t job = 0; job < jobs_.size(); ++job) {
      const int h = jobs_[job].harmonic;
      const auto i2 = static_cast<std::size_t>(h - 1);
      const NonuniformTransform& transform = *transforms_[h == 1 ? 0 : 1];
      const NonuniformTransform::Work& sums = grids_[2 * job];
      const NonuniformTransform::Work& companion = grids_[2 * job + 1];
      if (!companions_[i2])
        transform.block(sums, k0, count, out[job]);
      else if (anglesDerived_[i2])
        transform.blockWithAngles(sums, companion, perAngle_, drift, k0, count, out[job]);
      else
        transform.blockWithCompanion(sums, companion, static_cast<double>(h), drift, k0, count,
                                     out[job]);
    }
  }

 private:
  // block() on the moments: the coefficients of the block's modes once
  // (both harmonics' grids have the same cells), then each series column by
  // column over the block.
  void momentBlock(std::int64_t k0, std::int64_t count, const double* frequency,
                   std::complex<double>* const* out) const {
    const int terms = std::max(plan_.terms[0], plan_.terms[1]);
    std::vector<double> coefficient(static_cast<std::size_t>(terms * count));
    double c[kMaxMomentTerms];
    for (std::int64_t i = 0; i < count; ++i) {
      moment_[0]->coefficients(k0 + i, terms, c);
      for (int p = 0; p < terms; ++p) coefficient[static_cast<std::size_t>(p * count + i)] = c[p];
    }
    std::complex<double> companion[kMaxBlock];
    for (std::size_t job = 0; job < jobs_.size(); ++job) {
      const int h = jobs_[job].harmonic;
      const MomentTransform& transform = *moment_[h - 1];
      const MomentTransform::Grid& grid = momentGrids_[static_cast<std::size_t>(h - 1)];
      transform.modes(grid, series_[2 * job], k0, count, coefficient.data(), count, out[job]);
      if (series_[2 * job + 1].terms == 0) continue;
      transform.modes(grid, series_[2 * job + 1], k0, count, coefficient.data(), count, companion);
      // + h i drift companion, the product written out as in
      // NonuniformTransform::blockWithCompanion.
      auto* r = reinterpret_cast<double*>(out[job]);
      const auto* q = reinterpret_cast<const double*>(companion);
      for (std::int64_t i = 0; i < count; ++i) {
        const double hd = static_cast<double>(h) * driftAt(k0 + i, frequency[i]);
        r[2 * i] = r[2 * i] - hd * q[2 * i + 1];
        r[2 * i + 1] = r[2 * i + 1] + hd * q[2 * i];
      }
    }
  }

  // 2 pi ((frequency - f0) - k step), radians per day.
  double driftAt(std::int64_t k, double frequency) const {
    return 2.0 * M_PI * ((frequency - f0_) - static_cast<double>(k) * step_);
  }

  std::complex<double> strengthOf(const Job& job, std::size_t j) const {
    const std::complex<double> e = job.harmonic == 1 ? phasor_[j] : phasor_[j] * phasor_[j];
    return job.strength ? job.strength[j] * e : e;
  }

  bool runSpreading(WorkMeter& meter) {
    using Complex = std::complex<double>;
    const std::size_t n = t_.size();
    const double twoPi = 2.0 * M_PI;
    const double oversampling = lombScargleFourierOversampling(n, count_);
    transforms_.resize(2);
    const bool built = parallelFor(
        2, 1, meter, [] { return 0; },
        [&](int, std::int64_t task, std::int64_t) {
          const double harmonic = task == 0 ? 1.0 : 2.0;
          LargeVector<double> x(n);
          for (std::size_t j = 0; j < n; ++j) x[j] = harmonic * (twoPi * step_ * t_[j]);
          transforms_[static_cast<std::size_t>(task)] = std::make_unique<NonuniformTransform>(
              x, count_, kFourierTolerance, oversampling, false, true);
        });
    if (!built) return false;
    perAngle_ = 1.0 / (twoPi * step_);
    // One task per harmonic: its strengths spread together, sharing each
    // point's kernel (the floating mean's two sums at harmonic 1), and each
    // grid filled by one task in the points' order, on any number of
    // threads.
    grids_.resize(2 * jobs_.size());
    return parallelFor(
        2, 1, meter, [] { return 0; },
        [&](int, std::int64_t task, std::int64_t) {
          const int harmonic = static_cast<int>(task) + 1;
          const NonuniformTransform& transform = *transforms_[static_cast<std::size_t>(task)];
          std::vector<LargeVector<Complex>> strengths;
          std::vector<const Complex*> strength;
          std::vector<NonuniformTransform::Work*> grids;
          strengths.reserve(jobs_.size());
          for (std::size_t q = 0; q < jobs_.size(); ++q) {
            const Job& job = jobs_[q];
            if (job.harmonic != harmonic) continue;
            LargeVector<Complex>& c = strengths.emplace_back(n);
            for (std::size_t j = 0; j < n; ++j) c[j] = strengthOf(job, j);
            strength.push_back(c.data());
            grids_[2 * q] = transform.makeWork();
            grids.push_back(&grids_[2 * q]);
            if (!companions_[static_cast<std::size_t>(task)]) continue;
            grids_[2 * q + 1] = transform.makeWork();
            grids.push_back(&grids_[2 * q + 1]);
          }
          if (!companions_[static_cast<std::size_t>(task)]) {
            transform.transformSums(strength, n, grids);
            return;
          }
          // Where the angles span less than a turn (the usual grids, the
          // frequencies' step below half the inverse of the time span at
          // harmonic 2), the companions can follow from the sums' own grids:
          // a product a grid point instead of a second spreading, worth it
          // where the points' kernels outnumber the grid's points twice
          // (on fewer points the spreading costs less than the products).
          const bool derive =
              transform.angleSums() && static_cast<double>(n) * 2.0 * transform.halfWidth() >
                                           2.0 * static_cast<double>(transform.gridSize());
          anglesDerived_[static_cast<std::size_t>(task)] = derive;
          if (derive)
            transform.transformWithAngles(strength, n, grids);
          else
            transform.transformPairs(strength, n, t_.data(), grids);
        });
  }

  // One task per harmonic: the cell and basis of every point once, every
  // strength at that harmonic and its companion added from them, in the
  // points' order (the same sums on any number of threads).
  bool runMoments(WorkMeter& meter) {
    const std::size_t n = t_.size();
    // Each job's sums and companion as two series of its harmonic's grid.
    series_.resize(2 * jobs_.size());
    int width[2] = {0, 0};
    for (std::size_t q = 0; q < jobs_.size(); ++q) {
      const auto i = static_cast<std::size_t>(jobs_[q].harmonic - 1);
      series_[2 * q] = {width[i], plan_.terms[i]};
      width[i] += plan_.terms[i];
      series_[2 * q + 1] = {width[i], plan_.driftTerms[i]};
      width[i] += plan_.driftTerms[i];
    }
    for (std::size_t i = 0; i < 2; ++i) {
      moment_[i] = std::make_unique<MomentTransform>(count_, plan_.cells, width[i]);
      momentGrids_[i] = width[i] > 0 ? moment_[i]->makeGrid() : MomentTransform::Grid();
    }
    // The angle h 2 pi step t in cells of 2 pi / M.
    const double cellsPerDay = step_ * static_cast<double>(plan_.cells);
    return parallelFor(
        2, 1, meter, [] { return 0; },
        [&](int, std::int64_t task, std::int64_t) {
          const int h = static_cast<int>(task) + 1;
          const auto i = static_cast<std::size_t>(task);
          if (width[i] == 0) return;
          const MomentTransform& transform = *moment_[i];
          MomentTransform::Grid& grid = momentGrids_[i];
          std::vector<std::size_t> mine;
          for (std::size_t q = 0; q < jobs_.size(); ++q)
            if (jobs_[q].harmonic == h) mine.push_back(q);
          const bool derived = plan_.derived[i];
          // The basis as far as the longest series at this harmonic needs.
          const int terms = std::max(plan_.terms[i], derived ? 0 : plan_.driftTerms[i]);
          double basis[kMaxMomentTerms];
          for (std::size_t j = 0; j < n; ++j) {
            const MomentTransform::Cell cell = transform.locate(h * cellsPerDay * t_[j]);
            MomentTransform::basis(cell.delta, basis, terms);
            std::complex<double>* region = transform.region(grid, cell);
            for (std::size_t q : mine) {
              const std::complex<double> c = strengthOf(jobs_[q], j);
              transform.add(region, series_[2 * q], basis, c);
              if (!derived) transform.add(region, series_[2 * q + 1], basis, c * t_[j]);
            }
          }
          if (derived) {
            // A point of cell m at angle v = r + delta / 2 cells (r the
            // cell's unwrapped index, the same for all its points when the
            // angles span less than a turn) has t = v / (h cellsPerDay), and
            // delta T_p = (T_p+1 + T_|p-1|) / 2, so sum c t T_p =
            // (r mu_p + (mu_p+1 + mu_|p-1|) / 4) / (h cellsPerDay).
            const double perCell = 1.0 / (h * cellsPerDay);
            const MomentTransform::Cell lowest = transform.locate(h * cellsPerDay * first_);
            const double start =
                std::floor(h * cellsPerDay * first_ + 0.5) - static_cast<double>(lowest.index);
            const std::int64_t cells = transform.cells();
            for (std::int64_t m = 0; m < cells; ++m) {
              // The unwrapped index: start + m, or one turn on below the
              // lowest point's cell.
              const double r = start + static_cast<double>(m < lowest.index ? m + cells : m);
              std::complex<double>* cell = grid.data() + m;
              for (std::size_t q : mine) {
                const MomentTransform::Series& sums = series_[2 * q];
                const MomentTransform::Series& companion = series_[2 * q + 1];
                auto mu = [&](int p) { return cell[(sums.column + p) * cells]; };
                for (int p = 0; p < companion.terms; ++p)
                  cell[(companion.column + p) * cells] =
                      (r * mu(p) + 0.25 * (mu(p + 1) + mu(p == 0 ? 1 : p - 1))) * perCell;
              }
            }
          }
          transform.transform(grid);
        });
  }

  std::span<const double> t_;
  double first_ = 0.0;  // the earliest time about xave
  double f0_, step_;
  double perAngle_ = 0.0;  // days per radian of a transform's angle at harmonic 1
  // Per harmonic 1, 2: the companions derived from the sums' grids
  // (NonuniformTransform::transformWithAngles).
  bool anglesDerived_[2] = {false, false};
  // Per harmonic 1, 2: whether the grid's drift needs the companions.
  bool companions_[2] = {true, true};
  std::int64_t count_;
  std::vector<Job> jobs_;
  MomentPlan plan_;
  double cost_ = 0.0;  // cost()
  bool moments_ = false;
  LargeVector<std::complex<double>> phasor_;
  std::vector<std::unique_ptr<NonuniformTransform>> transforms_;
  std::vector<NonuniformTransform::Work> grids_;
  // Per harmonic 1, 2: the moments of all its series; two series a job.
  std::unique_ptr<MomentTransform> moment_[2];
  MomentTransform::Grid momentGrids_[2];
  std::vector<MomentTransform::Series> series_;
};

// The grid's sums in parts without drift. Frequencies accumulated by
// repeated addition advance within a binade by one and the same rounded
// step (the sum f + step rounds to the same multiple of f's ulp for every
// f there), so the grid is a few runs on which consecutive frequencies
// differ by one exact constant d: f_k = f_a + (k - a) d exactly. Each long
// run from the top is summed on its own step, with no drift and so no
// companion transforms; the short runs below them (the lowest frequencies)
// as one grid with its companions. Where the grid's drift needs companions
// this halves the FFTs for a spreading pass over the points a run; the cost
// model takes the split only where it estimates it cheaper than one grid.
class SegmentedSums {
 public:
  SegmentedSums(std::span<const double> t, const std::vector<double>& frequency, double step,
                FourierSums sums, const std::vector<GridSums::Job>& jobs) {
    const auto count = static_cast<std::int64_t>(frequency.size());
    auto whole = std::make_unique<GridSums>(t, frequency, step, sums, jobs);
    // The runs from the top down: each of at least 1/16 of the grid (a run
    // costs a spreading pass; they halve in length downwards) summed on its
    // own, at most six of them; what lies between or below them (a run cut
    // short by the grid's end, the lowest frequencies) on the grid's step
    // with its companions.
    std::vector<Part> parts;
    const std::int64_t shortest = std::max<std::int64_t>(count / 16, 256);
    auto part = [&](std::int64_t first, std::int64_t end, double d) {
      parts.push_back({first, std::make_unique<GridSums>(t,
                                                         std::span<const double>(frequency).subspan(
                                                             static_cast<std::size_t>(first),
                                                             static_cast<std::size_t>(end - first)),
                                                         d, sums, jobs)});
    };
    std::int64_t end = count, rest = count;  // [end, rest): short runs not yet summed
    int runs = 0;
    while (end >= 2 && runs < 6) {
      const auto top = static_cast<std::size_t>(end - 1);
      const double d = frequency[top] - frequency[top - 1];
      std::int64_t a = end - 2;
      while (a > 0 &&
             frequency[static_cast<std::size_t>(a)] - frequency[static_cast<std::size_t>(a - 1)] ==
                 d)
        --a;
      if (end - a >= shortest) {
        if (rest > end) part(end, rest, step);
        part(a, end, d);
        rest = a;
        ++runs;
      }
      end = a;
    }
    if (rest > 0 && !parts.empty()) part(0, rest, step);
    double split = 0.0;
    for (const Part& p : parts) split += p.sums->cost();
    if (parts.empty() || !(split < whole->cost())) {
      parts.clear();
      parts.push_back({0, std::move(whole)});
    }
    parts_ = std::move(parts);
    // The kind of the part of the most frequencies.
    std::int64_t longest = 0, above = count;
    for (const Part& p : parts_) {
      if (above - p.first > longest) longest = above - p.first, used_ = p.sums->used();
      above = p.first;
    }
  }

  FourierSums used() const { return used_; }
  std::size_t parts() const { return parts_.size(); }

  bool run(WorkMeter& meter) {
    for (const Part& part : parts_)
      if (!part.sums->run(meter)) return false;
    return true;
  }

  // The sums of the `count` frequencies from k0 on (see GridSums::block).
  void block(std::int64_t k0, std::int64_t count, const double* frequency,
             std::complex<double>* const* out, std::size_t jobs) const {
    std::int64_t end = k0 + count, above = std::numeric_limits<std::int64_t>::max();
    for (const Part& part : parts_) {
      // The part covers [part.first, above).
      const std::int64_t lo = std::max(k0, part.first), hi = std::min(end, above);
      if (lo < hi) {
        std::complex<double>* at[8];
        for (std::size_t job = 0; job < jobs; ++job) at[job] = out[job] + (lo - k0);
        part.sums->block(lo - part.first, hi - lo, frequency + (lo - k0), at);
      }
      above = part.first;
      if (above <= k0) break;
    }
  }

 private:
  struct Part {
    std::int64_t first;  // the part's first frequency in the whole grid
    std::unique_ptr<GridSums> sums;
  };
  std::vector<Part> parts_;
  FourierSums used_ = FourierSums::Spreading;
};

// The per-frequency powers in blocks: the sums of a block first (one job at
// a time), then the powers from them in loops without branches that the
// compiler vectorises (compiled for AVX2 too, chosen at run time; without
// fused multiply-adds, so that every lane rounds as the scalar code and
// the powers keep their bits). The divisions a frequency chained through
// the solve took a quarter to a third of the periodogram on 10^3-10^4
// points, one at a time.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
#define FAZORN_POWER_CLONES __attribute__((target_clones("default", "avx2")))
#else
#define FAZORN_POWER_CLONES
#endif
constexpr std::int64_t kPowerBlock = GridSums::kMaxBlock;

// powerFromSumsClosedForm for every frequency of a block; where its
// denominator cancels the rotated form is taken, one at a time.
FAZORN_POWER_CLONES
void classicalPowers(const std::complex<double>* z2, const std::complex<double>* zy,
                     std::int64_t count, double half, double variance, double* power) {
  const double n = 2.0 * half;
  const auto* a = reinterpret_cast<const double*>(z2);
  const auto* b = reinterpret_cast<const double*>(zy);
  // (The test kept as a choice between integers: GCC 12 does not turn a
  // choice between a quotient and 0 into a vector select.)
  int cancelled = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    const double ar = a[2 * i], ai = a[2 * i + 1], br = b[2 * i], bi = b[2 * i + 1];
    const double r2 = ar * ar + ai * ai;
    const double denominator = n * n - r2;
    const double u = br * br + bi * bi;
    const double v = (br * br - bi * bi) * ar + 2.0 * br * bi * ai;
    cancelled = denominator > 1e-6 * n * n ? cancelled : 1;
    power[i] = (n * u - v) / (denominator * variance);
  }
  if (cancelled == 0) return;
  for (std::int64_t i = 0; i < count; ++i)
    power[i] = powerFromSumsClosedForm(z2[i], zy[i], half, variance);
}

// t: the times about xave.
bool fourierPowers(std::span<const double> t, std::span<const double> yy, double variance,
                   double step, std::vector<double>& frequency, std::vector<double>& power,
                   FourierSums& route, int& parts, const RunControl& rc) {
  using Complex = std::complex<double>;
  const std::size_t n = yy.size();
  const auto count = static_cast<std::int64_t>(frequency.size());
  // Z2 = sum exp(2 i omega t) and Zy = sum y exp(i omega t).
  SegmentedSums sums(t, frequency, step, route, {{2, nullptr}, {1, yy.data()}});
  route = sums.used();
  parts = static_cast<int>(sums.parts());
  WorkMeter meter(rc, 4 * static_cast<std::int64_t>(sums.parts()) + count);
  if (!sums.run(meter)) return false;
  const double half = 0.5 * static_cast<double>(n);
  return parallelFor(
      count, 4096, meter, [] { return 0; },
      [&](int, std::int64_t first, std::int64_t last) {
        Complex z2[kPowerBlock], zy[kPowerBlock];
        Complex* out[2] = {z2, zy};
        for (std::int64_t k = first; k < last; k += kPowerBlock) {
          const std::int64_t m = std::min(kPowerBlock, last - k);
          const auto q = static_cast<std::size_t>(k);
          sums.block(k, m, frequency.data() + q, out, 2);
          classicalPowers(z2, zy, m, half, variance, power.data() + q);
        }
      });
}

// The points of a floating-mean periodogram: the times about xave, the
// weights and the weighted values about their weighted mean.
struct WeightedPoints {
  LargeVector<double> t, w, wy;
  double weightSum = 0.0;
  double scatter = 0.0;  // sum w (y - ybar)^2
};

// The weights checked (empty: all 1); an empty message when usable.
std::string weightedPoints(std::span<const double> time, std::span<const double> value,
                           std::span<const double> weight, double xave, WeightedPoints& p) {
  const std::size_t n = std::min(time.size(), value.size());
  if (!weight.empty() && weight.size() < n) return "There is not one weight a point.";
  p.t.resize(n);
  p.w.resize(n);
  p.wy.resize(n);
  double sumW = 0.0, sumWy = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double w = weight.empty() ? 1.0 : weight[j];
    if (!(w > 0) || !std::isfinite(w)) return "The weights must be positive and finite.";
    p.t[j] = time[j] - xave;
    p.w[j] = w;
    sumW += w;
    sumWy += w * value[j];
  }
  const double mean = sumWy / sumW;
  double scatter = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double d = value[j] - mean;
    p.wy[j] = p.w[j] * d;
    scatter += p.w[j] * d * d;
  }
  p.weightSum = sumW;
  p.scatter = scatter;
  if (!(scatter > 0) || !std::isfinite(scatter) || !std::isfinite(sumW))
    return "The values do not vary.";
  return {};
}

// The scaled power from the sums (see LombScargleOptions::floatingMean).
inline double floatingMeanPower(std::complex<double> sy, std::complex<double> s1,
                                std::complex<double> s2, const WeightedPoints& p) {
  const SinusoidAt fit = floatingMeanCoefficients(sy, s1, s2, p.weightSum);
  const double reduction = fit.cosine * sy.real() + fit.sine * sy.imag();
  return 0.5 * static_cast<double>(p.t.size() - 1) * std::max(0.0, reduction) / p.scatter;
}

// floatingMeanPower for every frequency of a block (sy, s1, s2 as there),
// by floatingMeanCoefficients' expressions; false when a determinant fails
// its test, and the block is then redone by floatingMeanPower (a choice
// between integers only, so that GCC 12 vectorises the loop).
FAZORN_POWER_CLONES
bool floatingMeanPowerLanes(const std::complex<double>* sy, const std::complex<double>* s1,
                            const std::complex<double>* s2, std::int64_t count, double weightSum,
                            double half, double scatter, double* power) {
  const double n = weightSum;
  const auto* y = reinterpret_cast<const double*>(sy);
  const auto* one = reinterpret_cast<const double*>(s1);
  const auto* two = reinterpret_cast<const double*>(s2);
  int singular = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    const double s1r = one[2 * i], s1i = one[2 * i + 1], s2r = two[2 * i], s2i = two[2 * i + 1];
    const double cc = 0.5 * (n + s2r) - s1r * s1r / n;
    const double ss = 0.5 * (n - s2r) - s1i * s1i / n;
    const double cs = 0.5 * s2i - s1r * s1i / n;
    const double det = cc * ss - cs * cs;
    const double yc = y[2 * i], ys = y[2 * i + 1];
    singular = det > 1e-9 * n * n ? singular : 1;
    const double cosine = (yc * ss - ys * cs) / det, sine = (ys * cc - yc * cs) / det;
    const double reduction = cosine * yc + sine * ys;
    power[i] = half * (0.0 < reduction ? reduction : 0.0) / scatter;
  }
  return singular == 0;
}

double floatingMeanDirect(const WeightedPoints& p, double frequency) {
  const double omega = 2.0 * M_PI * frequency;
  std::complex<double> sy, s1, s2;
  for (std::size_t j = 0; j < p.t.size(); ++j) {
    const double a = omega * p.t[j];
    const std::complex<double> e(std::cos(a), std::sin(a));
    sy += p.wy[j] * e;
    s1 += p.w[j] * e;
    s2 += p.w[j] * (e * e);
  }
  return floatingMeanPower(sy, s1, s2, p);
}

// The Fourier route's highest powers recomputed by direct sums, with each
// point's phasor from unitPhasor (within an ulp or two of the library's
// sine and cosine) instead of the library's: the recomputation is exact to
// rounding as before, at about a sixth of the cost (three library sincos a
// point took 11 % of a periodogram of 10^5 points on 16,666 frequencies).
// The exact route keeps floatingMeanDirect and the library's values.
// exp(2 pi i frequency t) of every point, for both tops.
LargeVector<std::complex<double>> phasorsAt(std::span<const double> t, double frequency) {
  const double omega = 2.0 * M_PI * frequency;
  LargeVector<double> angle(t.size());
  LargeVector<std::complex<double>> e(t.size());
  for (std::size_t j = 0; j < t.size(); ++j) angle[j] = omega * t[j];
  unitPhasors(angle.data(), t.size(), e.data());
  return e;
}

double floatingMeanTop(const WeightedPoints& p, double frequency) {
  const std::size_t n = p.t.size();
  const LargeVector<std::complex<double>> e = phasorsAt(p.t, frequency);
  std::complex<double> sy, s1, s2;
  for (std::size_t j = 0; j < n; ++j) {
    sy += p.wy[j] * e[j];
    s1 += p.w[j] * e[j];
    s2 += p.w[j] * (e[j] * e[j]);
  }
  return floatingMeanPower(sy, s1, s2, p);
}

// As lombScarglePowerAt, for the classical power's top: t about xave, yy
// about the average. The angles omega t - tau by rotating each point's
// phasor by exp(-i tau).
double classicalTop(std::span<const double> t, std::span<const double> yy, double variance,
                    double frequency) {
  const std::size_t n = t.size();
  const LargeVector<std::complex<double>> e = phasorsAt(t, frequency);
  double s2 = 0.0, c2 = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    s2 += 2.0 * e[j].real() * e[j].imag();
    c2 += (e[j].real() - e[j].imag()) * (e[j].real() + e[j].imag());
  }
  const double wtau = 0.5 * std::atan2(s2, c2);
  const std::complex<double> back(std::cos(wtau), -std::sin(wtau));
  double yc = 0.0, ys = 0.0, cc = 0.0, ss = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::complex<double> r = e[j] * back;
    const double c = r.real(), s = r.imag(), y = yy[j];
    yc += y * c, ys += y * s, cc += c * c, ss += s * s;
  }
  return 0.5 * (yc * yc / cc + (ss > 0 ? ys * ys / ss : 0.0)) / variance;
}

bool floatingMeanPowers(const WeightedPoints& p, double step, bool fourier,
                        const std::vector<double>& frequency, std::vector<double>& power,
                        FourierSums& route, int& parts, const RunControl& rc) {
  const auto count = static_cast<std::int64_t>(frequency.size());
  if (!fourier) {
    return parallelFor(
        count, kCheckEvery, rc, [] { return 0; },
        [&](int, std::int64_t first, std::int64_t last) {
          for (std::int64_t k = first; k < last; ++k) {
            const auto q = static_cast<std::size_t>(k);
            power[q] = floatingMeanDirect(p, frequency[q]);
          }
        });
  }
  // S2 = sum w exp(2 i omega t), S1 = sum w exp(i omega t), Sy = sum w (y -
  // ybar) exp(i omega t).
  SegmentedSums sums(p.t, frequency, step, route,
                     {{2, p.w.data()}, {1, p.w.data()}, {1, p.wy.data()}});
  route = sums.used();
  parts = static_cast<int>(sums.parts());
  WorkMeter meter(rc, 4 * static_cast<std::int64_t>(sums.parts()) + count);
  if (!sums.run(meter)) return false;
  return parallelFor(
      count, 4096, meter, [] { return 0; },
      [&](int, std::int64_t first, std::int64_t last) {
        std::complex<double> s2[kPowerBlock], s1[kPowerBlock], sy[kPowerBlock];
        std::complex<double>* out[3] = {s2, s1, sy};
        const double half = 0.5 * static_cast<double>(p.t.size() - 1);
        for (std::int64_t k = first; k < last; k += kPowerBlock) {
          const std::int64_t m = std::min(kPowerBlock, last - k);
          const auto q = static_cast<std::size_t>(k);
          sums.block(k, m, frequency.data() + q, out, 3);
          if (floatingMeanPowerLanes(sy, s1, s2, m, p.weightSum, half, p.scatter, power.data() + q))
            continue;
          for (std::int64_t i = 0; i < m; ++i)
            power[q + static_cast<std::size_t>(i)] = floatingMeanPower(sy[i], s1[i], s2[i], p);
        }
      });
}

}  // namespace

double lombScarglePowerAt(std::span<const double> time, std::span<const double> value,
                          double average, double variance, double frequency) {
  const std::size_t n = std::min(time.size(), value.size());
  if (n == 0) return 0.0;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.begin() + static_cast<long>(n));
  const double xave = 0.5 * (*lo + *hi);
  const double omega = 2.0 * M_PI * frequency;
  double s2 = 0.0, c2 = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double a = 2.0 * omega * (time[j] - xave);
    s2 += std::sin(a);
    c2 += std::cos(a);
  }
  const double wtau = 0.5 * std::atan2(s2, c2);
  double yc = 0.0, ys = 0.0, cc = 0.0, ss = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double a = omega * (time[j] - xave) - wtau;
    const double c = std::cos(a), s = std::sin(a), y = value[j] - average;
    yc += y * c, ys += y * s, cc += c * c, ss += s * s;
  }
  return 0.5 * (yc * yc / cc + (ss > 0 ? ys * ys / ss : 0.0)) / variance;
}

double lombScargleFloatingMeanPowerAt(std::span<const double> time, std::span<const double> value,
                                      std::span<const double> weight, double frequency) {
  const std::size_t n = std::min(time.size(), value.size());
  if (n < 2) return 0.0;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.begin() + static_cast<long>(n));
  WeightedPoints p;
  if (!weightedPoints(time.first(n), value.first(n), weight, 0.5 * (*lo + *hi), p).empty())
    return 0.0;
  return floatingMeanDirect(p, frequency);
}

bool lombScargleFourierRouteIsCheaper(std::size_t n, std::int64_t count) {
  // The recurrence costs about 20 n operations a frequency; the Fourier
  // route four transforms of about 10 count log2(2 count) + 30 n operations
  // and 40 operations a frequency. The margin of 4 keeps short runs exact.
  if (count < 64) return false;
  const double c = static_cast<double>(count);
  const double recurrence = 20.0 * static_cast<double>(n) * c;
  // 2e5 stands for the fixed costs of a transform (planning, allocation).
  const double fourier =
      4.0 * (10.0 * c * std::log2(2.0 * c) + 30.0 * static_cast<double>(n) + 2e5) + 40.0 * c;
  return 4.0 * fourier < recurrence;
}

namespace {}  // namespace

namespace {

// Contiguous ranges whose total cost (own frequencies plus the advance to
// the first of them) is about equal.
void lombScargleRecurrence(std::size_t n, const std::vector<double>& cosineStep,
                           const std::vector<double>& sineStep, const PointState& start,
                           std::span<const double> yy, double variance, std::int64_t nout,
                           const RunControl& rc, LombScargleResult& r) {
  const int threads = rc.effectiveThreads(static_cast<long>(nout / kCheckEvery + 1));
  std::vector<std::int64_t> bounds(static_cast<std::size_t>(threads) + 1, 0);
  {
    const double rho = kAdvanceCost;
    const double cost = static_cast<double>(nout) * rho / (1.0 - std::pow(1.0 - rho, threads));
    double b = 0.0;
    for (int k = 1; k < threads; ++k) {
      b = b * (1.0 - rho) + cost;
      bounds[static_cast<std::size_t>(k)] = std::min<std::int64_t>(nout, std::llround(b));
    }
    bounds.back() = nout;
  }
  WorkMeter meter(rc, nout);
  const double var = variance;
  runOnThreads(threads, [&](int k) {
    const std::int64_t first = bounds[static_cast<std::size_t>(k)];
    const std::int64_t last = bounds[static_cast<std::size_t>(k) + 1];
    std::vector<double> c = start.c, s = start.s;
    for (std::int64_t i = 0; i < first; ++i) {
      if (i % (kCheckEvery * 4) == 0 && meter.cancelled()) return;
      advance(n, cosineStep.data(), sineStep.data(), c.data(), s.data());
    }
    for (std::int64_t i = first; i < last; ++i) {
      if ((i - first) % kCheckEvery == 0) {
        if (meter.cancelled()) return;
        if (i > first) meter.add(kCheckEvery);
      }
      double sumsh = 0.0, sumc = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        sumsh += s[j] * c[j];
        sumc += (c[j] - s[j]) * (c[j] + s[j]);
      }
      const double wtau = 0.5 * std::atan2(2.0 * sumsh, sumc);
      const double swtau = std::sin(wtau);
      const double cwtau = std::cos(wtau);
      double sums = 0.0, sumsy = 0.0, sumcy = 0.0;
      sumc = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        const double ss = s[j] * cwtau - c[j] * swtau;
        const double cc = c[j] * cwtau + s[j] * swtau;
        sums += ss * ss;
        sumc += cc * cc;
        sumsy += yy[j] * ss;
        sumcy += yy[j] * cc;
      }
      advance(n, cosineStep.data(), sineStep.data(), c.data(), s.data());
      r.power[static_cast<std::size_t>(i)] =
          0.5 * (sumcy * sumcy / sumc + sumsy * sumsy / sums) / var;
    }
    if (last > first) meter.add((last - first - 1) % kCheckEvery + 1);
  });
  if (meter.done() < nout) {
    r.status = SearchStatus::Cancelled;
    r.message = "Cancelled.";
  }
}

// The last of the equal highest powers and its false-alarm probability.
LombScargleResult lombScarglePeak(LombScargleResult& r, std::int64_t nout, double oversampling) {
  double pymax = 0.0;
  for (std::int64_t i = 0; i < nout; ++i) {
    if (r.power[static_cast<std::size_t>(i)] >= pymax) {
      pymax = r.power[static_cast<std::size_t>(i)];
      r.peakIndex = static_cast<std::int32_t>(i);
    }
  }
  if (r.peakIndex < 0) {
    r.message = "No frequency has a finite power.";
    return std::move(r);
  }
  r.maxPower = pymax;
  const double expy = std::exp(-pymax);
  const double effm = 2.0 * static_cast<double>(nout) / oversampling;
  double prob = effm * expy;
  if (prob > 0.01) prob = 1.0 - std::pow(1.0 - expy, effm);
  r.falseAlarmProbability = prob;
  r.status = SearchStatus::Ok;
  return std::move(r);
}

}  // namespace

LombScargleOptions lombScargleOptionsFor(double minPeriod, double maxPeriod, std::size_t n,
                                         double timeSpan) {
  const double maxFrequency = 1 / minPeriod;
  const double minFrequency = 1 / maxPeriod;
  const double averageNyquist = static_cast<double>(n) * 0.5 / timeSpan;
  LombScargleOptions o;
  o.oversampling = 1 / (timeSpan * minFrequency);
  o.highFrequencyFactor = maxFrequency / averageNyquist;
  const double capacity =
      std::ceil(static_cast<double>(n) * o.oversampling * o.highFrequencyFactor * 0.5);
  // A capacity beyond what memory holds is left to the engine to refuse.
  o.capacity = capacity >= 0 && capacity <= static_cast<double>(kMaxFrequencyCount)
                   ? static_cast<std::int64_t>(capacity)
                   : -1;
  return o;
}

AverageAndVariance averageAndVariance(std::span<const double> y) {
  AverageAndVariance r;
  const std::size_t n = y.size();
  if (n == 0) return r;
  double sum = 0.0;
  for (double v : y) sum += v;
  r.average = sum / static_cast<double>(n);
  double ep = 0.0, var = 0.0;
  for (double v : y) {
    const double d = v - r.average;
    ep += d;
    var += d * d;
  }
  r.variance = (var - ep * ep / static_cast<double>(n)) / static_cast<double>(n - 1);
  return r;
}

LombScargleResult computeLombScarglePeriodogram(std::span<const double> time,
                                                std::span<const double> value,
                                                const LombScargleOptions& options,
                                                const RunControl& rc) {
  return computeLombScarglePeriodogram(time, value, {}, options, rc);
}

LombScargleResult computeLombScarglePeriodogram(std::span<const double> time,
                                                std::span<const double> value,
                                                std::span<const double> weight,
                                                const LombScargleOptions& options,
                                                const RunControl& rc) {
  LombScargleResult r;
  const std::size_t n = std::min(time.size(), value.size());
  if (n < 2) {
    r.message = "At least 2 points are needed.";
    return r;
  }
  const double requested =
      std::trunc(0.5 * options.oversampling * options.highFrequencyFactor * static_cast<double>(n));
  if (!(requested >= 1)) {
    r.message = "The frequency grid is empty.";
    return r;
  }
  if (requested > static_cast<double>(kMaxFrequencyCount)) {
    r.message = "The frequency grid is too large to hold in memory.";
    return r;
  }
  std::int64_t nout = static_cast<std::int64_t>(requested);
  if (options.capacity >= 0 && options.capacity < nout) {
    reportNumericError("output arrays too short in period");
    nout = options.capacity;
  }
  const AverageAndVariance av = averageAndVariance(value.first(n));
  const auto [lo, hi] = std::minmax_element(time.begin(), time.begin() + static_cast<long>(n));
  const double xmin = *lo, xmax = *hi;
  const double xdif = xmax - xmin;
  const double xave = 0.5 * (xmax + xmin);
  if (!(av.variance > 0) || !std::isfinite(av.variance) || !(xdif > 0) || !std::isfinite(xdif)) {
    r.message = !(xdif > 0) ? "All points have the same time." : "The values do not vary.";
    return r;
  }
  const double pnow0 = 1.0 / (xdif * options.oversampling);
  const double step = 1.0 / (options.oversampling * xdif);

  const bool fourier =
      options.route == SearchRoute::Fast ||
      (options.route == SearchRoute::Auto && lombScargleFourierRouteIsCheaper(n, nout));
  // The values about their average (the classical power's; the floating
  // mean takes its own weighted mean).
  LargeVector<double> yy;
  if (!options.floatingMean) {
    yy.resize(n);
    for (std::size_t j = 0; j < n; ++j) yy[j] = value[j] - av.average;
  }
  // The frequencies by repeated addition, as the routine advances pnow.
  r.frequency.resize(static_cast<std::size_t>(nout));
  r.power.assign(static_cast<std::size_t>(nout), 0.0);
  {
    double pnow = pnow0;
    for (auto& f : r.frequency) {
      f = pnow;
      pnow = pnow + step;
    }
  }

  if (options.floatingMean) {
    WeightedPoints p;
    r.message = weightedPoints(time.first(n), value.first(n), weight, xave, p);
    if (!r.message.empty()) return r;
    r.route = fourier ? SearchRoute::Fast : SearchRoute::Exact;
    FourierSums sums = options.fourierSums;
    if (!floatingMeanPowers(p, step, fourier, r.frequency, r.power, sums, r.fourierParts, rc)) {
      r.status = SearchStatus::Cancelled;
      r.message = "Cancelled.";
      return r;
    }
    if (fourier) {
      r.fourierSums = sums;
      const double highest = *std::max_element(r.power.begin(), r.power.end());
      std::size_t recomputed = 0;
      for (std::size_t k = 0; k < r.power.size() && recomputed < kMaxCandidates; ++k) {
        if (!(r.power[k] >= highest - kCandidateMargin)) continue;
        r.power[k] = floatingMeanTop(p, r.frequency[k]);
        ++recomputed;
      }
    }
  } else if (fourier) {
    r.route = SearchRoute::Fast;
    FourierSums sums = options.fourierSums;
    // The times about xave, for the sums and for the recomputed top.
    LargeVector<double> centred(n);
    for (std::size_t j = 0; j < n; ++j) centred[j] = time[j] - xave;
    if (!fourierPowers(centred, yy, av.variance, step, r.frequency, r.power, sums, r.fourierParts,
                       rc)) {
      r.status = SearchStatus::Cancelled;
      r.message = "Cancelled.";
      return r;
    }
    r.fourierSums = sums;
    const double highest = *std::max_element(r.power.begin(), r.power.end());
    std::size_t recomputed = 0;
    for (std::size_t k = 0; k < r.power.size() && recomputed < kMaxCandidates; ++k) {
      if (!(r.power[k] >= highest - kCandidateMargin)) continue;
      r.power[k] = classicalTop(centred, yy, av.variance, r.frequency[k]);
      ++recomputed;
    }
  } else {
    // The recurrence's starting sines and steps (four sines a point, which
    // the Fourier route does not need).
    std::vector<double> cosineStep(n), sineStep(n);
    PointState start;
    start.c.resize(n);
    start.s.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      const double arg = (time[j] - xave) * pnow0 * kTwoPi;
      // The published routine squares through a single-precision temporary.
      const float half = static_cast<float>(std::sin(0.5 * arg));
      cosineStep[j] = half == 0.0f ? 0.0 : -2.0 * static_cast<double>(half * half);
      sineStep[j] = std::sin(arg);
      start.s[j] = std::sin(arg);
      start.c[j] = std::cos(arg);
    }
    lombScargleRecurrence(n, cosineStep, sineStep, start, yy, av.variance, nout, rc, r);
    if (r.status == SearchStatus::Cancelled) return r;
  }
  return lombScarglePeak(r, nout, options.oversampling);
}

// ---------------------------------------------------------------------------
// Many light curves on the same times.

namespace {

// As for the shared AoV runs: the accuracy of the transforms relative to
// sum |strength|, and the narrower spreading grid that keeps the FFT small.
constexpr double kSharedTolerance = 1e-10;
constexpr double kSharedOversampling = 1.5;

struct LombScargleRun {
  std::vector<std::complex<double>> strength, sums;
  NonuniformTransform::Work grid;
};

}  // namespace

struct LombScargleSharedTimes::Impl {
  std::size_t n = 0;
  std::int64_t count = 0;
  std::vector<double> time;                     // the times as given
  std::vector<double> frequency;                // the engine's accumulated frequencies
  std::vector<std::complex<double>> phasor;     // exp(i omega_0 (t - xave))
  std::vector<std::complex<double>> z2;         // sum exp(2 i omega_k (t - xave))
  std::unique_ptr<NonuniformTransform> values;  // angles omega step (t - xave)
  WorkPool<LombScargleRun> pool;

  std::unique_ptr<LombScargleRun> acquire() {
    return pool.acquire([&] {
      auto w = std::make_unique<LombScargleRun>();
      w->strength.resize(n);
      w->sums.resize(static_cast<std::size_t>(count));
      w->grid = values->makeWork();
      return w;
    });
  }
  void release(std::unique_ptr<LombScargleRun> w) { pool.release(std::move(w)); }
};

LombScargleSharedTimes::LombScargleSharedTimes(std::span<const double> time,
                                               const LombScargleOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  const std::size_t n = time.size();
  // The engine's grid, refused where the engine refuses.
  const double requested =
      std::trunc(0.5 * options.oversampling * options.highFrequencyFactor * static_cast<double>(n));
  if (n < 2 || !(requested >= 1) || requested > static_cast<double>(kMaxFrequencyCount)) return;
  std::int64_t nout = static_cast<std::int64_t>(requested);
  if (options.capacity >= 0 && options.capacity < nout) nout = options.capacity;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  const double xdif = *hi - *lo, xave = 0.5 * (*hi + *lo);
  if (!(xdif > 0) || !std::isfinite(xdif) || nout < 1) return;
  const double pnow0 = 1.0 / (xdif * options.oversampling);
  const double step = 1.0 / (options.oversampling * xdif);
  d.n = n;
  d.count = nout;
  d.time.assign(time.begin(), time.end());
  d.frequency.resize(static_cast<std::size_t>(nout));
  double pnow = pnow0;
  for (auto& f : d.frequency) {
    f = pnow;
    pnow = pnow + step;
  }
  const double twoPi = 2.0 * M_PI;
  std::vector<double> angle(n), angle2(n);
  std::vector<std::complex<double>> phasor2(n);
  d.phasor.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double t = time[j] - xave;
    const double a = twoPi * pnow0 * t;
    d.phasor[j] = {std::cos(a), std::sin(a)};
    phasor2[j] = {std::cos(2.0 * a), std::sin(2.0 * a)};
    angle[j] = twoPi * step * t;
    angle2[j] = 2.0 * angle[j];
  }
  d.values = std::make_unique<NonuniformTransform>(angle, nout, kSharedTolerance,
                                                   kSharedOversampling, true);
  const NonuniformTransform doubled(angle2, nout, kSharedTolerance, kSharedOversampling, true);
  NonuniformTransform::Work work = doubled.makeWork();
  d.z2.resize(static_cast<std::size_t>(nout));
  doubled.apply(phasor2, d.z2, work);
}

LombScargleSharedTimes::~LombScargleSharedTimes() = default;

bool LombScargleSharedTimes::usable() const { return impl_->count > 0; }

bool LombScargleSharedTimes::cheaperThanExact(std::size_t n, std::int64_t count) {
  if (count < 64) return false;
  // One transform of about 1.6 count points a light curve and 30
  // operations a frequency, against 20 n a frequency for the recurrence.
  const double c = static_cast<double>(count);
  const double shared = 8.0 * c * std::log2(1.6 * c) + 60.0 * static_cast<double>(n) + 30.0 * c;
  return 2.0 * shared < 20.0 * static_cast<double>(n) * c;
}

LombScargleSharedTimes::Peak LombScargleSharedTimes::peak(std::span<const double> value,
                                                          const RunControl& rc,
                                                          std::span<double> power) const {
  Impl& d = *impl_;
  Peak best;
  if (d.count == 0 || value.size() < d.n || rc.cancelled()) return best;
  const AverageAndVariance av = averageAndVariance(value.first(d.n));
  if (!(av.variance > 0) || !std::isfinite(av.variance)) return best;
  auto run = d.acquire();
  for (std::size_t j = 0; j < d.n; ++j) run->strength[j] = (value[j] - av.average) * d.phasor[j];
  d.values->apply(run->strength, run->sums, run->grid);
  const double half = 0.5 * static_cast<double>(d.n);
  double top = 0.0;
  for (std::int64_t k = 0; k < d.count; ++k) {
    const auto q = static_cast<std::size_t>(k);
    // As the engine's Fourier route (Press & Rybicki 1989), without drift.
    const double p = powerFromSums(d.z2[q], run->sums[q], half, av.variance, std::abs(d.z2[q]));
    if (!power.empty()) power[q] = p;
    // The last of the equal highest powers, as the engine reports it.
    if (p >= top) {
      top = p;
      best.index = k;
    }
  }
  d.release(std::move(run));
  if (best.index >= 0) {
    best.power = top;
    best.frequency = d.frequency[static_cast<std::size_t>(best.index)];
  }
  return best;
}

}  // namespace fazorn
