#include "core/random_stream.h"

#include <cmath>
#include <utility>

namespace fazorn {

namespace {

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

std::uint64_t splitMix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

RandomStream::RandomStream(std::uint64_t seed) {
  std::uint64_t x = seed;
  for (auto& s : s_) s = splitMix64(x);
}

std::uint64_t RandomStream::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double RandomStream::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double RandomStream::gaussian() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  double u = 0.0;
  while (u <= 0.0) u = uniform();
  const double v = uniform();
  const double r = std::sqrt(-2.0 * std::log(u));
  const double angle = 2.0 * 3.14159265358979323846 * v;
  spare_ = r * std::sin(angle);
  haveSpare_ = true;
  return r * std::cos(angle);
}

std::uint64_t RandomStream::below(std::uint64_t n) {
  // Rejection keeps every index equally likely.
  const std::uint64_t limit = (~std::uint64_t{0} / n) * n;
  std::uint64_t x;
  do x = next();
  while (x >= limit);
  return x % n;
}

void permuteTogether(std::span<double> value, std::span<double> error, std::span<double> weight,
                     RandomStream& rng) {
  for (std::size_t i = value.size(); i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(rng.below(i));
    std::swap(value[i - 1], value[j]);
    std::swap(error[i - 1], error[j]);
    std::swap(weight[i - 1], weight[j]);
  }
}

void fillWhiteNoise(std::span<double> value, double mean, double rms, RandomStream& rng) {
  for (double& v : value) v = mean + rms * rng.gaussian();
}

}  // namespace fazorn
