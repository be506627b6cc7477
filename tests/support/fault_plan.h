// Fault injection for the stand-in host, for tests and fuzz targets only:
// every entry point the host serves to the effect (the basic suite, the
// interaction and utility callbacks, the smart-render callbacks and every
// function of every suite) can be counted and made to fail at one chosen call.
//
// Nothing of this runs unless a plan is armed: arming makes it the process's
// interposer (probe.h), and every host then hands the effect wrapped tables
// instead of its own. One plan may be armed at a time in a process;
// counting is in call order, which is only repeatable when the host runs its
// iterations on one worker (LayerSettings::threads = 1).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "aegp_suites.h"
#include "minihost/probe.h"

namespace minihost {

// What a call does besides its work, which decides how it can fail.
enum class CallClass {
  kAcquire,  // AcquireSuite: an error with a null suite, success with a null suite, or a throw
  kRelease,  // gives something back (ReleaseSuite, dispose, checkin): an error; the release counts as made
  kCall,     // any other call returning an error code: an error, or a throw
  kMath,     // sqrt, sin, cos, pow: a NaN result
  kText,     // sprintf, strcpy: nothing written (sprintf returns -1)
};

enum class FaultKind {
  kError,     // the call's failure value (see CallClass)
  kThrow,     // std::bad_alloc thrown out of the callback (not for kRelease, kMath, kText)
  kNullSuite  // AcquireSuite only: success, but no suite
};

constexpr PF_Err kInjectedError = PF_Err_INTERNAL_STRUCT_DAMAGED;

struct FaultPlan {
  int fail_at = 0;  // 1-based index of the call that fails; 0: count only
  FaultKind kind = FaultKind::kError;
  PF_Cmd command = -1;  // count only calls made while this command runs; -1: every command
};

struct FaultCall {
  const char* function;
  CallClass cls;
  std::string detail;  // the suite's "name/version" for AcquireSuite and ReleaseSuite
};

// What the host saw while a plan was armed.
struct FaultLog {
  std::vector<FaultCall> calls;
  int failed_at = 0;  // the index that was made to fail, 0 when it was never reached
  // Balances, made calls minus matching releases (a failed release counts as made).
  std::map<std::string, int> suites_held;  // by "name/version"
  int worlds_held = 0;                     // worlds made through the world suites
  int params_held = 0;                     // checkout_param successes not checked in
  int unknown_releases = 0;                // suites released or worlds disposed that were not held
  int stray_checkins = 0;                  // checkin_param of a record never checked out
  int failed_checkouts = 0;                // checkout_param calls that failed
};

namespace faults {

// Arms `plan`; throws HostError if a plan is armed already.
void Arm(const FaultPlan& plan);
// Disarms and returns what was seen.
FaultLog Disarm();
bool Armed();

}  // namespace faults
}  // namespace minihost
