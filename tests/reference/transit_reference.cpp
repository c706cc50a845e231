#include "reference/transit_reference.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace fazorn::reference {

namespace {

// The point indices in order of phase at frequency f (ties in index order).
std::vector<std::size_t> phaseOrder(std::span<const double> time, double tmin, double f) {
  const std::size_t n = time.size();
  std::vector<double> phase(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double u = f * (time[i] - tmin);
    phase[i] = u - std::floor(u);
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return phase[a] < phase[b]; });
  return order;
}

}  // namespace

TransitReferenceResult transitPeriodogram(std::span<const double> time,
                                          std::span<const double> value,
                                          std::span<const double> weight, double minFrequency,
                                          double step, int count, int binFactor, int binSets) {
  TransitReferenceResult r;
  const std::size_t n = time.size();
  const double tmin = *std::min_element(time.begin(), time.end());
  double weightSum = 0.0, weighted = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    weightSum += weight[i];
    weighted += weight[i] * value[i];
  }
  const double mean = weighted / weightSum;
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) d += weight[i] * (value[i] - mean) * (value[i] - mean);
  const int sets = std::max(1, binSets);
  const std::size_t groups = static_cast<std::size_t>(10 * std::max(1, binFactor) * sets);

  double best = 0.0;
  for (int k = 0; k < count; ++k) {
    const double f = static_cast<double>(k) * step + minFrequency;
    const std::vector<std::size_t> order = phaseOrder(time, tmin, f);
    std::vector<double> groupWeight(groups, 0.0), groupSum(groups, 0.0);
    for (std::size_t g = 0; g < groups; ++g) {
      for (std::size_t q = g * n / groups; q < (g + 1) * n / groups; ++q) {
        groupWeight[g] += weight[order[q]];
        groupSum[g] += weight[order[q]] * (value[order[q]] - mean);
      }
    }
    double power = 0.0;
    for (std::size_t g = 0; g < groups; ++g) {
      double win = 0.0, sumIn = 0.0;
      for (std::size_t b = 0; b < static_cast<std::size_t>(sets); ++b) {
        win += groupWeight[(g + b) % groups];
        sumIn += groupSum[(g + b) % groups];
      }
      const double wout = weightSum - win;
      if (win > 0 && wout > 0)
        power = std::max(power, weightSum * sumIn * sumIn / (win * wout) / d);
    }
    power = std::min(1.0, power);
    if (power > best) {
      best = power;
      r.bestIndex = k;
    }
    r.frequency.push_back(f);
    r.power.push_back(power);
  }
  return r;
}

std::vector<double> transitPowersFromRunningTotals(std::span<const double> time,
                                                   std::span<const double> value,
                                                   std::span<const double> weight,
                                                   std::span<const double> frequency, int binFactor,
                                                   int binSets) {
  const std::size_t n = time.size();
  const double tmin = *std::min_element(time.begin(), time.end());
  double weightSum = 0.0, weighted = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    weightSum += weight[i];
    weighted += weight[i] * value[i];
  }
  const double mean = weighted / weightSum;
  std::vector<double> wx(n);
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = value[i] - mean;
    wx[i] = weight[i] * x;
    d += weight[i] * x * x;
  }
  const std::size_t sets = static_cast<std::size_t>(std::max(1, binSets));
  const std::size_t groups = 10 * static_cast<std::size_t>(std::max(1, binFactor)) * sets;
  std::vector<double> power;
  for (double f : frequency) {
    const std::vector<std::size_t> order = phaseOrder(time, tmin, f);
    // totalWeight[k]: the groups before k, over two turns of the cycle.
    std::vector<double> totalWeight(2 * groups + 1, 0.0), totalSum(2 * groups + 1, 0.0);
    for (std::size_t g = 0; g < groups; ++g) {
      double gw = 0.0, gs = 0.0;
      for (std::size_t q = g * n / groups; q < (g + 1) * n / groups; ++q) {
        gw += weight[order[q]];
        gs += wx[order[q]];
      }
      totalWeight[g + 1] = totalWeight[g + groups + 1] = gw;
      totalSum[g + 1] = totalSum[g + groups + 1] = gs;
    }
    for (std::size_t k = 1; k <= 2 * groups; ++k) {
      totalWeight[k] += totalWeight[k - 1];
      totalSum[k] += totalSum[k - 1];
    }
    double best = 0.0;
    for (std::size_t g = 0; g < groups; ++g) {
      const double win = totalWeight[g + sets] - totalWeight[g], wout = weightSum - win;
      const double sumIn = totalSum[g + sets] - totalSum[g];
      if (win > 0 && wout > 0) best = std::max(best, weightSum * sumIn * sumIn / (win * wout));
    }
    power.push_back(std::min(1.0, best / d));
  }
  return power;
}

}  // namespace fazorn::reference
