// Storage for the engines' large scratch arrays (a million points' phasors,
// grids of moments, spreading grids), in memory the kernel may back with
// 2 MiB pages.
//
// Fresh memory is paid for on first touch, one page fault a page: measured
// on the development machine (a virtual machine, where every fault leaves
// the guest) at about 10 us of CPU a 4 KiB page, so the 50 MB a floating-mean
// periodogram of 10^6 points writes cost some 130 ms in faults alone, more
// than its sums. Advised for transparent huge pages, the same 64 MB took
// 3.5 ms: a fault a 2 MiB page instead of 512. Where the kernel ignores the
// advice (not Linux, huge pages disabled) the memory is ordinary.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fazorn {

namespace large_memory_detail {

// A huge page on x86-64 and most aarch64 kernels.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From one huge page on: rounding up to whole huge pages at most doubles
// the address space taken, and the kernel zeroes a huge page in far less
// time than the 512 faults of its small pages.
inline constexpr std::size_t kHugeFrom = kHugePage;
// FFTW's SIMD codelets need 16 (SSE2) or 32 (AVX) bytes; a cache line is
// more than either.
inline constexpr std::size_t kLineAlignment = 64;

}  // namespace large_memory_detail

// `bytes` of uninitialised memory, 64-byte aligned (enough for FFTW's
// transforms planned on other such memory); throws std::bad_alloc. Free
// with freeLarge.
inline void* allocateLarge(std::size_t bytes) {
  using namespace large_memory_detail;
  const bool huge = bytes >= kHugeFrom;
  const std::size_t alignment = huge ? kHugePage : kLineAlignment;
  // posix_memalign needs no size multiple; whole huge pages let the advice
  // cover the last one.
  const std::size_t size = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0 || !p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: a kernel without transparent huge pages refuses it and the
  // memory stays usable.
  if (huge) (void)madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
}

inline void freeLarge(void* p) noexcept { std::free(p); }

// An allocator for std::vector over allocateLarge.
template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() noexcept = default;
  template <class U>
  explicit LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { freeLarge(p); }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace fazorn
