#include "cli/interrupt.h"

#include <csignal>

#include "core/text_file.h"

namespace fazorn::cli {

namespace {

// Lock-free, so storing to it is safe in a signal handler.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int signal) {
  if (!gInterrupted.exchange(true, std::memory_order_relaxed)) return;
  // The second signal ends the program at once, but first removes the
  // temporary files of the writers under way (their targets stay as they
  // were). unlink, signal and raise are async-signal-safe.
  fazorn::removeTemporaryFilesNow();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void install(int signal) {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

}  // namespace

const std::atomic<bool>* installInterruptHandlers() {
  static const bool installed = [] {
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) install(SIGINT);
    install(SIGTERM);
    return true;
  }();
  (void)installed;
  return &gInterrupted;
}

bool interrupted() { return gInterrupted.load(std::memory_order_relaxed); }

}  // namespace fazorn::cli
