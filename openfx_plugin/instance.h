// One instance of the effect in a host: its parameters, clips and session,
// the frame geometry and rate taken from what the host hands over, and the
// render of one frame with its seed, mix and mask.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ofx_api/ofx_api.h"
#include "openfx_plugin/params.h"
#include "session/session.h"

namespace pluvane::ofx {

// The rate a frame renders at when the host gives none (neither the Source
// clip, nor the Output clip, nor the effect): `pluvane render`'s own default.
inline pluvane::session::Rational DefaultRate() { return pluvane::session::Timebase().rate(); }

// The session frame a host's time renders: the nearest frame, at most
// `last_frame`; a negative one counted on from kNegativeFrames (frame -1 is
// kNegativeFrames - 1, wrapping every kNegativeFrames frames), so that rain
// falls before frame 0 as after it.
inline constexpr long long kNegativeFrames = 1000000;
inline long long SessionFrame(double time, long long last_frame) {
  if (!std::isfinite(time)) return 0;
  long long frame = std::llround(std::clamp(time, -1e15, 1e15));
  if (frame < 0) frame = (frame % kNegativeFrames + kNegativeFrames) % kNegativeFrames;
  return std::min(frame, last_frame);
}

class Instance {
 public:
  explicit Instance(OfxImageEffectHandle effect);

  // The enabled state the effect gives its controls for the current values.
  // Never waits for a render: it asks a session of its own.
  void UpdateEnabled();
  void ClipPreferences(OfxPropertySetHandle out);
  // Whether the instance has a Mask clip (the general context's).
  bool has_mask() const { return mask_ != nullptr; }
  OfxRectD SourceRegion(OfxTime time) const;
  OfxStatus Render(OfxPropertySetHandle args);
  void Message(const char* type, const std::string& text) const;

 private:
  // Values read from the host with one geometry and rate; the first control
  // the host did not give.
  struct Reader {
    Frame where;
    pluvane::session::Rational rate;
    std::atomic<int> failed{-1};
  };
  bool Read(Reader& reader, int index, double seconds, std::array<double, 3>& v) const;
  [[noreturn]] void ReadFailure(const Reader& reader) const;
  pluvane::session::Rational FrameRate(OfxPropertySetHandle source_props);
  std::unique_ptr<pluvane::session::Session> NewSession(int width, int height, Reader& reader) const;
  // The connected Mask clip's alpha over `layer` at the render size, in
  // `depth`'s values; nothing without one.
  std::optional<pluvane::session::Matte> MaskMatte(OfxTime time, const OfxRectI& layer, pluvane::session::Depth depth,
                                                   bool invert);

  OfxImageEffectHandle effect_;
  OfxPropertySetHandle props_ = nullptr;
  OfxImageClipHandle source_ = nullptr, output_ = nullptr, mask_ = nullptr;
  std::vector<const Control*> controls_;  // by the effect's control index
  std::vector<OfxParamHandle> handles_;
  std::vector<OfxPropertySetHandle> param_props_;
  std::unique_ptr<AroundParams> around_;

  std::mutex render_mutex_;  // one render at a time per instance
  std::unique_ptr<pluvane::session::Session> session_;
  int width_ = 0, height_ = 0;
  Reader render_reader_;
  bool told_default_rate_ = false;
  std::vector<char> in_buffer_, out_buffer_, from_buffer_, mask_buffer_;

  std::mutex enabling_mutex_;  // the enabled state, apart from renders
  Reader enabling_reader_;
  std::unique_ptr<pluvane::session::Session> enabling_;
};

}  // namespace pluvane::ofx
