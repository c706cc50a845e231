// Named tolerances of the tests, each with its reason. Free of test
// frameworks, so that the window tests (Qt Test) share them.
#pragma once

namespace fazorn::test {

// Absolute unless the comment says relative (then multiply by the size of
// the expected value).

// Round-off in double precision: a few operations, or sums of up to a few
// thousand terms, on values of order 1 to 100 (an ulp is 2e-16 to 1.4e-14).
inline constexpr double kSumTolerance = 1e-12;
// One call of a library function (pow, exp, log) on values of order 1: the C
// library is good to an ulp or two, this allows a few tens.
inline constexpr double kLibraryUlps = 1e-14;
// The fast engines against their plain references (the fast AoV engine
// rotates phasors instead of calling sin/cos at every frequency).
inline constexpr double kEngineTolerance = 1e-9;
// The Fourier routes (non-uniform FFT) against direct sums with exact sines
// and cosines: the accuracy those routes are built to, for powers of order 1.
inline constexpr double kFourierRouteTolerance = 1e-8;
// Relative. The Lomb-Scargle recurrence rounds its steps to single precision
// on purpose: after thousands of steps the angles drift from exact sines and
// cosines by parts in a million, the powers by up to 1e-4 of their size.
inline constexpr double kSinglePrecisionDrift = 1e-4;
// Single-precision normal equations of a well-conditioned fit of a few
// hundred points: coefficients of order 1 good to about 150 float epsilons
// (1.2e-7), the rounding of the sums times the condition number.
inline constexpr double kFloatFitTolerance = 2e-5;
// The same single-precision values of order 1 reached by two routes that
// differ in the last bit of a few floats: about ten float epsilons.
inline constexpr double kFloatUlps = 1e-6;
// A number printed with 6, 7 or 8 decimals and read back: half a unit of the
// last printed decimal, plus the round-off of the value before printing.
inline constexpr double kSixDecimals = 0.5e-6 + kSumTolerance;
inline constexpr double kSevenDecimals = 0.5e-7 + kSumTolerance;
inline constexpr double kEightDecimals = 0.5e-8 + kSumTolerance;
// Statistical checks on seeded random data allow this many standard
// deviations: a Gaussian quantity strays that far once in 16,000 draws, so a
// change of seed or of an unrelated random stream does not fail the test,
// while a bias of several times the spread does.
inline constexpr double kSigmas = 4.0;
// Relative. A search recovers a period within 1 %, the criterion of the
// survey of the real stars: wider than the grid step and the noise move a
// peak on the curves searched here, far narrower than the distance to the
// common aliases (half or twice the period, the daily aliases).
inline constexpr double kPeriodFound = 0.01;
// Relative. A period adopted from a grid finer than a tenth of the peak
// width, or refined, agrees with the catalogued or generated one to 0.1 %.
inline constexpr double kPeriodOnFineGrid = 1e-3;
// The bundled Cepheid OGLE-LMC-CEP-1513 (catalogued 8.4608918 d) after
// refinement: about three times the refinement's uncertainty of 1.5e-4 d.
inline constexpr double kRefinedCepheidPeriod = 5e-4;

// The largest error of a period read off a uniform frequency grid of step
// `frequencyStep` (cycles per day): the highest grid point lies within half
// a step of the peak's top, and noise moves the top by less than another
// half step in the tests that use this; one step in frequency is
// period^2 * step in period.
inline double gridPeriodTolerance(double period, double frequencyStep) {
  return period * period * frequencyStep;
}

}  // namespace fazorn::test
