// Arbitrary bytes through the observation readers (plain and text table):
// they must never crash, read out of bounds or loop; the plain reader reads
// complete groups only, the table reader equal-length series or a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/observation_file.h"
#include "core/table_import.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  fazorn::ObservationRead r = fazorn::parseObservations(text);
  if (r.time.size() != r.value.size() || r.time.size() != r.error.size()) std::abort();
  if (r.stoppedEarly && r.stopLine < 1) std::abort();
  fazorn::ImportOptions options;
  options.maxObservations = 100000;
  const fazorn::TableImport t = fazorn::importTableText(text, options);
  if (t.time.size() != t.value.size() || t.time.size() != t.error.size()) std::abort();
  if (t.failed && !t.time.empty()) std::abort();
  (void)fazorn::sniffObservationText(text);
  return 0;
}
