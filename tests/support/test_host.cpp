#include "tests/support/test_host.h"

namespace minihost {

PF_Err Recorder::Before(HostCall call, const char*, long value) {
  if (call == HostCall::kNewWorld) ++worlds_made[value & 3];
  if (call == HostCall::kProgress) {
    const int n = ++progress_calls;
    if (faults.cancel_at_progress && n >= faults.cancel_at_progress) return PF_Interrupt_CANCEL;
  }
  return call == HostCall::kUpdateParamUI ? faults.update_param_ui_error : PF_Err_NONE;
}

void Recorder::After(HostCall call, const char*, long value) {
  switch (call) {
    case HostCall::kCheckoutParam: {
      std::lock_guard<std::mutex> lock(mutex_);
      checkout_log_.push_back(static_cast<int>(value));
      break;
    }
    case HostCall::kCheckinParam: ++checkins; break;
    case HostCall::kAcquireSuite: ++acquired; break;
    case HostCall::kReleaseSuite: ++released; break;
    case HostCall::kDisposeWorld: ++worlds_disposed[value & 3]; break;
    default: break;
  }
}

void Recorder::Prepare(PF_InData& in) {
  if (faults.no_basic_suite) in.pica_basicP = nullptr;
}

std::vector<int> Recorder::checked_out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return checkout_log_;
}

void Recorder::ClearCheckoutLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  checkout_log_.clear();
  checkins = 0;
}

}  // namespace minihost
