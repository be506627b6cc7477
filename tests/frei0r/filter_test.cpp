// The filter loaded through dlopen, as frei0r hosts load it: what it
// declares, instances rendering from several threads at once, and values no
// control accepts (clamped, never a crash).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace {

constexpr unsigned kW = 64, kH = 36;

struct Filter {
  void* so = nullptr;
  int (*init)();
  void (*deinit)();
  void (*plugin_info)(f0r_plugin_info_t*);
  void (*param_info)(f0r_param_info_t*, int);
  f0r_instance_t (*construct)(unsigned, unsigned);
  void (*destruct)(f0r_instance_t);
  void (*set)(f0r_instance_t, f0r_param_t, int);
  void (*get)(f0r_instance_t, f0r_param_t, int);
  void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*);

  Filter() {
    so = dlopen(PLUVANE_FREI0R_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!so) return;
    Load(init, "f0r_init"), Load(deinit, "f0r_deinit"), Load(plugin_info, "f0r_get_plugin_info");
    Load(param_info, "f0r_get_param_info"), Load(construct, "f0r_construct"), Load(destruct, "f0r_destruct");
    Load(set, "f0r_set_param_value"), Load(get, "f0r_get_param_value"), Load(update, "f0r_update");
    init();
  }
  ~Filter() {
    if (!so) return;
    deinit();
    dlclose(so);
  }
  template <class F>
  void Load(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(so, name));
  }

  int Index(const std::string& name) const {
    f0r_plugin_info_t info{};
    plugin_info(&info);
    for (int i = 0; i < info.num_params; ++i) {
      f0r_param_info_t p{};
      param_info(&p, i);
      if (name == p.name) return i;
    }
    return -1;
  }
  void SetDouble(f0r_instance_t inst, const std::string& name, double v) const {
    set(inst, &v, Index(name));
  }
  void SetString(f0r_instance_t inst, const std::string& name, const char* v) const {
    f0r_param_string s = const_cast<char*>(v);
    set(inst, &s, Index(name));
  }
};

std::vector<uint32_t> Picture() {
  std::vector<uint32_t> px(kW * kH);
  for (unsigned y = 0; y < kH; ++y)
    for (unsigned x = 0; x < kW; ++x) {
      const uint8_t rgba[4] = {static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 7), static_cast<uint8_t>((x * y) & 255),
                               static_cast<uint8_t>(200 + (x & 31))};
      std::memcpy(&px[y * kW + x], rgba, 4);
    }
  return px;
}

std::vector<uint32_t> Render(const Filter& f, f0r_instance_t inst, double seconds) {
  static const std::vector<uint32_t> in = Picture();
  std::vector<uint32_t> out(in.size());
  f.update(inst, seconds, in.data(), out.data());
  return out;
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!filter_.so) GTEST_FAIL() << "cannot load " << PLUVANE_FREI0R_PATH << ": " << dlerror();
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
  const struct {
    const char* name;
    int type;
  } expected[] = {{"Drip Rate", F0R_PARAM_DOUBLE},       {"Longevity (sec)", F0R_PARAM_DOUBLE},
                  {"Rippling", F0R_PARAM_DOUBLE},        {"Displacement", F0R_PARAM_DOUBLE},
                  {"Ripple Height", F0R_PARAM_DOUBLE},   {"Spreading", F0R_PARAM_DOUBLE},
                  {"Using", F0R_PARAM_STRING},           {"Light Intensity", F0R_PARAM_DOUBLE},
                  {"Light Color", F0R_PARAM_COLOR},      {"Light Type", F0R_PARAM_STRING},
                  {"Light Height", F0R_PARAM_DOUBLE},    {"Light Position", F0R_PARAM_POSITION},
                  {"Light Direction", F0R_PARAM_DOUBLE}, {"Ambient", F0R_PARAM_DOUBLE},
                  {"Diffuse", F0R_PARAM_DOUBLE},         {"Specular", F0R_PARAM_DOUBLE},
                  {"Roughness", F0R_PARAM_DOUBLE},       {"Metal", F0R_PARAM_DOUBLE},
                  {"Frame Rate", F0R_PARAM_STRING},      {"Time Unit", F0R_PARAM_STRING},
                  {"Draft", F0R_PARAM_BOOL},             {"Units", F0R_PARAM_STRING},
                  {"Light X", F0R_PARAM_DOUBLE},         {"Light Y", F0R_PARAM_DOUBLE},
                  {"Seed", F0R_PARAM_DOUBLE},            {"Mix", F0R_PARAM_DOUBLE}};
  EXPECT_EQ(info.num_params, static_cast<int>(std::size(expected)));
  // Added last, so that positional lists (ffmpeg's) keep their meaning.
  EXPECT_EQ(filter_.Index("Seed"), info.num_params - 2);
  EXPECT_EQ(filter_.Index("Mix"), info.num_params - 1);
  for (const auto& e : expected) {
    const int i = filter_.Index(e.name);
    ASSERT_GE(i, 0) << e.name;
    f0r_param_info_t p{};
    filter_.param_info(&p, i);
    EXPECT_EQ(p.type, e.type) << e.name;
  }
  // Defaults on the 0..1 scale read back as the controls' own defaults map.
  f0r_instance_t inst = filter_.construct(kW, kH);
  ASSERT_NE(inst, nullptr);
  const struct {
    const char* name;
    double value;
  } defaults[] = {{"Drip Rate", 0.2}, {"Rippling", 0.5}, {"Displacement", 0.7}, {"Light Direction", 0.375},
                  {"Light Height", 0.65}, {"Specular", 1.0}, {"Seed", 0.0}, {"Mix", 1.0}};
  for (const auto& d : defaults) {
    double v = -1;
    filter_.get(inst, &v, filter_.Index(d.name));
    EXPECT_NEAR(v, d.value, 1e-4) << d.name;
  }
  filter_.destruct(inst);
  EXPECT_EQ(filter_.construct(0, 10), nullptr);
}

// Several instances updated from several threads at once give the frames one
// instance gives alone.
TEST_F(FilterTest, ThreadedInstancesMatchOneInstance) {
  constexpr int kThreads = 3, kFrames = 4;
  const auto configure = [&](f0r_instance_t inst) {
    filter_.SetDouble(inst, "Drip Rate", 0.8);
    filter_.SetString(inst, "Light Type", "Point Light");
    filter_.SetString(inst, "Frame Rate", "25");
  };
  f0r_instance_t alone = filter_.construct(kW, kH);
  configure(alone);
  std::vector<std::vector<uint32_t>> want;
  for (int f = 0; f < kFrames; ++f) want.push_back(Render(filter_, alone, f / 25.0));
  filter_.destruct(alone);
  EXPECT_NE(want[0], want[kFrames - 1]) << "the rain does not move";

  std::vector<std::vector<std::vector<uint32_t>>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      f0r_instance_t inst = filter_.construct(kW, kH);
      configure(inst);
      for (int f = 0; f < kFrames; ++f) got[t].push_back(Render(filter_, inst, f / 25.0));
      filter_.destruct(inst);
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int f = 0; f < kFrames; ++f) EXPECT_TRUE(got[t][f] == want[f]) << "thread " << t << " frame " << f;
}

// A value beyond what a control accepts renders as the control's limit; NaN
// as its default; the frame time rounds to the nearest frame.
TEST_F(FilterTest, ValuesAreClampedAndTimesRoundToFrames) {
  f0r_instance_t a = filter_.construct(kW, kH), b = filter_.construct(kW, kH);
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
    filter_.SetDouble(a, "Drip Rate", 0.6), filter_.SetDouble(b, "Drip Rate", 0.6);
    filter_.SetDouble(a, c.name, c.given), filter_.SetDouble(b, c.name, c.same_as);
    EXPECT_TRUE(Render(filter_, a, 2.0) == Render(filter_, b, 2.0));
  }
  filter_.destruct(a);
  filter_.destruct(b);
  a = filter_.construct(kW, kH), b = filter_.construct(kW, kH);
  filter_.SetDouble(a, "Drip Rate", 0.6), filter_.SetDouble(b, "Drip Rate", 0.6);
  // 2.012 s and 1.99 s are both frame 60 at 30 fps; in milliseconds, 2000.
  filter_.SetString(b, "Time Unit", "ms");
  EXPECT_TRUE(Render(filter_, a, 2.012) == Render(filter_, a, 1.99));
  EXPECT_TRUE(Render(filter_, a, 2.0) == Render(filter_, b, 2000.0));
  EXPECT_FALSE(Render(filter_, a, 2.0) == Render(filter_, a, 2.1));
  // Unknown strings fall back to the defaults: 30 fps, the first choices.
  filter_.SetString(b, "Time Unit", "seconds");
  filter_.SetString(b, "Frame Rate", "fast"), filter_.SetString(b, "Light Type", "neon");
  filter_.SetString(a, "Frame Rate", "30/1"), filter_.SetString(a, "Light Type", "distant");
  EXPECT_TRUE(Render(filter_, a, 1.0) == Render(filter_, b, 1.0));
  filter_.destruct(a);
  filter_.destruct(b);
}

// Every parameter swept over and beyond its range, with NaN and infinities,
// at odd times: the filter renders every frame without a fault.
TEST_F(FilterTest, SweepOfEveryParameterNeverFails) {
  f0r_plugin_info_t info{};
  filter_.plugin_info(&info);
  f0r_instance_t inst = filter_.construct(kW, kH);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const double numbers[] = {-inf, -1e300, -2, -0.5, 0, 0.25, 0.5, 1, 3, 1e300, inf, nan};
  const char* strings[] = {"", "  ", "2", "0", "-5", "AE Lights", "point", "1e999/0", "30000/1001", "ms", "29.97",
                           "999999999999999999999"};
  const std::vector<uint32_t> in = Picture();
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

}  // namespace
