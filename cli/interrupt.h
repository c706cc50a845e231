// Ctrl+C (SIGINT) and SIGTERM on the command line. The first signal only
// raises a flag that the commands hand to the core as the RunControl's
// cancel flag: the running search stops between blocks, and the command
// keeps and reports what was finished, then exits with kExitInterrupted
// (128 + SIGINT, as shells report an interrupted program). A second signal
// ends the program at once.
#pragma once

#include <atomic>

namespace fazorn::cli {

inline constexpr int kExitInterrupted = 130;

// Installs the handlers (once; an SIGINT ignored by the shell, as for a
// background job, stays ignored) and returns the flag they raise.
const std::atomic<bool>* installInterruptHandlers();

// True once a signal arrived.
bool interrupted();

}  // namespace fazorn::cli
