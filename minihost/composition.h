// The composition around the effect's layer, served to the effect through
// "AEGP PF Interface Suite" 1, "AEGP Layer Suite" 5, "AEGP Light Suite" 1 and
// "AEGP Stream Suite" 4. Layer 0 is the effect's own layer; every other layer
// is either a plain (non-light) layer or a light. Effect time equals
// composition time.
#pragma once

#include <array>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "minihost/host.h"

namespace minihost {

enum class LightKind { kParallel = 0, kSpot = 1, kPoint = 2, kAmbient = 3 };

// One light layer, in the host's world space (+z away from the viewer).
struct LightLayer {
  LightKind type = LightKind::kPoint;
  bool enabled = true;  // the layer's eye switch
  // The layer's video is active for in_seconds <= t < out_seconds.
  double in_seconds = -std::numeric_limits<double>::infinity();
  double out_seconds = std::numeric_limits<double>::infinity();
  std::array<double, 3> position{0, 0, 0};
  // Where the light points; none means straight into the scene, (0, 0, 1).
  std::optional<std::array<double, 3>> point_of_interest;
  double intensity = 100;                 // percent
  std::array<double, 3> color{1, 1, 1};  // 0..1 per channel
  double cone_angle = 90;                 // degrees, full angle
  double cone_feather = 50;               // percent
  double parent_scale = 1;                // scale of a parent layer, applied to the axes
};

class Composition {
 public:
  Composition();

  // Adds a light layer or a plain layer; returns its layer index.
  int AddLight(const LightLayer& light);
  int AddPlainLayer();
  // Back to only the effect's layer.
  void Clear();
  int layer_count() const;

  // The light's layer-to-world matrix: translation in row 3, the unit vector
  // from the position toward the point of interest in row 2, rows 0 and 1
  // completing a right-handed orthonormal frame; rows 0 to 2 scaled by
  // parent_scale (the translation is the world position as given).
  static A_Matrix4 LightMatrix(const LightLayer& light);

  // Makes the n-th call (1-based, counted from this request on) of the named
  // AEGP function fail with kInjectedError; "" counts the calls of every
  // function. Only that one call fails. nth 0 cancels the request.
  void FailCall(const std::string& function, int nth);
  static constexpr A_Err kInjectedError = PF_Err_INTERNAL_STRUCT_DAMAGED;
  // Every AEGP call served since construction or Clear().
  int aegp_calls() const;

  // Used by the suite functions. A layer handle points at its Layer, which
  // knows its composition; the storage keeps Layers in place until Clear().
  struct Layer {
    bool is_light = false;
    LightLayer light;
    Composition* owner = nullptr;
    int index = 0;
  };
  const Layer* LayerAt(int index) const;
  AEGP_LayerH Handle(int index) const;  // null outside 0..layer_count()-1
  static const Layer* FromHandle(AEGP_LayerH layer);
  AEGP_CompH CompHandle() { return reinterpret_cast<AEGP_CompH>(this); }
  static Composition* FromCompHandle(AEGP_CompH comp) { return reinterpret_cast<Composition*>(comp); }
  A_Err Enter(const char* function);  // counts the call, returns the injected error

 private:
  int Append(Layer layer);

  std::vector<std::unique_ptr<Layer>> layers_;
  mutable std::mutex mutex_;  // guards the call counters
  std::string fail_function_;
  int fail_nth_ = 0;
  int calls_ = 0;
  int function_calls_ = 0;
};

}  // namespace minihost
