// The filter loaded through dlopen, as frei0r hosts load it: instances
// rendering from several threads at once, values no control accepts (clamped,
// never a crash), and what "Frame Rate" "project" and the values of earlier
// frames promise. Its frames against `pluvane render` in the
// real hosts are in hosts_test.cpp; its parameters against the editors'
// panels in tests/editors/check_panels.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/frei0r_fixture.h"

namespace {

using testsupport::Instance;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!filter_.so) GTEST_FAIL() << "cannot load " << PLUVANE_FREI0R_PATH << ": " << filter_.why;
  }
  // A busy scene where every number shows: many drops, a point light with
  // some diffuse light.
  static Instance& Busy(Instance& i) {
    return i.Double("Drip Rate", 0.8).Text("Light Type", "Point Light").Double("Diffuse", 0.6);
  }
  testsupport::Filter filter_;
};

// Several instances updated from several threads at once give the frames one
// instance gives alone.
TEST_F(FilterTest, ThreadedInstancesMatchOneInstance) {
  constexpr int kThreads = 3, kFrames = 4;
  const auto frames = [&] {
    Instance inst(filter_);
    Busy(inst).Text("Frame Rate", "25");
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
// as its default; an unknown text as the default choice or rate; in native
// units a double never set as the control's default.
TEST_F(FilterTest, ValuesAreClamped) {
  const struct {
    const char* name;
    double given, same_as;
  } cases[] = {{"Drip Rate", 1e9, 20.0},  // its valid maximum, 100
               {"Spreading", -3.0, 0.0},
               {"Roughness", 0.0, 0.004},  // its valid minimum, 0.001
               {"Displacement", kNaN, 0.7},
               {"Rippling", 1e12, 32767.0 / 720.0}};  // the largest 16.16 value
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Instance a(filter_), b(filter_);
    a.Double("Drip Rate", 0.6).Double(c.name, c.given), b.Double("Drip Rate", 0.6).Double(c.name, c.same_as);
    EXPECT_TRUE(a.Render(2.0) == b.Render(2.0));
  }
  Instance a(filter_), b(filter_);
  a.Double("Drip Rate", 0.6).Text("Frame Rate", "30/1").Text("Light Type", "distant");
  b.Double("Drip Rate", 0.6).Text("Frame Rate", "fast").Text("Light Type", "neon");
  EXPECT_TRUE(a.Render(1.0) == b.Render(1.0));
  Instance zero_one(filter_), native(filter_);
  EXPECT_TRUE(zero_one.Render(0.8) == native.Text("Units", "native").Render(0.8));
}

// Every parameter swept over and beyond its range, with NaN and infinities,
// at odd times: the filter renders every frame without a fault. A frame of
// no pixels gets no instance.
TEST_F(FilterTest, SweepOfEveryParameterNeverFails) {
  EXPECT_EQ(filter_.construct(0, 10), nullptr);
  f0r_plugin_info_t info{};
  filter_.plugin_info(&info);
  f0r_instance_t inst = filter_.construct(testsupport::kFilterW, testsupport::kFilterH);
  const double inf = std::numeric_limits<double>::infinity();
  const double numbers[] = {-inf, -1e300, -2, -0.5, 0, 0.25, 0.5, 1, 3, 1e300, inf, kNaN};
  const char* strings[] = {"",      "  ",      "2",          "0",  "-5",    "AE Lights",
                           "point", "1e999/0", "30000/1001", "ms", "29.97", "999999999999999999999"};
  const double times[] = {0, 0.5, -1, 1e12, kNaN, inf};
  const std::vector<uint32_t> in = testsupport::FilterPicture();
  std::vector<uint32_t> out(in.size());
  int n = 0;
  for (int i = 0; i < info.num_params; ++i) {
    f0r_param_info_t p{};
    filter_.param_info(&p, i);
    for (int k = 0; k < 12; ++k) {
      double v = numbers[k];
      f0r_param_color_t c{static_cast<float>(v), static_cast<float>(-v), 0.5f};
      f0r_param_position_t pos{v, -v};
      const char* s = strings[k];
      void* value = &v;
      if (p.type == F0R_PARAM_COLOR) value = &c;
      if (p.type == F0R_PARAM_POSITION) value = &pos;
      if (p.type == F0R_PARAM_STRING) value = &s;
      filter_.set(inst, value, i);
      filter_.update(inst, times[n++ % 6], in.data(), out.data());
    }
  }
  filter_.destruct(inst);
}

// Frame Rate "project": MLT stamps frame n at n / fps seconds (in doubles),
// and from frame 1 on the filter renders what the rate named gives; frame 0,
// which fits every rate, at 30 fps. Rates below the usual ones are found too.
TEST_F(FilterTest, ProjectRateComesFromTheTimeStamps) {
  for (const auto& [num, den] : {std::pair{24000, 1001}, {25, 1}, {30000, 1001}, {50, 1}, {60000, 1001}, {12, 1}}) {
    const std::string rate = std::to_string(num) + "/" + std::to_string(den);
    SCOPED_TRACE(rate);
    Instance project(filter_), named(filter_), thirty(filter_);
    Busy(project).Text("Frame Rate", "project"), Busy(named).Text("Frame Rate", rate.c_str());
    Busy(thirty).Text("Frame Rate", "30");
    const double fps = static_cast<double>(num) / den;
    EXPECT_TRUE(project.Render(0.0) == thirty.Render(0.0));
    for (int n = 1; n <= 3; ++n) {
      named.Render((n - 1) / fps);  // the same frames seen before, as MLT plays them
      EXPECT_TRUE(project.Render(n / fps) == named.Render(n / fps)) << "frame " << n;
    }
  }
}

// A frei0r host passes a keyframed value frame by frame. Rendered in order,
// drops keep the values of their birth, which the filter has seen (the saved
// projects of tests/editors check these frames against keyframes of the
// command line); a frame rendered again with its own value is unchanged, with
// another value (an edit) as if that value had always been set.
TEST_F(FilterTest, ValuesSeenEarlierServeAsKeyframes) {
  const auto height = [](int f) { return 100.0 + 10.0 * f; };  // Ripple Height keyed 100 at 0 to 150 at 5
  Instance in_order(filter_), jump(filter_), fresh(filter_);
  for (Instance* i : {&in_order, &jump, &fresh}) Busy(*i).Text("Units", "native").Double("Drip Rate", 4);
  std::vector<uint32_t> last;
  for (int f = 0; f <= 5; ++f) last = in_order.Double("Ripple Height", height(f)).Render(f / 30.0);
  jump.Double("Ripple Height", height(5));
  EXPECT_FALSE(last == jump.Render(5 / 30.0)) << "the earlier values made no difference: the case proves nothing";
  EXPECT_TRUE(last == in_order.Render(5 / 30.0));
  fresh.Double("Ripple Height", 180);
  EXPECT_TRUE(in_order.Double("Ripple Height", 180).Render(5 / 30.0) == fresh.Render(5 / 30.0));
}

}  // namespace
