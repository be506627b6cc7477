#include "cli/interrupt.h"

#include <atomic>

namespace pluvane::cli {
namespace {

// Set from the signal handler; lock-free atomics are safe to touch there.
std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};
std::atomic<session::Session*> g_session{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<session::Session*>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);  // the first signal decides the exit code
  g_interrupted.store(true);
  // The effect's next progress report is answered "cancelled", and the host's
  // pixel iteration stops taking rows.
  if (session::Session* effect = g_session.load()) effect->Cancel();
}

}  // namespace

bool Interrupted() { return g_interrupted.load(); }

int InterruptExitCode() {
  const int signal = g_signal.load();
  return 128 + (signal ? signal : SIGINT);
}

bool IsInterruptExitCode(int code) { return code == 128 + SIGINT || code == 128 + SIGTERM || code == 128 + SIGHUP; }

InterruptGuard::InterruptGuard(session::Session* effect) {
  g_interrupted = false;
  g_signal = 0;
  g_session = effect;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
  sigaction(SIGHUP, &sa, &old_hup_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  sigaction(SIGHUP, &old_hup_, nullptr);
  g_session = nullptr;
}

}  // namespace pluvane::cli
