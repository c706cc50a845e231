#include "search/significance_runs.h"

#include <algorithm>
#include <cmath>

#include "core/parallel_for.h"

namespace fazorn {

namespace {

// Runs handed out between deliveries to the sink: fixed, so the stretches
// (and the file written from them) never depend on the thread count.
constexpr long kRunsPerStretch = 256;

// Copies of the light curve a thread randomises, made once per stretch.
struct RunCopies {
  std::vector<double> value, error, weight;
  explicit RunCopies(std::size_t n) : value(n), error(n), weight(n) {}
};

}  // namespace

std::uint64_t randomizationRunSeed(std::uint64_t seed, long run) {
  std::uint64_t x = seed;
  const std::uint64_t a = splitMix64(x);
  std::uint64_t y = a ^ (static_cast<std::uint64_t>(run) * 0xD1B54A32D192ED03ull);
  return splitMix64(y);
}

RandomizationRuns runRandomizations(const RandomizationInput& input,
                                    const RandomizationOptions& options, const PeakSearch& search,
                                    const SearchSettings& settings, const RunControl& rc,
                                    const RunSink& sink, bool keepPeaks) {
  RandomizationRuns out;
  const std::size_t n =
      std::min({input.time.size(), input.value.size(), input.error.size(), input.weight.size()});
  const long iterations = std::max(0L, options.iterations);
  // The white noise has the light curve's mean and rms (about the mean, n).
  double mean = 0.0, rms = 0.0;
  if (n > 0) {
    for (std::size_t i = 0; i < n; ++i) mean += input.value[i];
    mean /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) rms += (input.value[i] - mean) * (input.value[i] - mean);
    rms = std::sqrt(rms / static_cast<double>(n));
  }
  // The searches run one thread each; the runs are what is shared out.
  RunControl inner;
  inner.threads = 1;
  inner.cancel = rc.cancel;
  const std::span<const double> time = input.time.first(n);

  WorkMeter meter(rc, iterations);
  std::vector<PeakFound> stretch(static_cast<std::size_t>(std::min(kRunsPerStretch, iterations)));
  std::vector<char> done;
  for (long first = 0; first < iterations; first += kRunsPerStretch) {
    const long count = std::min(kRunsPerStretch, iterations - first);
    parallelFor(
        count, 1, meter, [&] { return RunCopies(n); },
        [&](RunCopies& copy, std::int64_t k, std::int64_t) {
          RandomStream rng(randomizationRunSeed(options.seed, first + static_cast<long>(k)));
          std::copy_n(input.weight.begin(), n, copy.weight.begin());
          if (options.randomization == Randomization::Permute) {
            std::copy_n(input.value.begin(), n, copy.value.begin());
            std::copy_n(input.error.begin(), n, copy.error.begin());
            permuteTogether(copy.value, copy.error, copy.weight, rng);
          } else {
            fillWhiteNoise(copy.value, mean, rms, rng);
          }
          stretch[static_cast<std::size_t>(k)] =
              search(time, copy.value, copy.weight, settings, inner);
          // A search stopped part-way found no real peak.
          return !inner.cancelled();
        },
        &done);
    const long finished = static_cast<long>(std::find(done.begin(), done.end(), 0) - done.begin());
    const std::span<const PeakFound> peaks(stretch.data(), static_cast<std::size_t>(finished));
    if (finished > 0) {
      if (sink) sink(first, peaks);
      if (keepPeaks) out.peaks.insert(out.peaks.end(), peaks.begin(), peaks.end());
    }
    if (finished < count) {
      out.cancelled = true;
      break;
    }
  }
  return out;
}

}  // namespace fazorn
