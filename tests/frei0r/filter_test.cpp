// The filter loaded through dlopen, as frei0r hosts load it: what it
// declares, instances rendering from several threads at once, values no
// control accepts (clamped, never a crash), and what its "Units" switch,
// "Light X"/"Light Y" and "Frame Rate" "project" promise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/frei0r_fixture.h"

namespace {

using testsupport::Filter;
using testsupport::Instance;

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!filter_.so) GTEST_FAIL() << "cannot load " << PLUVANE_FREI0R_PATH << ": " << dlerror();
  }
  // A busy scene where every number shows: many drops, a point light with
  // some diffuse light (or a distant one, whose direction counts).
  void Busy(Instance& i, bool point) const {
    i.Double("Drip Rate", 0.8).Text("Light Type", point ? "Point Light" : "Distant Light");
    i.Double("Diffuse", 0.6);
  }
  Filter filter_;
};

TEST_F(FilterTest, DeclaresAnRgbaFilterWithEveryControlByName) {
  f0r_plugin_info_t info{};
  filter_.plugin_info(&info);
  EXPECT_STREQ(info.name, "pluvane");
  EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
  EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
  EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
  // The order is the contract: ffmpeg's positional lists and the editors'
  // saved projects name parameters by number.
  const struct {
    const char* name;
    int type;
  } expected[] = {{"Time Unit", F0R_PARAM_STRING},       {"Frame Rate", F0R_PARAM_STRING},
                  {"Drip Rate", F0R_PARAM_DOUBLE},       {"Longevity (sec)", F0R_PARAM_DOUBLE},
                  {"Rippling", F0R_PARAM_DOUBLE},        {"Displacement", F0R_PARAM_DOUBLE},
                  {"Ripple Height", F0R_PARAM_DOUBLE},   {"Spreading", F0R_PARAM_DOUBLE},
                  {"Using", F0R_PARAM_STRING},           {"Light Intensity", F0R_PARAM_DOUBLE},
                  {"Light Color", F0R_PARAM_COLOR},      {"Light Type", F0R_PARAM_STRING},
                  {"Light Height", F0R_PARAM_DOUBLE},    {"Light Position", F0R_PARAM_POSITION},
                  {"Light Direction", F0R_PARAM_DOUBLE}, {"Ambient", F0R_PARAM_DOUBLE},
                  {"Diffuse", F0R_PARAM_DOUBLE},         {"Specular", F0R_PARAM_DOUBLE},
                  {"Roughness", F0R_PARAM_DOUBLE},       {"Metal", F0R_PARAM_DOUBLE},
                  {"Draft", F0R_PARAM_BOOL},             {"Units", F0R_PARAM_STRING},
                  {"Light X", F0R_PARAM_DOUBLE},         {"Light Y", F0R_PARAM_DOUBLE},
                  {"Seed", F0R_PARAM_DOUBLE},            {"Mix", F0R_PARAM_DOUBLE}};
  ASSERT_EQ(info.num_params, static_cast<int>(std::size(expected)));
  for (int i = 0; i < info.num_params; ++i) {
    f0r_param_info_t p{};
    filter_.param_info(&p, i);
    EXPECT_STREQ(p.name, expected[i].name) << "parameter " << i;
    EXPECT_EQ(p.type, expected[i].type) << expected[i].name;
  }
  // Defaults on the 0..1 scale read back as the controls' own defaults map.
  Instance inst(filter_);
  const struct {
    const char* name;
    double value;
  } defaults[] = {{"Drip Rate", 0.2}, {"Rippling", 0.5}, {"Displacement", 0.7}, {"Light Direction", 0.375},
                  {"Light Height", 0.65}, {"Specular", 1.0}, {"Seed", 0.0}, {"Mix", 1.0}};
  for (const auto& d : defaults) EXPECT_NEAR(inst.GetDouble(d.name), d.value, 1e-4) << d.name;
  EXPECT_EQ(filter_.construct(0, 10), nullptr);
}

// Several instances updated from several threads at once give the frames one
// instance gives alone.
TEST_F(FilterTest, ThreadedInstancesMatchOneInstance) {
  constexpr int kThreads = 3, kFrames = 4;
  const auto frames = [&] {
    Instance inst(filter_);
    inst.Double("Drip Rate", 0.8).Text("Light Type", "Point Light").Text("Frame Rate", "25");
    std::vector<std::vector<uint32_t>> out;
    for (int f = 0; f < kFrames; ++f) out.push_back(inst.Render(f / 25.0));
    return out;
  };
  const auto want = frames();
  EXPECT_NE(want[0], want[kFrames - 1]) << "the rain does not move";
  std::vector<std::vector<std::vector<uint32_t>>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { got[t] = frames(); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(got[t] == want) << "thread " << t;
}

// A value beyond what a control accepts renders as the control's limit; NaN
// as its default; the frame time rounds to the nearest frame.
TEST_F(FilterTest, ValuesAreClampedAndTimesRoundToFrames) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* what;
    const char* name;
    double given, same_as;
  } cases[] = {
      {"Drip Rate above its valid 100", "Drip Rate", 1e9, 20.0},
      {"Spreading below 0", "Spreading", -3.0, 0.0},
      {"Roughness below its 0.001", "Roughness", 0.0, 0.004},
      {"NaN Displacement is the default", "Displacement", nan, 0.7},
      {"Rippling beyond 16.16 fixed point", "Rippling", 1e12, 32767.0 / 720.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Instance a(filter_), b(filter_);
    a.Double("Drip Rate", 0.6).Double(c.name, c.given), b.Double("Drip Rate", 0.6).Double(c.name, c.same_as);
    EXPECT_TRUE(a.Render(2.0) == b.Render(2.0));
  }
  Instance a(filter_), b(filter_);
  a.Double("Drip Rate", 0.6), b.Double("Drip Rate", 0.6);
  // 2.012 s and 1.99 s are both frame 60 at 30 fps; in milliseconds, 2000.
  b.Text("Time Unit", "ms");
  EXPECT_TRUE(a.Render(2.012) == a.Render(1.99));
  EXPECT_TRUE(a.Render(2.0) == b.Render(2000.0));
  EXPECT_FALSE(a.Render(2.0) == a.Render(2.1));
  // Unknown strings fall back to the defaults: 30 fps, the first choices.
  b.Text("Time Unit", "seconds").Text("Frame Rate", "fast").Text("Light Type", "neon");
  a.Text("Frame Rate", "30/1").Text("Light Type", "distant");
  EXPECT_TRUE(a.Render(1.0) == b.Render(1.0));
}

// Every parameter swept over and beyond its range, with NaN and infinities,
// at odd times: the filter renders every frame without a fault.
TEST_F(FilterTest, SweepOfEveryParameterNeverFails) {
  f0r_plugin_info_t info{};
  filter_.plugin_info(&info);
  f0r_instance_t inst = filter_.construct(testsupport::kFilterW, testsupport::kFilterH);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const double numbers[] = {-inf, -1e300, -2, -0.5, 0, 0.25, 0.5, 1, 3, 1e300, inf, nan};
  const char* strings[] = {"", "  ", "2", "0", "-5", "AE Lights", "point", "1e999/0", "30000/1001", "ms", "29.97",
                           "999999999999999999999"};
  const std::vector<uint32_t> in = testsupport::FilterPicture();
  std::vector<uint32_t> out(in.size());
  const double times[] = {0, 0.5, -1, 1e12, nan, inf};
  int n = 0;
  for (int i = 0; i < info.num_params; ++i) {
    f0r_param_info_t p{};
    filter_.param_info(&p, i);
    for (int k = 0; k < 12; ++k) {
      const double v = numbers[k];
      f0r_param_color_t c{static_cast<float>(v), static_cast<float>(-v), 0.5f};
      f0r_param_position_t pos{v, -v};
      f0r_param_string s = const_cast<char*>(strings[k]);
      switch (p.type) {
        case F0R_PARAM_COLOR: filter_.set(inst, &c, i); break;
        case F0R_PARAM_POSITION: filter_.set(inst, &pos, i); break;
        case F0R_PARAM_STRING: filter_.set(inst, &s, i); break;
        default: filter_.set(inst, const_cast<double*>(&v), i); break;
      }
      filter_.update(inst, times[n++ % 6], in.data(), out.data());
    }
  }
  filter_.destruct(inst);
  SUCCEED();
}

// The stated 0..1 rule of every double, value = lo + v × (hi − lo): the same
// number given in the control's units with "Units" "native" renders the
// same frame, and a frame unlike the default one (the value matters).
TEST_F(FilterTest, NativeValuesEqualTheirZeroToOneMapping) {
  const struct {
    const char* name;
    double unit;    // on the 0..1 scale
    double native;  // the same in the control's units
    bool point;     // rendered with the point light
  } cases[] = {
      {"Drip Rate", 0.5, 2.5, true},        {"Longevity (sec)", 0.25, 2.5, true}, {"Rippling", 0.25, 180, true},
      {"Displacement", 0.9, 40, true},      {"Ripple Height", 0.75, 150, true},   {"Spreading", 0.25, 50, true},
      {"Light Intensity", 0.6, 120, true},  {"Light Height", 0.3, 30, true},      {"Light Direction", 0.5, 0, false},
      {"Ambient", 0.25, 50, true},          {"Diffuse", 0.25, 25, true},          {"Specular", 0.4, 40, true},
      {"Roughness", 0.2, 0.05, true},       {"Metal", 0.5, 50, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Instance unit(filter_), native(filter_), plain(filter_);
    Busy(unit, c.point), Busy(plain, c.point);
    unit.Double(c.name, c.unit);
    native.Text("Units", "native");
    // The busy scene in native units: the same drops, the same light.
    native.Double("Drip Rate", 4).Text("Light Type", c.point ? "Point Light" : "Distant Light").Double("Diffuse", 60);
    native.Double(c.name, c.native);
    const auto frame = unit.Render(1.5);
    EXPECT_TRUE(frame == native.Render(1.5)) << "native " << c.native << " renders unlike " << c.unit;
    EXPECT_FALSE(frame == plain.Render(1.5)) << "the value makes no difference: the case proves nothing";
  }
}

// In native units a double the host never set stays at the control's default
// and reads back as it; a value beyond what the control accepts is clamped.
TEST_F(FilterTest, NativeUnitsKeepDefaultsAndClamp) {
  Instance zero_one(filter_), native(filter_);
  native.Text("Units", "NATIVE");
  EXPECT_TRUE(zero_one.Render(0.8) == native.Render(0.8)) << "unset doubles are not the defaults in native units";
  EXPECT_DOUBLE_EQ(native.GetDouble("Drip Rate"), 1.0);
  EXPECT_DOUBLE_EQ(native.GetDouble("Light Direction"), -45.0);
  EXPECT_DOUBLE_EQ(zero_one.GetDouble("Drip Rate"), 0.2);  // the 0..1 default stays as it was
  Instance huge(filter_), limit(filter_);
  huge.Text("Units", "native").Double("Drip Rate", 1e9);
  limit.Text("Units", "native").Double("Drip Rate", 100);  // its valid maximum
  EXPECT_TRUE(huge.Render(0.1) == limit.Render(0.1));
  // Any other text is the 0..1 convention.
  Instance other(filter_);
  other.Text("Units", "pixels").Double("Drip Rate", 0.2);
  EXPECT_TRUE(other.Render(0.8) == zero_one.Render(0.8));
}

// "Light X" and "Light Y" place the point light as fractions of the frame; each, when a
// number, wins over its axis of "Light Position"; NaN (their default) leaves
// "Light Position" in charge.
TEST_F(FilterTest, LightXAndYWinOverLightPosition) {
  Instance by_position(filter_), by_pixels(filter_), both(filter_), half(filter_), unset(filter_);
  for (Instance* i : {&by_position, &by_pixels, &both, &half, &unset}) Busy(*i, true);
  by_position.Position("Light Position", 0.75, 0.5);
  by_pixels.Double("Light X", 0.75).Double("Light Y", 0.5);
  both.Position("Light Position", 0.1, 0.9).Double("Light X", 0.75).Double("Light Y", 0.5);
  half.Position("Light Position", 0.1, 0.5).Double("Light X", 0.75);
  const auto want = by_position.Render(1.0);
  EXPECT_TRUE(want == by_pixels.Render(1.0));
  EXPECT_TRUE(want == both.Render(1.0)) << "Light Position won over Light X and Y";
  EXPECT_TRUE(want == half.Render(1.0)) << "Light X alone does not place x only";
  EXPECT_FALSE(want == unset.Render(1.0)) << "the light's place makes no difference: the case proves nothing";
  EXPECT_TRUE(std::isnan(unset.GetDouble("Light X")));
  unset.Double("Light X", std::numeric_limits<double>::quiet_NaN()).Double("Light Y", 0.25);
  Instance at_default(filter_);
  Busy(at_default, true);
  EXPECT_TRUE(unset.Render(1.0) == at_default.Render(1.0)) << "NaN Light X or the default y moved the light";
}

// Frame Rate "project": MLT stamps frame n at n / fps seconds (in doubles),
// and from frame 1 on the filter renders what the rate named gives; frame 0,
// which fits every rate, at 30 fps. Rates below the usual ones are found too.
TEST_F(FilterTest, ProjectRateComesFromTheTimeStamps) {
  for (const auto& [num, den] : {std::pair{24000, 1001}, {25, 1}, {30000, 1001}, {50, 1}, {60000, 1001}, {12, 1}}) {
    const std::string rate = std::to_string(num) + "/" + std::to_string(den);
    SCOPED_TRACE(rate);
    Instance project(filter_), named(filter_), thirty(filter_);
    for (Instance* i : {&project, &named, &thirty}) Busy(*i, true);
    project.Text("Frame Rate", "project"), named.Text("Frame Rate", rate.c_str()), thirty.Text("Frame Rate", "30");
    const double fps = static_cast<double>(num) / den;
    EXPECT_TRUE(project.Render(0.0) == thirty.Render(0.0));
    for (int n = 1; n <= 3; ++n) {
      named.Render((n - 1) / fps);  // the same frames seen before, as MLT plays them
      EXPECT_TRUE(project.Render(n / fps) == named.Render(n / fps)) << "frame " << n;
    }
  }
}

// A frei0r host passes a keyframed value frame by frame. Rendered in order,
// the frames equal what keyframes in the effect's own host give (drops keep
// the values of their birth, which the filter has seen); a frame rendered
// again with other values (an edit) forgets what was kept before.
TEST_F(FilterTest, ValuesSeenEarlierServeAsKeyframes) {
  const auto height = [](int f) { return 100.0 + 10.0 * f; };  // Ripple Height keyed 100 at 0 to 150 at 5
  Instance in_order(filter_), jump(filter_);
  for (Instance* i : {&in_order, &jump}) Busy(*i, true), i->Text("Units", "native").Double("Drip Rate", 4);
  std::vector<uint32_t> last;
  for (int f = 0; f <= 5; ++f) last = in_order.Double("Ripple Height", height(f)).Render(f / 30.0);
  jump.Double("Ripple Height", height(5));
  EXPECT_FALSE(last == jump.Render(5 / 30.0)) << "the earlier values made no difference: the case proves nothing";
  // The same frame again with its own value: unchanged. With another value:
  // as if that value had always been set.
  EXPECT_TRUE(last == in_order.Render(5 / 30.0));
  Instance fresh(filter_);
  Busy(fresh, true), fresh.Text("Units", "native").Double("Drip Rate", 4).Double("Ripple Height", 180);
  EXPECT_TRUE(in_order.Double("Ripple Height", 180).Render(5 / 30.0) == fresh.Render(5 / 30.0));
}

}  // namespace
