#include "tests/support/test_host.h"

#include <new>

namespace minihost {

PF_Err Recorder::Before(HostCall call, const char*, long value) {
  switch (call) {
    case HostCall::kAddParam: {
      const int n = add_param_calls = static_cast<int>(value);
      if (faults.fail_add_param_at && n == faults.fail_add_param_at) return faults.add_param_error;
      return PF_Err_NONE;
    }
    case HostCall::kProgress: {
      const int n = ++progress_calls;
      if (faults.cancel_at_progress && n >= faults.cancel_at_progress) return PF_Interrupt_CANCEL;
      return PF_Err_NONE;
    }
    case HostCall::kCheckoutParam: {
      const int n = ++checkout_calls;
      if (faults.bad_alloc_at_checkout && n == faults.bad_alloc_at_checkout) throw std::bad_alloc();
      if (faults.fail_checkout_param_at && n == faults.fail_checkout_param_at) return PF_Err_INTERNAL_STRUCT_DAMAGED;
      return PF_Err_NONE;
    }
    case HostCall::kAcquireSuite: {
      const int n = ++acquire_calls;
      if (faults.bad_alloc_at_acquire && n == faults.bad_alloc_at_acquire) throw std::bad_alloc();
      return PF_Err_NONE;
    }
    case HostCall::kNewWorld: {
      if (value >= 0 && value < 3) ++suite_new_world_calls[value];
      const int n = ++new_world_calls;
      if (faults.fail_new_world_at && n == faults.fail_new_world_at) return PF_Err_OUT_OF_MEMORY;
      return PF_Err_NONE;
    }
    case HostCall::kFill: {
      const int n = ++fill_calls;
      if (faults.fail_fill_at && n == faults.fail_fill_at) return PF_Err_INTERNAL_STRUCT_DAMAGED;
      return PF_Err_NONE;
    }
    case HostCall::kUpdateParamUI:
      if (faults.bad_alloc_in_update_param_ui) throw std::bad_alloc();
      return faults.update_param_ui_error;
    default:
      return PF_Err_NONE;
  }
}

void Recorder::After(HostCall call, const char* name, long value) {
  switch (call) {
    case HostCall::kCheckoutParam: {
      ++checkouts;
      std::lock_guard<std::mutex> lock(mutex_);
      checkout_log_.push_back(static_cast<int>(value));
      break;
    }
    case HostCall::kCheckinParam: ++checkins; break;
    case HostCall::kAcquireSuite: {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[{name ? name : "", static_cast<int>(value)}].acquired;
      break;
    }
    case HostCall::kReleaseSuite: {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[{name ? name : "", static_cast<int>(value)}].released;
      break;
    }
    case HostCall::kDisposeWorld:
      if (value >= 0 && value < 3) ++suite_dispose_world_calls[value];
      break;
    default: break;
  }
}

void Recorder::Prepare(PF_InData& in) {
  if (faults.no_basic_suite) in.pica_basicP = nullptr;
}

SuiteCount Recorder::suite_count(const std::string& name, int version) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find({name, version});
  return it == counts_.end() ? SuiteCount{} : it->second;
}

std::map<std::pair<std::string, int>, SuiteCount> Recorder::suite_counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void Recorder::ResetSuiteCounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.clear();
  acquire_calls = 0;
}

std::vector<int> Recorder::checked_out_indices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return checkout_log_;
}

void Recorder::ClearCheckoutLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  checkout_log_.clear();
  checkouts = 0;
  checkins = 0;
}

int TestHost::total_acquired() const {
  int n = 0;
  for (auto& [key, c] : suite_counts()) n += c.acquired;
  return n;
}

int TestHost::total_released() const {
  int n = 0;
  for (auto& [key, c] : suite_counts()) n += c.released;
  return n;
}

}  // namespace minihost
