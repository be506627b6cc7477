// The frames a platform's build renders through its shipped files: the
// OpenFX plug-in in our OFX host and the frei0r filter loaded as its hosts
// load it, for the same settings on every platform. Each frame is printed as
// "frame NAME HASH" (64-bit FNV-1a of its bytes), so that wine_test.py can
// compare the Windows build's frames with Linux's. The files come from
// $PLUVANE_OFX_FILE and $PLUVANE_FREI0R_FILE.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tests/openfx/plugin_fixture.h"
#include "tests/support/frei0r_fixture.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

template <class T>
void Report(const std::string& name, const std::vector<T>& samples) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
  uint64_t hash = 14695981039346656037u;
  for (size_t i = 0; i < samples.size() * sizeof(T); ++i) hash = (hash ^ bytes[i]) * 1099511628211u;
  std::cout << "frame " << name << ' ' << std::hex << hash << std::dec << std::endl;
}

// Every depth at full and half scale; the point light (its falloff goes
// through sqrt) and a rough surface (the highlight through pow) on.
TEST(PlatformFrames, OpenFx) {
  ofxfixture::Loaded l(Env("PLUVANE_OFX_FILE"));
  ASSERT_TRUE(l.host.loaded());
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat})
    for (int den : {1, 2})
      for (bool point : {false, true}) {
        ofxfixture::Shot s{.layout{.width = 96, .height = 64, .depth = depth}, .scale_den = den, .transparent = point, .time = 9};
        if (point) s.values = {{"Light Type", 1}, {"Roughness", 0.08}, {"Drip Rate", 4}};
        const std::vector<unsigned char> frame = ofxfixture::ThroughPlugin(l.host, s);
        ASSERT_FALSE(frame.empty());
        Report(std::string("ofx-") + depth + "-1_" + std::to_string(den) + (point ? "-point" : ""), frame);
      }
}

// A clip's frames one after another, as ffmpeg and MLT hand them over, with
// heavy rain and the point light.
TEST(PlatformFrames, Frei0r) {
  const testsupport::Filter filter(Env("PLUVANE_FREI0R_FILE"));
  ASSERT_TRUE(filter.so) << Env("PLUVANE_FREI0R_FILE") << ": " << filter.why;
  ASSERT_TRUE(filter.param_info && filter.construct && filter.destruct && filter.set && filter.update);
  testsupport::Instance inst(filter);
  inst.Text("Frame Rate", "25").Double("Drip Rate", 0.8).Double("Ripple Height", 0.7);
  inst.Text("Light Type", "Point Light").Double("Light X", 0.6);
  for (int frame = 0; frame < 12; ++frame) {
    const std::vector<uint32_t> out = inst.Render(frame / 25.0);
    if (frame % 4 == 3) Report("frei0r-frame" + std::to_string(frame), out);
  }
}

}  // namespace
