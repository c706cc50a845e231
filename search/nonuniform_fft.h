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
// by R = 2 and the kernel reaching Msp grid points to each side, the error
// of every F[k] is about exp(-pi Msp (R - 1) / (R - 1/2)) times sum |c_j|,
// so the width follows from the requested tolerance.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace fazorn {

namespace nufft_detail {

// FFTW's planner is not thread-safe; executing a plan is.
inline std::mutex& plannerLock() {
  static std::mutex lock;
  return lock;
}

// The smallest size >= n whose only prime factors are 2, 3 and 5 (FFTW is
// fastest on those).
inline std::int64_t smoothSize(std::int64_t n) {
  for (std::int64_t m = std::max<std::int64_t>(n, 8);; ++m) {
    std::int64_t r = m;
    for (std::int64_t p : {2, 3, 5})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

}  // namespace nufft_detail

// Oversampling of the spreading grid.
inline constexpr double kNufftOversampling = 2.0;

// Kernel half-width (grid points to each side of a point) for a requested
// relative tolerance (error / sum |c_j|), from the error estimate above with
// one point of margin; at least 2, at most 24 (about 1e-16).
inline int nufftHalfWidth(double tolerance) {
  const double r = kNufftOversampling;
  const double t = std::clamp(tolerance, 1e-16, 1e-1);
  const double msp = std::log(1.0 / t) * (r - 0.5) / (M_PI * (r - 1.0));
  return std::clamp(static_cast<int>(std::ceil(msp)) + 1, 2, 24);
}

// F[k] = sum_j c[j] exp(i k x[j]) for k = 0 .. out.size() - 1, each within
// about tolerance * sum |c[j]|. The angles x (radians) may have any size;
// only x mod 2 pi matters. Thread-safe; work storage is local to the call.
inline void nonuniformSums(std::span<const double> x, std::span<const std::complex<double>> c,
                           double tolerance, std::span<std::complex<double>> out) {
  using Complex = std::complex<double>;
  const auto modes = static_cast<std::int64_t>(out.size());
  if (modes == 0) return;
  const std::size_t n = std::min(x.size(), c.size());
  const int msp = nufftHalfWidth(tolerance);
  // Modes are centred, k - K/2 in [-K/2, K/2), so that the deconvolution
  // never divides by less than exp(-pi Msp / 12): the shift is taken into
  // the strengths.
  const std::int64_t half = modes / 2;
  const std::int64_t grid = nufft_detail::smoothSize(std::max<std::int64_t>(
      static_cast<std::int64_t>(std::ceil(kNufftOversampling * static_cast<double>(modes))),
      2 * msp + 2));
  const double r = static_cast<double>(grid) / static_cast<double>(modes);
  const double kk = static_cast<double>(std::max<std::int64_t>(modes, 1));
  const double tau = M_PI * msp / (kk * kk * r * (r - 0.5));
  const double twoPi = 2.0 * M_PI;
  const double h = twoPi / static_cast<double>(grid);

  std::vector<Complex> f(static_cast<std::size_t>(grid), Complex(0.0));
  // exp(-(l h)^2 / (4 tau)) for l = 0 .. msp, and the fast gridding factors.
  std::vector<double> e3(static_cast<std::size_t>(msp) + 1);
  for (int l = 0; l <= msp; ++l) e3[static_cast<std::size_t>(l)] = std::exp(-(l * h) * (l * h) / (4 * tau));
  for (std::size_t j = 0; j < n; ++j) {
    const double xr = x[j] - twoPi * std::floor(x[j] / twoPi);  // [0, 2 pi]
    const auto m0 = static_cast<std::int64_t>(std::floor(xr / h));
    const double d = xr - static_cast<double>(m0) * h;  // [0, h)
    // The strength with the centring shift exp(i half x).
    const double shift = static_cast<double>(half) * xr;
    const Complex cj = c[j] * Complex(std::cos(shift), std::sin(shift));
    const double e1 = std::exp(-d * d / (4 * tau));
    const double e2 = std::exp(d * h / (2 * tau));
    // Grid points m0 + l, l = -msp + 1 .. msp: the kernel at distance
    // d - l h is e1 e2^l e3[|l|].
    double up = 1.0;
    for (int l = 0; l <= msp; ++l) {
      const std::int64_t m = ((m0 + l) % grid + grid) % grid;
      f[static_cast<std::size_t>(m)] += cj * (e1 * up * e3[static_cast<std::size_t>(l)]);
      up *= e2;
    }
    double down = 1.0 / e2;
    for (int l = 1; l < msp; ++l) {
      const std::int64_t m = ((m0 - l) % grid + grid) % grid;
      f[static_cast<std::size_t>(m)] += cj * (e1 * down * e3[static_cast<std::size_t>(l)]);
      down /= e2;
    }
  }
  fftw_plan plan;
  {
    std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
    auto* data = reinterpret_cast<fftw_complex*>(f.data());
    plan = fftw_plan_dft_1d(static_cast<int>(grid), data, data, FFTW_BACKWARD, FFTW_ESTIMATE);
  }
  fftw_execute(plan);
  {
    std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
    fftw_destroy_plan(plan);
  }
  // sum_j c_j exp(i k x_j) = sqrt(pi / tau) exp(k^2 tau) / grid * G[k].
  const double scale = std::sqrt(M_PI / tau) / static_cast<double>(grid);
  for (std::int64_t k = 0; k < modes; ++k) {
    const std::int64_t centred = k - half;
    const std::int64_t m = (centred % grid + grid) % grid;
    const double kc = static_cast<double>(centred);
    out[static_cast<std::size_t>(k)] = f[static_cast<std::size_t>(m)] * (scale * std::exp(kc * kc * tau));
  }
}

}  // namespace fazorn
