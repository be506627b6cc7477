// Frames through the session: every depth from and to pixel buffers, smart
// and classic protocols alike, preview scale and pixel aspect, and one rate
// written three ways giving one rain.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "session/error.h"
#include "session/session.h"

namespace pluvane::session {
namespace {

constexpr int kW = 64, kH = 40;

// A layer with something to displace: a checker of colours, some transparency.
std::vector<uint8_t> Picture8() {
  std::vector<uint8_t> rgba(kW * kH * 4);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = &rgba[(y * kW + x) * 4];
      const bool on = ((x / 8) + (y / 8)) % 2;
      p[0] = static_cast<uint8_t>(on ? 230 : 20 + x);
      p[1] = static_cast<uint8_t>(on ? 40 + y : 200);
      p[2] = static_cast<uint8_t>((x * y) % 256);
      p[3] = static_cast<uint8_t>(x < 4 ? 128 : 255);
    }
  return rgba;
}

std::unique_ptr<Session> Effect(int w = kW, int h = kH) {
  auto effect = std::make_unique<Session>(minihost::MiniHost::DefaultModulePath(), w, h);
  effect->Apply(ParseSetOption("Drip Rate=8"));
  effect->Apply(ParseSetOption("Longevity (sec)=3"));
  return effect;
}

std::vector<uint8_t> Render8(Session& effect, long long frame, const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(static_cast<size_t>(effect.render_width()) * effect.render_height() * 4, 0x5a);
  EXPECT_EQ(effect.RenderFrame(frame, PackedRgba8(in.data(), effect.render_width(), effect.render_height()),
                               PackedRgba8(out.data(), effect.render_width(), effect.render_height()), Depth::k8),
            PF_Err_NONE);
  return out;
}

// 16-bit and float buffers go through the stored-sample rules (16-bit samples
// 0..65535 are host values 0..32768): calm water gives back each sample as
// the rules carry it there and back.
TEST(SessionRender, EveryDepthFromAndToBuffers) {
  const auto picture = Picture8();
  std::vector<uint16_t> wide(picture.size());
  std::vector<float> unit(picture.size());
  for (size_t i = 0; i < picture.size(); ++i) {
    wide[i] = static_cast<uint16_t>(picture[i] * 257);
    unit[i] = picture[i] / 255.0f;
  }
  const auto render = [&](Depth depth, const void* in, SampleType in_type, void* out, SampleType out_type, size_t bytes) {
    auto effect = Effect();
    const PixelView from{in, static_cast<std::ptrdiff_t>(kW * bytes), kW, kH, in_type};
    const MutablePixelView to{out, static_cast<std::ptrdiff_t>(kW * bytes), kW, kH, out_type};
    return effect->RenderFrame(20, from, to, depth);
  };
  std::vector<uint16_t> out16(picture.size());
  ASSERT_EQ(render(Depth::k16, wide.data(), SampleType::kUInt16, out16.data(), SampleType::kUInt16, 8), PF_Err_NONE);
  EXPECT_NE(out16, wide);
  std::vector<float> out_f(picture.size());
  ASSERT_EQ(render(Depth::k32, unit.data(), SampleType::kFloat, out_f.data(), SampleType::kFloat, 16), PF_Err_NONE);
  EXPECT_NE(out_f, unit);
  // Calm water (no drops yet at frame 0, nothing lit) gives the picture back at every depth.
  auto calm = std::make_unique<Session>(minihost::MiniHost::DefaultModulePath(), kW, kH);
  calm->Apply(ParseSetOption("Longevity (sec)=0"));
  calm->Apply(ParseSetOption("Specular=0"));
  std::vector<uint16_t> same(picture.size());
  ASSERT_EQ(calm->RenderFrame(0, PixelView{wide.data(), kW * 8, kW, kH, SampleType::kUInt16},
                              MutablePixelView{same.data(), kW * 8, kW, kH, SampleType::kUInt16}, Depth::k16),
            PF_Err_NONE);
  for (size_t i = 0; i < wide.size(); ++i) {
    const float host = StoredToHost(wide[i], SampleType::kUInt16, Depth::k16);
    ASSERT_EQ(same[i], HostToStored(host, Depth::k16, SampleType::kUInt16)) << i;
    EXPECT_LE(std::abs(same[i] - wide[i]), 1) << i;  // one code of 65535 at most
  }
}

// Rows stored bottom-up (a negative step from the top row) give the same frame.
TEST(SessionRender, BottomUpBuffersGiveTheSameFrame) {
  const auto picture = Picture8();
  std::vector<uint8_t> flipped(picture.size()), out(picture.size());
  for (int y = 0; y < kH; ++y)
    std::copy_n(&picture[y * kW * 4], kW * 4, &flipped[(kH - 1 - y) * kW * 4]);
  auto a = Effect(), b = Effect();
  const auto top_down = Render8(*a, 9, picture);
  const std::ptrdiff_t up = -static_cast<std::ptrdiff_t>(kW) * 4;
  ASSERT_EQ(b->RenderFrame(9, PixelView{&flipped[(kH - 1) * kW * 4], up, kW, kH, SampleType::kUInt8},
                           MutablePixelView{&out[(kH - 1) * kW * 4], up, kW, kH, SampleType::kUInt8}, Depth::k8),
            PF_Err_NONE);
  std::vector<uint8_t> unflipped(out.size());
  for (int y = 0; y < kH; ++y) std::copy_n(&out[(kH - 1 - y) * kW * 4], kW * 4, &unflipped[y * kW * 4]);
  EXPECT_EQ(unflipped, top_down);
}

TEST(SessionRender, PreviewScaleAndPixelAspect) {
  auto half = Effect(kW * 2, kH * 2);
  half->SetDownsample(2);
  EXPECT_EQ(half->render_width(), kW);
  EXPECT_EQ(half->render_height(), kH);
  const auto picture = Picture8();
  const auto at_half = Render8(*half, 15, picture);
  auto full = Effect();
  EXPECT_NE(at_half, Render8(*full, 15, picture));  // ripples twice the size on the buffer
  auto wide = Effect();
  wide->SetPixelAspect(ParseRatio("2", "pixel aspect"));
  EXPECT_NE(Render8(*wide, 15, picture), Render8(*full, 15, picture));
  EXPECT_THROW(half->SetDownsample(PF_RationalScale{3, 2}, PF_RationalScale{1, 1}), Error);
}

TEST(SessionRender, CancelledFramesSayCancelled) {
  auto effect = Effect();
  effect->Cancel();
  const auto picture = Picture8();
  std::vector<uint8_t> out(picture.size());
  EXPECT_EQ(effect->RenderFrame(40, PackedRgba8(picture.data(), kW, kH), PackedRgba8(out.data(), kW, kH), Depth::k8),
            PF_Interrupt_CANCEL);
  EXPECT_EQ(ErrorWords(PF_Interrupt_CANCEL), "cancelled");
  effect->ClearCancel();
  EXPECT_EQ(effect->RenderFrame(40, PackedRgba8(picture.data(), kW, kH), PackedRgba8(out.data(), kW, kH), Depth::k8),
            PF_Err_NONE);
}

TEST(SessionRender, ALayerWithoutPixelsIsRefused) {
  EXPECT_THROW(Session(minihost::MiniHost::DefaultModulePath(), 0, 10), Error);
  EXPECT_THROW(Session("/nonexistent/pluvane_effect.so", 10, 10), Error);
}

}  // namespace
}  // namespace pluvane::session
