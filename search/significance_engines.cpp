// The searches of the randomisation tests: the real engines on the given
// arrays, one thread each (the test runs many searches in parallel).
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "search/aov_periodogram.h"
#include "search/lomb_scargle.h"
#include "search/significance_runs.h"

namespace fazorn {

namespace {

// The shared routes hold the moment sums of the whole grid for every run in
// flight (16 bytes a sum); beyond this much per run the engine's own routes,
// which keep one power per frequency, are the safer choice.
constexpr double kMaxSharedBytesPerRun = 512.0 * 1024 * 1024;

PeakFound lombScarglePeak(std::span<const double> time, std::span<const double> value,
                          const SearchSettings& s, const RunControl& rc, SearchRoute route) {
  if (time.size() < 2) return {};
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  LombScargleOptions options =
      lombScargleOptionsFor(s.minPeriod, s.maxPeriod, time.size(), *hi - *lo);
  options.route = route;
  if (options.capacity < 0) return {};
  const LombScargleResult r = computeLombScarglePeriodogram(time, value, options, rc);
  if (r.status != SearchStatus::Ok) return {};
  const double f = r.frequency[static_cast<std::size_t>(r.peakIndex)];
  return {f != 0 ? 1 / f : 0.0, r.maxPower};
}

PeakFound aovPeak(std::span<const double> time, std::span<const double> value,
                  std::span<const double> weight, const SearchSettings& s, const RunControl& rc,
                  SearchRoute route) {
  const GridCheck grid = makeFrequencyGrid(1 / s.maxPeriod, 1 / s.minPeriod, s.resolution);
  if (!grid.ok()) return {};
  const int terms = 2 * std::max(1, s.harmonics) + 1;
  const AovResult r = computeAovPeriodogram({time, value, weight}, {grid.grid, terms, route}, rc);
  if (r.status != SearchStatus::Ok) return {};
  return {1 / r.bestFrequency, r.maxPower};
}

}  // namespace

PeakSearch defaultPeakSearch(SearchEngine method, SearchRoute route) {
  if (method == SearchEngine::Aov)
    return [route](std::span<const double> t, std::span<const double> v, std::span<const double> w,
                   const SearchSettings& s,
                   const RunControl& rc) { return aovPeak(t, v, w, s, rc, route); };
  return [route](std::span<const double> t, std::span<const double> v, std::span<const double>,
                 const SearchSettings& s,
                 const RunControl& rc) { return lombScarglePeak(t, v, s, rc, route); };
}

namespace {

using SharedSearch = std::function<PeakFound(std::span<const double> value,
                                             std::span<const double> weight, const RunControl&)>;

// Searches on the very times and settings the shared work was prepared for
// go to `shared`; any other to the engine.
PeakSearch onSharedTimes(PeakSearch engine, std::span<const double> time,
                         const SearchSettings& settings, SharedSearch shared) {
  std::vector<double> times(time.begin(), time.end());
  return [engine = std::move(engine), shared = std::move(shared), times = std::move(times),
          settings](std::span<const double> t, std::span<const double> v, std::span<const double> w,
                    const SearchSettings& s, const RunControl& rc) {
    const bool same = t.size() == times.size() &&
                      std::memcmp(t.data(), times.data(), times.size() * sizeof(double)) == 0 &&
                      s.minPeriod == settings.minPeriod && s.maxPeriod == settings.maxPeriod &&
                      s.resolution == settings.resolution && s.harmonics == settings.harmonics;
    return same ? shared(v, w, rc) : engine(t, v, w, s, rc);
  };
}

}  // namespace

PeakSearch sharedTimesPeakSearch(SearchEngine method, SearchRoute route,
                                 std::span<const double> time, std::span<const double> weight,
                                 const SearchSettings& settings) {
  PeakSearch engine = defaultPeakSearch(method, route);
  if (route == SearchRoute::Exact || time.size() < 2) return engine;
  if (method == SearchEngine::LombScargle) {
    const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
    const LombScargleOptions options =
        lombScargleOptionsFor(settings.minPeriod, settings.maxPeriod, time.size(), *hi - *lo);
    if (options.capacity < 0 ||
        32.0 * static_cast<double>(options.capacity) > kMaxSharedBytesPerRun)
      return engine;
    if (route == SearchRoute::Auto &&
        !LombScargleSharedTimes::cheaperThanExact(time.size(), options.capacity))
      return engine;
    auto shared = std::make_shared<LombScargleSharedTimes>(time, options);
    if (!shared->usable()) return engine;
    return onSharedTimes(
        std::move(engine), time, settings,
        [shared](std::span<const double> v, std::span<const double>, const RunControl& rc) {
          const LombScargleSharedTimes::Peak p = shared->peak(v, rc);
          if (p.index < 0) return PeakFound{};
          return PeakFound{p.frequency != 0 ? 1 / p.frequency : 0.0, p.power};
        });
  }
  if (method != SearchEngine::Aov) return engine;
  const GridCheck grid =
      makeFrequencyGrid(1 / settings.maxPeriod, 1 / settings.minPeriod, settings.resolution);
  if (!grid.ok()) return engine;
  const int harmonics = std::max(1, settings.harmonics);
  if (16.0 * (3 * harmonics + 1) * grid.grid.count > kMaxSharedBytesPerRun) return engine;
  if (route == SearchRoute::Auto &&
      !AovSharedTimes::cheaperThanExact(time.size(), grid.grid.count, harmonics))
    return engine;
  auto shared = std::make_shared<AovSharedTimes>(time, grid.grid, 2 * harmonics + 1, weight);
  if (!shared->usable()) return engine;
  return onSharedTimes(
      std::move(engine), time, settings,
      [shared](std::span<const double> v, std::span<const double> w, const RunControl& rc) {
        const AovSharedTimes::Peak p = shared->peak(v, w, rc);
        if (p.index < 0) return PeakFound{};
        return PeakFound{1 / p.frequency, p.power};
      });
}

}  // namespace fazorn
