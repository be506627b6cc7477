// The stand-in host as the tests drive it: a MiniHost with a recorder attached
// that counts the calls it serves (suites acquired and released, controls
// checked out and in, worlds, progress reports, control redraws) and can make
// chosen calls fail. Tests and fuzz targets only; nothing that ships links it.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "minihost/host.h"

namespace minihost {

// How often one suite (name, version) was acquired and released.
struct SuiteCount {
  int acquired = 0;
  int released = 0;
};

// Faults a test can inject. Counters are 1-based; 0 means never.
struct Faults {
  bool no_basic_suite = false;       // in_data->pica_basicP is null
  int fail_add_param_at = 0;         // add_param returns an error at this call
  PF_Err add_param_error = PF_Err_INTERNAL_STRUCT_DAMAGED;
  int bad_alloc_at_acquire = 0;      // AcquireSuite throws std::bad_alloc at this call
  int bad_alloc_at_checkout = 0;     // checkout_param throws std::bad_alloc at this call
  int fail_checkout_param_at = 0;    // checkout_param returns an error at this call
  int fail_new_world_at = 0;         // world allocation returns out of memory at this call
  int fail_fill_at = 0;              // utils->fill returns an error at this call
  int cancel_at_progress = 0;        // progress returns PF_Interrupt_CANCEL from this call on
  PF_Err update_param_ui_error = PF_Err_NONE;  // result of every PF_UpdateParamUI
  bool bad_alloc_in_update_param_ui = false;   // PF_UpdateParamUI throws std::bad_alloc
};

// Counts and fails one host's calls.
class Recorder : public Probe {
 public:
  PF_Err Before(HostCall call, const char* name, long value) override;
  void After(HostCall call, const char* name, long value) override;
  void Prepare(PF_InData& in) override;

  Faults faults;
  std::atomic<int> acquire_calls{0}, checkout_calls{0}, add_param_calls{0}, new_world_calls{0}, fill_calls{0},
      progress_calls{0}, checkouts{0}, checkins{0};
  // Calls of new_world/PF_NewWorld and dispose_world/PF_DisposeWorld by suite version (1, 2).
  std::atomic<int> suite_new_world_calls[3]{}, suite_dispose_world_calls[3]{};

  SuiteCount suite_count(const std::string& name, int version) const;
  std::map<std::pair<std::string, int>, SuiteCount> suite_counts() const;
  void ResetSuiteCounts();
  std::vector<int> checked_out_indices() const;
  void ClearCheckoutLog();

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, SuiteCount> counts_;
  std::vector<int> checkout_log_;
};

class TestHost : public MiniHost {
 public:
  explicit TestHost(const std::string& module_path, LayerSettings settings = {}) : MiniHost(module_path, settings) {
    set_probe(&recorder_);
  }
  explicit TestHost(PF_MainEntryFunc main_entry, LayerSettings settings = {}) : MiniHost(main_entry, settings) {
    set_probe(&recorder_);
  }
  ~TestHost() override { set_probe(nullptr); }

  Recorder& recorder() { return recorder_; }
  Faults& faults() { return recorder_.faults; }
  SuiteCount suite_count(const std::string& name, int version) const { return recorder_.suite_count(name, version); }
  std::map<std::pair<std::string, int>, SuiteCount> suite_counts() const { return recorder_.suite_counts(); }
  int total_acquired() const;
  int total_released() const;
  void ResetSuiteCounts() { recorder_.ResetSuiteCounts(); }
  int checkout_count() const { return recorder_.checkouts.load(); }
  int checkin_count() const { return recorder_.checkins.load(); }
  std::vector<int> checked_out_indices() const { return recorder_.checked_out_indices(); }
  void ClearCheckoutLog() { recorder_.ClearCheckoutLog(); }
  int progress_calls() const { return recorder_.progress_calls.load(); }
  void ResetProgressCalls() { recorder_.progress_calls = 0; }

 private:
  Recorder recorder_;
};

}  // namespace minihost
