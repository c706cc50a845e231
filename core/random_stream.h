// The random stream of the randomisations ("Generate white noise",
// "Randomly permute" and the significance runs): SplitMix64-seeded
// xoshiro256**, fixed here so that a seed gives the same values on every
// platform and standard library.
#pragma once

#include <cstdint>
#include <span>

namespace fazorn {

class RandomStream {
 public:
  explicit RandomStream(std::uint64_t seed);
  std::uint64_t next();
  double uniform();                      // [0, 1)
  double gaussian();                     // mean 0, rms 1 (Box-Muller)
  std::uint64_t below(std::uint64_t n);  // uniform in [0, n)

 private:
  std::uint64_t s_[4];
  bool haveSpare_ = false;
  double spare_ = 0.0;
};

// One SplitMix64 step: advances x and returns the next 64-bit value.
std::uint64_t splitMix64(std::uint64_t& x);

// Randomises one copy: `value`, `error`, `weight` hold the original on entry
// and are shuffled together (Fisher-Yates), so each value keeps its error.
void permuteTogether(std::span<double> value, std::span<double> error, std::span<double> weight,
                     RandomStream& rng);
// Gaussian noise of the given mean and rms in every entry.
void fillWhiteNoise(std::span<double> value, double mean, double rms, RandomStream& rng);

}  // namespace fazorn
