#include "search/unit_phasor.h"

namespace fazorn {

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("default", "avx2")))
#endif
void unitPhasors(const double* angle, std::size_t n, std::complex<double>* out) {
  auto* parts = reinterpret_cast<double*>(out);
  for (std::size_t j = 0; j < n; ++j) {
    const std::complex<double> e = unit_phasor_detail::reduced(angle[j]);
    parts[2 * j] = e.real();
    parts[2 * j + 1] = e.imag();
  }
  // Angles beyond the reduction's range (and NaN) are rare: redone one by
  // one by the library.
  std::size_t wide = 0;
  for (std::size_t j = 0; j < n; ++j)
    wide += !(std::abs(angle[j]) < unit_phasor_detail::kLimit) ? 1 : 0;
  if (wide == 0) return;
  for (std::size_t j = 0; j < n; ++j) out[j] = unitPhasor(angle[j]);
}

}  // namespace fazorn
