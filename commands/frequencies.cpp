#include "commands/frequencies.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "commands/harmonic_series.h"

namespace fazorn {

namespace {

double resolutionOf(std::span<const double> time) {
  if (time.size() < 2) return 0.0;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  return *hi > *lo ? 1.0 / (*hi - *lo) : 0.0;
}

// The independent frequencies of a search from minF to the grid's top over
// times of the given resolution 1/T.
double independentFrequenciesOf(const AmplitudeSpectrumGrid& grid, double minF, double resolution) {
  return resolution > 0.0 ? std::max(grid.maxFrequency - minF, 0.0) / resolution : 0.0;
}

void refreshSnrAndLabels(FrequencyTable& table, std::span<const double> residualAmplitude,
                         double step, const PrewhiteningOptions& options, double resolution,
                         double independentFrequencies) {
  table.independentFrequencies = independentFrequencies;
  for (auto& t : table.terms) {
    const double noise =
        meanAmplitudeNear(residualAmplitude, step, t.frequency, options.noiseWindow, resolution);
    t.snr = noise > 0.0 ? t.amplitude / noise : 0.0;
  }
  const double tol = options.combinationTolerance > 0.0 ? options.combinationTolerance : resolution;
  labelCombinations(table, tol);
}

// The residual sum of squares of the floating-mean sinusoid at f fitted to
// y by least squares (3 x 3 normal equations about the mean time tMean).
double sinusoidResidualSquares(std::span<const double> time, std::span<const double> y, double f,
                               double tMean) {
  double s1 = 0, sc = 0, ss = 0, scc = 0, sss = 0, scs = 0, sy = 0, syc = 0, sys = 0, syy = 0;
  for (std::size_t j = 0; j < time.size(); ++j) {
    const double arg = 2.0 * M_PI * f * (time[j] - tMean);
    const double c = std::cos(arg), s = std::sin(arg), v = y[j];
    s1 += 1, sc += c, ss += s, scc += c * c, sss += s * s, scs += c * s;
    sy += v, syc += v * c, sys += v * s, syy += v * v;
  }
  // Solve [s1 sc ss; sc scc scs; ss scs sss] beta = [sy syc sys] by Cramer's
  // rule (the system is 3 x 3 and symmetric).
  const double m[3][3] = {{s1, sc, ss}, {sc, scc, scs}, {ss, scs, sss}};
  const double r[3] = {sy, syc, sys};
  auto det3 = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det3(m);
  if (!(std::fabs(d) > 1e-12 * s1 * s1 * s1)) return syy - sy * sy / s1;  // degenerate: the mean
  double fit = 0.0;
  for (int k = 0; k < 3; ++k) {
    double mk[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) mk[i][j] = j == k ? r[i] : m[i][j];
    fit += det3(mk) / d * r[k];
  }
  return syy - fit;
}

// The floating-mean least-squares fit of sinusoids at the frequencies fs
// to y (time about tMean): the residual sum of squares, and the cosine and
// sine coefficients of each (in *coefficients, when given).
double sinusoidsResidualSquares(std::span<const double> time, std::span<const double> y,
                                std::span<const double> fs, double tMean,
                                std::vector<double>* coefficients = nullptr) {
  const auto p = static_cast<Eigen::Index>(1 + 2 * fs.size());
  Eigen::MatrixXd g = Eigen::MatrixXd::Zero(p, p);
  Eigen::VectorXd r = Eigen::VectorXd::Zero(p), row(p);
  double syy = 0.0;
  for (std::size_t j = 0; j < time.size(); ++j) {
    row[0] = 1.0;
    for (std::size_t k = 0; k < fs.size(); ++k) {
      const double arg = 2.0 * M_PI * fs[k] * (time[j] - tMean);
      row[static_cast<Eigen::Index>(1 + 2 * k)] = std::cos(arg);
      row[static_cast<Eigen::Index>(2 + 2 * k)] = std::sin(arg);
    }
    g.selfadjointView<Eigen::Lower>().rankUpdate(row);
    r += y[j] * row;
    syy += y[j] * y[j];
  }
  const Eigen::LDLT<Eigen::MatrixXd> ldlt(g.selfadjointView<Eigen::Lower>());
  if (ldlt.info() != Eigen::Success) return syy;
  const Eigen::VectorXd beta = ldlt.solve(r);
  if (!beta.allFinite()) return syy;
  if (coefficients) coefficients->assign(beta.data() + 1, beta.data() + p);
  return syy - beta.dot(r);
}

// The frequency up to which the spectral window's central peak reaches at
// least half its height, with the fringes that seasons a year apart (or
// nights a day apart) put on it: the last grid frequency with |W| >= 1/2
// before the first local maximum of |W| below 1/2. A sinusoid there is not
// resolved from the zero point at half maximum, the usual measure of a
// peak's resolution: for contiguous data this is about 0.6/T, within 1/T,
// for two seasons of 25 nights about 0.6/25 d, whatever the years between.
double centralWindowExtent(std::span<const double> window, double step) {
  std::size_t last = 0;
  for (std::size_t k = 1; k + 1 < window.size(); ++k) {
    if (window[k] >= 0.5) last = k;
    const bool peak = window[k] >= window[k - 1] && window[k] > window[k + 1];
    if (peak && window[k] < 0.5) break;
  }
  return static_cast<double>(last) * step;
}

// The offsets of the spectral window's alias peaks: the local maxima of
// |W| beyond its main lobe (1 / T) that reach half the main peak, highest
// first, at most kMaxAliasOffsets. A peak at f leaks into f +- offset
// almost as strongly where the window is high there (yearly and daily
// aliases of ground-based seasons), so that leakage of the other terms or
// the noise may move the spectrum's highest point onto an alias; lower
// window peaks would take leakage of more than half the true amplitude.
constexpr std::size_t kMaxAliasOffsets = 16;
// How many of a close pair's alias combinations, best by the linear fit at
// their offset frequencies, are fitted with free frequencies (a cost bound:
// the linear ranking is off only by the half grid step of the offsets).
constexpr std::size_t kPolishedPairs = 6;
// How many of a single term's aliases, best by the one-sinusoid fit at grid
// points, are refined to their own best frequency.
constexpr std::size_t kRefinedAliases = 3;
std::vector<double> aliasOffsets(std::span<const double> window, double step, double resolution) {
  std::vector<std::pair<double, double>> peaks;  // (height, offset)
  const auto first = static_cast<std::size_t>(std::ceil(resolution / step)) + 1;
  for (std::size_t k = std::max<std::size_t>(first, 1); k + 1 < window.size(); ++k)
    if (window[k] >= 0.5 && window[k] >= window[k - 1] && window[k] > window[k + 1])
      peaks.emplace_back(window[k], static_cast<double>(k) * step);
  std::sort(peaks.begin(), peaks.end(), [](const auto& a, const auto& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<double> out;
  for (std::size_t k = 0; k < std::min(peaks.size(), kMaxAliasOffsets); ++k)
    out.push_back(peaks[k].second);
  return out;
}

// How much noisier the amplitude of term k is than that of a sinusoid
// orthogonal to everything else in the fit: the least-squares error over
// the white-noise value of Montgomery & O'Donoghue, at least 1. A term
// nearly degenerate with the zero point (a frequency whose cycles the
// sampling does not separate from a constant, such as one cycle a year over
// two seasons a year apart) or with another term has a large factor.
constexpr double kUnresolvedInflation = 2.0;
double amplitudeInflation(const FrequencyTerm& t) {
  if (!(t.amplitudeError > 0.0) || !(t.amplitudeErrorMO > 0.0)) return 1.0;
  return std::max(1.0, t.amplitudeError / t.amplitudeErrorMO);
}

}  // namespace

double meanAmplitudeNear(std::span<const double> amplitude, double step, double f, double width,
                         double exclude) {
  if (amplitude.empty() || !(step > 0.0)) return 0.0;
  const double half = 0.5 * width;
  const auto last = static_cast<double>(amplitude.size() - 1);
  // Skip k = 0: the floating mean makes it 0 by construction.
  const double lo = std::clamp(std::ceil((f - half) / step), 1.0, last);
  const double hi = std::clamp(std::floor((f + half) / step), 0.0, last);
  if (hi < lo) return 0.0;
  double s = 0.0, count = 0.0;
  for (auto k = static_cast<std::size_t>(lo); k <= static_cast<std::size_t>(hi); ++k)
    if (!(std::fabs(static_cast<double>(k) * step - f) < exclude)) s += amplitude[k], count += 1.0;
  return count > 0.0 ? s / count : 0.0;
}

MultiSineFitResult improveFrequencyTable(std::span<const double> time,
                                         std::span<const double> value,
                                         std::span<const double> error, FrequencyTable& table,
                                         const PrewhiteningOptions& options) {
  MultiSineFitResult fit = fitFrequencyTable(time, value, error, table, options.fit);
  if (!fit.converged) return fit;
  const AmplitudeSpectrumGrid grid =
      amplitudeSpectrumGrid(time, options.maxFrequency, options.oversampling);
  const AmplitudeSpectrum res = computeAmplitudeSpectrum(time, fit.residual, grid);
  const double resolution = resolutionOf(time);
  refreshSnrAndLabels(
      table, res.amplitude, grid.step, options, resolution,
      independentFrequenciesOf(grid, options.minFrequency > 0.0 ? options.minFrequency : resolution,
                               resolution));
  return fit;
}

PrewhiteningResult prewhiten(std::span<const double> time, std::span<const double> value,
                             std::span<const double> error, const PrewhiteningOptions& options,
                             const FrequencyTable& start, const RunControl& rc) {
  PrewhiteningResult out;
  const std::size_t n = std::min(time.size(), value.size());
  time = time.first(n);
  value = value.first(n);
  for (std::size_t j = 0; j < n; ++j)
    if (!std::isfinite(time[j]) || !std::isfinite(value[j])) {
      out.message = "a time or value is not a finite number";
      return out;
    }
  const double resolution = resolutionOf(time);
  if (n < 5 || !(resolution > 0.0)) {
    out.message = "too few points or no time span for a frequency analysis";
    return out;
  }
  out.grid = amplitudeSpectrumGrid(time, options.maxFrequency, options.oversampling);
  if (out.grid.count < 3) {
    out.message = "the frequency grid is empty (maximum frequency below the resolution 1/T)";
    return out;
  }
  double minF = options.minFrequency > 0.0 ? options.minFrequency : resolution;
  auto firstK = static_cast<std::size_t>(std::ceil(minF / out.grid.step));
  if (firstK >= static_cast<std::size_t>(out.grid.count)) {
    out.message = "the minimum frequency lies above the maximum frequency";
    return out;
  }
  const AmplitudeSpectrumCalculator spectra(time, out.grid);
  out.originalAmplitude = spectra.amplitude(value);
  out.window = spectra.window();
  const double centralExtent = centralWindowExtent(out.window, out.grid.step);
  if (!(options.minFrequency > 0.0)) {
    minF = std::max(minF, centralExtent);
    firstK = static_cast<std::size_t>(std::ceil(minF / out.grid.step));
    if (firstK + 1 >= static_cast<std::size_t>(out.grid.count)) {
      out.message =
          "the sampling resolves no frequency up to the maximum from the zero point (the spectral "
          "window stays above half height there); give a higher maximum or a minimum frequency";
      return out;
    }
  }
  out.frequency.resize(out.originalAmplitude.size());
  for (std::size_t k = 0; k < out.frequency.size(); ++k)
    out.frequency[k] = static_cast<double>(k) * out.grid.step;
  // The mean stated error squared: residuals below it mean the table is
  // fitting the noise (reduced chi^2 under 1).
  double errorVariance = 0.0;
  std::size_t withError = 0;
  for (std::size_t j = 0; j < std::min(n, error.size()); ++j)
    if (error[j] > 0.0 && std::isfinite(error[j]))
      errorVariance += error[j] * error[j], ++withError;
  errorVariance =
      options.stopAtStatedErrors && withError == n ? errorVariance / static_cast<double>(n) : 0.0;

  FrequencyTable table = start;
  std::vector<double> residual(value.begin(), value.end());
  if (!table.terms.empty()) {
    MultiSineFitResult fit = fitFrequencyTable(time, value, error, table, options.fit);
    if (!fit.converged) {
      out.message = "the starting table could not be fitted: " + fit.message;
      return out;
    }
    residual = std::move(fit.residual);
  } else {
    double mean = 0.0;
    for (double v : value) mean += v;
    mean /= static_cast<double>(n);
    table.zeroPoint = mean;
    for (double& r : residual) r -= mean;
  }
  std::vector<double> spectrum =
      table.terms.empty() ? out.originalAmplitude : spectra.amplitude(residual);
  out.ok = true;
  const int maxCount = std::max(options.maxCount, 0);
  // The S/N a peak needs: the limit, raised to that of the largest
  // false-alarm probability allowed over the independent frequencies.
  const double independent = independentFrequenciesOf(out.grid, minF, resolution);
  double snrLimit = options.snrLimit;
  const double fapSnr = snrOfFalseAlarm(options.maxFalseAlarm, independent);
  const bool byFalseAlarm = fapSnr > snrLimit;
  if (byFalseAlarm) snrLimit = fapSnr;
  double tMean = 0.0;
  for (double t : time) tMean += t;
  tMean /= static_cast<double>(n);
  const std::vector<double> aliases = aliasOffsets(out.window, out.grid.step, resolution);
  HarmonicSeriesOptions series;
  series.tolerance = options.combinationTolerance > 0.0 ? options.combinationTolerance : resolution;
  series.maxFrequency = out.grid.maxFrequency;
  series.maxCount = maxCount;
  series.fit = options.fit;
  // Peaks whose term proved unresolved (see below), by grid index: their
  // main lobe (1/T either side) is not taken again.
  std::vector<char> unresolved(spectrum.size(), 0);
  const auto lobe = static_cast<std::size_t>(std::ceil(resolution / out.grid.step));
  int skipped = 0;
  // Peaks that fell below the S/N limit since the last term was taken (their
  // main lobes), and the first such peak's account.
  std::vector<char> below(spectrum.size(), 0);
  std::string belowLimit;
  auto sumSquares = [](const std::vector<double>& r) {
    double ss = 0.0;
    for (double x : r) ss += x * x;
    return ss;
  };
  // One sinusoid's residual sum of squares at its best frequency within a
  // grid step of f0 (golden section: the sum is unimodal there, well inside
  // the main lobe of 1/T), and that frequency.
  auto refinedSinusoid = [&](const std::vector<double>& y, double f0) {
    constexpr double kGolden = 0.6180339887498949;
    double a = f0 - out.grid.step, b = f0 + out.grid.step;
    double c = b - kGolden * (b - a), d = a + kGolden * (b - a);
    double sc = sinusoidResidualSquares(time, y, c, tMean);
    double sd = sinusoidResidualSquares(time, y, d, tMean);
    // 30 steps shrink the bracket to 1e-6 of a step: far below the
    // frequency errors of any term.
    for (int it = 0; it < 30; ++it) {
      if (sc < sd) {
        b = d, d = c, sd = sc;
        c = b - kGolden * (b - a);
        sc = sinusoidResidualSquares(time, y, c, tMean);
      } else {
        a = c, c = d, sc = sd;
        d = a + kGolden * (b - a);
        sd = sinusoidResidualSquares(time, y, d, tMean);
      }
    }
    const double ss0 = sinusoidResidualSquares(time, y, f0, tMean);
    if (ss0 <= std::min(sc, sd)) return std::pair{f0, ss0};
    return sc < sd ? std::pair{c, sc} : std::pair{d, sd};
  };
  // The alias of term k's frequency (k.frequency +- an alias offset) where
  // one sinusoid fitted to the data less the other terms leaves the
  // smallest residual sum of squares, if that is smaller than at the term's
  // own frequency; 0 otherwise. The aliases are screened at grid points
  // (each at its best point within 1/(2T)); with `refine`, the best
  // kRefinedAliases and the term's own position are each taken at their
  // best frequency, so that both positions are compared alike. A grid
  // point is up to half a step (1/(20 T)) from an alias's optimum, where
  // its sinusoid loses up to 1 - sinc^2(pi / 20), 0.8 %, of its sum of
  // squares: (A / sigma_A)^2 / 120 in units of chi^2, 10 for a term 35
  // times its amplitude error, more than the few units that tell a term
  // from its yearly alias, so that the grid alone kept terms at an alias
  // that fits worse.
  auto betterAlias = [&](const FrequencyTable& t, const std::vector<double>& fitResidual,
                         std::size_t k, bool refine) {
    if (aliases.empty()) return 0.0;
    const FrequencyTerm& term = t.terms[k];
    if (!term.enabled || term.fixedToCombination) return 0.0;
    std::vector<double> partial = fitResidual;
    for (std::size_t j = 0; j < n; ++j)
      partial[j] += term.amplitude *
                    std::sin(2.0 * M_PI * (term.frequency * (time[j] - t.epoch) + term.phase));
    const double ownSquares = refine
                                  ? refinedSinusoid(partial, term.frequency).second
                                  : sinusoidResidualSquares(time, partial, term.frequency, tMean);
    std::vector<std::pair<double, double>> candidates;  // (grid sum of squares, frequency)
    const auto halfWidth = static_cast<int>(std::ceil(0.5 * static_cast<double>(lobe)));
    for (double d : aliases)
      for (double sign : {-1.0, 1.0}) {
        const double centre = term.frequency + sign * d;
        std::pair<double, double> best{std::numeric_limits<double>::infinity(), 0.0};
        for (int j = -halfWidth; j <= halfWidth; ++j) {
          const double fa = centre + j * out.grid.step;
          if (fa < minF || fa > out.grid.maxFrequency) continue;
          best = std::min(best, {sinusoidResidualSquares(time, partial, fa, tMean), fa});
        }
        if (best.second > 0.0) candidates.push_back(best);
      }
    const std::size_t refined = std::min(candidates.size(), kRefinedAliases);
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(refined),
                      candidates.end());
    double bestSquares = ownSquares, bestF = 0.0;
    for (std::size_t q = 0; q < refined; ++q) {
      const auto [fa, ss] = refine ? refinedSinusoid(partial, candidates[q].second)
                                   : std::pair{candidates[q].second, candidates[q].first};
      if (ss < bestSquares && fa >= minF && fa <= out.grid.maxFrequency)
        bestSquares = ss, bestF = fa;
    }
    return bestF;
  };
  for (;;) {
    if (rc.cancelled()) {
      out.stopReason = "cancelled";
      break;
    }
    if (static_cast<int>(table.terms.size()) >= maxCount) {
      out.stopReason = "reached the maximum count of " + std::to_string(maxCount);
      break;
    }
    // The highest residual peak (the first of equal ones) not found
    // unresolved before.
    std::size_t best = spectrum.size();
    if (belowLimit.empty()) {
      for (std::size_t k = firstK; k < spectrum.size(); ++k)
        if (!unresolved[k] && (best == spectrum.size() || spectrum[k] > spectrum[best])) best = k;
    } else {
      // The highest peak fell below the limit against the noise around it.
      // Where that noise is high (red noise, daily systematics near 1 c/d
      // in ground-based surveys), a lower peak elsewhere may stand well
      // above its own noise: the peak of the highest S/N in the spectrum as
      // it is (its noise still holding its own window pattern, so that the
      // fitted S/N can only be higher) is tried next when it reaches the
      // limit, else the cascade ends.
      std::vector<double> prefix(spectrum.size() + 1, 0.0);
      for (std::size_t k = 0; k < spectrum.size(); ++k) prefix[k + 1] = prefix[k] + spectrum[k];
      const double half = 0.5 * options.noiseWindow;
      const auto last = static_cast<double>(spectrum.size() - 1);
      double bestSnr = snrLimit;
      for (std::size_t k = std::max<std::size_t>(firstK, 1); k + 1 < spectrum.size(); ++k) {
        if (unresolved[k] || below[k] || spectrum[k] < spectrum[k - 1] ||
            spectrum[k] < spectrum[k + 1])
          continue;
        const double fk = static_cast<double>(k) * out.grid.step;
        const double lo = std::clamp(std::ceil((fk - half) / out.grid.step), 1.0, last);
        const double hi = std::clamp(std::floor((fk + half) / out.grid.step), 0.0, last);
        if (hi < lo) continue;
        const double noise =
            (prefix[static_cast<std::size_t>(hi) + 1] - prefix[static_cast<std::size_t>(lo)]) /
            (hi - lo + 1.0);
        if (noise > 0.0 && spectrum[k] / noise >= bestSnr) bestSnr = spectrum[k] / noise, best = k;
      }
    }
    if (best == spectrum.size()) {
      out.stopReason = belowLimit.empty() ? "every residual peak left is unresolved" : belowLimit;
      break;
    }
    const double f = out.frequency[best];
    // The new term from the residuals at frequency fNew, the others as fitted.
    auto withTerm = [&](double fNew) {
      const SinusoidAt s = amplitudeAt(time, residual, fNew);
      FrequencyTable extended = table;
      FrequencyTerm term;
      term.frequency = fNew;
      term.amplitude = s.amplitude;
      // a cos + b sin about the mean time == A sin(2 pi (f (t - mean) + phi)).
      const double phaseAtMean = std::atan2(s.cosine, s.sine) / (2.0 * M_PI);
      if (extended.terms.empty()) extended.epoch = tMean;
      term.phase = phaseAtMean - fNew * (tMean - extended.epoch);
      term.phase -= std::floor(term.phase);
      extended.terms.push_back(term);
      return extended;
    };
    FrequencyTable trial = withTerm(f);
    // The peak taken and its amplitude before the fit, for the step's record.
    double takenF = f, takenA = trial.terms.back().amplitude;
    // Passes over the peak at `best`: its main lobe is not taken again.
    auto passOver = [&]() {
      const std::size_t lo = best > lobe ? best - lobe : 0;
      for (std::size_t k = lo; k <= std::min(best + lobe, unresolved.size() - 1); ++k)
        unresolved[k] = 1;
      return ++skipped <= maxCount;
    };
    MultiSineFitResult fit = fitFrequencyTable(time, value, error, trial, options.fit);
    if (!fit.converged) {
      // A candidate that cannot be fitted with the others (a singular
      // system: a sinusoid next to the Nyquist frequency of a regular
      // cadence, or one the terms already in the table account for) is not
      // resolved; the peaks below it may be.
      if (passOver()) continue;
      out.stopReason = "the fit with " + std::to_string(trial.terms.size()) +
                       " frequencies failed: " + fit.message;
      break;
    }
    // Aliases: where the spectral window is high away from 0, the highest
    // point of the spectrum may be an alias of the term's frequency rather
    // than the frequency itself (leakage of the other terms and the noise
    // tip the balance), and the fit then stays in that alias's local
    // minimum. The new term's frequency is compared with its aliases by the
    // residual sum of squares of one sinusoid fitted to the data less the
    // other terms, each alias at its best point within 1/(2T); the best
    // alias replaces it when the simultaneous fit there has the smaller
    // residual sum of squares, the least-squares criterion itself.
    if (const double bestF = betterAlias(trial, fit.residual, trial.terms.size() - 1, false);
        bestF > 0.0) {
      FrequencyTable other = withTerm(bestF);
      const double otherA = other.terms.back().amplitude;
      MultiSineFitResult otherFit = fitFrequencyTable(time, value, error, other, options.fit);
      if (otherFit.converged && sumSquares(otherFit.residual) < sumSquares(fit.residual)) {
        trial = std::move(other);
        fit = std::move(otherFit);
        takenF = bestF, takenA = otherA;
      }
    }
    // S/N against the noise of the residuals once the peak is prewhitened
    // (the peak's own window pattern would otherwise count as noise).
    std::vector<double> trialSpectrum = spectra.amplitude(fit.residual);
    const FrequencyTerm& added = trial.terms.back();
    const double noise = meanAmplitudeNear(trialSpectrum, out.grid.step, added.frequency,
                                           options.noiseWindow, resolution);
    const double snr = noise > 0.0 ? added.amplitude / noise : 0.0;
    // The noise of the spectrum is that of an amplitude orthogonal to the
    // rest of the model; a term whose amplitude is k times as uncertain
    // needs k times the limit. A candidate that fails and is not resolved
    // from the zero point or another term (k above 2: a variance inflation
    // factor above 4, where regression diagnostics take a coefficient to be
    // confounded with the others, O'Brien 2007, Qual. Quant. 41, 673) says
    // nothing of the peaks below it, whose amplitudes are not inflated: it
    // is passed over, its main lobe not taken again, and the cascade goes
    // on. At most maxCount are passed over, each costing one fit. A
    // resolved candidate that fails ends the cascade.
    const double inflation = amplitudeInflation(added);
    const double effective = snr / inflation;
    if (!(effective >= snrLimit) && inflation > kUnresolvedInflation) {
      if (!passOver()) {
        out.stopReason = "more than " + std::to_string(maxCount) +
                         " residual peaks were unresolved from the zero point or other terms";
        break;
      }
      continue;
    }
    if (!(effective >= snrLimit)) {
      char buf[300];
      if (snr >= snrLimit)
        std::snprintf(buf, sizeof buf,
                      "the highest residual peak (%.6f c/d, amplitude %.4g) has S/N %.2f, below "
                      "%.2f times %.2f, the factor by which its amplitude error exceeds the "
                      "white-noise value",
                      added.frequency, added.amplitude, snr, snrLimit, inflation);
      else
        std::snprintf(buf, sizeof buf,
                      "the highest residual peak (%.6f c/d, amplitude %.4g) has S/N %.2f, below "
                      "%.2f",
                      added.frequency, added.amplitude, snr, snrLimit);
      std::string why = buf;
      if (byFalseAlarm) {
        char fap[200];
        std::snprintf(fap, sizeof fap,
                      " (false-alarm probability %.3g over %.0f independent frequencies, above "
                      "%.3g)",
                      falseAlarmProbability(snr, independent), independent, options.maxFalseAlarm);
        why += fap;
      }
      // Passed over like an unresolved peak; the first such reason ends the
      // cascade when no peak elsewhere reaches the limit.
      if (belowLimit.empty()) {
        // A peak elsewhere is sought only when the highest one failed for
        // its loud surroundings: it still reaches the limit against the
        // mean residual amplitude over the whole search. Where it fails
        // there too, the residuals are noise at that level throughout, and
        // picking the peak of the highest S/N would pick the window whose
        // mean came out low by chance: on two ground seasons of white
        // noise that took a term at S/N 4 in 5 % of runs instead of 2 %.
        double wide = 0.0;
        for (std::size_t k = firstK; k < trialSpectrum.size(); ++k) wide += trialSpectrum[k];
        wide /= static_cast<double>(trialSpectrum.size() - firstK);
        if (!(wide > 0.0 && added.amplitude / wide / inflation >= snrLimit)) {
          out.stopReason = why;
          break;
        }
        belowLimit = why;
      }
      const std::size_t lo = best > lobe ? best - lobe : 0;
      for (std::size_t k = lo; k <= std::min(best + lobe, below.size() - 1); ++k) below[k] = 1;
      if (++skipped > maxCount) {
        out.stopReason = belowLimit;
        break;
      }
      continue;
    }
    if (errorVariance > 0.0) {
      double ss = 0.0;
      for (double r : fit.residual) ss += r * r;
      const double dof =
          static_cast<double>(n) - (1.0 + 3.0 * static_cast<double>(trial.terms.size()));
      if (ss / dof < errorVariance) {
        out.stopReason = "the residuals reached the stated errors (reduced chi^2 below 1 with " +
                         std::to_string(trial.terms.size()) +
                         " frequencies): further peaks would fit noise";
        break;
      }
    }
    table = std::move(trial);
    // A new term changes the residuals: a peak below the limit before is
    // a candidate again.
    if (!belowLimit.empty()) {
      belowLimit.clear();
      std::fill(below.begin(), below.end(), 0);
    }
    residual = std::move(fit.residual);
    spectrum = std::move(trialSpectrum);
    if (options.harmonicSeries) {
      // A series is extended when a term joined it (its reach grew, or it
      // was made); a group refused before is not fitted again each step.
      if (joinHarmonicSeries(time, value, error, table, residual, series)) {
        extendHarmonicSeries(time, value, error, table, residual, series);
        spectrum = spectra.amplitude(residual);
      }
    }
    PrewhiteningStep step;
    step.frequency = takenF;
    step.amplitude = takenA;
    step.snr = snr;
    if (options.keepResidualSpectra) step.residualAmplitude = spectrum;
    out.steps.push_back(std::move(step));
    rc.report(static_cast<double>(table.terms.size()) / std::max(maxCount, 1));
  }
  // A series whose teeth the data do not hold at exact multiples is
  // dissolved (harmonic_series.h).
  if (options.harmonicSeries && !rc.cancelled()) {
    auto snrOf = [&](const FrequencyTable& t, std::span<const double> r) {
      const std::vector<double> a = spectra.amplitude(r);
      std::vector<double> snr;
      for (const auto& term : t.terms) {
        const double noise =
            meanAmplitudeNear(a, out.grid.step, term.frequency, options.noiseWindow, resolution);
        snr.push_back(noise > 0.0 ? term.amplitude / noise : 0.0);
      }
      return snr;
    };
    if (settleHarmonicSeries(time, value, error, table, residual, series, snrLimit, snrOf))
      spectrum = spectra.amplitude(residual);
  }
  // With every term in, each is moved to a better-fitting alias where there
  // is one (a term found early may have taken an alias while later terms
  // were still unfitted), then close pairs together, repeated while a pass
  // moves any term. Here the positions are compared at their own best
  // frequencies; the cascade's move of a new term only picks where it
  // starts, from the grid screening.
  if (!aliases.empty() && !table.terms.empty() && !rc.cancelled()) {
    double squares = sumSquares(residual);
    bool moved = false;
    // `other` takes the table's place when its simultaneous fit converges
    // to smaller residuals.
    auto keepIfBetter = [&](FrequencyTable& other) {
      MultiSineFitResult otherFit = fitFrequencyTable(time, value, error, other, options.fit);
      if (!otherFit.converged) return false;
      const double otherSquares = sumSquares(otherFit.residual);
      if (!(otherSquares < squares)) return false;
      table = std::move(other);
      residual = std::move(otherFit.residual);
      squares = otherSquares;
      return true;
    };
    for (std::size_t pass = 0; pass < table.terms.size(); ++pass) {
      bool movedThisPass = false;
      for (std::size_t k = 0; k < table.terms.size(); ++k) {
        const double bestF = betterAlias(table, residual, k, true);
        if (!(bestF > 0.0)) continue;
        FrequencyTable other = table;
        FrequencyTerm& term = other.terms[k];
        std::vector<double> partial = residual;
        for (std::size_t j = 0; j < n; ++j)
          partial[j] +=
              term.amplitude *
              std::sin(2.0 * M_PI * (term.frequency * (time[j] - table.epoch) + term.phase));
        const SinusoidAt s = amplitudeAt(time, partial, bestF);
        term.frequency = bestF;
        term.amplitude = s.amplitude;
        term.phase = std::atan2(s.cosine, s.sine) / (2.0 * M_PI) - bestF * (tMean - other.epoch);
        term.phase -= std::floor(term.phase);
        if (keepIfBetter(other)) movedThisPass = moved = true;
      }
      // Two terms closer than the window's central peak (not resolved
      // within a season) may each sit an alias off, on either side of the
      // truth: a local minimum that no move of one term leaves. Their alias
      // offsets within the central peak are tried together, screened by
      // the linear fit of two sinusoids to the data less the other terms.
      std::vector<double> offsets = {0.0};
      for (double d : aliases)
        if (d < centralExtent) offsets.push_back(d), offsets.push_back(-d);
      for (std::size_t a = 0; offsets.size() > 1 && a < table.terms.size(); ++a)
        for (std::size_t b = a + 1; b < table.terms.size(); ++b) {
          const FrequencyTerm &ta = table.terms[a], &tb = table.terms[b];
          if (!ta.enabled || !tb.enabled || ta.fixedToCombination || tb.fixedToCombination ||
              !(std::fabs(ta.frequency - tb.frequency) < centralExtent))
            continue;
          std::vector<double> partial = residual;
          for (std::size_t j = 0; j < n; ++j)
            for (const FrequencyTerm* t : {&ta, &tb})
              partial[j] +=
                  t->amplitude *
                  std::sin(2.0 * M_PI * (t->frequency * (time[j] - table.epoch) + t->phase));
          // Each combination of offsets is fitted to that difference as
          // two sinusoids whose frequencies are free too: a linear fit at
          // the offset frequencies themselves (grid multiples, up to half a
          // step from where the fringe of a season's cycles lies) loses more
          // over the span than the few units of chi^2 that tell a close
          // pair's aliases apart, so that it kept a pair at its alias while
          // the truth fitted better.
          auto pairFit = [&](double fa, double fb, FrequencyTable& two) {
            const double pair[2] = {fa, fb};
            std::vector<double> c;
            sinusoidsResidualSquares(time, partial, pair, tMean, &c);
            if (c.size() < 4) return std::numeric_limits<double>::infinity();
            two = FrequencyTable{};
            two.epoch = table.epoch;
            for (int q = 0; q < 2; ++q) {
              FrequencyTerm t;
              const double cq = c[2 * static_cast<std::size_t>(q)],
                           sq = c[2 * static_cast<std::size_t>(q) + 1];
              t.frequency = pair[q];
              t.amplitude = std::hypot(cq, sq);
              t.phase = std::atan2(cq, sq) / (2.0 * M_PI) - pair[q] * (tMean - two.epoch);
              t.phase -= std::floor(t.phase);
              two.terms.push_back(t);
            }
            const MultiSineFitResult f2 = fitFrequencyTable(time, partial, {}, two, options.fit);
            if (!f2.converged ||
                !(std::fabs(two.terms[0].frequency - two.terms[1].frequency) >= resolution))
              return std::numeric_limits<double>::infinity();
            return sumSquares(f2.residual);
          };
          // The linear fits at the offset frequencies rank the combinations;
          // the few best (kPolishedPairs) are fitted with free frequencies.
          std::vector<std::pair<double, std::pair<double, double>>> ranked;
          for (double da : offsets)
            for (double db : offsets) {
              if (da == 0.0 && db == 0.0) continue;
              const double pair[2] = {ta.frequency + da, tb.frequency + db};
              if (pair[0] < minF || pair[1] < minF || std::fabs(pair[0] - pair[1]) < resolution)
                continue;
              ranked.push_back(
                  {sinusoidsResidualSquares(time, partial, pair, tMean), {pair[0], pair[1]}});
            }
          const std::size_t polished = std::min(ranked.size(), kPolishedPairs);
          std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(polished),
                            ranked.end());
          FrequencyTable bestPair;
          double bestSquares = pairFit(ta.frequency, tb.frequency, bestPair);
          bool found = false;
          for (std::size_t q = 0; q < polished; ++q) {
            FrequencyTable two;
            const double ss = pairFit(ranked[q].second.first, ranked[q].second.second, two);
            // A pair that returns to the current frequencies is no move.
            if (ss < bestSquares &&
                (std::fabs(two.terms[0].frequency - ta.frequency) > 0.5 * resolution ||
                 std::fabs(two.terms[1].frequency - tb.frequency) > 0.5 * resolution))
              bestSquares = ss, bestPair = std::move(two), found = true;
          }
          if (!found) continue;
          FrequencyTable other = table;
          for (int q = 0; q < 2; ++q) {
            FrequencyTerm& t = other.terms[q == 0 ? a : b];
            const FrequencyTerm& fitted = bestPair.terms[static_cast<std::size_t>(q)];
            t.frequency = fitted.frequency;
            t.amplitude = fitted.amplitude;
            t.phase = fitted.phase;
          }
          if (keepIfBetter(other)) movedThisPass = moved = true;
        }
      if (!movedThisPass) break;
    }
    if (moved) spectrum = spectra.amplitude(residual);
  }
  refreshSnrAndLabels(table, spectrum, out.grid.step, options, resolution, independent);
  if (table.terms.empty()) {
    table.points = static_cast<int>(n);
    table.timeSpan = 1.0 / resolution;
    double ss = 0.0;
    for (double r : residual) ss += r * r;
    table.residualRms = std::sqrt(ss / static_cast<double>(n));
  }
  out.table = std::move(table);
  out.residualAmplitude = std::move(spectrum);
  out.residual = std::move(residual);
  return out;
}

LightCurveAmplitudeSpectrum amplitudeSpectrumOfLightCurve(const Workspace& ws, double maxFrequency,
                                                          double oversampling) {
  LightCurveAmplitudeSpectrum out;
  const LightCurve& lc = ws.lightCurve;
  out.valueKind = lc.valueKind;
  const auto n = static_cast<std::size_t>(std::max<std::int64_t>(
      0, std::min<std::int64_t>({lc.pointCount, static_cast<std::int64_t>(lc.time.size()),
                                 static_cast<std::int64_t>(lc.value.size())})));
  // Three points: the mean and a sinusoid's two coefficients.
  if (n < 3) {
    out.message = "The amplitude spectrum needs at least 3 observations.";
    return out;
  }
  const std::span<const double> time(lc.time.data(), n);
  const std::span<const double> value(lc.value.data(), n);
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(time[i]) || !std::isfinite(value[i])) {
      out.message = "The amplitude spectrum needs finite times and values.";
      return out;
    }
  if (!(oversampling > 0.0) || !std::isfinite(oversampling) || !std::isfinite(maxFrequency)) {
    out.message =
        "The amplitude spectrum's oversampling must be positive and its maximum "
        "frequency finite.";
    return out;
  }
  const AmplitudeSpectrumGrid grid = amplitudeSpectrumGrid(time, maxFrequency, oversampling);
  if (grid.count < 2) {
    out.message =
        "The amplitude spectrum needs observations at two or more distinct times "
        "and a maximum frequency above the grid step.";
    return out;
  }
  AmplitudeSpectrum spectrum = computeAmplitudeSpectrum(time, value, grid);
  out.frequency = std::move(spectrum.frequency);
  out.amplitude = std::move(spectrum.amplitude);
  // The highest point from the resolution 1/T up, as prewhitening takes its
  // peaks: below it a sinusoid is not resolved from a trend over the data,
  // and its amplitude (fitted beside the mean) can exceed any real term's.
  const double resolution = resolutionOf(time);
  for (std::size_t k = 0; k < out.amplitude.size(); ++k)
    if (out.frequency[k] >= resolution && out.amplitude[k] > out.peakAmplitude) {
      out.peakFrequency = out.frequency[k];
      out.peakAmplitude = out.amplitude[k];
    }
  out.ok = true;
  return out;
}

}  // namespace fazorn
