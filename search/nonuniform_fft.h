// Sums of complex exponentials at unevenly spaced points for a whole
// uniform grid of frequencies at once (a "type-1" non-uniform fast Fourier
// transform):
//
//   F[k] = sum_j c_j exp(i k x_j),   k = 0 .. K - 1,
//
// for K frequencies in O(N w + K log K) operations instead of O(N K). The
// points are spread onto an oversampled uniform grid with a Gaussian kernel,
// the grid is transformed with FFTW, and the kernel's transform is divided
// out (Greengard & Lee 2004, "Accelerating the nonuniform fast Fourier
// transform", with their fast Gaussian gridding). With the grid oversampled
// by R and the kernel reaching Msp grid points to each side, the error of
// every F[k] is about exp(-pi Msp (R - 1) / (R - 1/2)) times sum |c_j|, so
// the width follows from the requested tolerance. The division by the
// kernel's transform magnifies rounding by at most exp(pi Msp / (4 R (R -
// 1/2))) at the edge modes: about 25 for R = 2, 3e3 for R = 1.5 at 1e-10,
// which is why R stays at 1.5 or more.
//
// nonuniformSums is the one-off call. NonuniformTransform keeps what depends
// only on the points and the number of modes (the grid positions and kernel
// factors of every point, the FFT plan, the deconvolution factors) for many
// strength vectors on the same points, as the randomisation runs need.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include "search/large_memory.h"

// The spreading loops compiled for the wider vector units too, chosen at
// run time (the default build targets any x86-64): a kernel value into a
// grid is a complex multiply-add, two of them a 256-bit register, four a
// 512-bit one.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
#define FAZORN_SPREAD_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define FAZORN_SPREAD_CLONES
#endif

namespace fazorn {

namespace nufft_detail {

// FFTW's planner is not thread-safe; executing a plan is.
inline std::mutex& plannerLock() {
  static std::mutex lock;
  return lock;
}

// The smallest size >= n whose only prime factors are 2, 3 and (when
// allowed) 5. FFTW is fastest on those; on this machine a transform of
// 2^a 3^b points is up to 1.5 times faster than one of a similar size with
// several factors of 5.
inline std::int64_t smoothSize(std::int64_t n, bool allowFive = true) {
  for (std::int64_t m = std::max<std::int64_t>(n, 8);; ++m) {
    std::int64_t r = m;
    for (std::int64_t p : {2, 3, 5}) {
      if (p == 5 && !allowFive) break;
      while (r % p == 0) r /= p;
    }
    if (r == 1) return m;
  }
}

// The most plan shapes keptPlan() keeps: a session's searches use a handful
// of grid sizes (each an in-place and an out-of-place plan); beyond this
// many the callers make and destroy their own.
inline constexpr std::size_t kKeptPlans = 128;

// A backward, in-place FFTW plan of `howmany` contiguous transforms of n
// points (howmany 1: fftw_plan_dft_1d, else fftw_plan_many_dft with the
// transforms n apart), kept for the life of the process; nullptr when
// kKeptPlans shapes are kept already, or when FFTW cannot plan. Call under
// plannerLock(). Planning again on every periodogram costs, on a grid of
// 15,000 points, about as much as transforming it: the planner's work and
// the fresh memory of its twiddle tables, which on a virtual machine costs
// about 10 us a 4 KiB page (large_memory.h). FFTW_ESTIMATE plans are made
// by rule, not by timing, so a kept plan computes bit for bit what a new one
// would. Executed with fftw_execute_dft on other arrays, which must be
// aligned as `data` is: every caller's arrays come from allocateLarge (64
// bytes or more, where FFTW's SIMD needs 16).
// `out`: an out-of-place plan from data to out (howmany 1 only), executed
// on other pairs of distinct arrays.
inline fftw_plan keptPlan(int n, int howmany, fftw_complex* data, fftw_complex* out = nullptr) {
  struct Kept {
    int n, howmany;
    bool inPlace;
    fftw_plan plan;
  };
  // Never destroyed: the plans stay reachable until exit, for leak checkers
  // too.
  static auto* kept = new std::vector<Kept>();
  const bool inPlace = out == nullptr || howmany != 1;
  for (const Kept& k : *kept)
    if (k.n == n && k.howmany == howmany && k.inPlace == inPlace) return k.plan;
  if (kept->size() >= kKeptPlans) return nullptr;
  fftw_plan plan =
      howmany == 1 ? fftw_plan_dft_1d(n, data, inPlace ? data : out, FFTW_BACKWARD, FFTW_ESTIMATE)
                   : fftw_plan_many_dft(1, &n, howmany, data, nullptr, 1, n, data, nullptr, 1, n,
                                        FFTW_BACKWARD, FFTW_ESTIMATE);
  if (plan) kept->push_back({n, howmany, inPlace, plan});
  return plan;
}

// Grids up to this many points are transformed out of place (into a second
// array) by the spreading transforms: FFTW's in-place plans for sizes with
// several factors of 3 and 5 copy through buffers, and timed on this
// machine an out-of-place transform of 15,000 to 1.5 million points took
// 0.65 to 0.95 of the in-place time (150,000: 0.73 ms against 1.09 ms),
// while at 2 million points (two 32 MB arrays) it took 1.5 times as long.
inline constexpr std::int64_t kOutOfPlaceUpTo = 1600000;

// exp(x) for |x| <= 708 in operations that vector units take: x = n ln 2
// + r with |r| <= ln 2 / 2 (n by the rounding of a shifted sum, ln 2 in two
// parts so that n ln 2 is exact to 2^-80), the Taylor series of exp(r) to
// r^13 (the first term left out is below 5e-18 of the sum), and 2^n put
// into the exponent bits. Within two ulps of the library's exp (tested);
// the library's call cannot be vectorised, and two of them a point took
// half the setup of a spreading transform on 10^5 points.
inline double vectorExp(double x) {
  constexpr double kLog2e = 1.4426950408889634;
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 0x3fe62e42fee00000
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  constexpr double kShift = 6755399441055744.0;  // 1.5 2^52: rounds to an integer
  const double shifted = x * kLog2e + kShift;
  const double n = shifted - kShift;
  const double r = (x - n * kLn2Hi) - n * kLn2Lo;
  double p = 1.0 / 6227020800.0;  // 1 / 13!
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // n sits in the low bits of `shifted`; 2^n is (n + 1023) << 52.
  const std::uint64_t bits =
      std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(kShift) + 1023;
  return p * std::bit_cast<double>(bits << 52);
}

}  // namespace nufft_detail

// Default oversampling of the spreading grid.
inline constexpr double kNufftOversampling = 2.0;

// Kernel half-width (grid points to each side of a point) for a requested
// relative tolerance (error / sum |c_j|) on a grid oversampled by
// `oversampling`, from the error estimate above with one point of margin; at
// least 2, at most 24 (about 1e-16 at R = 2).
inline int nufftHalfWidth(double tolerance, double oversampling = kNufftOversampling) {
  const double r = std::max(oversampling, 1.25);
  const double t = std::clamp(tolerance, 1e-16, 1e-1);
  const double msp = std::log(1.0 / t) * (r - 0.5) / (M_PI * (r - 1.0));
  return std::clamp(static_cast<int>(std::ceil(msp)) + 1, 2, 24);
}

// The transform for fixed points and a fixed number of modes. Construction
// plans the FFT (under a lock); apply() is thread-safe given one Work per
// thread.
class NonuniformTransform {
 public:
  using Complex = std::complex<double>;

  // The storage of one transform in flight: the spreading grid, aligned as
  // FFTW planned it (on such a grid), huge pages for large grids.
  class Work {
   public:
    Work() = default;
    explicit Work(std::int64_t size)
        : data_(static_cast<Complex*>(
              allocateLarge(static_cast<std::size_t>(size) * sizeof(Complex)))),
          size_(size) {}
    ~Work() { freeLarge(data_, static_cast<std::size_t>(size_) * sizeof(Complex)); }
    Work(Work&& o) noexcept : data_(o.data_), size_(o.size_) { o.data_ = nullptr, o.size_ = 0; }
    Work& operator=(Work&& o) noexcept {
      std::swap(data_, o.data_);
      std::swap(size_, o.size_);
      return *this;
    }
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    Complex* data() const { return data_; }

   private:
    Complex* data_ = nullptr;
    std::int64_t size_ = 0;
  };

  // Points at the angles x (radians; only x mod 2 pi matters), `modes`
  // output frequencies, relative tolerance, and the grid's oversampling
  // (1.5 or more). `powersOfTwoAndThree` restricts the grid to 2^a 3^b points.
  // `callerShifts`: the caller multiplies every strength by the centring
  // phasor exp(i centre() x) itself (folded into a phasor it computes anyway,
  // one sine and cosine a point instead of two); the transform then skips it.
  NonuniformTransform(std::span<const double> x, std::int64_t modes, double tolerance,
                      double oversampling = kNufftOversampling, bool powersOfTwoAndThree = false,
                      bool callerShifts = false)
      : modes_(std::max<std::int64_t>(modes, 0)) {
    if (modes_ == 0) return;
    const double minOversampling = std::max(oversampling, 1.5);
    msp_ = nufftHalfWidth(tolerance, minOversampling);
    // Modes are centred, k - K/2 in [-K/2, K/2), so that the deconvolution
    // never magnifies by more than said above: the shift is taken into the
    // strengths.
    half_ = modes_ / 2;
    grid_ = nufft_detail::smoothSize(
        std::max<std::int64_t>(
            static_cast<std::int64_t>(std::ceil(minOversampling * static_cast<double>(modes_))),
            2 * msp_ + 2),
        !powersOfTwoAndThree);
    const double r = static_cast<double>(grid_) / static_cast<double>(modes_);
    const double kk = static_cast<double>(modes_);
    const double tau = M_PI * msp_ / (kk * kk * r * (r - 0.5));
    const double twoPi = 2.0 * M_PI;
    const double h = twoPi / static_cast<double>(grid_);
    // exp(-(l h)^2 / (4 tau)) for l = 0 .. msp, the fast gridding factors.
    // Zero past msp: fillKernel's blocks of eight run over the end.
    e3_.assign(static_cast<std::size_t>(msp_) + 1 + kKernelLanes, 0.0);
    for (int l = 0; l <= msp_; ++l)
      e3_[static_cast<std::size_t>(l)] = std::exp(-(l * h) * (l * h) / (4 * tau));
    tau_ = tau;
    points_.resize(x.size());
    const double widest = locatePoints(x, h, tau, callerShifts);
    // The angles as given, |x| + the kernel's reach, inside half a turn with a
    // grid point to spare: every grid point a kernel touches then sits at its
    // true signed angle, (m < grid / 2 ? m : m - grid) h.
    angleSums_ = widest / h + msp_ + 1 < 0.5 * static_cast<double>(grid_);
    // sum_j c_j exp(i k x_j) = sqrt(pi / tau) exp(k^2 tau) / grid * G[k].
    const double scale = std::sqrt(M_PI / tau) / static_cast<double>(grid_);
    // By |k - K/2| (the factor is even in it), each run of kDeconvolutionRun
    // from one exponential and the ratios exp((2 c + 1) tau), themselves
    // advanced by the factor exp(2 tau): two products a mode instead of an
    // exponential, within about 2 kDeconvolutionRun ulps (1e-14) of the
    // exponentials; an exponential a mode took a sixth of a classical
    // periodogram of 10^4 points on 2 10^5 frequencies.
    deconvolution_.resize(static_cast<std::size_t>(modes_));
    {
      const std::int64_t reach = std::max(half_, modes_ - 1 - half_);
      LargeVector<double> byDistance(static_cast<std::size_t>(reach) + 1);
      const double growth = std::exp(2.0 * tau);
      for (std::int64_t c0 = 0; c0 <= reach; c0 += kDeconvolutionRun) {
        const auto start = static_cast<double>(c0);
        double value = scale * std::exp(start * start * tau);
        double ratio = std::exp((2.0 * start + 1.0) * tau);
        const std::int64_t end = std::min(reach + 1, c0 + kDeconvolutionRun);
        for (std::int64_t c = c0; c < end; ++c) {
          byDistance[static_cast<std::size_t>(c)] = value;
          value *= ratio;
          ratio *= growth;
        }
      }
      for (std::int64_t k = 0; k < modes_; ++k)
        deconvolution_[static_cast<std::size_t>(k)] =
            byDistance[static_cast<std::size_t>(k < half_ ? half_ - k : k - half_)];
    }
    Work w = makeWork();
    std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
    auto* data = reinterpret_cast<fftw_complex*>(w.data());
    plan_ = nufft_detail::keptPlan(static_cast<int>(grid_), 1, data);
    if (!plan_) {
      plan_ = fftw_plan_dft_1d(static_cast<int>(grid_), data, data, FFTW_BACKWARD, FFTW_ESTIMATE);
      ownsPlan_ = true;
    }
    if (grid_ <= nufft_detail::kOutOfPlaceUpTo) {
      Work o = makeWork();
      auto* out = reinterpret_cast<fftw_complex*>(o.data());
      planOut_ = nufft_detail::keptPlan(static_cast<int>(grid_), 1, data, out);
      if (!planOut_) {
        planOut_ =
            fftw_plan_dft_1d(static_cast<int>(grid_), data, out, FFTW_BACKWARD, FFTW_ESTIMATE);
        ownsPlanOut_ = planOut_ != nullptr;
      }
    }
  }
  ~NonuniformTransform() {
    if (!(plan_ && ownsPlan_) && !(planOut_ && ownsPlanOut_)) return;
    std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
    if (plan_ && ownsPlan_) fftw_destroy_plan(plan_);
    if (planOut_ && ownsPlanOut_) fftw_destroy_plan(planOut_);
  }
  NonuniformTransform(const NonuniformTransform&) = delete;
  NonuniformTransform& operator=(const NonuniformTransform&) = delete;

  std::int64_t modes() const { return modes_; }
  // The centring offset K / 2: mode k is computed as k - centre().
  std::int64_t centre() const { return half_; }
  std::int64_t gridSize() const { return grid_; }
  // Msp, the kernel's reach in grid points to each side of a point.
  int halfWidth() const { return msp_; }
  std::size_t points() const { return points_.size(); }
  Work makeWork() const { return Work(std::max<std::int64_t>(grid_, 1)); }

  // out[k] = sum_j c[j] exp(i k x[j]) for k = 0 .. min(out.size(), modes) - 1.
  void apply(std::span<const Complex> c, std::span<Complex> out, Work& work) const {
    if (modes_ == 0) return;
    Complex* f = work.data();
    std::fill(f, f + grid_, Complex(0.0));
    const std::size_t n = std::min(c.size(), points_.size());
    const int width = 2 * msp_;
    double buffer[kKernelBuffer];
    double* kernel = buffer + kKernelLanes;
    for (std::size_t j = 0; j < n; ++j) {
      const Point& p = points_[j];
      const Complex cj = c[j] * p.shift;
      fillKernel(p, kernel);
      const std::int64_t first = p.m0 - msp_ + 1;
      if (first >= 0 && first + width <= grid_) {
        Complex* g = f + first;
        for (int q = 0; q < width; ++q) g[q] += cj * kernel[q];
      } else {
        for (int q = 0; q < width; ++q) {
          const std::int64_t m = ((first + q) % grid_ + grid_) % grid_;
          f[m] += cj * kernel[q];
        }
      }
    }
    finish(f, out);
  }

  // Two transforms in one spreading pass: out[k] = sum_j c[j] exp(i k x[j])
  // and outScaled[k] = sum_j c[j] factor[j] exp(i k x[j]), each as apply()
  // computes it. The kernel of each point is evaluated once for both grids,
  // which halves the spreading cost of a pair of transforms on the same
  // points (the Lomb-Scargle sums and their time-weighted companions).
  void applyPair(std::span<const Complex> c, std::span<const double> factor, std::span<Complex> out,
                 std::span<Complex> outScaled, Work& work, Work& workScaled) const {
    if (modes_ == 0) return;
    transformPair(c, factor, work, workScaled);
    extract(work.data(), out);
    extract(workScaled.data(), outScaled);
  }

  // applyPair without taking the modes out: the grids hold the transforms,
  // and mode(work, k) reads mode k of one of them. Saves two arrays of the
  // modes' size where the caller reads each mode once.
  void transformPair(std::span<const Complex> c, std::span<const double> factor, Work& work,
                     Work& workScaled) const {
    const Complex* strength[1] = {c.data()};
    Work* grids[2] = {&work, &workScaled};
    transformPairs(strength, std::min(c.size(), factor.size()), factor.data(), grids);
  }

  // transformPair for several strength vectors on the same points at once
  // (strength[s], n of each), into grids[2 s] and grids[2 s + 1]: each
  // point's kernel is evaluated once for all of them, where separate calls
  // evaluate it once a vector (a third of a pair's spreading for the kernel
  // of 2 Msp values). Every grid receives the same products in the same
  // order as transformPair gives it, so the sums are bit for bit the same.
  FAZORN_SPREAD_CLONES
  void transformPairs(std::span<const Complex* const> strength, std::size_t n, const double* factor,
                      std::span<Work* const> grids) const {
    if (modes_ == 0 || strength.empty()) return;
    const std::size_t count = std::min(strength.size(), grids.size() / 2);
    for (std::size_t s = 0; s < 2 * count; ++s) {
      Complex* g = grids[s]->data();
      std::fill(g, g + grid_, Complex(0.0));
    }
    n = std::min(n, points_.size());
    const int width = 2 * msp_;
    double buffer[kKernelBuffer];
    double* kernel = buffer + kKernelLanes;
    for (std::size_t j = 0; j < n; ++j) {
      const Point& p = points_[j];
      fillKernel(p, kernel);
      const std::int64_t first = p.m0 - msp_ + 1;
      const bool inside = first >= 0 && first + width <= grid_;
      for (std::size_t s = 0; s < count; ++s) {
        const Complex cj = strength[s][j] * p.shift;
        const Complex sj = cj * factor[j];
        Complex* f = grids[2 * s]->data();
        Complex* fs = grids[2 * s + 1]->data();
        if (inside) {
          Complex* g = f + first;
          Complex* gs = fs + first;
          for (int q = 0; q < width; ++q) {
            g[q] += cj * kernel[q];
            gs[q] += sj * kernel[q];
          }
        } else {
          for (int q = 0; q < width; ++q) {
            const std::int64_t m = ((first + q) % grid_ + grid_) % grid_;
            f[m] += cj * kernel[q];
            fs[m] += sj * kernel[q];
          }
        }
      }
    }
    Work scratch;
    for (std::size_t s = 0; s < 2 * count; ++s) transformGrid(*grids[s], scratch);
  }

  // Mode k (0 <= k < modes) of a grid that transformPair filled.
  Complex mode(const Work& work, std::int64_t k) const {
    const std::int64_t centred = k - half_;
    const std::int64_t m = centred < 0 ? centred + grid_ : centred;
    return work.data()[m] * deconvolution_[static_cast<std::size_t>(k)];
  }

  // Whether transformWithAngles can serve these points: their angles as
  // given (not reduced to a turn) lie within half a turn of 0, with the
  // kernel's reach to spare.
  bool angleSums() const { return angleSums_; }

  // The sums alone, strength[s] into grids[s], for several strength vectors
  // on the same points: each point's kernel evaluated once for all of them,
  // every grid receiving the same products in the same order as apply()
  // gives it. Read with mode().
  void transformSums(std::span<const Complex* const> strength, std::size_t n,
                     std::span<Work* const> grids) const {
    if (modes_ == 0 || strength.empty()) return;
    const std::size_t count = std::min(strength.size(), grids.size());
    spread(strength.first(count), n, grids, 1);
    Work scratch;
    for (std::size_t s = 0; s < count; ++s) transformGrid(*grids[s], scratch);
  }

  // The sums and their angle-weighted companions, sum_j c[j] x[j] exp(i k
  // x[j]) with x the angles as given, for several strength vectors
  // (strength[s], n of each) into grids[2 s] and grids[2 s + 1]; only where
  // angleSums(). Each point is spread once, into the sums' grid: the
  // companion is the derivative of the sums in the mode, -i dF / dk, which
  // the Gaussian gridding gives exactly as it gives F (Greengard & Lee
  // 2004): F(k) = D(k) sum_m g_m exp(i k y_m) with D(k) = sqrt(pi / tau)
  // exp(k^2 tau) / grid, so -i dF / dk = D(k) (sum_m y_m g_m exp(i k y_m)
  // - 2 i k tau G(k)), y_m the grid point's signed angle. The companion
  // costs a product a grid point and its FFT, not a second spreading; its
  // error relative to sum |c| |x| is the sums' tolerance times a few.
  // Read with mode() and angleMode().
  void transformWithAngles(std::span<const Complex* const> strength, std::size_t n,
                           std::span<Work* const> grids) const {
    if (modes_ == 0 || strength.empty()) return;
    const std::size_t count = std::min(strength.size(), grids.size() / 2);
    spread(strength.first(count), n, grids, 2);
    const double h = 2.0 * M_PI / static_cast<double>(grid_);
    const std::int64_t upper = grid_ / 2;
    for (std::size_t s = 0; s < count; ++s) {
      const Complex* g = grids[2 * s]->data();
      Complex* a = grids[2 * s + 1]->data();
      for (std::int64_t m = 0; m < grid_; ++m)
        a[m] = g[m] * (static_cast<double>(m < upper ? m : m - grid_) * h);
    }
    Work scratch;
    for (std::size_t s = 0; s < 2 * count; ++s) transformGrid(*grids[s], scratch);
  }

  // Mode k of the angle-weighted companion that transformWithAngles put in
  // `angles`, beside the sums in `work`.
  Complex angleMode(const Work& work, const Work& angles, std::int64_t k) const {
    const std::int64_t centred = k - half_;
    const std::int64_t m = centred < 0 ? centred + grid_ : centred;
    const Complex slope(0.0, 2.0 * static_cast<double>(centred) * tau_);
    return (angles.data()[m] - slope * work.data()[m]) *
           deconvolution_[static_cast<std::size_t>(k)];
  }

  // The modes k0 .. k0 + count - 1 of a grid at once, each with the bits
  // of mode() (block) and of the drift-corrected sums that the Lomb-Scargle
  // engine builds from mode() and angleMode() (blockWithCompanion: mode +
  // (h i drift) mode of the companion; blockWithAngles: mode + i drift
  // angleMode perAngle), drift[i] the drift of mode k0 + i in radians per
  // day. The products of a complex with a purely imaginary number are
  // written out (their zero real part contributes signed zeros only), so
  // that the loops run straight over each of the two contiguous pieces of
  // the grid that the modes read.
  void block(const Work& work, std::int64_t k0, std::int64_t count, Complex* out) const {
    pieces(
        k0, count,
        [&](std::int64_t k, std::int64_t m, std::int64_t n, Complex* o) {
          const Complex* g = work.data() + m;
          const double* d = deconvolution_.data() + k;
          for (std::int64_t i = 0; i < n; ++i) o[i] = g[i] * d[i];
        },
        out);
  }

  void blockWithCompanion(const Work& work, const Work& companion, double harmonic,
                          const double* drift, std::int64_t k0, std::int64_t count,
                          Complex* out) const {
    pieces(
        k0, count,
        [&](std::int64_t k, std::int64_t m, std::int64_t n, Complex* o) {
          const auto* g = reinterpret_cast<const double*>(work.data() + m);
          const auto* c = reinterpret_cast<const double*>(companion.data() + m);
          const double* d = deconvolution_.data() + k;
          const double* e = drift + (k - k0);
          auto* r = reinterpret_cast<double*>(o);
          for (std::int64_t i = 0; i < n; ++i) {
            const double hd = harmonic * e[i];
            const double cr = c[2 * i] * d[i], ci = c[2 * i + 1] * d[i];
            r[2 * i] = g[2 * i] * d[i] - hd * ci;
            r[2 * i + 1] = g[2 * i + 1] * d[i] + hd * cr;
          }
        },
        out);
  }

  void blockWithAngles(const Work& work, const Work& angles, double perAngle, const double* drift,
                       std::int64_t k0, std::int64_t count, Complex* out) const {
    pieces(
        k0, count,
        [&](std::int64_t k, std::int64_t m, std::int64_t n, Complex* o) {
          const auto* g = reinterpret_cast<const double*>(work.data() + m);
          const auto* a = reinterpret_cast<const double*>(angles.data() + m);
          const double* d = deconvolution_.data() + k;
          const double* e = drift + (k - k0);
          auto* r = reinterpret_cast<double*>(o);
          // The centred index as a double from a 32-bit count (blocks are
          // short), which converts in vector registers; exact either way.
          const auto centred = static_cast<double>(k - half_);
          for (int i = 0; i < static_cast<int>(n); ++i) {
            const double slope = 2.0 * (centred + static_cast<double>(i)) * tau_;
            const double ar = (a[2 * i] + slope * g[2 * i + 1]) * d[i];
            const double ai = (a[2 * i + 1] - slope * g[2 * i]) * d[i];
            r[2 * i] = g[2 * i] * d[i] - (e[i] * ai) * perAngle;
            r[2 * i + 1] = g[2 * i + 1] * d[i] + (e[i] * ar) * perAngle;
          }
        },
        out);
  }

 private:
  // Calls piece(k, m, n, out + (k - k0)) for the runs of modes [k, k + n)
  // whose grid points m .. m + n - 1 are contiguous (at most two: the modes
  // below the centre sit at the grid's top).
  template <typename Piece>
  void pieces(std::int64_t k0, std::int64_t count, Piece&& piece, Complex* out) const {
    const std::int64_t end = k0 + count;
    if (k0 < half_) {
      const std::int64_t stop = std::min(end, half_);
      piece(k0, k0 - half_ + grid_, stop - k0, out);
      if (stop == end) return;
      piece(stop, stop - half_, end - stop, out + (stop - k0));
      return;
    }
    piece(k0, k0 - half_, count, out);
  }

  struct Point {
    std::int64_t m0;   // the grid point at or below the angle
    double e1, e2;     // the fast gridding factors of its offset
    double e2inverse;  // 1 / e2
    Complex shift;     // the centring phasor exp(i K/2 x)
  };

  // Spreads strength[s] (n of each) into grids[stride s], zeroed first.
  FAZORN_SPREAD_CLONES
  void spread(std::span<const Complex* const> strength, std::size_t n, std::span<Work* const> grids,
              std::size_t stride) const {
    const std::size_t count = strength.size();
    for (std::size_t s = 0; s < count; ++s) {
      Complex* g = grids[stride * s]->data();
      std::fill(g, g + grid_, Complex(0.0));
    }
    n = std::min(n, points_.size());
    const int width = 2 * msp_;
    double buffer[kKernelBuffer];
    double* kernel = buffer + kKernelLanes;
    for (std::size_t j = 0; j < n; ++j) {
      const Point& p = points_[j];
      fillKernel(p, kernel);
      const std::int64_t first = p.m0 - msp_ + 1;
      const bool inside = first >= 0 && first + width <= grid_;
      for (std::size_t s = 0; s < count; ++s) {
        const Complex cj = strength[s][j] * p.shift;
        Complex* f = grids[stride * s]->data();
        if (inside) {
          Complex* g = f + first;
          for (int q = 0; q < width; ++q) g[q] += cj * kernel[q];
        } else {
          for (int q = 0; q < width; ++q)
            f[((first + q) % grid_ + grid_) % grid_] += cj * kernel[q];
        }
      }
    }
  }

  // Each point's grid point and fast gridding factors (constructor), in
  // blocks: the offsets first, then their exponentials, each a loop the
  // vector units take. Returns the largest |x|.
  FAZORN_SPREAD_CLONES
  double locatePoints(std::span<const double> x, double h, double tau, bool callerShifts) {
    constexpr std::size_t kBlock = 256;
    const double twoPi = 2.0 * M_PI;
    double widest = 0.0;
    double reduced[kBlock], a1[kBlock], a2[kBlock], e1[kBlock], e2[kBlock], e2inverse[kBlock];
    std::int64_t m[kBlock];
    for (std::size_t j0 = 0; j0 < x.size(); j0 += kBlock) {
      const std::size_t count = std::min(kBlock, x.size() - j0);
      const double* xj = x.data() + j0;
      for (std::size_t i = 0; i < count; ++i) {
        widest = std::max(widest, std::abs(xj[i]));
        const double xr = xj[i] - twoPi * std::floor(xj[i] / twoPi);  // [0, 2 pi]
        reduced[i] = xr;
        const double m0 = std::floor(xr / h);
        const double d = xr - m0 * h;  // [0, h)
        m[i] = static_cast<std::int64_t>(m0);
        a1[i] = -d * d / (4 * tau);
        a2[i] = d * h / (2 * tau);
      }
      for (std::size_t i = 0; i < count; ++i) {
        e1[i] = nufft_detail::vectorExp(a1[i]);
        e2[i] = nufft_detail::vectorExp(a2[i]);
        e2inverse[i] = nufft_detail::vectorExp(-a2[i]);
      }
      for (std::size_t i = 0; i < count; ++i) {
        Point& p = points_[j0 + i];
        p.m0 = m[i] >= grid_ ? m[i] - grid_ : m[i];  // xr rounded up to 2 pi
        p.e1 = e1[i];
        p.e2 = e2[i];
        p.e2inverse = e2inverse[i];
        p.shift = Complex(1.0);
      }
      // The centring shift exp(i half x); a product by exactly 1 where the
      // caller applies it.
      if (!callerShifts)
        for (std::size_t i = 0; i < count; ++i) {
          const double shift = static_cast<double>(half_) * reduced[i];
          points_[j0 + i].shift = Complex(std::cos(shift), std::sin(shift));
        }
    }
    return widest;
  }

  // The kernel at the grid points m0 + l, l = -msp + 1 .. msp, of a point:
  // at distance d - l h it is e1 e2^l e3[|l|]. The powers e2^l advance in
  // blocks of eight, each lane by e2^8 (or e2^-8 downwards): short chains
  // of products, eight independent ones that vector units take at once,
  // where one chain of products would bound the spreading of a point. The
  // first eight powers come from e2, e2^2 and e2^4 (and from 1 / e2, kept
  // beside e2, downwards) in three products' depth; as chains of seven
  // products after a division they took a third of the spreading of 10^5
  // points.
  // Writes kernel[-kKernelLanes .. 2 msp + kKernelLanes) (the lanes past the
  // kernel's ends are scratch).
  void fillKernel(const Point& p, double* kernel) const {
    const double* e3 = e3_.data();
    const double u1 = p.e2, u2 = u1 * u1, u4 = u2 * u2;
    const double v1 = p.e2inverse, v2 = v1 * v1, v4 = v2 * v2;
    const double upPower[kKernelLanes] = {1.0, u1,      u2,      u2 * u1,
                                          u4,  u4 * u1, u4 * u2, u4 * (u2 * u1)};
    const double downPower[kKernelLanes] = {1.0, v1,      v2,      v2 * v1,
                                            v4,  v4 * v1, v4 * v2, v4 * (v2 * v1)};
    double up[kKernelLanes], down[kKernelLanes];
    for (int i = 0; i < kKernelLanes; ++i) {
      up[i] = p.e1 * upPower[i];
      down[i] = p.e1 * downPower[i];
    }
    const double upStep = u4 * u4, downStep = v4 * v4;
    // Upwards l = 0 .. msp at kernel[msp - 1 + l]; downwards l = 1 .. msp
    // - 1 at kernel[msp - 1 - l] (down[0] stands for l = 0, rewritten by
    // the upward pass after).
    double* centre = kernel + msp_ - 1;
    for (int b = 0; b < msp_; b += kKernelLanes) {
      for (int i = 0; i < kKernelLanes; ++i) {
        centre[-(b + i)] = down[i] * e3[b + i];
        down[i] *= downStep;
      }
    }
    for (int b = 0; b <= msp_; b += kKernelLanes) {
      for (int i = 0; i < kKernelLanes; ++i) {
        centre[b + i] = up[i] * e3[b + i];
        up[i] *= upStep;
      }
    }
  }

  // Transforms a spread grid, out of place where planned so (into scratch,
  // made on first use, which then takes the grid's place).
  void transformGrid(Work& grid, Work& scratch) const {
    auto* data = reinterpret_cast<fftw_complex*>(grid.data());
    if (!planOut_) {
      fftw_execute_dft(plan_, data, data);
      return;
    }
    if (!scratch.data()) scratch = makeWork();
    fftw_execute_dft(planOut_, data, reinterpret_cast<fftw_complex*>(scratch.data()));
    std::swap(grid, scratch);
  }

  // Transforms the spread grid f in place and takes the modes out of it.
  void finish(Complex* f, std::span<Complex> out) const {
    auto* data = reinterpret_cast<fftw_complex*>(f);
    fftw_execute_dft(plan_, data, data);
    extract(f, out);
  }
  // The modes out of a transformed grid.
  void extract(const Complex* f, std::span<Complex> out) const {
    const std::int64_t count =
        std::min<std::int64_t>(modes_, static_cast<std::int64_t>(out.size()));
    for (std::int64_t k = 0; k < count; ++k) {
      const std::int64_t centred = k - half_;
      const std::int64_t m = centred < 0 ? centred + grid_ : centred;
      out[static_cast<std::size_t>(k)] = f[m] * deconvolution_[static_cast<std::size_t>(k)];
    }
  }

  std::int64_t modes_ = 0, half_ = 0, grid_ = 0;
  int msp_ = 2;
  double tau_ = 0.0;        // the Gaussian's variance parameter (radians^2)
  bool angleSums_ = false;  // see angleSums()
  // fillKernel's lanes, and the buffer its callers give it: the kernel of
  // at most 48 values with a block of lanes of scratch to each side.
  static constexpr int kKernelLanes = 8;
  static constexpr int kKernelBuffer = 48 + 4 * kKernelLanes;
  // Modes a run of the deconvolution's recurrence (see the constructor).
  static constexpr std::int64_t kDeconvolutionRun = 32;
  std::vector<double> e3_;
  LargeVector<double> deconvolution_;
  LargeVector<Point> points_;
  fftw_plan plan_ = nullptr;
  bool ownsPlan_ = false;        // false: a kept plan (keptPlan)
  fftw_plan planOut_ = nullptr;  // out of place; nullptr above kOutOfPlaceUpTo
  bool ownsPlanOut_ = false;
};

// F[k] = sum_j c[j] exp(i k x[j]) for k = 0 .. out.size() - 1, each within
// about tolerance * sum |c[j]|. The angles x (radians) may have any size;
// only x mod 2 pi matters. Thread-safe; work storage is local to the call.
inline void nonuniformSums(std::span<const double> x, std::span<const std::complex<double>> c,
                           double tolerance, std::span<std::complex<double>> out) {
  if (out.empty()) return;
  const std::size_t n = std::min(x.size(), c.size());
  const NonuniformTransform transform(x.first(n), static_cast<std::int64_t>(out.size()), tolerance);
  NonuniformTransform::Work work = transform.makeWork();
  transform.apply(c.first(n), out, work);
}

}  // namespace fazorn
