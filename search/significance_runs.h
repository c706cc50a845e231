// The randomisation runs of the significance test as a pure engine: a light
// curve and a search in, the highest peak of every randomised run out. The
// values are replaced by white noise of the same mean and rms, or permuted
// together with their errors and weights over the fixed times; run k always
// draws from the random stream derived from (seed, k), so the peaks do not
// depend on the thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/random_stream.h"
#include "core/run_control.h"
#include "core/workspace.h"
#include "search/search_engine.h"
#include "search/search_result.h"

namespace fazorn {

enum class Randomization { Permute, WhiteNoise };

// The highest peak of one search.
struct PeakFound {
  double period = 0.0;  // days
  double power = 0.0;
};

// One search over a light curve with the stored settings. It must be
// thread-safe (called from several threads at once on different arrays) and
// should stop soon once rc is cancelled (its result is then discarded).
using PeakSearch = std::function<PeakFound(
    std::span<const double> time, std::span<const double> value, std::span<const double> weight,
    const SearchSettings& settings, const RunControl& rc)>;

// The default search of each method on the stored settings: the real
// engine on one thread. With the Exact route the numbers are the window's
// command's; Fast and Auto may take the Fourier routes (powers within 1e-8
// of direct sums; Lomb-Scargle's recurrence differs from those by up to
// about 1e-4).
PeakSearch defaultPeakSearch(SearchEngine method, SearchRoute route = SearchRoute::Exact);

// The method's search for many runs over the same times (those given here,
// with the weights of the light curve they come from). With a route other
// than Exact, AoV prepares the work that depends only on the times and the
// grid once (AovSharedTimes: powers within about 1e-8 of the exact route's;
// Lomb-Scargle likewise with LombScargleSharedTimes) and every search on
// those times and settings uses it; Auto does so where it is the cheaper.
// Anything else is defaultPeakSearch(method, route).
PeakSearch sharedTimesPeakSearch(SearchEngine method, SearchRoute route,
                                 std::span<const double> time, std::span<const double> weight,
                                 const SearchSettings& settings);

// The light curve every run starts from (all spans of the same length).
struct RandomizationInput {
  std::span<const double> time, value, error, weight;
};

struct RandomizationOptions {
  Randomization randomization = Randomization::Permute;
  long iterations = 100000;  // randomised runs
  std::uint64_t seed = 1;    // every run's random stream derives from it
};

struct RandomizationRuns {
  std::vector<PeakFound> peaks;  // the finished runs 0 .. peaks.size() - 1, in run order
  bool cancelled = false;
};

// Receives the finished runs in run order, a stretch at a time: runs
// [first, first + peaks.size()). Called on the calling thread.
using RunSink = std::function<void(long first, std::span<const PeakFound> peaks)>;

// Runs the randomised searches on rc's threads. Cancellation (checked inside
// the searches too) keeps the longest stretch of finished runs from run 0;
// progress is reported at most a few hundred times. `sink`, when given, gets
// the runs as they finish (for writing them out), and the returned peaks
// stay empty unless `keepPeaks` is set.
RandomizationRuns runRandomizations(const RandomizationInput& input,
                                    const RandomizationOptions& options, const PeakSearch& search,
                                    const SearchSettings& settings, const RunControl& rc,
                                    const RunSink& sink = {}, bool keepPeaks = true);

// The seed of run `run` of a test seeded with `seed`.
std::uint64_t randomizationRunSeed(std::uint64_t seed, long run);

}  // namespace fazorn
