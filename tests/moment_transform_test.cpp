#include "search/moment_transform.h"

#include <random>
#include <vector>

#include "support/test_support.h"

namespace fazorn {
namespace {

using Complex = std::complex<double>;

// sum_j c_j exp(i k' x_j) for one mode, the angle reduced in long double.
Complex directSum(const std::vector<double>& x, const std::vector<Complex>& c, std::int64_t k) {
  Complex s = 0.0;
  for (std::size_t j = 0; j < x.size(); ++j) {
    const long double a = static_cast<long double>(k) * static_cast<long double>(x[j]);
    const long double r = std::fmod(a, 2.0L * 3.141592653589793238462643383279502884L);
    s += c[j] * Complex(static_cast<double>(std::cos(r)), static_cast<double>(std::sin(r)));
  }
  return s;
}

// Every mode within the series' bound 2 (a/2)^P / P! e^(a/2) of sum |c|, plus
// rounding: about 1e-15 of it, and the angle in cells rounded once, a few
// ulps of the largest phase k' x. For as many cells as modes and more;
// angles within a turn and over many turns, negative ones among them.
TEST(MomentTransform, ModesAgreeWithDirectSumsWithinTheSeriesBound) {
  constexpr double kRounding = 1e-15;
  constexpr double kPhaseUlps = 4 * 2.2e-16;
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (double tolerance : {1e-6, 1e-13}) {
    for (std::int64_t modes : {1, 6, 301, 2048}) {
      for (std::int64_t cells : {modes, 4 * modes}) {
        for (double turns : {0.9, 40.0}) {
          const std::size_t n = 400;
          std::vector<double> x(n);
          std::vector<Complex> c(n);
          double total = 0.0;
          for (std::size_t j = 0; j < n; ++j) {
            x[j] = M_PI * turns * u(rng);
            c[j] = {u(rng), u(rng)};
            total += std::abs(c[j]);
          }
          const double reach =
              M_PI * static_cast<double>(modes) / (2.0 * static_cast<double>(cells));
          const int terms = momentTerms(reach, tolerance);
          ASSERT_LE(terms, kMaxMomentTerms);
          // The terms in two series of one grid, as the engines use them.
          const MomentTransform::Series first{0, terms}, second{terms, terms};
          const MomentTransform transform(modes, cells, 2 * terms);
          MomentTransform::Grid grid = transform.makeGrid();
          double basis[kMaxMomentTerms];
          for (std::size_t j = 0; j < n; ++j) {
            const double v = x[j] * static_cast<double>(cells) / (2.0 * M_PI);
            const MomentTransform::Cell cell = transform.locate(v);
            ASSERT_GE(cell.index, 0);
            ASSERT_LT(cell.index, cells);
            ASSERT_LE(std::abs(cell.delta), 1.0);
            MomentTransform::basis(cell.delta, basis);
            transform.add(transform.region(grid, cell), first, basis, c[j]);
            transform.add(transform.region(grid, cell), second, basis, 2.0 * c[j]);
          }
          transform.transform(grid);
          double worst = 0.0;
          double coefficient[kMaxMomentTerms];
          for (std::int64_t k = 0; k < modes; ++k) {
            const Complex expected = directSum(x, c, k - transform.centre());
            transform.coefficients(k, terms, coefficient);
            worst =
                std::max(worst, std::abs(transform.mode(grid, first, k, coefficient) - expected));
            worst = std::max(
                worst, std::abs(transform.mode(grid, second, k, coefficient) - 2.0 * expected) / 2);
          }
          const double phase = static_cast<double>(modes) / 2 * M_PI * turns;
          EXPECT_LE(worst, (tolerance + kRounding + kPhaseUlps * phase) * total)
              << modes << " modes, " << cells << " cells, " << turns << " turns, tolerance "
              << tolerance;
        }
      }
    }
  }
  // The bound's terms: the sum alone for the zero mode, none where even the
  // whole sum is within the bound, more for a longer reach or a smaller
  // tolerance.
  EXPECT_EQ(momentTerms(0.0, 1e-13), 1);
  EXPECT_EQ(momentTerms(0.1, 2.0), 0);
  EXPECT_LT(momentTerms(M_PI / 8, 1e-13), momentTerms(M_PI / 2, 1e-13));
  EXPECT_LT(momentTerms(M_PI / 4, 1e-6), momentTerms(M_PI / 4, 1e-13));
}

// The Bessel functions of the series' coefficients against the standard
// library's, relative to J_0 (the series' scale), at the reaches the
// transforms use; and the Chebyshev basis against cos(p arccos delta).
TEST(MomentTransform, BesselFunctionsAndChebyshevBasisAreAccurate) {
  constexpr double kUlps = 1e-14;
  for (double x : {-1.5707963, -0.7, -1e-3, 1e-9, 0.3, 1.2, 1.5707963}) {
    double j[kMaxMomentTerms];
    besselJ(x, kMaxMomentTerms, j);
    for (int p = 0; p < kMaxMomentTerms; ++p) {
      const double expected = (p % 2 == 1 && x < 0 ? -1.0 : 1.0) *
                              std::cyl_bessel_j(static_cast<double>(p), std::abs(x));
      EXPECT_NEAR(j[p], expected, kUlps * (1.0 + std::abs(expected))) << x << " " << p;
      // Relative where the value is tiny: the coefficients of high orders
      // matter only against their own size.
      if (expected != 0.0) {
        EXPECT_NEAR(j[p] / expected, 1.0, 1e-12) << x << " " << p;
      }
    }
  }
  for (double delta : {-1.0, -0.37, 0.0, 0.5, 0.999, 1.0}) {
    double t[kMaxMomentTerms];
    MomentTransform::basis(delta, t);
    for (int p = 0; p < kMaxMomentTerms; ++p)
      EXPECT_NEAR(t[p], std::cos(p * std::acos(delta)), kUlps * 10) << delta << " " << p;
  }
}

}  // namespace
}  // namespace fazorn
