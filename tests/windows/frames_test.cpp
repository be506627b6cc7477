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

#include "frei0r.h"
#include "minihost/platform.h"
#include "tests/openfx/plugin_fixture.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

void Report(const std::string& name, const std::vector<unsigned char>& bytes) {
  uint64_t hash = 14695981039346656037u;
  for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211u;
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
  std::string why;
  void* dll = minihost::platform::OpenModule(Env("PLUVANE_FREI0R_FILE"), &why);
  ASSERT_NE(dll, nullptr) << Env("PLUVANE_FREI0R_FILE") << ": " << why;
  const auto find = [dll](const char* name) { return minihost::platform::FindSymbol(dll, name); };
  auto construct = reinterpret_cast<f0r_instance_t (*)(unsigned, unsigned)>(find("f0r_construct"));
  auto destruct = reinterpret_cast<void (*)(f0r_instance_t)>(find("f0r_destruct"));
  auto set = reinterpret_cast<void (*)(f0r_instance_t, f0r_param_t, int)>(find("f0r_set_param_value"));
  auto update = reinterpret_cast<void (*)(f0r_instance_t, double, const uint32_t*, uint32_t*)>(find("f0r_update"));
  ASSERT_TRUE(find("f0r_init") && construct && destruct && set && update);
  ASSERT_EQ(reinterpret_cast<int (*)()>(find("f0r_init"))(), 1);

  constexpr unsigned kW = 160, kH = 90;
  f0r_instance_t inst = construct(kW, kH);
  ASSERT_NE(inst, nullptr);
  // Frame Rate, Drip Rate, Ripple Height, Light Type and Light X, by their frei0r numbers.
  const char* rate = "25";
  const char* point = "Point Light";
  double drip = 0.8, height = 0.7, point_light_x = 0.6;
  set(inst, &rate, 1), set(inst, &drip, 2), set(inst, &height, 6), set(inst, &point, 11), set(inst, &point_light_x, 22);

  const std::vector<unsigned char> in = ofxfixture::Encode(ofxfixture::Pattern(kW, kH, false), kOfxBitDepthByte);
  std::vector<unsigned char> out(in.size());
  for (int frame = 0; frame < 12; ++frame) {
    update(inst, frame / 25.0, reinterpret_cast<const uint32_t*>(in.data()), reinterpret_cast<uint32_t*>(out.data()));
    if (frame % 4 == 3) Report("frei0r-frame" + std::to_string(frame), out);
  }
  destruct(inst);
  minihost::platform::CloseModule(dll);
}

}  // namespace
