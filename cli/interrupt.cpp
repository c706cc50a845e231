#include "cli/interrupt.h"

#include <csignal>

namespace fazorn::cli {

namespace {

// Lock-free, so storing to it is safe in a signal handler.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int) { gInterrupted.store(true, std::memory_order_relaxed); }

void install(int signal) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // The next signal takes the default action: a second Ctrl+C ends the
  // program at once.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(signal, &action, nullptr);
}

}  // namespace

const std::atomic<bool>* installInterruptHandlers() {
  static const bool installed = [] {
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      install(SIGINT);
    install(SIGTERM);
    return true;
  }();
  (void)installed;
  return &gInterrupted;
}

bool interrupted() { return gInterrupted.load(std::memory_order_relaxed); }

}  // namespace fazorn::cli
