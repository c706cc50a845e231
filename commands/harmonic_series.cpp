#include "commands/harmonic_series.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "search/amplitude_spectrum.h"
#include "search/period_refinement.h"

namespace fazorn {

namespace {

// The sum of squares the fit minimises: weighted by 1/error^2 as the fit is.
double fittedSquares(std::span<const double> residual, std::span<const double> error,
                     const MultiSineFitOptions& fit) {
  double ss = 0.0;
  for (std::size_t j = 0; j < residual.size(); ++j) {
    double w = 1.0;
    if (fit.useWeights && j < error.size()) {
      const double e = error[j];
      w = (e > 0.0 && std::isfinite(e)) ? 1.0 / (e * e) : 0.0;
    }
    ss += w * residual[j] * residual[j];
  }
  return ss;
}

// The fit's parameter count: the zero point, two per enabled term, one per
// free frequency.
int parameterCount(const FrequencyTable& table) {
  int p = 1;
  for (const auto& t : table.terms)
    if (t.enabled) p += t.fixedToCombination ? 2 : 3;
  return p;
}

bool isBase(const FrequencyTerm& t) { return t.enabled && !t.fixedToCombination; }

// A term held at n times term b alone (no second parent).
bool isHarmonicOf(const FrequencyTerm& t, int b) {
  return t.enabled && t.fixedToCombination && t.combination.i == b && t.combination.j < 0;
}

// The highest harmonic of base b in the table (1 when it has none).
int highestHarmonic(const FrequencyTable& table, int b) {
  int h = 1;
  for (const auto& t : table.terms)
    if (isHarmonicOf(t, b)) h = std::max(h, t.combination.n);
  return h;
}

// n with |f - n base| within the tolerance, n in 2 .. reach; 0 otherwise.
int multipleOf(double f, double base, double tolerance, int reach) {
  if (!(base > 0.0)) return 0;
  const double n = std::round(f / base);
  if (n < 2.0 || n > reach) return 0;
  return std::fabs(f - n * base) <= tolerance ? static_cast<int>(n) : 0;
}

// Whether the free fit's errors refuse f_member = n f_base outright: the
// Wald test of f_member - n f_base = 0 (chi^2 with one degree of freedom,
// the two errors taken as independent), asymptotically the same test of
// the same restriction as the F test of the held fit, which it spares
// where the relation cannot pass (a mode resolved from the harmonic).
bool relationRefused(const FrequencyTerm& member, const FrequencyTerm& base, int n,
                     double significance) {
  const double d = member.frequency - n * base.frequency;
  const double variance = member.frequencyError * member.frequencyError +
                          n * n * base.frequencyError * base.frequencyError;
  if (!(variance > 0.0) || !std::isfinite(variance)) return false;
  return std::erfc(std::sqrt(0.5 * d * d / variance)) < significance;
}

struct Fitted {
  FrequencyTable table;
  std::vector<double> residual;
  double squares = 0.0;
};

// Fits `candidate`; nothing when the fit does not converge.
bool fitCandidate(std::span<const double> time, std::span<const double> value,
                  std::span<const double> error, const HarmonicSeriesOptions& options,
                  FrequencyTable candidate, Fitted& out) {
  MultiSineFitResult fit = fitFrequencyTable(time, value, error, candidate, options.fit);
  if (!fit.converged) return false;
  out.squares = fittedSquares(fit.residual, error, options.fit);
  out.table = std::move(candidate);
  out.residual = std::move(fit.residual);
  return true;
}

// The p-value of the F test of the larger model (`squaresLarge`,
// `parametersLarge`) against the smaller one: whether the parameters the
// larger adds explain more than noise would.
double fTestOfModels(double squaresSmall, int parametersSmall, double squaresLarge,
                     int parametersLarge, std::size_t points) {
  const int q = parametersLarge - parametersSmall;
  const int dof = static_cast<int>(points) - parametersLarge;
  if (q <= 0 || dof <= 0 || !(squaresLarge > 0.0)) return 1.0;
  const double f = ((squaresSmall - squaresLarge) / q) / (squaresLarge / dof);
  return f > 0.0 ? fTestPValue(f, q, dof) : 1.0;
}

}  // namespace

bool joinHarmonicSeries(std::span<const double> time, std::span<const double> value,
                        std::span<const double> error, FrequencyTable& table,
                        std::vector<double>& residual, const HarmonicSeriesOptions& options) {
  if (table.terms.size() < 2 || !(options.tolerance > 0.0)) return false;
  const auto k = static_cast<int>(table.terms.size() - 1);
  const FrequencyTerm& added = table.terms.back();
  if (!isBase(added)) return false;
  const double f = added.frequency;
  const auto terms = static_cast<int>(table.terms.size());

  FrequencyTable candidate = table;
  // The new term as a multiple of a base: the closest match.
  int base = -1, multiple = 0;
  double offset = std::numeric_limits<double>::infinity();
  for (int b = 0; b < k; ++b) {
    const FrequencyTerm& t = table.terms[static_cast<std::size_t>(b)];
    if (!isBase(t)) continue;
    const int reach = std::max(kFirstHarmonicReach, 2 * highestHarmonic(table, b));
    const int n = multipleOf(f, t.frequency, options.tolerance, reach);
    if (n > 0 && std::fabs(f - n * t.frequency) < offset &&
        !relationRefused(added, t, n, options.significance))
      base = b, multiple = n, offset = std::fabs(f - n * t.frequency);
  }
  if (base >= 0) {
    FrequencyTerm& t = candidate.terms.back();
    t.combination = {base, multiple, -1, 0};
    t.fixedToCombination = true;
  } else {
    // The new term as the base of free terms, which take their harmonics
    // along (a harmonic m of a member at n f is m n f).
    std::vector<int> factor(static_cast<std::size_t>(terms), 0);
    int first = k;
    for (int i = 0; i < k; ++i) {
      const FrequencyTerm& t = table.terms[static_cast<std::size_t>(i)];
      if (!isBase(t)) continue;
      // A member that is a parent of a two-term relation would leave it
      // with a parent that is not free.
      bool parentOfPair = false;
      for (const auto& other : table.terms)
        parentOfPair = parentOfPair || (other.fixedToCombination && other.combination.j >= 0 &&
                                        (other.combination.i == i || other.combination.j == i));
      if (parentOfPair) continue;
      const int n = multipleOf(t.frequency, f, options.tolerance, kFirstHarmonicReach);
      if (n == 0 || relationRefused(t, added, n, options.significance)) continue;
      factor[static_cast<std::size_t>(i)] = n;
      first = std::min(first, i);
    }
    if (first == k) return false;
    for (int i = 0; i < k; ++i) {
      FrequencyTerm& t = candidate.terms[static_cast<std::size_t>(i)];
      if (const int n = factor[static_cast<std::size_t>(i)]; n > 0) {
        t.combination = {k, n, -1, 0};
        t.fixedToCombination = true;
      } else if (t.fixedToCombination && t.combination.j < 0 && t.combination.i >= 0 &&
                 factor[static_cast<std::size_t>(t.combination.i)] > 0) {
        t.combination = {k, t.combination.n * factor[static_cast<std::size_t>(t.combination.i)], -1,
                         0};
      }
    }
    candidate.move(static_cast<std::size_t>(k), static_cast<std::size_t>(first));
  }
  Fitted held;
  if (!fitCandidate(time, value, error, options, candidate, held)) return false;
  // The relations against the free fit the cascade made.
  const double freeSquares = fittedSquares(residual, error, options.fit);
  if (fTestOfModels(held.squares, parameterCount(held.table), freeSquares, parameterCount(table),
                    time.size()) < options.significance)
    return false;
  table = std::move(held.table);
  residual = std::move(held.residual);
  return true;
}

bool extendHarmonicSeries(std::span<const double> time, std::span<const double> value,
                          std::span<const double> error, FrequencyTable& table,
                          std::vector<double>& residual, const HarmonicSeriesOptions& options) {
  bool changed = false;
  double tMean = 0.0;
  for (double t : time) tMean += t;
  tMean /= static_cast<double>(std::max<std::size_t>(time.size(), 1));
  // Bases whose comb stopped growing; not tested again.
  std::vector<char> done(table.terms.size(), 0);
  for (bool grown = true; grown;) {
    grown = false;
    for (int b = 0; b < static_cast<int>(table.terms.size()); ++b) {
      if (done[static_cast<std::size_t>(b)] || !isBase(table.terms[static_cast<std::size_t>(b)]))
        continue;
      const int h = highestHarmonic(table, b);
      if (h < 2) continue;
      std::vector<char> present(static_cast<std::size_t>(2 * h) + 1, 0);
      for (const auto& t : table.terms)
        if (isHarmonicOf(t, b) && t.combination.n <= 2 * h)
          present[static_cast<std::size_t>(t.combination.n)] = 1;
      FrequencyTable candidate = table;
      const double fb = table.terms[static_cast<std::size_t>(b)].frequency;
      for (int n = 2; n <= 2 * h; ++n) {
        if (present[static_cast<std::size_t>(n)] || n * fb > options.maxFrequency ||
            static_cast<int>(candidate.terms.size()) >= options.maxCount)
          continue;
        // Started from the residuals' sinusoid at n f (a cos + b sin about
        // the mean time == A sin(2 pi (f (t - mean) + phi))).
        const SinusoidAt s = amplitudeAt(time, residual, n * fb);
        FrequencyTerm t;
        t.frequency = n * fb;
        t.amplitude = s.amplitude;
        t.phase = std::atan2(s.cosine, s.sine) / (2.0 * M_PI) - n * fb * (tMean - table.epoch);
        t.phase -= std::floor(t.phase);
        t.combination = {b, n, -1, 0};
        t.fixedToCombination = true;
        candidate.terms.push_back(t);
      }
      const std::size_t before = table.terms.size();
      Fitted group;
      if (candidate.terms.size() == before ||
          !fitCandidate(time, value, error, options, candidate, group) ||
          fTestOfModels(fittedSquares(residual, error, options.fit), parameterCount(table),
                        group.squares, parameterCount(group.table),
                        time.size()) >= options.significance) {
        done[static_cast<std::size_t>(b)] = 1;
        continue;
      }
      // The group as a whole is significant; its highest harmonics that are
      // not significant on their own (the Wald test of the two parameters,
      // chi^2 with 2 degrees of freedom: P = exp(-(A / sigma_A)^2 / 2))
      // are noise beyond the comb's end and are dropped, so that the comb
      // ends at its last significant tooth; harmonics below it that are not
      // significant alone stay (the odd ones of nearly equal eclipses).
      // When no added harmonic is significant alone, the group is not
      // added: many weak teeth together are what leakage of a changing
      // period or of aliases leaves at the harmonics too.
      auto significantAlone = [&](const FrequencyTerm& t) {
        if (!(t.amplitudeError > 0.0)) return false;
        const double z = t.amplitude / t.amplitudeError;
        return std::exp(-0.5 * z * z) < options.significance;
      };
      std::vector<std::pair<int, std::size_t>> added;  // (n, index), by n
      for (std::size_t k = before; k < group.table.terms.size(); ++k)
        added.emplace_back(group.table.terms[k].combination.n, k);
      std::sort(added.begin(), added.end());
      std::size_t keep = added.size();
      while (keep > 0 && !significantAlone(group.table.terms[added[keep - 1].second])) --keep;
      if (keep == 0) {
        done[static_cast<std::size_t>(b)] = 1;
        continue;
      }
      if (keep < added.size()) {
        FrequencyTable trimmed = group.table;
        std::vector<std::size_t> drop;
        for (std::size_t q = keep; q < added.size(); ++q) drop.push_back(added[q].second);
        std::sort(drop.rbegin(), drop.rend());
        for (std::size_t k : drop)
          trimmed.terms.erase(trimmed.terms.begin() + static_cast<std::ptrdiff_t>(k));
        Fitted refit;
        if (!fitCandidate(time, value, error, options, trimmed, refit)) {
          done[static_cast<std::size_t>(b)] = 1;
          continue;
        }
        group = std::move(refit);
        // Grown only when the comb reaches beyond its old end.
        if (added[keep - 1].first <= h) done[static_cast<std::size_t>(b)] = 1;
      }
      table = std::move(group.table);
      residual = std::move(group.residual);
      done.resize(table.terms.size(), 0);
      changed = grown = true;
    }
  }
  return changed;
}

bool settleHarmonicSeries(std::span<const double> time, std::span<const double> value,
                          std::span<const double> error, FrequencyTable& table,
                          std::vector<double>& residual, const HarmonicSeriesOptions& options,
                          double snrLimit, const TermSnr& snrOf) {
  bool changed = false;
  for (int b = 0; b < static_cast<int>(table.terms.size()); ++b) {
    if (!isBase(table.terms[static_cast<std::size_t>(b)]) || highestHarmonic(table, b) < 2)
      continue;
    // Only the members that would stand as independent frequencies are
    // freed for the test: a weak tooth set free drifts to the highest noise
    // peak within its reach, a gain that the one parameter the F test
    // counts for it does not account for.
    const std::vector<double> snr = snrOf(table, residual);
    FrequencyTable freed = table;
    bool any = false;
    for (std::size_t k = 0; k < freed.terms.size(); ++k)
      if (isHarmonicOf(freed.terms[k], b) && k < snr.size() && snr[k] >= snrLimit)
        freed.terms[k].fixedToCombination = false, any = true;
    Fitted free;
    if (!any || !fitCandidate(time, value, error, options, freed, free) ||
        fTestOfModels(fittedSquares(residual, error, options.fit), parameterCount(table),
                      free.squares, parameterCount(free.table),
                      time.size()) >= options.significance)
      continue;
    // Dissolved: the strong members stay as free terms, the weak ones,
    // which only the series admitted, go.
    FrequencyTable kept = free.table;
    for (std::size_t k = kept.terms.size(); k-- > 0;)
      if (isHarmonicOf(kept.terms[k], b)) kept.remove(k);
    if (kept.terms.size() < free.table.terms.size()) {
      Fitted refit;
      if (!fitCandidate(time, value, error, options, kept, refit)) continue;
      free = std::move(refit);
    }
    table = std::move(free.table);
    residual = std::move(free.residual);
    changed = true;
    b = -1;  // the indices changed: look at every base again
  }
  return changed;
}

}  // namespace fazorn
