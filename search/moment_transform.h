// Sums of complex exponentials over many points for a uniform grid of
// modes, from the points' Taylor moments in cells: the counterpart of
// NonuniformTransform (nonuniform_fft.h) where the points far outnumber the
// modes.
//
//   F[k] = sum_j c_j exp(i (k - centre) x_j),   k = 0 .. K - 1,
//
// The circle is cut into M cells of width g = 2 pi / M. A point at
// x = m g + delta g / 2 (m its nearest cell centre, -1 <= delta <= 1) has
//   exp(i k' x) = exp(i k' m g) sum_p (i k' g / 2)^p delta^p / p!,
// so with the moments mu_p[m] = sum over the cell's points of c_j delta_j^p,
//   F[k] = sum_p (i k' g / 2)^p / p! * DFT(mu_p)[k' mod M],   k' = k - centre.
// The DFTs are exact for every integer k' (no kernel, no aliasing, no
// deconvolution); the only error is the series cut after P terms, at most
// a^P / P! e^a sum |c_j| with a = pi K / (2 M) the largest |k' g / 2|.
//
// Each point costs P complex multiply-adds (no exponential, no stored state),
// against 2 Msp kernel values and as many grid updates of the Gaussian
// spreading, which also keeps 40 bytes a point; in exchange the grid costs P
// FFTs of M points and P operations a mode. Cheaper where points outnumber
// modes; momentCost() and NonuniformTransform's cost in lomb_scargle.cpp pick
// the route.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <mutex>
#include <new>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "search/nonuniform_fft.h"

namespace fazorn {

// The most terms a transform takes (enough for 1e-16 at a = pi / 2).
inline constexpr int kMaxMomentTerms = 24;

// The fewest series terms P with a^P / P! e^a <= tolerance (the cut
// series' bound), for the reach a = pi K / (2 M) of the largest mode; 0 when
// even the whole sum is within the tolerance (tolerance >= e^a). At most
// kMaxMomentTerms, which meets 1e-16 up to a = pi / 2 (M >= K), the
// longest reach the engines use.
inline int momentTerms(double reach, double tolerance) {
  if (!(tolerance < std::exp(reach))) return 0;
  double bound = std::exp(reach);  // a^p / p! e^a at p = 0
  for (int p = 1; p <= kMaxMomentTerms; ++p) {
    bound *= reach / p;
    if (bound <= tolerance) return p;
  }
  return kMaxMomentTerms;
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
    explicit Grid(std::int64_t size, bool zero = true)
        : data_(reinterpret_cast<Complex*>(fftw_alloc_complex(static_cast<std::size_t>(size)))),
          size_(size) {
      if (!data_) throw std::bad_alloc();
      if (zero) std::fill(data_, data_ + size_, Complex(0.0));
    }
    ~Grid() { fftw_free(data_); }
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
        width_(std::max(width, 0)) {
    for (int p = 1; p < kMaxMomentTerms; ++p) inverse_[p] = 1.0 / p;
  }

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

  // delta^p for p = 0 .. kMaxMomentTerms - 1, shared by every series of a
  // point. All of them, straight-line from delta^8 and delta^16: no power
  // waits on more than five products, and no loop depends on the count.
  static void powers(double delta, double* out) {
    static_assert(kMaxMomentTerms == 24);
    out[0] = 1.0;
    out[1] = delta;
    out[2] = delta * delta;
    out[3] = out[2] * delta;
    out[4] = out[2] * out[2];
    out[5] = out[4] * delta;
    out[6] = out[4] * out[2];
    out[7] = out[4] * out[3];
    const double eighth = out[4] * out[4], sixteenth = eighth * eighth;
    for (int r = 0; r < 8; ++r) {
      out[8 + r] = eighth * out[r];
      out[16 + r] = sixteenth * out[r];
    }
  }

  // The point's moments in a grid: add() its strengths to them.
  Complex* region(const Grid& grid, const Cell& cell) const { return grid.data() + cell.index; }

  // Adds strength c of a point to a series, with the powers of its offset.
  void add(Complex* region, const Series& series, const double* power, Complex c) const {
    Complex* column = region + series.column * cells_;
#if defined(__SSE2__)
    // The complex strength as one register times each power: the same
    // products and sums as below, one instruction each.
    const __m128d strength = _mm_set_pd(c.imag(), c.real());
    for (int p = 0; p < series.terms; ++p) {
      auto* mu = reinterpret_cast<double*>(column + p * cells_);
      const __m128d term = _mm_mul_pd(strength, _mm_set1_pd(power[p]));
      _mm_storeu_pd(mu, _mm_add_pd(_mm_loadu_pd(mu), term));
    }
#else
    for (int p = 0; p < series.terms; ++p) column[p * cells_] += c * power[p];
#endif
  }

  // The DFTs of every column in place, once all points are added.
  void transform(Grid& moments) const {
    if (modes_ == 0 || width_ == 0) return;
    const int n = static_cast<int>(cells_);
    auto* data = reinterpret_cast<fftw_complex*>(moments.data());
    fftw_plan plan = nullptr;
    {
      std::lock_guard<std::mutex> lock(nufft_detail::plannerLock());
      plan = fftw_plan_many_dft(1, &n, width_, data, nullptr, 1, n, data, nullptr, 1, n,
                                FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (!plan) throw std::bad_alloc();
    fftw_execute(plan);
    std::lock_guard<std::mutex> lock(nufft_detail::plannerLock());
    fftw_destroy_plan(plan);
  }

  // Mode k (0 <= k < modes) of a series of transformed moments.
  Complex mode(const Grid& spectra, const Series& series, std::int64_t k) const {
    if (series.terms == 0) return 0.0;
    const std::int64_t centred = k - half_;
    std::int64_t m = centred % cells_;
    if (m < 0) m += cells_;
    const Complex* f = spectra.data() + series.column * cells_ + m;
    // Horner in z = i k' g / 2: acc = f_{p - 1} + acc z / p.
    const double w = static_cast<double>(centred) * M_PI / static_cast<double>(cells_);
    Complex acc = f[(series.terms - 1) * cells_];
    for (int p = series.terms - 1; p >= 1; --p) {
      const double s = w * inverse_[p];
      acc = f[(p - 1) * cells_] + Complex(-acc.imag() * s, acc.real() * s);
    }
    return acc;
  }

 private:
  std::int64_t modes_ = 0, half_ = 0, cells_ = 1;
  int width_ = 0;
  double inverse_[kMaxMomentTerms] = {};
};

}  // namespace fazorn
