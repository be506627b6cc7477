// The frei0r filter as its hosts meet it: loaded as a module (`Filter`,
// `Instance`; on every platform), and inside the real programs (ffmpeg, melt,
// gst-launch-1.0), run in a temporary folder under a time limit, whose frames
// are compared with what `pluvane render` gives (`HostsTest`; on Linux).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "minihost/platform.h"
#ifndef _WIN32
#include "tests/support/run_program.h"
#endif

extern "C" {
#include <frei0r.h>
}

namespace testsupport {

constexpr unsigned kFilterW = 64, kFilterH = 36;

struct Filter {
  std::string why;  // why the module did not load
  void* so;
  void (*plugin_info)(f0r_plugin_info_t*) = Load<decltype(plugin_info)>("f0r_get_plugin_info");
  void (*param_info)(f0r_param_info_t*, int) = Load<decltype(param_info)>("f0r_get_param_info");
  f0r_instance_t (*construct)(unsigned, unsigned) = Load<decltype(construct)>("f0r_construct");
  void (*destruct)(f0r_instance_t) = Load<decltype(destruct)>("f0r_destruct");
  void (*set)(f0r_instance_t, f0r_param_t, int) = Load<decltype(set)>("f0r_set_param_value");
  void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*) = Load<decltype(update)>("f0r_update");

  explicit Filter(const std::string& path = PLUVANE_FREI0R_PATH) : so(minihost::platform::OpenModule(path, &why)) {
    EXPECT_TRUE(!so || Load<int (*)()>("f0r_init")() == 1) << "f0r_init failed";
  }
  ~Filter() {
    if (so) Load<void (*)()>("f0r_deinit")(), minihost::platform::CloseModule(so);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
  template <class F>
  F Load(const char* name) const {
    return so ? reinterpret_cast<F>(minihost::platform::FindSymbol(so, name)) : nullptr;
  }
  int Index(const std::string& name) const {
    f0r_plugin_info_t info{};
    plugin_info(&info);
    for (int i = 0; i < info.num_params; ++i) {
      f0r_param_info_t p{};
      param_info(&p, i);
      if (name == p.name) return i;
    }
    ADD_FAILURE() << "the filter has no parameter " << name;
    return -1;
  }
};

// A picture where every channel varies, alpha too.
inline std::vector<uint32_t> FilterPicture() {
  std::vector<uint32_t> px(kFilterW * kFilterH);
  for (unsigned i = 0, x = 0, y = 0; i < px.size(); ++i, x = i % kFilterW, y = i / kFilterW)
    px[i] = (x * 4) | (y * 7) << 8 | ((x * y) & 255) << 16 | (200 + (x & 31)) << 24;  // RGBA bytes
  return px;
}

// One filter instance of kFilterW × kFilterH, set by parameter name.
class Instance {
 public:
  explicit Instance(const Filter& f) : f_(f), inst_(f.construct(kFilterW, kFilterH)) {}
  ~Instance() { f_.destruct(inst_); }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  Instance& Double(const std::string& name, double v) { return Set(name, &v); }
  Instance& Text(const std::string& name, const char* v) { return Set(name, &v); }
  std::vector<uint32_t> Render(double seconds) const {
    static const std::vector<uint32_t> in = FilterPicture();
    std::vector<uint32_t> out(in.size());
    f_.update(inst_, seconds, in.data(), out.data());
    return out;
  }

 private:
  template <class T>
  Instance& Set(const std::string& name, T* value) {
    f_.set(inst_, const_cast<void*>(static_cast<const void*>(value)), f_.Index(name));
    return *this;
  }
  const Filter& f_;
  f0r_instance_t inst_;
};

#ifndef _WIN32
// A temporary folder where the real hosts run with the built filter on
// FREI0R_PATH, each command under a host program's time limit.
class HostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = "FREI0R_PATH=" + ShellQuoted(std::filesystem::path(PLUVANE_FREI0R_PATH).parent_path().string()) + " ";
#ifdef PLUVANE_SANITIZED_BUILD
    // The hosts are not sanitized: the sanitizer runtimes must come first in
    // them for the sanitized filter to load. Their own leaks are not ours.
    env_ +=
        "LD_PRELOAD=\"$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)\" "
        "ASAN_OPTIONS=detect_leaks=0 ";
#endif
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Runs `command` (sh) in the folder with the hosts' environment, its output
  // to log.txt; its exit status (128 + the signal that ended it).
  int Status(const std::string& command) {
    return testsupport::RunShell("cd " + ShellQuoted(dir_.string()) + " && " + env_ + command + " >" +
                                 Path("log.txt") + " 2>&1")
        .code;
  }

  void Run(const std::string& command) {
    ASSERT_EQ(Status(command), 0) << command << "\n" << ReadAll(Path("log.txt"));  // a program killed at its limit too
  }

  // A clip of RGBA frames (PNG in Matroska, so nothing is lost) of `size`
  // ("WxH") at `rate`, and its frames as stills src.0.png, src.1.png...
  void MakeClip(int frames, const std::string& rate, const std::string& size) {
    Run("ffmpeg -v error -y -f lavfi -i testsrc2=s=" + size + ":r=" + rate + " -frames:v " + std::to_string(frames) +
        " -pix_fmt rgba -c:v png clip.mkv && ffmpeg -v error -y -i clip.mkv -start_number 0 src.%d.png");
  }

  // What `pluvane render --depth 8` gives for frames first..last of `input`
  // (a still, or the clip's stills "src.%d.png"), as RGBA bytes.
  std::string Cli(const std::string& input, int first, int last, const std::string& fps,
                  const std::vector<std::string>& options) {
    std::string cmd = "rm -f cli.*.png && " + ShellQuoted(PLUVANE_CLI_PATH) + " render " + input +
                      " -o cli.%d.png -q --depth 8 --frames " + std::to_string(first) + "-" + std::to_string(last) +
                      " --fps " + fps;
    for (const auto& o : options) cmd += " " + o;
    Run(cmd + " && ffmpeg -v error -y -start_number " + std::to_string(first) +
        " -i cli.%d.png -f rawvideo -pix_fmt rgba cli.raw");
    return ReadAll(Path("cli.raw"));
  }

  static void ExpectSameFrames(const std::string& got, const std::string& want, int frames, size_t frame_bytes) {
    ASSERT_EQ(got.size(), frames * frame_bytes);
    ASSERT_EQ(want.size(), frames * frame_bytes);
    for (int f = 0; f < frames; ++f)
      EXPECT_TRUE(got.compare(f * frame_bytes, frame_bytes, want, f * frame_bytes, frame_bytes) == 0)
          << "frame " << f << " differs from pluvane render's";
  }

  TempDir temp_;
  std::filesystem::path dir_ = temp_.path();
  std::string env_;
};
#endif

}  // namespace testsupport

#define REQUIRE_PROGRAMS(...)                                                                              \
  do {                                                                                                     \
    if (std::string(PLUVANE_CLI_PATH).empty()) GTEST_SKIP() << "the pluvane program is not built";         \
    for (const char* p : {__VA_ARGS__})                                                                    \
      if (!testsupport::OnPath(p)) GTEST_SKIP() << p << " is not installed (./build.sh test installs it)"; \
  } while (0)
