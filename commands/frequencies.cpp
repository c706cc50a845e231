#include "commands/frequencies.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fazorn {

namespace {

double resolutionOf(std::span<const double> time) {
  if (time.size() < 2) return 0.0;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  return *hi > *lo ? 1.0 / (*hi - *lo) : 0.0;
}

void refreshSnrAndLabels(FrequencyTable& table, std::span<const double> residualAmplitude,
                         double step, const PrewhiteningOptions& options, double resolution) {
  for (auto& t : table.terms) {
    const double noise =
        meanAmplitudeNear(residualAmplitude, step, t.frequency, options.noiseWindow);
    t.snr = noise > 0.0 ? t.amplitude / noise : 0.0;
  }
  const double tol = options.combinationTolerance > 0.0 ? options.combinationTolerance : resolution;
  labelCombinations(table, tol);
}

}  // namespace

double meanAmplitudeNear(std::span<const double> amplitude, double step, double f, double width) {
  if (amplitude.empty() || !(step > 0.0)) return 0.0;
  const double half = 0.5 * width;
  const auto last = static_cast<double>(amplitude.size() - 1);
  // Skip k = 0: the floating mean makes it 0 by construction.
  const double lo = std::clamp(std::ceil((f - half) / step), 1.0, last);
  const double hi = std::clamp(std::floor((f + half) / step), 0.0, last);
  if (hi < lo) return 0.0;
  double s = 0.0;
  for (auto k = static_cast<std::size_t>(lo); k <= static_cast<std::size_t>(hi); ++k)
    s += amplitude[k];
  return s / (hi - lo + 1.0);
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
  refreshSnrAndLabels(table, res.amplitude, grid.step, options, resolutionOf(time));
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
  const double minF = options.minFrequency > 0.0 ? options.minFrequency : resolution;
  const auto firstK = static_cast<std::size_t>(std::ceil(minF / out.grid.step));
  if (firstK >= static_cast<std::size_t>(out.grid.count)) {
    out.message = "the minimum frequency lies above the maximum frequency";
    return out;
  }
  const AmplitudeSpectrumCalculator spectra(time, out.grid);
  out.originalAmplitude = spectra.amplitude(value);
  out.window = spectra.window();
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
  for (;;) {
    if (rc.cancelled()) {
      out.stopReason = "cancelled";
      break;
    }
    if (static_cast<int>(table.terms.size()) >= maxCount) {
      out.stopReason = "reached the maximum count of " + std::to_string(maxCount);
      break;
    }
    // The highest residual peak (the first of equal ones).
    std::size_t best = firstK;
    for (std::size_t k = firstK; k < spectrum.size(); ++k)
      if (spectrum[k] > spectrum[best]) best = k;
    const double f = out.frequency[best];
    // The new term from the residuals at the peak, the others as fitted.
    const SinusoidAt s = amplitudeAt(time, residual, f);
    FrequencyTable trial = table;
    FrequencyTerm term;
    term.frequency = f;
    term.amplitude = s.amplitude;
    // a cos + b sin about the mean time == A sin(2 pi (f (t - mean) + phi)).
    double tMean = 0.0;
    for (double t : time) tMean += t;
    tMean /= static_cast<double>(n);
    const double phaseAtMean = std::atan2(s.cosine, s.sine) / (2.0 * M_PI);
    if (trial.terms.empty()) trial.epoch = tMean;
    term.phase = phaseAtMean - f * (tMean - trial.epoch);
    term.phase -= std::floor(term.phase);
    trial.terms.push_back(term);
    MultiSineFitResult fit = fitFrequencyTable(time, value, error, trial, options.fit);
    if (!fit.converged) {
      out.stopReason = "the fit with " + std::to_string(trial.terms.size()) +
                       " frequencies failed: " + fit.message;
      break;
    }
    // S/N against the noise of the residuals once the peak is prewhitened
    // (the peak's own window pattern would otherwise count as noise).
    std::vector<double> trialSpectrum = spectra.amplitude(fit.residual);
    const FrequencyTerm& added = trial.terms.back();
    const double noise =
        meanAmplitudeNear(trialSpectrum, out.grid.step, added.frequency, options.noiseWindow);
    const double snr = noise > 0.0 ? added.amplitude / noise : 0.0;
    if (!(snr >= options.snrLimit)) {
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    "the highest residual peak (%.6f c/d, amplitude %.4g) has S/N %.2f, below "
                    "%.2f",
                    added.frequency, added.amplitude, snr, options.snrLimit);
      out.stopReason = buf;
      break;
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
    residual = std::move(fit.residual);
    spectrum = std::move(trialSpectrum);
    PrewhiteningStep step;
    step.frequency = f;
    step.amplitude = s.amplitude;
    step.snr = snr;
    if (options.keepResidualSpectra) step.residualAmplitude = spectrum;
    out.steps.push_back(std::move(step));
    rc.report(static_cast<double>(table.terms.size()) / std::max(maxCount, 1));
  }
  refreshSnrAndLabels(table, spectrum, out.grid.step, options, resolution);
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

}  // namespace fazorn
