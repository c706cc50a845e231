// Work over fixed blocks of trial frequencies: the engines' name for the
// shared parallel loop.
#pragma once

#include <cstdint>

#include "core/parallel_for.h"

namespace fazorn {

// Calls work(state, first, last) for the blocks of [0, count) on rc's
// threads, each thread with its own state from makeState(); progress at most
// a few hundred times per run. Returns false when the run was cancelled.
template <class MakeState, class Work>
bool runFrequencyBlocks(std::int64_t count, std::int64_t blockSize, const RunControl& rc,
                        MakeState makeState, Work work) {
  return parallelFor(count, blockSize, rc, makeState, work);
}

}  // namespace fazorn
