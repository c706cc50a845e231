// The frequency table of multi-periodic analysis: the sinusoids
//
//   y(t) = zeroPoint + sum_i A_i sin(2 pi (f_i (t - epoch) + phi_i))
//
// with f in cycles per day, A in the units of the values and phi in cycles
// (0 .. 1), each with its 1-sigma error from the least-squares covariance and
// the analytic values of Montgomery & O'Donoghue (1999) for white noise, the
// signal-to-noise ratio, and the relation of a harmonic or combination
// frequency (n f_i + m f_j) to the frequencies it derives from. Terms are
// named f1, f2, .. by their position (1-based).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fazorn {

// f = n f_i + m f_j (j = -1 and m = 0 for a harmonic n f_i), indices 0-based.
struct Combination {
  int i = -1;
  int n = 0;
  int j = -1;
  int m = 0;
  bool valid() const { return i >= 0 && n != 0; }
  friend bool operator==(const Combination&, const Combination&) = default;
};

// "2f1", "f1+f2", "2f1-f3" (1-based names).
std::string combinationText(const Combination& c);
// The inverse of combinationText (also "f1 + 2f3", "-f1+f2"); nothing for any
// other text.
std::optional<Combination> parseCombination(const std::string& text);

struct FrequencyTerm {
  double frequency = 0.0;  // cycles per day
  double amplitude = 0.0;  // units of the values
  double phase = 0.0;      // cycles, [0, 1)
  // Least-squares 1-sigma errors (covariance scaled by the residual
  // variance); NaN until fitted.
  double frequencyError = 0.0, amplitudeError = 0.0, phaseError = 0.0;
  // Montgomery & O'Donoghue (1999): sigma_A = sqrt(2/N) sigma_res,
  // sigma_phi = sigma_A / (2 pi A) cycles, sigma_f = sqrt(6/N) sigma_res /
  // (pi T A).
  double frequencyErrorMO = 0.0, amplitudeErrorMO = 0.0, phaseErrorMO = 0.0;
  double snr = 0.0;  // amplitude over the mean residual amplitude near f
  bool enabled = true;
  // The relation found by labelCombinations (shown, not enforced), and
  // whether the frequency is held at it in fits.
  Combination combination;
  bool fixedToCombination = false;
};

struct FrequencyTable {
  double epoch = 0.0;      // days; the time of phase 0 of every term
  double zeroPoint = 0.0;  // units of the values
  std::vector<FrequencyTerm> terms;
  // Of the last fit: point count, time span (days), residual rms.
  int points = 0;
  double timeSpan = 0.0;
  double residualRms = 0.0;
  // The number of independent frequencies of the search that found the
  // terms, (f_max - f_min) T: what turns a term's S/N into its false-alarm
  // probability (falseAlarmProbability); 0 when not known (a table typed
  // in, or read from a file written without it).
  double independentFrequencies = 0.0;

  // Removes term k, renumbering every relation; a term related to the
  // removed one loses its relation (and its fixing).
  void remove(std::size_t k);
  // Moves term `from` to position `to` (the terms between shift by one),
  // renumbering every relation so that each still names the same terms.
  void move(std::size_t from, std::size_t to);
};

// The false-alarm probability of a peak of signal-to-noise ratio `snr` (its
// amplitude over the mean amplitude of the noise around it) as the highest
// of `independentFrequencies` peaks of white noise. At one frequency the
// amplitude of Gaussian white noise is Rayleigh distributed (its power
// exponentially, Scargle 1982, ApJ 263, 835, eq. 14), with mean
// sigma sqrt(pi / N); so P(A > q <A>) = exp(-pi q^2 / 4), whatever sigma
// and N, and the highest of M independent frequencies exceeds it with
// probability 1 - (1 - exp(-pi q^2 / 4))^M (Horne & Baliunas 1986, ApJ 302,
// 757, eq. 21), M taken as the span of the search over the resolution 1/T.
// S/N 4 is 3.5e-6 at one frequency: 0.7 % over the 2,200 independent
// frequencies of a 27-day sector up to 80 c/d, but 68 % over 330,000.
// It is a lower bound for the cascade's terms: the search is continuous, not
// over M independent frequencies (Baluev 2008, MNRAS 385, 1279: about
// sqrt(pi q^2 / 4) times as many false alarms, 3.5 at S/N 4), and the noise
// is the mean of some (window width) T amplitudes near the peak, itself
// uncertain. On seeded white noise over a 27-day sector at a 10-minute
// cadence up to 30 c/d (M 809) it gives 0.28 %; the highest grid point
// exceeded 4 times the true mean noise in 1.2 % of 1,000 runs, 4 times its
// local mean in 2.3 %, and the cascade took a term in 2.9 %.
// NaN when M is not positive or snr not finite.
double falseAlarmProbability(double snr, double independentFrequencies);
// Term k's false-alarm probability: over the table's independent
// frequencies for a term the search found, at its one frequency (M = 1)
// for a term held at a relation, whose frequency was predicted rather than
// searched for. NaN when the table's count is not known.
double termFalseAlarmProbability(const FrequencyTable& table, std::size_t k);
// The inverse: the S/N whose false-alarm probability over M independent
// frequencies is `probability` (0 < probability < 1); NaN otherwise.
double snrOfFalseAlarm(double probability, double independentFrequencies);

// Labels every term whose frequency is within `tolerance` (cycles per day;
// normally the resolution 1/T) of n f_i (n = 2 .. maxHarmonic) or
// n f_i +- m f_j (|n|, |m| <= maxOrder) of two terms before it that are not
// themselves labelled; the lowest order |n| + |m| wins, then the closest.
// Harmonics above maxHarmonic are labelled as far as the table holds a comb
// of them: n f_i where a term lies within `tolerance` of (n - 1) f_i or
// (n - 2) f_i, counting from maxHarmonic up (a non-sinusoidal light curve's
// harmonics, a pulsator's or a binary's, fall off smoothly, a gap of one
// being an eclipsing binary's weak odd harmonics), and only for
// f_i > 4 tolerance, where the harmonics' windows cover at most half the
// frequencies and a term matching one by chance is unlikely.
// Fixed relations are kept as they are. Only enabled terms take part.
void labelCombinations(FrequencyTable& table, double tolerance, int maxHarmonic = 5,
                       int maxOrder = 2);

// Plain text: '#' header lines with the epoch, zero point, points, time
// span and residual rms, then one line per term:
//   name frequency amplitude phase sigma_f sigma_A sigma_phi
//   mo_sigma_f mo_sigma_A mo_sigma_phi snr enabled relation
// relation is "-" for none, "2f1" for a label, "=2f1" when fixed.
std::string formatFrequencyTable(const FrequencyTable& table);
// The inverse; on failure returns nothing and sets *error to the line and
// reason.
std::optional<FrequencyTable> parseFrequencyTable(const std::string& text, std::string* error);

}  // namespace fazorn
