#include "search/unit_phasor.h"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/test_support.h"

namespace fazorn {
namespace {

// Within 2 ulps of 1 of the library's sine and cosine wherever the
// reduction is done here: random angles up to the limit (both signs), the
// quadrant boundaries (multiples of pi / 4, where the polynomials meet and
// the swap happens) and tiny angles; beyond the limit, infinities and NaN
// are the library's own.
TEST(UnitPhasor, AgreesWithTheLibraryAtEveryQuadrantAndRange) {
  constexpr double kTolerance = 4.5e-16;
  double worst = 0.0;
  auto check = [&](double a) {
    const std::complex<double> e = unitPhasor(a);
    worst = std::max({worst, std::abs(e.real() - std::cos(a)), std::abs(e.imag() - std::sin(a))});
  };
  std::mt19937_64 rng(7);
  for (double range : {1.0, 10.0, 1e3, 1e5, 1.6e6}) {
    std::uniform_real_distribution<double> u(-range, range);
    for (int i = 0; i < 20000; ++i) check(u(rng));
  }
  for (int k = -4000; k <= 4000; ++k) {
    const double a = k * (M_PI / 4);
    check(a);
    check(std::nextafter(a, 1e9));
    check(std::nextafter(a, -1e9));
  }
  for (double a : {0.0, -0.0, 1e-300, -1e-300, 1e-8, 2.5e5 * M_PI}) check(a);
  EXPECT_LT(worst, kTolerance);

  for (double a : {1647099.5, -3e6, 1e15}) {
    EXPECT_EQ(unitPhasor(a), std::complex<double>(std::cos(a), std::sin(a))) << a;
  }
  EXPECT_TRUE(std::isnan(unitPhasor(std::numeric_limits<double>::quiet_NaN()).real()));
  EXPECT_TRUE(std::isnan(unitPhasor(std::numeric_limits<double>::infinity()).imag()));
}

// The batch gives each angle's phasor bit for bit as one call does, on any
// vector unit (the clone chosen at run time must round as the scalar code),
// and hands angles beyond the reduction's range or NaN to the library
// wherever they sit in the batch.
TEST(UnitPhasor, BatchGivesTheSameBitsAsOneAtATime) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-2e5, 2e5);
  std::vector<double> angle(1003);
  for (double& a : angle) a = u(rng);
  auto same = [&](const char* what) {
    std::vector<std::complex<double>> out(angle.size());
    unitPhasors(angle.data(), angle.size(), out.data());
    for (std::size_t j = 0; j < angle.size(); ++j) {
      const std::complex<double> e = unitPhasor(angle[j]);
      if (std::isnan(e.real())) {
        EXPECT_TRUE(std::isnan(out[j].real())) << what << " " << j;
        continue;
      }
      ASSERT_EQ(out[j], e) << what << " at " << j << ", angle " << angle[j];
    }
  };
  same("in range");
  angle[5] = 3e6;
  angle[700] = std::numeric_limits<double>::quiet_NaN();
  same("with wide angles");
}

}  // namespace
}  // namespace fazorn
