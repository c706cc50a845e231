// Sums of complex exponentials over many points for a uniform grid of
// modes, from the points' Chebyshev moments in cells: the counterpart of
// NonuniformTransform (nonuniform_fft.h) where the points far outnumber the
// modes.
//
//   F[k] = sum_j c_j exp(i (k - centre) x_j),   k = 0 .. K - 1,
//
// The circle is cut into M cells of width g = 2 pi / M. A point at
// x = m g + delta g / 2 (m its nearest cell centre, -1 <= delta <= 1) has,
// by the Jacobi-Anger expansion in the Chebyshev polynomials T_p,
//   exp(i k' x) = exp(i k' m g) sum_p e_p i^p J_p(k' g / 2) T_p(delta)
// (e_0 = 1, e_p = 2 after), so with the moments mu_p[m] = sum over the
// cell's points of c_j T_p(delta_j),
//   F[k] = sum_p e_p i^p J_p(k' g / 2) DFT(mu_p)[k' mod M],   k' = k - centre.
// The DFTs are exact for every integer k' (no kernel, no aliasing, no
// deconvolution); the only error is the series cut after P terms, at most
// 2 (a/2)^P / P! e^(a/2) sum |c_j| (as |J_p(x)| <= (|x|/2)^p / p!, |T_p| <=
// 1) with a = pi K / (2 M) the largest |k' g / 2|: 15 terms for 1e-13 at
// M = K, where a Taylor series in delta needs 20.
//
// Each point costs P complex multiply-adds (no exponential, no stored state),
// against 2 Msp kernel values and as many grid updates of the Gaussian
// spreading, which also keeps 40 bytes a point; in exchange the grid costs P
// FFTs of M points and P operations a mode. Cheaper where points outnumber
// modes; the Lomb-Scargle engine's cost model picks the route.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <mutex>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "search/large_memory.h"
#include "search/nonuniform_fft.h"

namespace fazorn {

// The most terms a transform takes (enough for 1e-17 at a = pi / 2).
inline constexpr int kMaxMomentTerms = 24;

// The fewest series terms P with 2 (a/2)^P / P! e^(a/2) <= tolerance (the
// cut series' bound), for the reach a = pi K / (2 M) of the largest mode; 0
// when even the whole sum is within the tolerance (tolerance >= 1). At most
// kMaxMomentTerms, which meets 1e-17 up to a = pi / 2 (M >= K), the longest
// reach the engines use.
inline int momentTerms(double reach, double tolerance) {
  if (!(tolerance < 1.0)) return 0;
  const double half = 0.5 * std::abs(reach);
  double bound = 2.0 * std::exp(half);  // 2 (a/2)^p / p! e^(a/2) at p = 0
  for (int p = 1; p <= kMaxMomentTerms; ++p) {
    bound *= half / p;
    if (bound <= tolerance) return p;
  }
  return kMaxMomentTerms;
}

// J_p(x) for p = 0 .. count - 1 (count <= kMaxMomentTerms, |x| <= pi / 2):
// the two highest orders from their power series, the others by the
// backward recurrence J_{p-1} = (2p / x) J_p - J_{p+1}, stable downwards
// (J_p is the recurrence's minimal solution as p grows).
inline void besselJ(double x, int count, double* out) {
  if (count <= 0) return;
  if (x == 0.0) {
    out[0] = 1.0;
    for (int p = 1; p < count; ++p) out[p] = 0.0;
    return;
  }
  const double half = 0.5 * x, quarter = -half * half;
  // J_p(x) = (x/2)^p / p! sum_m (-x^2/4)^m / (m! (p+1) ... (p+m)).
  auto series = [&](int p) {
    double lead = 1.0;
    for (int q = 1; q <= p; ++q) lead *= half / q;
    double term = 1.0, sum = 1.0;
    for (int m = 1; m < 40; ++m) {
      term *= quarter / (m * static_cast<double>(p + m));
      sum += term;
      if (std::abs(term) < 1e-17 * std::abs(sum)) break;
    }
    return lead * sum;
  };
  out[count - 1] = series(count - 1);
  if (count == 1) return;
  out[count - 2] = series(count - 2);
  for (int p = count - 2; p >= 1; --p) out[p - 1] = (2.0 * p / x) * out[p] - out[p + 1];
}

class MomentTransform {
 public:
  using Complex = std::complex<double>;

  // The moments of every series on the same points, column by column: a
  // column holds one moment of every cell, a series a run of `terms`
  // columns. Transformed in place.
  class Grid {
   public:
    Grid() = default;
    explicit Grid(std::int64_t size)
        : data_(static_cast<Complex*>(
              allocateLarge(static_cast<std::size_t>(size) * sizeof(Complex)))),
          size_(size) {
      std::fill(data_, data_ + size_, Complex(0.0));
    }
    ~Grid() { freeLarge(data_, static_cast<std::size_t>(size_) * sizeof(Complex)); }
    Grid(Grid&& o) noexcept : data_(o.data_), size_(o.size_) { o.data_ = nullptr, o.size_ = 0; }
    Grid& operator=(Grid&& o) noexcept {
      std::swap(data_, o.data_);
      std::swap(size_, o.size_);
      return *this;
    }
    Grid(const Grid&) = delete;
    Grid& operator=(const Grid&) = delete;
    Complex* data() const { return data_; }

   private:
    Complex* data_ = nullptr;
    std::int64_t size_ = 0;
  };

  // Where a point falls: its cell and its offset from the cell's centre in
  // half cells (-1 .. 1).
  struct Cell {
    std::int64_t index;
    double delta;
  };

  // One run of moments in every cell: the first column and the terms P
  // (0 .. kMaxMomentTerms; 0: the series is 0 at every mode).
  struct Series {
    int column = 0;
    int terms = 0;
  };

  // `modes` K centred at K / 2 (as NonuniformTransform), `cells` M (a size
  // FFTW transforms fast), `width` moments a cell (the series' terms).
  MomentTransform(std::int64_t modes, std::int64_t cells, int width)
      : modes_(std::max<std::int64_t>(modes, 0)),
        half_(modes_ / 2),
        cells_(std::max<std::int64_t>(cells, 1)),
        width_(std::max(width, 0)) {}

  std::int64_t modes() const { return modes_; }
  std::int64_t centre() const { return half_; }
  std::int64_t cells() const { return cells_; }
  int width() const { return width_; }
  Grid makeGrid() const { return Grid(std::max<std::int64_t>(cells_ * width_, 1)); }

  // The cell of a point at the angle 2 pi v / M: v is the angle in cells
  // (any size; taken modulo M). Given in cells rather than radians so that a
  // caller with x = scale * t passes v = (scale M / 2 pi) t, rounded once.
  Cell locate(double v) const {
    // floor(v + 1/2) by conversion: std::floor is a library call on the
    // baseline x86-64 instruction set, and this runs once a point.
    const double shifted = v + 0.5;
    auto nearest = static_cast<std::int64_t>(shifted);
    if (static_cast<double>(nearest) > shifted) --nearest;
    const double delta = 2.0 * (v - static_cast<double>(nearest));
    std::int64_t m = nearest;
    if (m < 0 || m >= cells_) {
      m %= cells_;
      if (m < 0) m += cells_;
    }
    return {m, delta};
  }

  // T_p(delta) for p = 0 .. kMaxMomentTerms - 1, shared by every series of
  // a point. Straight-line from T_m+n = 2 T_m T_n - T_|m-n| through T_2,
  // T_4, T_8 and T_16, so that no value waits on more than a few products
  // (the three-term recurrence would chain all of them); each within a few
  // ulps for |delta| <= 1. `terms`: the most any series of the point takes;
  // the values past T_8 are computed only as far as the block of eight that
  // holds T_terms-1 (the same bits as the full basis, as every value has its
  // own fixed expression).
  static void basis(double delta, double* out, int terms = kMaxMomentTerms) {
    static_assert(kMaxMomentTerms == 24);
    out[0] = 1.0;
    out[1] = delta;
    out[2] = 2.0 * delta * delta - 1.0;
    out[3] = 2.0 * out[2] * delta - delta;
    out[4] = 2.0 * out[2] * out[2] - 1.0;
    out[5] = 2.0 * out[4] * delta - out[3];
    out[6] = 2.0 * out[4] * out[2] - out[2];
    out[7] = 2.0 * out[4] * out[3] - delta;
    out[8] = 2.0 * out[4] * out[4] - 1.0;
    if (terms <= 9) return;
    for (int r = 1; r <= 8; ++r) out[8 + r] = 2.0 * out[8] * out[r] - out[8 - r];
    if (terms <= 17) return;
    for (int r = 1; r <= 7; ++r) out[16 + r] = 2.0 * out[16] * out[r] - out[16 - r];
  }

  // The point's moments in a grid: add() its strengths to them.
  Complex* region(const Grid& grid, const Cell& cell) const { return grid.data() + cell.index; }

  // Adds strength c of a point to a series, with the basis at its offset.
  void add(Complex* region, const Series& series, const double* basis, Complex c) const {
    Complex* column = region + series.column * cells_;
#if defined(__SSE2__)
    // The complex strength as one register times each basis value: the
    // same products and sums as below, one instruction each.
    const __m128d strength = _mm_set_pd(c.imag(), c.real());
    for (int p = 0; p < series.terms; ++p) {
      auto* mu = reinterpret_cast<double*>(column + p * cells_);
      const __m128d term = _mm_mul_pd(strength, _mm_set1_pd(basis[p]));
      _mm_storeu_pd(mu, _mm_add_pd(_mm_loadu_pd(mu), term));
    }
#else
    for (int p = 0; p < series.terms; ++p) column[p * cells_] += c * basis[p];
#endif
  }

  // The DFTs of every column in place, once all points are added.
  void transform(Grid& moments) const {
    if (modes_ == 0 || width_ == 0) return;
    const int n = static_cast<int>(cells_);
    auto* data = reinterpret_cast<fftw_complex*>(moments.data());
    fftw_plan plan = nullptr;
    bool own = false;
    {
      std::lock_guard<std::mutex> lock(nufft_detail::plannerLock());
      plan = width_ == 1 ? nullptr : nufft_detail::keptPlan(n, width_, data);
      if (!plan) {
        plan = fftw_plan_many_dft(1, &n, width_, data, nullptr, 1, n, data, nullptr, 1, n,
                                  FFTW_BACKWARD, FFTW_ESTIMATE);
        own = true;
      }
    }
    if (!plan) throw std::bad_alloc();
    fftw_execute_dft(plan, data, data);
    if (!own) return;
    std::lock_guard<std::mutex> lock(nufft_detail::plannerLock());
    fftw_destroy_plan(plan);
  }

  // The series' real coefficients e_p J_p(k' g / 2) of mode k for p = 0 ..
  // terms - 1 (the most terms of the series read at that mode; the factor
  // i^p is mode()'s): one set for every series of every grid on these cells.
  void coefficients(std::int64_t k, int terms, double* out) const {
    const auto centred = static_cast<double>(k - half_);
    besselJ(centred * M_PI / static_cast<double>(cells_), terms, out);
    for (int p = 1; p < terms; ++p) out[p] *= 2.0;
  }

  // Mode k (0 <= k < modes) of a series of transformed moments, with the
  // coefficients of that mode (at least the series' terms of them).
  Complex mode(const Grid& spectra, const Series& series, std::int64_t k,
               const double* coefficient) const {
    std::int64_t m = (k - half_) % cells_;
    if (m < 0) m += cells_;
    const Complex* f = spectra.data() + series.column * cells_ + m;
    // sum_p i^p c_p f_p from the sums over p = 0, 1, 2, 3 modulo 4.
    Complex by[4] = {0.0, 0.0, 0.0, 0.0};
    for (int p = 0; p < series.terms; ++p) by[p % 4] += coefficient[p] * f[p * cells_];
    const Complex odd = by[1] - by[3];
    return by[0] - by[2] + Complex(-odd.imag(), odd.real());
  }

  // The most modes modes() takes at once.
  static constexpr std::int64_t kMaxBlock = 512;

  // mode() for the modes k0 .. k0 + count - 1 at once (count <= kMaxBlock),
  // the same bits: coefficient[p * stride + i] the coefficients of mode
  // k0 + i. Column by column over the block, so that each column is read
  // in one run (one mode at a time reads a cache line from every column,
  // which took most of the moment route's time a frequency).
  void modes(const Grid& spectra, const Series& series, std::int64_t k0, std::int64_t count,
             const double* coefficient, std::int64_t stride, Complex* out) const {
    std::int64_t m0 = (k0 - half_) % cells_;
    if (m0 < 0) m0 += cells_;
    for (std::int64_t done = 0; done < count;) {
      const std::int64_t length = std::min(count - done, cells_ - m0);
      Complex by[4][kMaxBlock];
      for (auto& b : by) std::fill(b, b + length, Complex(0.0));
      for (int p = 0; p < series.terms; ++p) {
        const Complex* f = spectra.data() + (series.column + p) * cells_ + m0;
        const double* c = coefficient + p * stride + done;
        Complex* b = by[p % 4];
        for (std::int64_t i = 0; i < length; ++i) b[i] += c[i] * f[i];
      }
      for (std::int64_t i = 0; i < length; ++i) {
        const Complex odd = by[1][i] - by[3][i];
        out[done + i] = by[0][i] - by[2][i] + Complex(-odd.imag(), odd.real());
      }
      done += length;
      m0 = 0;
    }
  }

 private:
  std::int64_t modes_ = 0, half_ = 0, cells_ = 1;
  int width_ = 0;
};

}  // namespace fazorn
