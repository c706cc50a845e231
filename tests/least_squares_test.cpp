// The single-precision least-squares kit: ordinary and held-coefficient fits
// against an independent double-precision solution, the covariance in
// natural order, the singular-matrix report, and the Fourier basis.
#include "model/least_squares.h"

#include <cmath>
#include <numeric>
#include <vector>

#include "support/test_support.h"

namespace fazorn {
namespace {

using test::kFloatFitTolerance;

// Solves the symmetric system N c = r in double by Gaussian elimination with
// partial pivoting, returning c and the inverse of N.
void solveDouble(std::vector<std::vector<double>> n, std::vector<double> r, std::vector<double>& c,
                 std::vector<std::vector<double>>& inverse) {
  const std::size_t size = r.size();
  inverse.assign(size, std::vector<double>(size, 0.0));
  for (std::size_t i = 0; i < size; ++i) inverse[i][i] = 1.0;
  for (std::size_t col = 0; col < size; ++col) {
    std::size_t pivot = col;
    for (std::size_t row = col + 1; row < size; ++row)
      if (std::fabs(n[row][col]) > std::fabs(n[pivot][col])) pivot = row;
    std::swap(n[col], n[pivot]);
    std::swap(r[col], r[pivot]);
    std::swap(inverse[col], inverse[pivot]);
    for (std::size_t row = 0; row < size; ++row) {
      if (row == col) continue;
      const double f = n[row][col] / n[col][col];
      for (std::size_t k = 0; k < size; ++k) {
        n[row][k] -= f * n[col][k];
        inverse[row][k] -= f * inverse[col][k];
      }
      r[row] -= f * r[col];
    }
  }
  c.assign(size, 0.0);
  for (std::size_t i = 0; i < size; ++i) {
    c[i] = r[i] / n[i][i];
    for (std::size_t k = 0; k < size; ++k) inverse[i][k] /= n[i][i];
  }
}

struct FitData {
  std::vector<float> x, y, sig;  // 1-based (element 0 unused)
  int n = 0;
};

// Points of 1 + 0.3 cos - 0.2 sin + 0.05 cos 2 + noise-like wiggle, with
// uneven errors. The wiggle's amplitude bounds how far it moves a fitted
// coefficient from the generating one.
constexpr double kWiggle = 0.01;
FitData makeData(int n) {
  FitData d;
  d.n = n;
  d.x.assign(n + 1, 0.0f);
  d.y.assign(n + 1, 0.0f);
  d.sig.assign(n + 1, 0.0f);
  for (int i = 1; i <= n; ++i) {
    const double x = std::fmod(i * 0.6180339887, 1.0);
    const double arg = 2.0 * M_PI * x;
    d.x[i] = static_cast<float>(x);
    d.y[i] = static_cast<float>(1.0 + 0.3 * std::cos(arg) - 0.2 * std::sin(arg) +
                                0.05 * std::cos(2 * arg) + kWiggle * std::sin(37.0 * i));
    d.sig[i] = static_cast<float>(0.5 + 0.25 * (i % 3));
  }
  return d;
}

std::vector<double> basisAt(float x, int ma) {
  std::vector<float> p(ma + 2, 0.0f);
  harmonicBasis(x, p.data(), ma);
  return std::vector<double>(p.begin() + 1, p.begin() + 1 + ma);
}

TEST(LinearFit, OrdinaryWeightedFitAgreesWithADoubleSolutionAndKeepsTheList) {
  const FitData d = makeData(300);
  const int ma = 5;
  std::vector<float> a(ma + 1, 0.0f);
  std::vector<int> lista = {0, 1, 2, 3, 4, 5};
  nr::FloatMatrix covar = nr::matrix(1, ma, 1, ma);
  float chisq = -1.0f;
  linearFit(d.x.data(), d.y.data(), d.sig.data(), d.n, a.data(), ma, lista.data(), ma, covar,
            &chisq, harmonicBasis);
  EXPECT_EQ(lista, (std::vector<int>{0, 1, 2, 3, 4, 5}));

  std::vector<std::vector<double>> normal(ma, std::vector<double>(ma, 0.0));
  std::vector<double> rhs(ma, 0.0);
  for (int i = 1; i <= d.n; ++i) {
    const std::vector<double> p = basisAt(d.x[i], ma);
    const double w = 1.0 / (double(d.sig[i]) * d.sig[i]);
    for (int j = 0; j < ma; ++j) {
      rhs[j] += w * p[j] * d.y[i];
      for (int k = 0; k < ma; ++k) normal[j][k] += w * p[j] * p[k];
    }
  }
  std::vector<double> c;
  std::vector<std::vector<double>> inverse;
  solveDouble(normal, rhs, c, inverse);
  double expectedChisq = 0.0;
  for (int i = 1; i <= d.n; ++i) {
    const std::vector<double> p = basisAt(d.x[i], ma);
    double model = 0.0;
    for (int j = 0; j < ma; ++j) model += c[j] * p[j];
    expectedChisq += std::pow((d.y[i] - model) / d.sig[i], 2);
  }
  for (int j = 0; j < ma; ++j) {
    EXPECT_NEAR(a[j + 1], c[j], kFloatFitTolerance) << "coefficient " << j + 1;
    for (int k = 0; k < ma; ++k)
      EXPECT_NEAR(covar[j + 1][k + 1], inverse[j][k], kFloatFitTolerance * std::fabs(inverse[j][j]))
          << "covar " << j + 1 << "," << k + 1;
  }
  EXPECT_NEAR(chisq, expectedChisq, kFloatFitTolerance * expectedChisq);
  EXPECT_NEAR(a[2], 0.3, kWiggle);
  EXPECT_NEAR(a[3], -0.2, kWiggle);
}

TEST(LinearFit, HeldCoefficientsKeepTheirValuesAndGetZeroCovariance) {
  const FitData d = makeData(250);
  const int ma = 5;
  // Fit 1, 4 and 2 (in that row order), hold 3 at -0.2 and 5 at 0.
  std::vector<float> a = {0.0f, 9.0f, 9.0f, -0.2f, 9.0f, 0.0f};
  std::vector<int> lista = {0, 1, 4, 2, 0, 0};
  nr::FloatMatrix covar = nr::matrix(1, ma, 1, ma);
  float chisq = 0.0f;
  linearFit(d.x.data(), d.y.data(), d.sig.data(), d.n, a.data(), ma, lista.data(), 3, covar, &chisq,
            harmonicBasis);
  EXPECT_EQ(lista[4], 3);
  EXPECT_EQ(lista[5], 5);
  EXPECT_EQ(a[3], -0.2f);
  EXPECT_EQ(a[5], 0.0f);

  // Independent: the held terms removed from the ordinates, a 3-term fit.
  const int fitted[3] = {1, 4, 2};
  std::vector<std::vector<double>> normal(3, std::vector<double>(3, 0.0));
  std::vector<double> rhs(3, 0.0);
  for (int i = 1; i <= d.n; ++i) {
    const std::vector<double> p = basisAt(d.x[i], ma);
    const double w = 1.0 / (double(d.sig[i]) * d.sig[i]);
    const double ym = d.y[i] - (-0.2) * p[2];
    for (int j = 0; j < 3; ++j) {
      rhs[j] += w * p[fitted[j] - 1] * ym;
      for (int k = 0; k < 3; ++k) normal[j][k] += w * p[fitted[j] - 1] * p[fitted[k] - 1];
    }
  }
  std::vector<double> c;
  std::vector<std::vector<double>> inverse;
  solveDouble(normal, rhs, c, inverse);
  double expectedChisq = 0.0;
  for (int i = 1; i <= d.n; ++i) {
    const std::vector<double> p = basisAt(d.x[i], ma);
    const double model = c[0] * p[0] + c[2] * p[1] - 0.2 * p[2] + c[1] * p[3];
    expectedChisq += std::pow((d.y[i] - model) / d.sig[i], 2);
  }
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(a[fitted[j]], c[j], kFloatFitTolerance);
  EXPECT_NEAR(chisq, expectedChisq, kFloatFitTolerance * expectedChisq);
  // Natural order: element (fitted[j], fitted[k]) is inverse[j][k]; held rows
  // and columns are zero.
  for (int j = 0; j < 3; ++j)
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(covar[fitted[j]][fitted[k]], inverse[j][k],
                  kFloatFitTolerance * std::fabs(inverse[j][j]));
  for (int held : {3, 5})
    for (int k = 1; k <= ma; ++k) {
      EXPECT_EQ(covar[held][k], 0.0f);
      EXPECT_EQ(covar[k][held], 0.0f);
    }
}

TEST(LinearFit, UnitErrorsGiveThePlainSumOfSquaredResidualsAndTheTableMatchesTheCallback) {
  FitData d = makeData(120);
  std::fill(d.sig.begin() + 1, d.sig.end(), 1.0f);
  const int ma = 7;
  std::vector<float> a(ma + 1, 0.0f), b(ma + 1, 0.0f);
  std::vector<int> lista = {0, 1, 2, 3, 4, 5, 6, 7}, listb = lista;
  nr::FloatMatrix ca = nr::matrix(1, ma, 1, ma), cb = nr::matrix(1, ma, 1, ma);
  float chia = 0.0f, chib = 0.0f;
  linearFit(d.x.data(), d.y.data(), d.sig.data(), d.n, a.data(), ma, lista.data(), ma, ca, &chia,
            harmonicBasis);
  double residuals = 0.0;
  std::vector<float> table;
  for (int i = 1; i <= d.n; ++i) {
    const std::vector<double> p = basisAt(d.x[i], ma);
    double model = 0.0;
    for (int j = 0; j < ma; ++j) model += double(a[j + 1]) * p[j];
    residuals += (d.y[i] - model) * (d.y[i] - model);
    for (double v : p) table.push_back(static_cast<float>(v));
  }
  EXPECT_NEAR(chia, residuals, kFloatFitTolerance * residuals);
  // The precomputed-row form is the same computation.
  linearFit(table, d.y.data(), d.sig.data(), d.n, b.data(), ma, listb.data(), ma, cb, &chib);
  for (int j = 1; j <= ma; ++j) EXPECT_EQ(a[j], b[j]);
  EXPECT_EQ(chia, chib);
}

TEST(GaussJordan, SolvesAndInvertsWithFullPivoting) {
  nr::FloatMatrix a = nr::matrix(1, 3, 1, 3), b = nr::matrix(1, 3, 1, 2);
  const float m[3][3] = {{0, 2, 1}, {1, 1, 0}, {3, 0, 4}};  // zero on the diagonal
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i + 1][j + 1] = m[i][j];
  // Right-hand sides for the solutions (1, 2, 3) and (-1, 0, 0.5).
  const float x1[3] = {1, 2, 3}, x2[3] = {-1, 0, 0.5f};
  for (int i = 0; i < 3; ++i) {
    b[i + 1][1] = m[i][0] * x1[0] + m[i][1] * x1[1] + m[i][2] * x1[2];
    b[i + 1][2] = m[i][0] * x2[0] + m[i][1] * x2[1] + m[i][2] * x2[2];
  }
  gaussJordan(a, 3, b, 2);
  // Single precision, a condition number of 5.2 and solutions up to 3: the
  // rounding of the elimination grows by about ten.
  constexpr double kInversion = 10 * test::kFloatUlps;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(b[i + 1][1], x1[i], kInversion);
    EXPECT_NEAR(b[i + 1][2], x2[i], kInversion);
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double product = 0.0;
      for (int k = 0; k < 3; ++k) product += double(m[i][k]) * a[k + 1][j + 1];
      EXPECT_NEAR(product, i == j ? 1.0 : 0.0, kInversion);
    }
}

TEST(GaussJordan, SingularMatricesAreReportedWithoutCrashOrHang) {
  // Two equal rows: a zero pivot, then a column chosen twice.
  nr::FloatMatrix a = nr::matrix(1, 3, 1, 3), b = nr::matrix(1, 3, 1, 1);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) a[i][j] = (i == 3 ? 1.0f : float(i)) * float(j);
  testing::internal::CaptureStderr();
  gaussJordan(a, 3, b, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Numerical Recipes run-time error...\nGAUSSJ: Singular Matrix-1\n"
                     "...now exiting to system...\n"),
            std::string::npos);

  // Nothing but NaN (a point with an error of 0): no pivot at all.
  nr::FloatMatrix n = nr::matrix(1, 2, 1, 2), r = nr::matrix(1, 2, 1, 1);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) n[i][j] = NAN;
  testing::internal::CaptureStderr();
  gaussJordan(n, 2, r, 1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("GAUSSJ: Singular Matrix-1"), std::string::npos);

  // Through the fit: a basis with two identical functions.
  const FitData d = makeData(40);
  std::vector<float> c(4, 0.0f);
  std::vector<int> lista = {0, 1, 2, 3};
  nr::FloatMatrix covar = nr::matrix(1, 3, 1, 3);
  float chisq = 0.0f;
  testing::internal::CaptureStderr();
  linearFit(d.x.data(), d.y.data(), d.sig.data(), d.n, c.data(), 3, lista.data(), 3, covar, &chisq,
            [](float x, float p[], int) {
              p[1] = 1.0f;
              p[2] = x;
              p[3] = x;
            });
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("GAUSSJ: Singular Matrix-1"), std::string::npos);
}

TEST(HarmonicBasis, ConstantThenCosineAndSinePairsWithTheTruncatedTwoPi) {
  std::vector<float> p(19, 42.0f);
  const float x = 0.3137f;
  harmonicBasis(x, p.data(), 17);
  EXPECT_EQ(p[0], 42.0f);  // element 0 untouched
  EXPECT_EQ(p[1], 1.0f);
  // Against exact cosines and sines: half a float ulp (6e-8) plus the
  // truncation of 2 pi to 6.2831853, 7.2e-9 per cycle over k x < 2.6 cycles.
  constexpr double kFloatBasis = 8e-8;
  for (int k = 1; k <= 8; ++k) {
    EXPECT_NEAR(p[2 * k], std::cos(2 * M_PI * k * x), kFloatBasis) << k;
    EXPECT_NEAR(p[2 * k + 1], std::sin(2 * M_PI * k * x), kFloatBasis) << k;
  }
  EXPECT_EQ(p[18], 42.0f);
  // Where the exact value is 0 the truncation shows alone: at x = 1/4 the
  // argument of harmonic k falls short of k pi / 2 by k d / 4, with
  // d = 2 pi - 6.2831853, and the cosine or sine that vanishes there is
  // +-k d / 4 (to a relative 1e-16 for such small angles). In single
  // precision only because the argument is formed in double.
  const double d = 2 * M_PI - 6.2831853;
  harmonicBasis(0.25f, p.data(), 9);
  EXPECT_NEAR(p[2], 0.25 * d, test::kFloatUlps * 0.25 * d);   // cos(pi/2 - d/4)
  EXPECT_NEAR(p[5], 0.5 * d, test::kFloatUlps * 0.5 * d);     // sin(pi - d/2)
  EXPECT_NEAR(p[6], -0.75 * d, test::kFloatUlps * 0.75 * d);  // cos(3 pi/2 - 3d/4)
  EXPECT_NEAR(p[9], -d, test::kFloatUlps * d);                // sin(2 pi - d)
  // At x = 1 the sine of harmonic 8 is sin(16 pi - 8d).
  harmonicBasis(1.0f, p.data(), 17);
  EXPECT_NEAR(p[17], -8 * d, test::kFloatUlps * 8 * d);

  // An even count leaves its last position unwritten.
  std::vector<float> q(18, 42.0f);
  harmonicBasis(x, q.data(), 16);
  EXPECT_NEAR(q[15], std::sin(2 * M_PI * 7 * x), kFloatBasis);
  EXPECT_EQ(q[16], 42.0f);
  EXPECT_EQ(q[17], 42.0f);
}

}  // namespace
}  // namespace fazorn
