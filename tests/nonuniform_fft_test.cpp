#include "search/nonuniform_fft.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "support/test_support.h"

namespace fazorn {
namespace {

using Complex = std::complex<double>;

// The sums computed one by one.
std::vector<Complex> directSums(const std::vector<double>& x, const std::vector<Complex>& c,
                                std::size_t modes) {
  std::vector<Complex> out(modes);
  for (std::size_t k = 0; k < modes; ++k) {
    Complex s = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) {
      // k x reduced in long double, so the reference itself keeps its digits
      // for large angles.
      const long double a = static_cast<long double>(k) * static_cast<long double>(x[j]);
      const long double r = std::fmod(a, 2.0L * 3.141592653589793238462643383279502884L);
      s += c[j] * Complex(static_cast<double>(std::cos(r)), static_cast<double>(std::sin(r)));
    }
    out[k] = s;
  }
  return out;
}

TEST(NonuniformFft, SumsAgreeWithDirectSumsWithinTheRequestedTolerance) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (double tolerance : {1e-6, 1e-10, 1e-14}) {
    for (std::size_t modes : {1u, 2u, 7u, 300u, 2049u}) {
      for (double spread : {6.0, 3e3}) {  // angles within a turn, and many turns
        const std::size_t n = 257;
        std::vector<double> x(n);
        std::vector<Complex> c(n);
        double total = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          x[j] = spread * (u(rng) + 1.0);
          c[j] = Complex(u(rng), u(rng));
          total += std::abs(c[j]);
        }
        const auto expected = directSums(x, c, modes);
        std::vector<Complex> got(modes);
        nonuniformSums(x, c, tolerance, got);
        double worst = 0.0;
        for (std::size_t k = 0; k < modes; ++k)
          worst = std::max(worst, std::abs(got[k] - expected[k]));
        // Large angles lose k x / 2^53 to the rounding of x itself, as any
        // route does; the kernel's own error is the tolerance.
        const double inputRounding = 4e-16 * spread * 2.0 * static_cast<double>(modes);
        EXPECT_LE(worst, (tolerance + inputRounding) * total)
            << "tolerance " << tolerance << ", " << modes << " modes, angles up to " << 2 * spread;
      }
    }
  }
}

// One transform planned for fixed points serves many strength vectors (the
// randomisation runs), on the narrower grid of 2^a 3^b points the runs use.
TEST(NonuniformFft, PlannedTransformServesManyStrengthsWithinTheTolerance) {
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::size_t n = 300, modes = 1001;
  std::vector<double> x(n);
  for (double& v : x) v = 40.0 * (u(rng) + 1.0);
  for (double oversampling : {1.5, 2.0}) {
    const double tolerance = 1e-10;
    const NonuniformTransform transform(x, static_cast<std::int64_t>(modes), tolerance,
                                        oversampling, /*powersOfTwoAndThree=*/true);
    std::int64_t g = transform.gridSize();
    EXPECT_GE(static_cast<double>(g), oversampling * modes);
    for (std::int64_t p : {2, 3})
      while (g % p == 0) g /= p;
    EXPECT_EQ(g, 1) << "grid of " << transform.gridSize() << " points";
    NonuniformTransform::Work work = transform.makeWork();
    for (int run = 0; run < 3; ++run) {
      std::vector<Complex> c(n);
      double total = 0.0;
      for (Complex& v : c) {
        v = Complex(u(rng), run == 0 ? 0.0 : u(rng));
        total += std::abs(v);
      }
      const auto expected = directSums(x, c, modes);
      std::vector<Complex> got(modes);
      transform.apply(c, got, work);
      double worst = 0.0;
      for (std::size_t k = 0; k < modes; ++k)
        worst = std::max(worst, std::abs(got[k] - expected[k]));
      const double inputRounding = 4e-16 * 80.0 * static_cast<double>(modes);
      EXPECT_LE(worst, (tolerance + inputRounding) * total)
          << "oversampling " << oversampling << ", run " << run;
    }
  }
}

// The paired transform (one spreading pass for c and for c times a real
// factor) gives what two separate transforms give: the plain sums bit for
// bit, the scaled ones within the tolerance (they multiply in another order);
// the modes read one by one from the grids are those taken out at once.
// Points near 0 wrap around the grid.
TEST(NonuniformFft, PairedTransformEqualsTwoSeparateOnes) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::size_t n = 257;
  const std::int64_t modes = 640;
  std::vector<double> x(n), factor(n);
  for (std::size_t j = 0; j < n; ++j) {
    x[j] = j < 4 ? 1e-9 * j : 25.0 * (u(rng) + 1.0);  // a few at the grid's seam
    factor[j] = 300.0 * u(rng);
  }
  std::vector<Complex> c(n), scaled(n);
  for (std::size_t j = 0; j < n; ++j) {
    c[j] = Complex(u(rng), u(rng));
    scaled[j] = c[j] * factor[j];
  }
  for (double oversampling : {1.5, 2.0}) {
    const NonuniformTransform transform(x, modes, 1e-12, oversampling);
    NonuniformTransform::Work a = transform.makeWork(), b = transform.makeWork();
    std::vector<Complex> plain(modes), timed(modes), pairPlain(modes), pairTimed(modes);
    transform.apply(c, plain, a);
    transform.apply(scaled, timed, a);
    transform.applyPair(c, factor, pairPlain, pairTimed, a, b);
    EXPECT_EQ(pairPlain, plain) << oversampling;
    double scaledTotal = 0.0, scaledWorst = 0.0;
    for (const Complex& v : scaled) scaledTotal += std::abs(v);
    for (std::size_t k = 0; k < timed.size(); ++k)
      scaledWorst = std::max(scaledWorst, std::abs(pairTimed[k] - timed[k]));
    // Rounding differences, magnified by the deconvolution at the edge modes.
    EXPECT_LE(scaledWorst, 1e-12 * scaledTotal) << oversampling;
    transform.transformPair(c, factor, a, b);
    for (std::int64_t k = 0; k < modes; ++k) {
      ASSERT_EQ(transform.mode(a, k), plain[static_cast<std::size_t>(k)]) << k;
      ASSERT_EQ(transform.mode(b, k), pairTimed[static_cast<std::size_t>(k)]) << k;
    }
    // And the sums themselves are right.
    const auto expected = directSums(x, c, static_cast<std::size_t>(modes));
    double worst = 0.0, total = 0.0;
    for (const Complex& v : c) total += std::abs(v);
    for (std::size_t k = 0; k < expected.size(); ++k)
      worst = std::max(worst, std::abs(pairPlain[k] - expected[k]));
    EXPECT_LE(worst, 1e-11 * total) << oversampling;
  }
}

// Strengths spread together share each point's kernel but must leave every
// grid exactly as its own pass does (the periodogram's pinned figures
// depend on it), points at the grid's seam included.
TEST(NonuniformFft, SeveralPairsInOnePassEqualSeparatePairsBitForBit) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::size_t n = 301;
  const std::int64_t modes = 500;
  std::vector<double> x(n), factor(n);
  for (std::size_t j = 0; j < n; ++j) {
    x[j] = j < 4 ? 2.0 * M_PI - 1e-9 * j : 40.0 * (u(rng) + 1.0);
    factor[j] = 200.0 * u(rng);
  }
  std::vector<std::vector<Complex>> c(3, std::vector<Complex>(n));
  for (auto& v : c)
    for (auto& e : v) e = Complex(u(rng), u(rng));
  const NonuniformTransform transform(x, modes, 1e-13, 1.5, false, true);
  std::vector<NonuniformTransform::Work> together, alone;
  for (int g = 0; g < 6; ++g) together.push_back(transform.makeWork());
  for (int g = 0; g < 2; ++g) alone.push_back(transform.makeWork());
  const Complex* strength[3] = {c[0].data(), c[1].data(), c[2].data()};
  NonuniformTransform::Work* grids[6];
  for (int g = 0; g < 6; ++g) grids[g] = &together[static_cast<std::size_t>(g)];
  transform.transformPairs(strength, n, factor.data(), grids);
  for (std::size_t s = 0; s < 3; ++s) {
    transform.transformPair(c[s], factor, alone[0], alone[1]);
    for (std::int64_t k = 0; k < modes; ++k) {
      ASSERT_EQ(transform.mode(together[2 * s], k), transform.mode(alone[0], k)) << s << " " << k;
      ASSERT_EQ(transform.mode(together[2 * s + 1], k), transform.mode(alone[1], k))
          << s << " " << k;
    }
  }
}

// The angle-weighted companions taken from the sums' own grids: within
// the tolerance (relative to sum |c x|) of direct sums of c x exp(i k x),
// for angles on both sides of 0 (the negative ones on the grid's far end)
// and for a grid transformed in place (beyond the out-of-place size) as
// well as out of place; and refused when the angles reach past half a turn.
TEST(NonuniformFft, AngleWeightedSumsFromTheSumsGridMatchDirectSums) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (std::int64_t modes : {700, 1100000}) {
    const std::size_t n = modes > 1000 ? 40 : 400;
    std::vector<double> x(n);
    std::vector<Complex> c(n), weighted(n);
    double total = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      x[j] = j == 0 ? -1e-12 : 1.5 * u(rng);
      c[j] = Complex(u(rng), u(rng));
      weighted[j] = c[j] * x[j];
      total += std::abs(weighted[j]);
    }
    const NonuniformTransform transform(x, modes, 1e-13, 1.5, false, false);
    ASSERT_TRUE(transform.angleSums());
    std::vector<NonuniformTransform::Work> grids;
    for (int g = 0; g < 2; ++g) grids.push_back(transform.makeWork());
    const Complex* strength[1] = {c.data()};
    NonuniformTransform::Work* out[2] = {&grids[0], &grids[1]};
    transform.transformWithAngles(strength, n, out);
    // Every mode of the small grid, a stretch of each end of the large one.
    const auto checked = static_cast<std::size_t>(std::min<std::int64_t>(modes, 700));
    const std::vector<Complex> sums = directSums(x, c, checked);
    const std::vector<Complex> expected = directSums(x, weighted, checked);
    double worst = 0.0, worstSums = 0.0, plain = 0.0;
    for (const Complex& v : c) plain += std::abs(v);
    for (std::size_t k = 0; k < checked; ++k) {
      const auto mode = static_cast<std::int64_t>(k);
      worst =
          std::max(worst, std::abs(transform.angleMode(grids[0], grids[1], mode) - expected[k]));
      worstSums = std::max(worstSums, std::abs(transform.mode(grids[0], mode) - sums[k]));
    }
    // The small grid within 1e-11; on a million modes the sums' own
    // rounding at the far modes (the deconvolution's magnification, the
    // angles' last bits times k) dominates, and the companion keeps to a
    // few times the sums' accuracy.
    const double sumsError = worstSums / plain;
    if (modes < 1000) {
      EXPECT_LE(sumsError, 1e-11);
    }
    EXPECT_LE(worst / total, 4.0 * std::max(sumsError, 1e-12)) << modes << " " << sumsError;
  }
  // Angles of up to 3 radians: a kernel would reach past half a turn.
  std::vector<double> wide = {-3.0, 0.1, 3.0};
  EXPECT_FALSE(NonuniformTransform(wide, 100, 1e-13, 1.5).angleSums());
}

// The plans kept between transforms: one shape's plan serves every later
// transform of that shape with the bits of a plan made for it alone, and
// shapes that differ only in how many transforms they hold do not share one.
TEST(NonuniformFft, KeptPlansTransformAsFreshPlansDoBitForBit) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int n = 360;
  for (int howmany : {1, 3, 1}) {
    NonuniformTransform::Work kept(n * howmany), fresh(n * howmany);
    for (int m = 0; m < n * howmany; ++m)
      kept.data()[m] = fresh.data()[m] = Complex(u(rng), u(rng));
    auto* k = reinterpret_cast<fftw_complex*>(kept.data());
    auto* f = reinterpret_cast<fftw_complex*>(fresh.data());
    fftw_plan own = nullptr;
    {
      std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
      const fftw_plan plan = nufft_detail::keptPlan(n, howmany, k);
      ASSERT_NE(plan, nullptr) << "no plan kept";
      fftw_execute_dft(plan, k, k);
      int size = n;
      own = howmany == 1 ? fftw_plan_dft_1d(n, f, f, FFTW_BACKWARD, FFTW_ESTIMATE)
                         : fftw_plan_many_dft(1, &size, howmany, f, nullptr, 1, n, f, nullptr, 1, n,
                                              FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    fftw_execute(own);
    {
      std::lock_guard<std::mutex> g(nufft_detail::plannerLock());
      fftw_destroy_plan(own);
    }
    for (int m = 0; m < n * howmany; ++m) {
      ASSERT_EQ(kept.data()[m], fresh.data()[m]) << howmany << " transforms, element " << m;
    }
  }
}

// The kernel factors' exponential: within two ulps of the library's over
// its whole stated range (a wrong coefficient or a slip in the reduction by
// ln 2 shows as thousands of ulps), and exact at 0, where each kernel is
// centred.
TEST(NonuniformFft, VectorisedExponentialMatchesTheLibrarysWithinTwoUlps) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> wide(-700.0, 700.0), gridding(-3.5, 3.5);
  double worst = 0.0;
  for (int i = 0; i < 200000; ++i) {
    const double x = i % 2 ? wide(rng) : gridding(rng);
    const double want = std::exp(x), got = nufft_detail::vectorExp(x);
    worst = std::max(worst, std::abs(got - want) / (std::nextafter(want, INFINITY) - want));
  }
  for (double x : {-0.5 * std::log(2.0), 0.5 * std::log(2.0), 1e-300, -1e-17, 709.0, -700.0}) {
    const double want = std::exp(x);
    worst = std::max(worst, std::abs(nufft_detail::vectorExp(x) - want) /
                                (std::nextafter(want, INFINITY) - want));
  }
  EXPECT_LE(worst, 2.0);
  EXPECT_EQ(nufft_detail::vectorExp(0.0), 1.0);
}

TEST(NonuniformFft, KernelWidensAsTheToleranceTightens) {
  int previous = 0;
  for (double tolerance : {1e-2, 1e-4, 1e-8, 1e-12, 1e-15}) {
    const int w = nufftHalfWidth(tolerance);
    EXPECT_GT(w, previous) << tolerance;
    previous = w;
  }
  EXPECT_LE(nufftHalfWidth(0.0), 24);
  EXPECT_GE(nufftHalfWidth(1.0), 2);
  // No points: every sum is 0.
  std::vector<Complex> out(5, Complex(1.0));
  nonuniformSums({}, {}, 1e-12, out);
  for (const Complex& v : out) EXPECT_EQ(v, Complex(0.0));
}

}  // namespace
}  // namespace fazorn
