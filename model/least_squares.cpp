#include "model/least_squares.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace fazorn {

namespace {

// 0 when v is exactly 0, else v * v, in single precision (the published
// SQR macro; the zero test keeps -0 and denormal underflow out of the sum).
inline float square(float v) { return v == 0.0f ? 0.0f : v * v; }

// The fit over a source of basis rows: basisRow(i) returns a pointer q with
// q[l - 1] the value of basis function l at point i (1-based i and l); the
// rows of different points must stay valid together.
template <class BasisRow>
void linearFitWith(const float y[], const float sig[], int ndata, float a[], int ma, int lista[],
                   int mfit, nr::FloatMatrix& covar, float* chisq, BasisRow&& basisRow) {
  nr::FloatMatrix beta = nr::matrix(1, ma, 1, 1);
  nr::FloatVector afunc = nr::vector(1, ma);
  if (!beta.ok() || !afunc.ok()) return;

  int kk = mfit + 1;
  for (int j = 1; j <= ma; ++j) {
    int ihit = 0;
    for (int k = 1; k <= mfit; ++k)
      if (lista[k] == j) ++ihit;
    if (ihit == 0) lista[kk++] = j;
  }

  for (int j = 1; j <= mfit; ++j) {
    for (int k = 1; k <= mfit; ++k) covar[j][k] = 0.0f;
    beta[j][1] = 0.0f;
  }

  // The normal equations are summed in a local dense square from the fitted
  // basis values in lista order, full rows so that the inner loop has one
  // fixed length and runs over contiguous memory, four points at a time so
  // that each element is loaded and stored once per four points. Only the
  // lower triangle is used; each of its elements adds the same float
  // products in the same point order as the element-by-element sum (a short
  // last batch is padded with zero products, which add exactly nothing).
  constexpr int kBatch = 4;
  const std::size_t mf = static_cast<std::size_t>(mfit);
  std::vector<float> normal(mf * mf, 0.0f);
  std::vector<float> rhs(mf, 0.0f);
  std::vector<float> listed(kBatch * mf, 0.0f);
  std::vector<float> weighted(kBatch * mf, 0.0f);
  std::array<float, kBatch> ym{};
  for (int i0 = 1; i0 <= ndata; i0 += kBatch) {
    for (int b = 0; b < kBatch; ++b) {
      float* l = listed.data() + b * mf;
      float* w = weighted.data() + b * mf;
      const int i = i0 + b;
      if (i > ndata) {
        std::fill(l, l + mf, 0.0f);
        std::fill(w, w + mf, 0.0f);
        ym[b] = 0.0f;
        continue;
      }
      const float* q = basisRow(i);
      float y0 = y[i];
      if (mfit < ma)
        for (int j = mfit + 1; j <= ma; ++j) y0 -= a[lista[j]] * q[lista[j] - 1];
      ym[b] = y0;
      const float sig2i = 1.0f / square(sig[i]);
      for (std::size_t j = 0; j < mf; ++j) {
        l[j] = q[lista[j + 1] - 1];
        w[j] = l[j] * sig2i;
      }
    }
    const float* l0 = listed.data();
    const float* l1 = l0 + mf;
    const float* l2 = l1 + mf;
    const float* l3 = l2 + mf;
    for (std::size_t j = 0; j < mf; ++j) {
      const float w0 = weighted[j], w1 = weighted[mf + j], w2 = weighted[2 * mf + j],
                  w3 = weighted[3 * mf + j];
      float* row = normal.data() + j * mf;
      for (std::size_t k = 0; k < mf; ++k) {
        float v = row[k];
        v += w0 * l0[k];
        v += w1 * l1[k];
        v += w2 * l2[k];
        v += w3 * l3[k];
        row[k] = v;
      }
      float r = rhs[j];
      r += ym[0] * w0;
      r += ym[1] * w1;
      r += ym[2] * w2;
      r += ym[3] * w3;
      rhs[j] = r;
    }
  }
  for (int j = 1; j <= mfit; ++j) {
    for (int k = 1; k <= j; ++k) covar[j][k] = normal[(j - 1) * mf + (k - 1)];
    beta[j][1] = rhs[j - 1];
  }
  for (int j = 2; j <= mfit; ++j)
    for (int k = 1; k < j; ++k) covar[k][j] = covar[j][k];

  gaussJordan(covar, mfit, beta, 1);
  for (int j = 1; j <= mfit; ++j) a[lista[j]] = beta[j][1];

  // Four points' model sums at a time (independent chains, each in the
  // coefficients' order); the chi-square still adds the points in order.
  *chisq = 0.0f;
  int i = 1;
  for (; i + 3 <= ndata; i += 4) {
    const float* q0 = basisRow(i);
    const float* q1 = basisRow(i + 1);
    const float* q2 = basisRow(i + 2);
    const float* q3 = basisRow(i + 3);
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (int j = 1; j <= ma; ++j) {
      s0 += a[j] * q0[j - 1];
      s1 += a[j] * q1[j - 1];
      s2 += a[j] * q2[j - 1];
      s3 += a[j] * q3[j - 1];
    }
    *chisq += square((y[i] - s0) / sig[i]);
    *chisq += square((y[i + 1] - s1) / sig[i + 1]);
    *chisq += square((y[i + 2] - s2) / sig[i + 2]);
    *chisq += square((y[i + 3] - s3) / sig[i + 3]);
  }
  for (; i <= ndata; ++i) {
    const float* q = basisRow(i);
    float sum = 0.0f;
    for (int j = 1; j <= ma; ++j) sum += a[j] * q[j - 1];
    *chisq += square((y[i] - sum) / sig[i]);
  }
  sortCovariance(covar, ma, lista, mfit);
}

}  // namespace

void linearFit(const float x[], const float y[], const float sig[], int ndata, float a[], int ma,
               int lista[], int mfit, nr::FloatMatrix& covar, float* chisq, BasisFunction basis) {
  // The basis is evaluated once per point (the fit reads it twice) into a
  // table of rows.
  nr::FloatVector afunc = nr::vector(1, ma);
  if (!afunc.ok() || ndata < 0 || ma < 1) return;
  std::vector<float> table(static_cast<std::size_t>(ndata) * static_cast<std::size_t>(ma));
  float* p = afunc.indexed();
  for (int i = 1; i <= ndata; ++i) {
    basis(x[i], p, ma);
    std::copy(p + 1, p + 1 + ma, table.begin() + static_cast<std::ptrdiff_t>(i - 1) * ma);
  }
  linearFit(table, y, sig, ndata, a, ma, lista, mfit, covar, chisq);
}

void linearFit(std::span<const float> basisTable, const float y[], const float sig[], int ndata,
               float a[], int ma, int lista[], int mfit, nr::FloatMatrix& covar, float* chisq) {
  const float* table = basisTable.data();
  linearFitWith(y, sig, ndata, a, ma, lista, mfit, covar, chisq,
                [&](int i) { return table + static_cast<std::ptrdiff_t>(i - 1) * ma; });
}

void linearFit(const std::function<void(int, float*)>& fillRow, const float y[], const float sig[],
               int ndata, float a[], int ma, int lista[], int mfit, nr::FloatMatrix& covar,
               float* chisq) {
  // The fit holds at most four rows at once (four consecutive points), so
  // four slots taken in turn keep every row it holds valid.
  constexpr int kSlots = 4;
  std::vector<float> slots(static_cast<std::size_t>(kSlots * std::max(ma, 1)));
  linearFitWith(y, sig, ndata, a, ma, lista, mfit, covar, chisq, [&](int i) {
    float* row = slots.data() + static_cast<std::ptrdiff_t>((i - 1) % kSlots) * ma;
    fillRow(i, row);
    return static_cast<const float*>(row);
  });
}

void gaussJordan(nr::FloatMatrix& a, int n, nr::FloatMatrix& b, int m) {
  nr::IntVector indxc = nr::ivector(1, n);
  nr::IntVector indxr = nr::ivector(1, n);
  nr::IntVector ipiv = nr::ivector(1, n);
  if (!indxc.ok() || !indxr.ok() || !ipiv.ok()) return;
  for (int j = 1; j <= n; ++j) ipiv[j] = 0;

  // One report per call: a singular system would otherwise repeat the same
  // three lines for every later candidate of every pass.
  bool reported = false;
  auto reportSingular = [&reported] {
    if (!reported) reportNumericError("GAUSSJ: Singular Matrix-1");
    reported = true;
  };
  int irow = 0;
  int icol = 0;
  for (int i = 1; i <= n; ++i) {
    float big = 0.0f;
    bool found = false;
    for (int j = 1; j <= n; ++j) {
      if (ipiv[j] == 1) continue;
      for (int k = 1; k <= n; ++k) {
        if (ipiv[k] == 0) {
          if (std::fabs(a[j][k]) >= big) {
            big = std::fabs(a[j][k]);
            irow = j;
            icol = k;
            found = true;
          }
        } else if (ipiv[k] > 1) {
          reportSingular();
        }
      }
    }
    // A zero pivot, or only NaN candidates (the pivot of the previous pass is
    // then used again), means a singular system: say so even when no later
    // pass would meet the doubly used column.
    if (!found || big == 0.0f) reportSingular();
    // Only NaN candidates in the very first pass: there is no pivot to keep,
    // and row 0 does not exist.
    if (icol == 0) return;
    ++ipiv[icol];
    if (irow != icol) {
      for (int l = 1; l <= n; ++l) std::swap(a[irow][l], a[icol][l]);
      for (int l = 1; l <= m; ++l) std::swap(b[irow][l], b[icol][l]);
    }
    indxr[i] = irow;
    indxc[i] = icol;
    const float pivinv = 1.0f / a[icol][icol];
    a[icol][icol] = 1.0f;
    for (int l = 1; l <= n; ++l) a[icol][l] *= pivinv;
    for (int l = 1; l <= m; ++l) b[icol][l] *= pivinv;
    for (int ll = 1; ll <= n; ++ll) {
      if (ll == icol) continue;
      const float dum = a[ll][icol];
      a[ll][icol] = 0.0f;
      for (int l = 1; l <= n; ++l) a[ll][l] -= a[icol][l] * dum;
      for (int l = 1; l <= m; ++l) b[ll][l] -= b[icol][l] * dum;
    }
  }
  for (int l = n; l >= 1; --l) {
    if (indxr[l] != indxc[l])
      for (int k = 1; k <= n; ++k) std::swap(a[k][indxr[l]], a[k][indxc[l]]);
  }
}

void sortCovariance(nr::FloatMatrix& covar, int ma, const int lista[], int mfit) {
  for (int j = 1; j < ma; ++j)
    for (int i = j + 1; i <= ma; ++i) covar[i][j] = 0.0f;
  for (int i = 1; i < mfit; ++i) {
    for (int j = i + 1; j <= mfit; ++j) {
      if (lista[j] > lista[i])
        covar[lista[j]][lista[i]] = covar[i][j];
      else
        covar[lista[i]][lista[j]] = covar[i][j];
    }
  }
  float swap = covar[1][1];
  for (int j = 1; j <= ma; ++j) {
    covar[1][j] = covar[j][j];
    covar[j][j] = 0.0f;
  }
  if (mfit >= 1) covar[lista[1]][lista[1]] = swap;
  for (int j = 2; j <= mfit; ++j) covar[lista[j]][lista[j]] = covar[1][j];
  for (int j = 2; j <= ma; ++j)
    for (int i = 1; i < j; ++i) covar[i][j] = covar[j][i];
}

void harmonicBasis(float x, float p[], int np) {
  p[1] = 1.0f;
  // (np - 1) / 2 harmonics: the same as np / 2 for the odd np of a constant
  // plus harmonics, and for an even np the last position stays unwritten
  // instead of writing p[np + 1] past the caller's array.
  for (int k = 1; k <= (np - 1) / 2; ++k) {
    const double arg = static_cast<double>(x) * kBasisTwoPi * k;
    p[2 * k] = static_cast<float>(std::cos(arg));
    p[2 * k + 1] = static_cast<float>(std::sin(arg));
  }
}

}  // namespace fazorn
