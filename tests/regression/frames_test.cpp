// The exactness reference: a checksum of every byte of the frames rendered
// for settings spread over the whole parameter space, compared against the
// table of the frames the effect rendered before its render path was made
// faster. Any change to a single output byte fails here.
//
// Regenerating the table is only right when a change of the frames is meant:
// PLUVANE_PRINT_CHECKSUMS=1 prints the current table in the file's format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "minihost/composition.h"
#include "minihost/host.h"
#include "common/params.h"
#include "tests/support/world_util.h"

namespace {

using minihost::LightKind;
using minihost::LightLayer;
using minihost::MiniHost;
using minihost::Protocol;

struct Expected {
  const char* name;
  uint64_t checksum;
};
const Expected kTable[] = {
#include "tests/regression/frame_checksums.inc"
};

constexpr PF_PixelFormat k8 = PF_PixelFormat_ARGB32, k16 = PF_PixelFormat_ARGB64, kF = PF_PixelFormat_ARGB128;

// One frame to render: the layer's full-resolution size, the buffer's pixel
// format, the host's settings and the controls changed from their defaults.
struct Case {
  std::string name;
  PF_PixelFormat format = k8;
  A_long width = 48, height = 32;
  A_long frame = 12;
  Protocol protocol = Protocol::kSmart;
  PF_Quality quality = PF_Quality_HI;
  int threads = 1;
  A_u_long downsample_x = 1, downsample_y = 1;  // 1/N
  PF_RationalScale aspect{1, 1};
  A_long expand_output = 0;  // smart render: output larger by this many pixels on each side
  A_long expand_input = 0;   // smart render: input larger by this many pixels on each side
  std::function<void(MiniHost&)> setup = nullptr;
  bool no_thread_service = false;  // the host lacks "PF Iterate Generic Suite"
  bool no_row_service = false;     // the host lacks "Pluvane Iterate Rows Suite": the kernel runs per pixel
  std::function<void(PF_EffectWorld*)> fill = nullptr;  // the input's pixels, instead of the test pattern
};

// FNV-1a over the pixel bytes, row by row (padding left out), and the size.
uint64_t Checksum(const PF_EffectWorld* w) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  for (uint8_t b : {static_cast<uint8_t>(w->width), static_cast<uint8_t>(w->height)}) mix(b);
  const size_t bytes = static_cast<size_t>(w->width) * MiniHost::PixelSize(MiniHost::WorldFormat(w));
  for (A_long y = 0; y < w->height; ++y) {
    const uint8_t* row = testutil::RowOf(w, y);
    for (size_t i = 0; i < bytes; ++i) mix(row[i]);
  }
  return h;
}

// Every channel value of an integer depth, 0 to the full scale, in every
// channel (alpha included), each channel on its own stride so that a pixel's
// channels differ; pixels past one full cycle start it again. For 16-bit the
// last row holds values above the full scale (up to 65535), which the
// channels of a PF_Pixel16 can carry.
template <class Pixel>
void FillEveryValue(PF_EffectWorld* w, long full, bool above_full) {
  const long n = full + 1;
  for (A_long y = 0; y < w->height; ++y)
    for (A_long x = 0; x < w->width; ++x) {
      const long i = static_cast<long>(y) * w->width + x;
      Pixel& p = reinterpret_cast<Pixel*>(testutil::RowOf(w, y))[x];
      using C = decltype(p.red);
      if (above_full && y == w->height - 1) {
        const long span = 65535 - full;
        p.alpha = static_cast<C>(full);
        p.red = static_cast<C>(full + 1 + (x * 257) % span);
        p.green = static_cast<C>(full + 1 + (x * 131 + 7) % span);
        p.blue = static_cast<C>(65535 - (x * 73) % span);
        continue;
      }
      p.alpha = static_cast<C>((i * 5 + 3) % n);
      p.red = static_cast<C>(i % n);
      p.green = static_cast<C>((i * 7 + n / 3) % n);
      p.blue = static_cast<C>((i * 13 + 2 * n / 3) % n);
    }
}

// Float values the 8-bit pattern cannot hold: above 1, below 0, tiny ones.
void FillHdr(PF_EffectWorld* w) {
  for (A_long y = 0; y < w->height; ++y)
    for (A_long x = 0; x < w->width; ++x) {
      PF_PixelFloat& p = reinterpret_cast<PF_PixelFloat*>(testutil::RowOf(w, y))[x];
      p.alpha = (x + y) % 5 == 0 ? 0.75f : 1.0f;
      p.red = static_cast<float>(std::sin(x * 0.37 + y * 0.11) * 3.0 + 1.0);
      p.green = static_cast<float>((x * 7 + y * 3) % 17) * 1e-7f;
      p.blue = static_cast<float>(-0.25 + 0.013 * x * y);
    }
}

uint64_t RenderCase(const Case& c) {
  MiniHost host(MiniHost::DefaultModulePath(),
                {.width = c.width, .height = c.height, .downsample_x = {1, c.downsample_x},
                 .downsample_y = {1, c.downsample_y}, .pixel_aspect_ratio = c.aspect, .quality = c.quality,
                 .threads = c.threads, .thread_runner = {}});
  EXPECT_EQ(host.ParamsSetup(), PF_Err_NONE);
  if (c.setup) c.setup(host);
  if (c.no_thread_service) host.RemoveSuite(kPFIterateGenericSuite, kPFIterateGenericSuiteVersion1);
  if (c.no_row_service) host.RemoveSuite(kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1);
  const A_long bw = (c.width + static_cast<A_long>(c.downsample_x) - 1) / static_cast<A_long>(c.downsample_x);
  const A_long bh = (c.height + static_cast<A_long>(c.downsample_y) - 1) / static_cast<A_long>(c.downsample_y);
  minihost::WorldPtr input = host.NewWorld(bw + 2 * c.expand_input, bh + 2 * c.expand_input, c.format);
  input->origin_x = input->origin_y = -c.expand_input;
  if (c.fill) c.fill(input.get());
  else testutil::FillPattern(input.get());
  minihost::WorldPtr output = host.NewWorld(bw + 2 * c.expand_output, bh + 2 * c.expand_output, c.format);
  output->origin_x = output->origin_y = -c.expand_output;
  testutil::Scribble(output.get(), 0x5a);  // an unwritten pixel keeps this, and shows in the checksum
  const minihost::FrameRequest r{.time = c.frame * host.settings().time_step, .input = input.get(),
                                 .output = output.get(), .protocol = c.protocol};
  EXPECT_EQ(host.RenderFrame(r), PF_Err_NONE) << c.name;
  return Checksum(output.get());
}

void HeavyRain(MiniHost& h) {
  h.SetFixed(kParamDripRate, 10);
  h.SetFixed(kParamLongevity, 3);
}

using Vec = std::array<double, 3>;
LightLayer Light(LightKind type, Vec position, Vec color = {1, 1, 1}, std::optional<Vec> point_of_interest = {}) {
  return {.type = type, .position = position, .point_of_interest = point_of_interest, .color = color};
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const char* depth_name[] = {"8", "16", "f"};
  const PF_PixelFormat formats[] = {k8, k16, kF};
  // `c` in depth `d`, the depth's tag added to its name.
  const auto in_depth = [&](Case c, int d) {
    c.name += depth_name[d];
    c.format = formats[d];
    return c;
  };
  // Every depth, quality and protocol at the defaults.
  for (int d = 0; d < 3; ++d)
    for (PF_Quality q : {PF_Quality_HI, PF_Quality_LO})
      for (Protocol p : {Protocol::kSmart, Protocol::kClassic}) {
        const std::string tags =
            std::string(q == PF_Quality_HI ? "_hq" : "_lq") + (p == Protocol::kSmart ? "_smart" : "_classic");
        cases.push_back({.name = "default_" + std::string(depth_name[d]) + tags, .format = formats[d], .protocol = p,
                         .quality = q});
      }
  // Downsampling and pixel aspects.
  for (int d = 0; d < 3; ++d) {
    cases.push_back(
        in_depth({.name = "downsample2_", .width = 96, .height = 64, .downsample_x = 2, .downsample_y = 2}, d));
    cases.push_back(in_depth({.name = "downsample3_classic_", .width = 100, .height = 70,
                              .protocol = Protocol::kClassic, .downsample_x = 3, .downsample_y = 3},
                             d));
  }
  cases.push_back(
      {.name = "downsample_x2_y1_lq_16", .format = k16, .width = 96, .quality = PF_Quality_LO, .downsample_x = 2});
  for (auto [num, den, tag] : {std::tuple<A_long, A_u_long, const char*>{2, 1, "2_1"}, {10, 11, "10_11"}, {4, 3, "4_3"}})
    for (int d : {0, 2})
      cases.push_back(in_depth({.name = std::string("aspect") + tag + "_", .aspect = {num, den}}, d));
  cases.push_back({.name = "aspect2_1_downsample2_16", .format = k16, .width = 96, .height = 64, .downsample_x = 2,
                   .downsample_y = 2, .aspect = {2, 1}});
  // Keyframes: drop parameters change between birth frames; displacement and
  // the light move over time.
  const auto keyframes = [](MiniHost& h) {
    h.SetKeys(kParamDripRate, {{0.0, 1.0}, {1.0, 5.0}});
    h.SetKeys(kParamRippleHeight, {{0.5, 50.0}, {1.5, 180.0}});
    h.SetKeys(kParamSpreading, {{0.0, 300.0}, {2.0, 80.0}});
    h.SetKeys(kParamRippling, {{0.0, 200.0}, {1.3, 720.0}});
    h.SetKeys(kParamDisplacement, {{1.0, -10.0}, {1.5, 60.0}});
    h.SetKeys(kParamLightDirection, {{0.0, 0.0}, {2.0, 270.0}});
  };
  for (int d = 0; d < 3; ++d) cases.push_back(in_depth({.name = "keyframes_", .frame = 40, .setup = keyframes}, d));
  // The effect's point light, and other shading controls.
  const auto point_light = [](MiniHost& h) {
    h.SetPopup(kParamLightType, kLightTypePoint);
    h.SetPoint(kParamLightPosition, 30, 8);
    h.SetFixed(kParamLightHeight, 40);
    h.SetFixed(kParamDiffuse, 60);
    h.SetColor(kParamLightColor, PF_Pixel{255, 250, 120, 40});
  };
  for (int d = 0; d < 3; ++d) cases.push_back(in_depth({.name = "point_light_", .setup = point_light}, d));
  cases.push_back({.name = "point_light_keyed_downsample2_aspect_f", .format = kF, .width = 96, .height = 64,
                   .frame = 20, .downsample_x = 2, .downsample_y = 2, .aspect = {4, 3}, .setup = [](MiniHost& h) {
                     h.SetPopup(kParamLightType, kLightTypePoint);
                     h.SetKeys(kParamLightPosition, {{0.0, 5.0, 5.0}, {1.0, 90.0, 60.0}});
                     h.SetFixed(kParamLightHeight, -30);
                     h.SetFixed(kParamMetal, 20);
                     h.SetFixed(kParamRoughness, 0.002);
                     h.SetFixed(kParamSpecular, 70);
                     h.SetFixed(kParamAmbient, 150);
                   }});
  // Composition lights of every kind.
  const auto comp_lights = [](MiniHost& h) {
    h.SetPopup(kParamUsing, kUsingAELights);
    h.SetFixed(kParamDiffuse, 80);
    auto& comp = h.composition();
    comp.AddLight(Light(LightKind::kAmbient, {0, 0, 0}, {0.2, 0.25, 0.3}));
    comp.AddLight(Light(LightKind::kPoint, {10, 5, -40}, {1.0, 0.8, 0.6}));
    LightLayer spot = Light(LightKind::kSpot, {30, 20, -50}, {1, 1, 1}, Vec{24, 16, 0});
    spot.cone_angle = 60;
    spot.cone_feather = 30;
    comp.AddLight(spot);
    comp.AddLight(Light(LightKind::kParallel, {0, 0, -10}, {0.3, 0.3, 0.9}, Vec{5, -3, 4}));
    comp.AddPlainLayer();
  };
  for (int d = 0; d < 3; ++d) cases.push_back(in_depth({.name = "comp_lights_", .setup = comp_lights}, d));
  cases.push_back({.name = "comp_lights_classic_lq_downsample2_16", .format = k16, .width = 96, .height = 64,
                   .protocol = Protocol::kClassic, .quality = PF_Quality_LO, .downsample_x = 2, .downsample_y = 2,
                   .setup = [](MiniHost& h) {
                     h.SetPopup(kParamUsing, kUsingAELights);
                     h.composition().AddLight(Light(LightKind::kPoint, {40, 30, -20}, {0.9, 1.0, 0.7}));
                   }});
  // Heavy rain: many drops per birth frame, many live birth frames.
  for (int d = 0; d < 3; ++d)
    cases.push_back(in_depth({.name = "heavy_rain_", .width = 80, .height = 45, .frame = 100, .setup = HeavyRain}, d));
  // Threads: one, two and more workers, odd heights so bands end unevenly.
  for (int t : {1, 2, 3})
    cases.push_back({.name = "heavy_rain_threads" + std::to_string(t) + "_16", .format = k16, .width = 61, .height = 37,
                     .frame = 100, .threads = t, .setup = HeavyRain});
  for (int t : {1, 2})
    for (int d : {0, 2})
      cases.push_back(in_depth({.name = "threads" + std::to_string(t) + "_", .width = 53, .height = 29, .frame = 33,
                                .threads = t},
                               d));
  // The strongest displacements, both ways: the widest boxes and the fold.
  for (double disp : {1024.0, -1024.0}) {
    const auto displace = [disp](MiniHost& h) {
      h.SetFixed(kParamDisplacement, disp);
      h.SetFixed(kParamDripRate, 4);
      h.SetFixed(kParamRippleHeight, 200);
    };
    // 140 wide: wide enough for the largest blur radius, 64.
    for (int d = 0; d < 3; ++d)
      cases.push_back(in_depth({.name = disp > 0 ? "displace_plus1024_" : "displace_minus1024_", .width = 140,
                                .height = 18, .frame = 20, .setup = displace},
                               d));
  }
  // Radii narrowed to the layer.
  cases.push_back({.name = "displace_plus1024_small_layer_8", .width = 20, .height = 12,
                   .setup = [](MiniHost& h) { h.SetFixed(kParamDisplacement, 1024); }});
  cases.push_back({.name = "displace_minus1024_lq_16", .format = k16, .width = 70, .height = 50,
                   .quality = PF_Quality_LO, .setup = [](MiniHost& h) { h.SetFixed(kParamDisplacement, -1024); }});
  // Floats beyond 0..1.
  for (PF_Quality q : {PF_Quality_HI, PF_Quality_LO})
    cases.push_back({.name = std::string("hdr_float_") + (q == PF_Quality_HI ? "hq" : "lq"), .format = kF, .width = 64,
                     .height = 40, .quality = q, .setup = [](MiniHost& h) { h.SetFixed(kParamDisplacement, 200); },
                     .fill = FillHdr});
  // Expanded worlds under smart render.
  for (int d = 0; d < 3; ++d) {
    cases.push_back(in_depth({.name = "expanded_output_", .expand_output = 7}, d));
    cases.push_back(in_depth({.name = "expanded_input_", .expand_input = 5}, d));
  }
  // Odd sizes, big ripples, other frame rates.
  for (auto [w, h] : {std::pair<A_long, A_long>{1, 1}, {3, 7}, {37, 23}, {200, 6}})
    cases.push_back({.name = "size" + std::to_string(w) + "x" + std::to_string(h) + "_16", .format = k16, .width = w,
                     .height = h, .frame = 15, .setup = [](MiniHost& hst) {
                       hst.SetFixed(kParamDripRate, 30);
                       hst.SetFixed(kParamSpreading, 600);
                     }});
  cases.push_back({.name = "big_ripples_no_specular_8", .frame = 50, .setup = [](MiniHost& h) {
                     h.SetFixed(kParamSpreading, 5000);
                     h.SetFixed(kParamRippleHeight, 200);
                     h.SetFixed(kParamRippling, 90);
                     h.SetFixed(kParamSpecular, 0);
                     h.SetFixed(kParamDiffuse, 100);
                     h.SetFixed(kParamLightIntensity, 300);
                   }});
  // Calm water at the layer's edges: few, young ripples in the middle of a
  // wider layer, so the borders (and, in an expanded output, the pixels past
  // them, which mirror back into the layer) take the calm path; positions
  // between pixel centres when downsampled with a pixel aspect.
  for (int d = 0; d < 3; ++d) {
    cases.push_back(in_depth({.name = "calm_edges_", .width = 120, .height = 70, .frame = 4, .expand_output = 9}, d));
    cases.push_back(in_depth({.name = "calm_edges_lq_classic_", .width = 120, .height = 70, .frame = 4,
                              .protocol = Protocol::kClassic, .quality = PF_Quality_LO},
                             d));
    cases.push_back(in_depth({.name = "calm_edges_aspect10_11_downsample2_", .width = 120, .height = 70, .frame = 4,
                              .downsample_x = 2, .downsample_y = 2, .aspect = {10, 11}, .expand_input = 3},
                             d));
  }
  // Every channel value of the integer depths, from 0 to the full scale,
  // lit so that results clamp at both ends; with the effect's distant light
  // and with distant composition lights only.
  const auto every8 = [](PF_EffectWorld* w) { FillEveryValue<PF_Pixel>(w, 255, false); };
  const auto every16 = [](PF_EffectWorld* w) { FillEveryValue<PF_Pixel16>(w, 32768, true); };
  for (int d = 0; d < 2; ++d) {
    Case c{.name = "every_value_", .format = formats[d], .width = d == 0 ? 64 : 256, .height = d == 0 ? 48 : 130,
           .frame = 9,
           .setup = [](MiniHost& h) {
             h.SetFixed(kParamLightIntensity, 140);
             h.SetFixed(kParamMetal, 35);
             h.SetFixed(kParamAmbient, 60);
             h.SetColor(kParamLightColor, PF_Pixel{255, 255, 200, 90});
           },
           .fill = d == 0 ? std::function<void(PF_EffectWorld*)>(every8) : every16};
    for (PF_Quality q : {PF_Quality_HI, PF_Quality_LO}) {
      c.name = std::string("every_value_") + depth_name[d] + (q == PF_Quality_HI ? "_hq" : "_lq");
      c.quality = q;
      cases.push_back(c);
    }
    c.name = std::string("every_value_distant_comp_lights_") + depth_name[d];
    c.quality = PF_Quality_HI;
    c.setup = [](MiniHost& h) {
      h.SetPopup(kParamUsing, kUsingAELights);
      h.SetFixed(kParamSpecular, 80);
      auto& comp = h.composition();
      comp.AddLight(Light(LightKind::kAmbient, {0, 0, 0}, {0.3, 0.2, 0.1}));
      comp.AddLight(Light(LightKind::kParallel, {0, 0, -10}, {1.2, 0.9, 0.4}, Vec{3, 2, 0}));
      comp.AddLight(Light(LightKind::kParallel, {5, 0, -3}, {0.2, 0.5, 1.5}, Vec{0, 4, 1}));
    };
    cases.push_back(c);
  }
  // A point light next to distant lights: before, between and after them.
  for (int order = 0; order < 3; ++order) {
    for (int d = 0; d < 3; ++d) {
      const auto lights = [order](MiniHost& h) {
        h.SetPopup(kParamUsing, kUsingAELights);
        h.SetFixed(kParamSpecular, 60);
        auto& comp = h.composition();
        comp.AddLight(Light(LightKind::kAmbient, {0, 0, 0}, {0.15, 0.2, 0.25}));
        const LightLayer p = Light(LightKind::kPoint, {50, 12, -30}, {1.0, 0.9, 0.5});
        if (order == 0) comp.AddLight(p);
        comp.AddLight(Light(LightKind::kParallel, {0, 0, -10}, {0.8, 0.7, 0.6}, Vec{4, -2, 0}));
        if (order == 1) comp.AddLight(p);
        comp.AddLight(Light(LightKind::kParallel, {-3, 6, -8}, {0.3, 0.4, 0.9}, Vec{0, 0, 0}));
        if (order == 2) comp.AddLight(p);
      };
      cases.push_back(in_depth({.name = "point_among_distant" + std::to_string(order) + "_", .width = 72,
                                .height = 40, .frame = 14, .setup = lights},
                               d));
    }
  }
  return cases;
}

// Every saved frame is rendered again (a case dropped from the table fails
// too), also as other hosts render it, in the same bytes: the kernel per
// pixel (a host without this host's row iteration) or a row at a time, on one
// to three threads sharing the rows, and the field drawn on the render's own
// thread (a host without the generic work service).
TEST(FrameRegression, EveryFrameMatchesItsChecksumHoweverItIsIterated) {
  std::map<std::string, uint64_t> unrendered;
  for (const Expected& e : kTable) unrendered[e.name] = e.checksum;
  const std::map<std::string, uint64_t> expected = unrendered;
  const bool print = std::getenv("PLUVANE_PRINT_CHECKSUMS") != nullptr;
  for (Case c : Cases()) {
    const uint64_t sum = RenderCase(c);
    if (print) std::printf("    {\"%s\", 0x%016llxull},\n", c.name.c_str(), static_cast<unsigned long long>(sum));
    auto it = expected.find(c.name);
    if (it == expected.end()) {
      ADD_FAILURE() << "no checksum for " << c.name;
      continue;
    }
    EXPECT_EQ(sum, it->second) << c.name << " renders different bytes";
    unrendered.erase(c.name);
    for (auto [threads, per_pixel, own_thread] : {std::tuple{1, true, true}, {3, true, false}, {2, false, true}}) {
      c.threads = threads;
      c.no_row_service = per_pixel;
      c.no_thread_service = own_thread;
      EXPECT_EQ(RenderCase(c), it->second)
          << c.name << (per_pixel ? " per pixel" : " by rows") << " on " << threads << " thread(s)"
          << (own_thread ? ", field drawn on the render's thread" : "");
    }
  }
  for (const auto& [name, sum] : unrendered) ADD_FAILURE() << "the saved frame " << name << " is no longer rendered";
}

// Frames of the size people render, where ripples are few and far apart:
// most groups of pixels are calm and every ripple's edge falls at every
// place within them. The row path must give the per-pixel path's bytes.
TEST(FrameRegression, LargeLayersWithSparseRipplesRenderTheSameByRowsAsPerPixel) {
  const char* depth_name[] = {"8", "16", "f"};
  const PF_PixelFormat formats[] = {k8, k16, kF};
  for (int d = 0; d < 3; ++d)
    for (A_long frame : {4, 12}) {
      Case c{.name = std::string("sparse_") + depth_name[d] + "_frame" + std::to_string(frame), .format = formats[d],
             .width = 640, .height = 360, .frame = frame, .threads = 2};
      const uint64_t by_rows = RenderCase(c);
      c.threads = 1;
      c.no_row_service = true;
      EXPECT_EQ(RenderCase(c), by_rows) << c.name;
    }
}

}  // namespace
