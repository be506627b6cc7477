// The session's own controls around the effect: loop lengths, the matte's
// channel rule, and the mix in the 16-bit and float depths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "session/error.h"
#include "session/session.h"

namespace pluvane::session {
namespace {

TEST(SessionAround, LoopLengthsInFramesOrSeconds) {
  const Timebase at24(Rational{24, 1}), at30(Rational{30, 1});
  EXPECT_EQ(ParseLoop("48", at24), 48);
  EXPECT_EQ(ParseLoop(" 48f", at24), 48);
  EXPECT_EQ(ParseLoop("2s", at24), 48);
  EXPECT_EQ(ParseLoop("0.4S", at30), 12);
  EXPECT_EQ(ParseLoop("2s", Timebase(ParseRate("29.97"))), 60);  // 59.94 frames, to the nearest
  for (const char* bad : {"0", "-3", "1.5", "abc", "", "0.01s", "4000000000"})
    EXPECT_THROW(ParseLoop(bad, at24), Error) << bad;
  EXPECT_EQ(LoopFade(48), 12);
  EXPECT_EQ(LoopFade(2), 1);
  EXPECT_EQ(LoopFade(1), 0);
  EXPECT_THROW(CheckHostControl(kSeed, 2.5, "--seed"), Error);
  EXPECT_EQ(ClampToHostControl(kSeed, 70), 63);
}

TEST(SessionAround, MatteReadsAlphaWhereThereIsTransparencyElseLuma) {
  HostImage image{3, 1, Depth::k8, {128, 128, 128, 255, 255, 0, 0, 255, 0, 0, 255, 255}};
  EXPECT_EQ(MatteOf(image, false).level, (std::vector<float>{128, 54, 18}));  // grey as it is; 0.2126, 0.0722 of 255
  EXPECT_EQ(MatteOf(image, false, MatteChannel::kAlpha).level, (std::vector<float>{255, 255, 255}));
  image.rgba[7] = 100;  // one pixel less than opaque: the alpha is the matte
  EXPECT_EQ(MatteOf(image, true).level, (std::vector<float>{255, 100, 255}));
  EXPECT_TRUE(MatteOf(image, true).invert);
  EXPECT_EQ(MatteOf(image, false, MatteChannel::kLuma).level, (std::vector<float>{128, 54, 18}));
}

// Mix 0 gives the input world and Mix 1 with a white matte the effect's own
// frame, exactly, in every depth; half way lies between.
TEST(SessionAround, MixAndMatteInEveryDepth) {
  constexpr int kW = 32, kH = 20;
  for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
    SCOPED_TRACE(static_cast<int>(depth));
    Session effect(minihost::MiniHost::DefaultModulePath(), kW, kH);
    effect.Apply(ParseSetOption("Drip Rate=8"));
    HostImage layer{kW, kH, depth, std::vector<float>(kW * kH * 4)};
    const float full = depth == Depth::k8 ? 255.0f : depth == Depth::k16 ? 32768.0f : 1.0f;
    for (size_t i = 0; i < layer.rgba.size(); ++i)
      layer.rgba[i] = i % 4 == 3 ? full : static_cast<float>((i * 37) % 101) / 100.0f * full;
    if (depth != Depth::k32)
      for (float& v : layer.rgba) v = static_cast<float>(static_cast<int>(v));
    auto input = effect.NewWorld(depth);
    FillWorld(layer, input.get());
    const auto render = [&](double mix, std::optional<Matte> matte) {
      effect.SetMix(mix);
      effect.SetMatte(std::move(matte));
      auto output = effect.NewWorld(depth);
      EXPECT_EQ(effect.RenderFrame(9, input.get(), output.get()), PF_Err_NONE);
      return ReadWorld(output.get(), depth).rgba;
    };
    HostImage white = layer;
    for (float& v : white.rgba) v = full;
    const auto fx = render(1, std::nullopt);
    EXPECT_NE(fx, layer.rgba);
    EXPECT_EQ(render(0, std::nullopt), layer.rgba);
    EXPECT_EQ(render(1, MatteOf(white, false)), fx);
    const auto half = render(0.5, std::nullopt);
    for (size_t i = 0; i < fx.size(); ++i) {
      EXPECT_GE(half[i], std::min(fx[i], layer.rgba[i])) << i;
      EXPECT_LE(half[i], std::max(fx[i], layer.rgba[i])) << i;
    }
  }
}

}  // namespace
}  // namespace pluvane::session
