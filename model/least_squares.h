// General linear least squares in single precision (Gauss-Jordan normal
// equations with held coefficients), after the published routines lfit,
// gaussj and covsrt (Press et al. 1992, Numerical Recipes in C, 2nd ed.).
//
// Every array is 1-based: element 0 is never read or written. All matrix and
// vector arithmetic is single precision on purpose, so that the fitted
// coefficients (and the epochs and classification built on them) are the
// same on every machine.
#pragma once

#include <functional>
#include <span>

#include "core/numeric_kit.h"

namespace fazorn {

// Fills p[1..np] with the np basis functions at abscissa x.
using BasisFunction = void (*)(float x, float p[], int np);

// Fits a[1..ma] to (x, y, sig)[1..ndata]. On entry lista[1..mfit] numbers
// the coefficients to fit (in the order of the rows of the normal equations)
// and a[] holds the values of the other, held, coefficients. On exit a[] holds
// all coefficients, lista[mfit+1..ma] the held coefficients in increasing
// order, covar[1..ma][1..ma] the covariance in natural order (zero rows and
// columns for held coefficients) and *chisq the chi-square over all ma
// coefficients. covar must be at least ma x ma.
void linearFit(const float x[], const float y[], const float sig[], int ndata, float a[], int ma,
               int lista[], int mfit, nr::FloatMatrix& covar, float* chisq, BasisFunction basis);

// The same fit with the basis values already evaluated: row i-1 of
// `basisTable` (ndata rows of ma floats, row-major) holds p[1..ma] at x[i].
// Gives exactly the results of the callback version for a basis that
// returns those values; x[] is not needed.
void linearFit(std::span<const float> basisTable, const float y[], const float sig[], int ndata,
               float a[], int ma, int lista[], int mfit, nr::FloatMatrix& covar, float* chisq);

// The same fit with each basis row made when the fit reads it:
// fillRow(i, row) writes p[1..ma] at point i (1-based) into row[0..ma-1]. The
// fit reads every row twice, so the rows cost twice the evaluations but no
// table of ndata x ma floats (68 bytes a point for 8 harmonics); the rows
// must be the same on both reads.
void linearFit(const std::function<void(int, float*)>& fillRow, const float y[], const float sig[],
               int ndata, float a[], int ma, int lista[], int mfit, nr::FloatMatrix& covar,
               float* chisq);

// Solves a[1..n][1..n] . X = b[1..n][1..m] by Gauss-Jordan elimination with
// full pivoting. On return a holds the inverse and b the solutions. A
// singular system (a column chosen as pivot twice, a zero pivot, or no pivot
// but NaN candidates) is reported once per call as "GAUSSJ: Singular
// Matrix-1" through reportNumericError, and the elimination goes on (the
// results are then not finite). When the very first pass finds no pivot the
// routine returns after the report, leaving a and b as they are.
void gaussJordan(nr::FloatMatrix& a, int n, nr::FloatMatrix& b, int m);

// Spreads the mfit x mfit covariance of the fitted coefficients (in lista
// order) into the ma x ma natural order, with zeros for held coefficients.
void sortCovariance(nr::FloatMatrix& covar, int ma, const int lista[], int mfit);

// Fourier basis: p[1] = 1; for k = 1..(np-1)/2, p[2k] = cos(x * 6.2831853 * k)
// and p[2k+1] = sin(x * 6.2831853 * k). The constant is the truncated 2 pi
// the fitted epochs have always been computed with; the argument is formed
// in double and each value rounded to float. With an even np the last
// position is left unwritten.
void harmonicBasis(float x, float p[], int np);

// The constant of the Fourier basis (cycles to radians).
inline constexpr double kBasisTwoPi = 6.2831853;

}  // namespace fazorn
