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
//
// Freed blocks from 64 KiB on are kept for the next request of about their
// size, up to 128 MiB in all: a window or a batch computes periodogram
// after periodogram of the same sizes, and a kept block's pages are
// already mapped (a 10,000-point periodogram's six spreading grids of
// 240 KB, mapped afresh on every call, cost more faults than it has
// points).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <mutex>
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
// Blocks from this size on are kept when freed (smaller ones the C
// library's own free lists serve without new pages), sizes rounded up to
// multiples of it so that requests of nearly the same size share blocks.
inline constexpr std::size_t kKeepFrom = std::size_t{64} << 10;
// The most bytes kept idle; the oldest blocks go first beyond it.
inline constexpr std::size_t kKeepAtMost = std::size_t{128} << 20;

// The size actually allocated for a request.
inline std::size_t roundedSize(std::size_t bytes) {
  if (bytes >= kHugeFrom) return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (bytes >= kKeepFrom) return (bytes + kKeepFrom - 1) / kKeepFrom * kKeepFrom;
  return bytes == 0 ? 1 : bytes;
}

struct KeptBlock {
  void* p;
  std::size_t size;  // rounded
};

class KeptBlocks {
 public:
  // A kept block of `size` (rounded) bytes, or of at most twice that;
  // nullptr when there is none.
  void* take(std::size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t best = blocks_.size();
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      const std::size_t s = blocks_[i].size;
      if (s >= size && s / 2 <= size && (best == blocks_.size() || s < blocks_[best].size))
        best = i;
    }
    if (best == blocks_.size()) return nullptr;
    void* p = blocks_[best].p;
    kept_ -= blocks_[best].size;
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(best));
    return p;
  }
  // Keeps a freed block, letting the oldest go beyond the limit.
  void keep(void* p, std::size_t size) {
    if (size > kKeepAtMost) {
      std::free(p);
      return;
    }
    std::vector<void*> released;
    {
      std::lock_guard<std::mutex> guard(lock_);
      while (kept_ + size > kKeepAtMost && !blocks_.empty()) {
        released.push_back(blocks_.front().p);
        kept_ -= blocks_.front().size;
        blocks_.erase(blocks_.begin());
      }
      blocks_.push_back({p, size});
      kept_ += size;
    }
    for (void* r : released) std::free(r);
  }

 private:
  std::mutex lock_;
  std::vector<KeptBlock> blocks_;  // oldest first
  std::size_t kept_ = 0;
};

// Never destroyed, so that buffers freed by other static objects' destructors
// at exit still find it; what it keeps goes back with the process.
inline KeptBlocks& keptBlocks() {
  static KeptBlocks* const blocks = new KeptBlocks;
  return *blocks;
}

}  // namespace large_memory_detail

// `bytes` of uninitialised memory, 64-byte aligned (enough for FFTW's
// transforms planned on other such memory), on huge pages from 2 MiB on;
// throws std::bad_alloc. Free with freeLarge and the same size.
inline void* allocateLarge(std::size_t bytes) {
  using namespace large_memory_detail;
  const std::size_t size = roundedSize(bytes);
  if (size >= kKeepFrom) {
    if (void* p = keptBlocks().take(size)) return p;
  }
  const bool huge = size >= kHugeFrom;
  void* p = nullptr;
  if (posix_memalign(&p, huge ? kHugePage : kLineAlignment, size) != 0 || !p)
    throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: a kernel without transparent huge pages refuses it and the
  // memory stays usable.
  if (huge) (void)madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
}

inline void freeLarge(void* p, std::size_t bytes) noexcept {
  using namespace large_memory_detail;
  if (!p) return;
  const std::size_t size = roundedSize(bytes);
  if (size < kKeepFrom) {
    std::free(p);
    return;
  }
  try {
    keptBlocks().keep(p, size);
  } catch (...) {  // no room to note it: let it go
    std::free(p);
  }
}

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
  void deallocate(T* p, std::size_t n) noexcept { freeLarge(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace fazorn
