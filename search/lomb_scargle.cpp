#include "search/lomb_scargle.h"

#include <algorithm>
#include <cmath>

#include "core/numeric_kit.h"
#include "core/parallel_for.h"
#include "search/frequency_grid.h"

namespace fazorn {

namespace {

// 2 pi as the published routine writes it.
constexpr double kTwoPi = 6.283185307179586;
// Frequencies between checks of the cancel flag.
constexpr std::int64_t kCheckEvery = 64;
// Cost of advancing the recurrence by one frequency relative to a full
// frequency, for balancing the ranges of the threads.
constexpr double kAdvanceCost = 0.3;

struct PointState {
  std::vector<double> c, s;  // cosineTerm, sineTerm
};

// One step of the recurrence for every point; the same expression serves
// the main loop and the advance to a thread's first frequency, so both give
// the same bits.
inline void advance(std::size_t n, const double* cosineStep, const double* sineStep, double* c,
                    double* s) {
  for (std::size_t j = 0; j < n; ++j) {
    const double cj = c[j], sj = s[j];
    c[j] = (cj * cosineStep[j] - sj * sineStep[j]) + cj;
    s[j] = (sj * cosineStep[j] + cj * sineStep[j]) + sj;
  }
}

}  // namespace

LombScargleOptions lombScargleOptionsFor(double minPeriod, double maxPeriod, std::size_t n,
                                         double timeSpan) {
  const double maxFrequency = 1 / minPeriod;
  const double minFrequency = 1 / maxPeriod;
  const double averageNyquist = static_cast<double>(n) * 0.5 / timeSpan;
  LombScargleOptions o;
  o.oversampling = 1 / (timeSpan * minFrequency);
  o.highFrequencyFactor = maxFrequency / averageNyquist;
  const double capacity =
      std::ceil(static_cast<double>(n) * o.oversampling * o.highFrequencyFactor * 0.5);
  // A capacity beyond what memory holds is left to the engine to refuse.
  o.capacity = capacity >= 0 && capacity <= static_cast<double>(kMaxFrequencyCount)
                   ? static_cast<std::int64_t>(capacity)
                   : -1;
  return o;
}

AverageAndVariance averageAndVariance(std::span<const double> y) {
  AverageAndVariance r;
  const std::size_t n = y.size();
  if (n == 0) return r;
  double sum = 0.0;
  for (double v : y) sum += v;
  r.average = sum / static_cast<double>(n);
  double ep = 0.0, var = 0.0;
  for (double v : y) {
    const double d = v - r.average;
    ep += d;
    var += d * d;
  }
  r.variance = (var - ep * ep / static_cast<double>(n)) / static_cast<double>(n - 1);
  return r;
}

LombScargleResult computeLombScarglePeriodogram(std::span<const double> time,
                                                std::span<const double> value,
                                                const LombScargleOptions& options,
                                                const RunControl& rc) {
  LombScargleResult r;
  const std::size_t n = std::min(time.size(), value.size());
  if (n < 2) {
    r.message = "At least 2 points are needed.";
    return r;
  }
  const double requested =
      std::trunc(0.5 * options.oversampling * options.highFrequencyFactor * static_cast<double>(n));
  if (!(requested >= 1)) {
    r.message = "The frequency grid is empty.";
    return r;
  }
  if (requested > static_cast<double>(kMaxFrequencyCount)) {
    r.message = "The frequency grid is too large to hold in memory.";
    return r;
  }
  std::int64_t nout = static_cast<std::int64_t>(requested);
  if (options.capacity >= 0 && options.capacity < nout) {
    reportNumericError("output arrays too short in period");
    nout = options.capacity;
  }
  const AverageAndVariance av = averageAndVariance(value.first(n));
  const auto [lo, hi] = std::minmax_element(time.begin(), time.begin() + static_cast<long>(n));
  const double xmin = *lo, xmax = *hi;
  const double xdif = xmax - xmin;
  const double xave = 0.5 * (xmax + xmin);
  if (!(av.variance > 0) || !std::isfinite(av.variance) || !(xdif > 0) || !std::isfinite(xdif)) {
    r.message = !(xdif > 0) ? "All points have the same time." : "The values do not vary.";
    return r;
  }
  const double pnow0 = 1.0 / (xdif * options.oversampling);
  const double step = 1.0 / (options.oversampling * xdif);

  std::vector<double> cosineStep(n), sineStep(n), yy(n);
  PointState start;
  start.c.resize(n);
  start.s.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double arg = (time[j] - xave) * pnow0 * kTwoPi;
    // The published routine squares through a single-precision temporary.
    const float half = static_cast<float>(std::sin(0.5 * arg));
    cosineStep[j] = half == 0.0f ? 0.0 : -2.0 * static_cast<double>(half * half);
    sineStep[j] = std::sin(arg);
    start.s[j] = std::sin(arg);
    start.c[j] = std::cos(arg);
    yy[j] = value[j] - av.average;
  }
  // The frequencies by repeated addition, as the routine advances pnow.
  r.frequency.resize(static_cast<std::size_t>(nout));
  r.power.assign(static_cast<std::size_t>(nout), 0.0);
  {
    double pnow = pnow0;
    for (auto& f : r.frequency) {
      f = pnow;
      pnow = pnow + step;
    }
  }

  // Contiguous ranges whose total cost (own frequencies plus the advance to
  // the first of them) is about equal.
  const int threads = rc.effectiveThreads(static_cast<long>(nout / kCheckEvery + 1));
  std::vector<std::int64_t> bounds(static_cast<std::size_t>(threads) + 1, 0);
  {
    const double rho = kAdvanceCost;
    const double cost = static_cast<double>(nout) * rho / (1.0 - std::pow(1.0 - rho, threads));
    double b = 0.0;
    for (int k = 1; k < threads; ++k) {
      b = b * (1.0 - rho) + cost;
      bounds[static_cast<std::size_t>(k)] = std::min<std::int64_t>(nout, std::llround(b));
    }
    bounds.back() = nout;
  }
  WorkMeter meter(rc, nout);
  const double var = av.variance;
  runOnThreads(threads, [&](int k) {
    const std::int64_t first = bounds[static_cast<std::size_t>(k)];
    const std::int64_t last = bounds[static_cast<std::size_t>(k) + 1];
    std::vector<double> c = start.c, s = start.s;
    for (std::int64_t i = 0; i < first; ++i) {
      if (i % (kCheckEvery * 4) == 0 && meter.cancelled()) return;
      advance(n, cosineStep.data(), sineStep.data(), c.data(), s.data());
    }
    for (std::int64_t i = first; i < last; ++i) {
      if ((i - first) % kCheckEvery == 0) {
        if (meter.cancelled()) return;
        if (i > first) meter.add(kCheckEvery);
      }
      double sumsh = 0.0, sumc = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        sumsh += s[j] * c[j];
        sumc += (c[j] - s[j]) * (c[j] + s[j]);
      }
      const double wtau = 0.5 * std::atan2(2.0 * sumsh, sumc);
      const double swtau = std::sin(wtau);
      const double cwtau = std::cos(wtau);
      double sums = 0.0, sumsy = 0.0, sumcy = 0.0;
      sumc = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        const double ss = s[j] * cwtau - c[j] * swtau;
        const double cc = c[j] * cwtau + s[j] * swtau;
        sums += ss * ss;
        sumc += cc * cc;
        sumsy += yy[j] * ss;
        sumcy += yy[j] * cc;
      }
      advance(n, cosineStep.data(), sineStep.data(), c.data(), s.data());
      r.power[static_cast<std::size_t>(i)] =
          0.5 * (sumcy * sumcy / sumc + sumsy * sumsy / sums) / var;
    }
    if (last > first) meter.add((last - first - 1) % kCheckEvery + 1);
  });
  if (meter.done() < nout) {
    r.status = SearchStatus::Cancelled;
    r.message = "Cancelled.";
    return r;
  }

  double pymax = 0.0;
  for (std::int64_t i = 0; i < nout; ++i) {
    if (r.power[static_cast<std::size_t>(i)] >= pymax) {
      pymax = r.power[static_cast<std::size_t>(i)];
      r.peakIndex = static_cast<std::int32_t>(i);
    }
  }
  if (r.peakIndex < 0) {
    r.message = "No frequency has a finite power.";
    return r;
  }
  r.maxPower = pymax;
  const double expy = std::exp(-pymax);
  const double effm = 2.0 * static_cast<double>(nout) / options.oversampling;
  double prob = effm * expy;
  if (prob > 0.01) prob = 1.0 - std::pow(1.0 - expy, effm);
  r.falseAlarmProbability = prob;
  r.status = SearchStatus::Ok;
  return r;
}

}  // namespace fazorn
