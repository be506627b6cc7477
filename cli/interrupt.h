// Ctrl-C, SIGTERM and SIGHUP during a render: the frame being rendered is
// cancelled through the effect's progress callback, the frames already written
// are kept, and the program ends with 128 + the signal.
#pragma once

#include <csignal>

#include "session/session.h"

namespace pluvane::cli {

// True once a signal arrived while an InterruptGuard was alive.
bool Interrupted();
// 128 + the signal that interrupted: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP.
int InterruptExitCode();
bool IsInterruptExitCode(int code);

// While alive, SIGINT, SIGTERM and SIGHUP set the interrupted flag and, with
// a session, cancel its current frame, instead of ending the program; what was
// there before is restored at the end.
class InterruptGuard {
 public:
  explicit InterruptGuard(session::Session* effect);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {}, old_term_ {}, old_hup_ {};
};

}  // namespace pluvane::cli
