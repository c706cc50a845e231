#include "search/large_memory.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "search/nonuniform_fft.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// FFTW plans a transform on one grid and runs it on others, which must be
// aligned alike: every size, below and above the huge-page threshold, comes
// cache-line aligned (huge ones on a huge page) and writable to its last
// byte, kept blocks too.
TEST(LargeMemory, EverySizeIsAlignedWritableToItsEndAndReused) {
  for (std::size_t bytes :
       {std::size_t{0}, std::size_t{1}, std::size_t{100}, large_memory_detail::kHugePage - 8,
        large_memory_detail::kHugePage, 3 * large_memory_detail::kHugePage + 5}) {
    auto* p = static_cast<unsigned char*>(allocateLarge(bytes));
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    EXPECT_EQ(address % 64, 0u) << bytes;
    if (bytes >= large_memory_detail::kHugeFrom) {
      EXPECT_EQ(address % large_memory_detail::kHugePage, 0u) << bytes;
    }
    for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(i);
    if (bytes > 0) {
      EXPECT_EQ(p[bytes - 1], static_cast<unsigned char>(bytes - 1));
    }
    freeLarge(p, bytes);
  }
  // A freed block comes back for the next request of its size (its pages
  // already mapped), and a request far smaller does not take it.
  const std::size_t odd = 23 * large_memory_detail::kKeepFrom - 100;
  void* kept = allocateLarge(odd);
  freeLarge(kept, odd);
  void* small = allocateLarge(odd / 3);
  EXPECT_NE(small, kept);
  void* again = allocateLarge(odd - 1000);
  EXPECT_EQ(again, kept);
  freeLarge(again, odd - 1000);
  freeLarge(small, odd / 3);

  LargeVector<std::complex<double>> v(300000, {1.0, -1.0});
  v.resize(600000);
  EXPECT_EQ(v[299999], std::complex<double>(1.0, -1.0));
  EXPECT_EQ(v[599999], std::complex<double>(0.0));
}

// A transform's grids on large memory (its plan made on one, run on
// another) give the direct sums on a grid past the huge-page threshold.
TEST(LargeMemory, TransformOnHugePageGridsMatchesDirectSums) {
  std::vector<double> x;
  std::vector<std::complex<double>> c;
  for (int j = 0; j < 2000; ++j) {
    x.push_back(std::fmod(0.37 * j + 1e-3 * j * j, 2.0 * M_PI));
    c.emplace_back(1.0 + 0.001 * j, -0.5);
  }
  const std::int64_t modes = 200000;
  const NonuniformTransform transform(x, modes, 1e-12);
  ASSERT_GE(static_cast<std::size_t>(transform.gridSize()) * sizeof(std::complex<double>),
            large_memory_detail::kHugeFrom);
  NonuniformTransform::Work work = transform.makeWork();
  std::vector<std::complex<double>> out(static_cast<std::size_t>(modes));
  transform.apply(c, out, work);
  double scale = 0.0;
  for (const auto& v : c) scale += std::abs(v);
  for (std::int64_t k : {std::int64_t{0}, std::int64_t{1}, modes / 2, modes - 1}) {
    // The phases k x reduced in long double.
    std::complex<double> direct = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) {
      const long double a = std::fmod(static_cast<long double>(k) * static_cast<long double>(x[j]),
                                      2.0L * 3.141592653589793238462643383279502884L);
      direct += c[j] * std::polar(1.0, static_cast<double>(a));
    }
    EXPECT_LT(std::abs(out[static_cast<std::size_t>(k)] - direct), 1e-10 * scale) << k;
  }
}

}  // namespace
}  // namespace fazorn
