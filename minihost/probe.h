// What a harness can attach to the stand-in host from outside: the test
// suite's fault plans and call counters. The host itself only calls these
// hooks where they are set; nothing that ships sets one, so a host without
// them does its work and nothing else.
//
// Two kinds: a Probe watches one host's own entry points (adding controls,
// progress, control checkouts, suites, worlds, fills, control redraws) and may
// make one fail; an Interposer, one per process, stands between every host
// and the effect, handing the effect its own wrapped tables.
#pragma once

#include "pf_suites.h"

namespace minihost {

// The calls a host serves at its own entry points.
enum class HostCall {
  kAddParam,       // PF_ADD_PARAM during the controls' set-up; value: the how-many-th of the set-up
  kProgress,       // the progress callback
  kCheckoutParam,  // checkout_param; value: the control's index
  kCheckinParam,   // checkin_param
  kAcquireSuite,   // AcquireSuite; name, value: the suite's name and version
  kReleaseSuite,   // ReleaseSuite; name, value: the suite's name and version
  kNewWorld,       // a world suite's new world; value: the suite's version
  kDisposeWorld,   // a world suite's dispose; value: the suite's version
  kFill,           // the utility fill
  kUpdateParamUI,  // PF_UpdateParamUI; value: the control's index
};

class Probe {
 public:
  virtual ~Probe() = default;
  // Before the call does its work, from any thread: PF_Err_NONE lets it go
  // on, anything else is the call's result; a throw leaves through the call.
  virtual PF_Err Before(HostCall call, const char* name, long value) = 0;
  // After a call that did its work.
  virtual void After(HostCall call, const char* name, long value) = 0;
  // The in_data of a command about to be sent (a probe may take the basic
  // suite away).
  virtual void Prepare(PF_InData& in) = 0;
};

class Interposer {
 public:
  virtual ~Interposer() = default;
  // A command is sent while the returned token lives; EndCommand gets it back.
  virtual int BeginCommand(PF_Cmd cmd) = 0;
  virtual void EndCommand(int token) = 0;
  // The tables handed to the effect, in place of the host's own.
  virtual void Tables(PF_InData& in) = 0;
  virtual PF_PreRenderCallbacks PreRender(const PF_PreRenderCallbacks& original) = 0;
  virtual PF_SmartRenderCallbacks SmartRender(const PF_SmartRenderCallbacks& original) = 0;
  virtual const void* Suite(const char* name, A_long version, const void* table) = 0;
};

// The process's interposer, or null (always, in what ships).
Interposer* CurrentInterposer();
// Sets it (null removes it); only between commands.
void SetInterposer(Interposer* interposer);

}  // namespace minihost
