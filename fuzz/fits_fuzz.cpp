// Arbitrary bytes as a FITS file through the FITS reader, cfitsio included:
// hostile headers (row and repeat counts, unterminated or overlong values,
// bytes beyond ASCII, truncated units) must give a failure with a reason or
// equal-length series, never a crash, an out-of-bounds access or an
// allocation larger than the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/table_import.h"

namespace {

// cfitsio reads from disk, so each input is written to one file of this
// process (in memory where the system has /dev/shm).
const std::string& inputPath() {
  static const std::string path = [] {
    namespace fs = std::filesystem;
    const fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return (dir / ("fazorn-fits-fuzz-" + std::to_string(getpid()) + ".fits")).string();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every input is a FITS file: the reader is chosen by the first card.
  static const char kStart[] = "SIMPLE  =                    T";
  std::FILE* f = std::fopen(inputPath().c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size < sizeof kStart - 1 ||
      std::string(reinterpret_cast<const char*>(data), 9) != "SIMPLE  =")
    std::fwrite(kStart, 1, sizeof kStart - 1, f);
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  fazorn::ImportOptions options;
  options.maxObservations = 100000;
  const fazorn::TableImport t = fazorn::importTable(inputPath(), options);
  if (t.time.size() != t.value.size() || t.time.size() != t.error.size()) std::abort();
  if (t.failed && !t.time.empty()) std::abort();
  if (t.failed && t.failure.empty()) std::abort();
  return 0;
}
