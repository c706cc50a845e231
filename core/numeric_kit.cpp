#include "core/numeric_kit.h"

#include <cstdio>

namespace fazorn {

void reportNumericError(const char* text) {
  std::fprintf(stderr, "Numerical Recipes run-time error...\n");
  std::fprintf(stderr, "%s\n", text);
  std::fprintf(stderr, "...now exiting to system...\n");
  std::fflush(stderr);
}

namespace nr {

FloatMatrix::FloatMatrix(long nrl, long nrh, long ncl, long nch) : nrl_(nrl) {
  const long nrow = nrh - nrl + 1;
  const long ncol = nch - ncl + 1;
  try {
    rows_.assign(static_cast<std::size_t>(nrow + 1), nullptr);
  } catch (...) {
    reportNumericError("allocation failure 1 in matrix()");
    return;
  }
  try {
    elements_.assign(static_cast<std::size_t>(nrow * ncol + 1), 0.0f);
  } catch (...) {
    reportNumericError("allocation failure 2 in matrix()");
    rows_.clear();
    return;
  }
  for (long r = 0; r < nrow; ++r)
    rows_[static_cast<std::size_t>(r)] = elements_.data() + r * ncol - ncl;
}

}  // namespace nr
}  // namespace fazorn
