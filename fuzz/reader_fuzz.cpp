// Arbitrary bytes through the observation reader: it must never crash, read
// out of bounds or loop, and whatever it reads must be complete groups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/observation_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  fazorn::ObservationRead r = fazorn::parseObservations(text);
  if (r.time.size() != r.value.size() || r.time.size() != r.error.size()) std::abort();
  if (r.stoppedEarly && r.stopLine < 1) std::abort();
  return 0;
}
