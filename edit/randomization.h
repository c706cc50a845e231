// "Generate white noise" and "Randomly permute": the light curve's values
// replaced by a randomised version of themselves over the fixed times, to see
// what a search finds in data without the signal.
#pragma once

#include <cstdint>

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// "Generate white noise": value[] becomes Gaussian noise with the light
// curve's mean and rms; times and errors stay.
Outcome generateWhiteNoise(Workspace& ws, std::uint64_t seed);

// "Randomly permute": values, errors and weights shuffled together over the
// fixed times, through the scratch arrays.
Outcome randomlyPermute(Workspace& ws, std::uint64_t seed);

}  // namespace fazorn
