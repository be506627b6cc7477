// The stand-in host as the tests drive it: a MiniHost with a recorder attached
// that counts the calls it serves (suites acquired and released, controls
// checked out and in, worlds, progress reports) and can make chosen calls fail. Tests
// and fuzz targets only; nothing that ships links it. (Every call failing in
// every way, one at a time: fault_plan.h.)
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "minihost/host.h"

namespace minihost {

struct Faults {
  bool no_basic_suite = false;                 // in_data->pica_basicP is null
  int cancel_at_progress = 0;                  // progress returns PF_Interrupt_CANCEL from this call on (1-based)
  PF_Err update_param_ui_error = PF_Err_NONE;  // result of every PF_UpdateParamUI
};

// Counts and fails one host's calls.
class Recorder : public Probe {
 public:
  PF_Err Before(HostCall call, const char* name, long value) override;
  void After(HostCall call, const char* name, long value) override;
  void Prepare(PF_InData& in) override;

  Faults faults;
  std::atomic<int> acquired{0}, released{0}, progress_calls{0}, checkins{0};
  std::atomic<int> worlds_made[3]{}, worlds_disposed[3]{};  // by world suite version (1, 2)
  std::vector<int> checked_out() const;
  void ClearCheckoutLog();

 private:
  mutable std::mutex mutex_;
  std::vector<int> checkout_log_;  // the indices of the controls checked out, in order
};

class TestHost : public MiniHost {
 public:
  explicit TestHost(const std::string& module_path, LayerSettings settings = {}) : MiniHost(module_path, settings) {
    set_probe(&recorder_);
  }
  ~TestHost() override { set_probe(nullptr); }

  Recorder& recorder() { return recorder_; }
  Faults& faults() { return recorder_.faults; }
  int total_acquired() const { return recorder_.acquired; }
  int total_released() const { return recorder_.released; }

 private:
  Recorder recorder_;
};

}  // namespace minihost
