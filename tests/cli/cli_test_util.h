// Helpers of the command-line tests: a temporary folder per test, running the
// built `pluvane` program, and image files written and read with OpenImageIO
// directly (not through the code under test).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

inline std::string PluvanePath() {
  if (const char* env = std::getenv("PLUVANE_CLI"); env && *env) return env;
  return PLUVANE_CLI_PATH;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pluvane-cli-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

  // File names in the folder, sorted.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

struct RunResult {
  int code = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Starts `pluvane args...` in `cwd` with stdout and stderr going to files there.
inline pid_t Spawn(const std::vector<std::string>& args, const fs::path& cwd, const std::string& out_file,
                   const std::string& err_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    const std::string program = PluvanePath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

inline int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the program to its end. Its output files live outside `cwd` so that
// they never show up among the files a test looks at.
inline RunResult Run(const std::vector<std::string>& args, const fs::path& cwd) {
  static int counter = 0;
  const std::string base = (fs::temp_directory_path() / ("pluvane-run-" + std::to_string(getpid()) + "-" +
                                                           std::to_string(++counter))).string();
  RunResult r;
  r.code = WaitExit(Spawn(args, cwd, base + ".out", base + ".err"));
  r.out = Slurp(base + ".out");
  r.err = Slurp(base + ".err");
  fs::remove(base + ".out");
  fs::remove(base + ".err");
  return r;
}

// An image as a file stores it: samples in the file's own type, as floats.
struct Image {
  int width = 0, height = 0, channels = 0;
  OIIO::TypeDesc type;
  std::vector<float> samples;  // code values for integer types
  float at(int x, int y, int c) const { return samples[(static_cast<size_t>(y) * width + x) * channels + c]; }
};

inline void WriteImage(const std::string& path, int width, int height, int channels, OIIO::TypeDesc type,
                       const std::vector<float>& samples) {
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out) << path;
  OIIO::ImageSpec spec(width, height, channels, type);
  spec.attribute("oiio:UnassociatedAlpha", 1);
  ASSERT_TRUE(out->open(path, spec)) << out->geterror();
  if (type == OIIO::TypeDesc::UINT8) {
    std::vector<uint8_t> raw(samples.begin(), samples.end());
    ASSERT_TRUE(out->write_image(type, raw.data()));
  } else if (type == OIIO::TypeDesc::UINT16) {
    std::vector<uint16_t> raw(samples.begin(), samples.end());
    ASSERT_TRUE(out->write_image(type, raw.data()));
  } else {
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, samples.data()));
  }
  ASSERT_TRUE(out->close());
}

inline Image ReadImage(const std::string& path) {
  Image img;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return img;
  }
  const OIIO::ImageSpec& spec = in->spec();
  img.width = spec.width;
  img.height = spec.height;
  img.channels = spec.nchannels;
  img.type = spec.format;
  const size_t n = static_cast<size_t>(spec.width) * spec.height * spec.nchannels;
  if (spec.format == OIIO::TypeDesc::UINT8) {
    std::vector<uint8_t> raw(n);
    in->read_image(0, 0, 0, img.channels, spec.format, raw.data());
    img.samples.assign(raw.begin(), raw.end());
  } else if (spec.format == OIIO::TypeDesc::UINT16) {
    std::vector<uint16_t> raw(n);
    in->read_image(0, 0, 0, img.channels, spec.format, raw.data());
    img.samples.assign(raw.begin(), raw.end());
  } else {
    img.samples.resize(n);
    in->read_image(0, 0, 0, img.channels, OIIO::TypeDesc::FLOAT, img.samples.data());
  }
  return img;
}

// A test pattern of code values in 0..max: every sample differs from its neighbours.
inline std::vector<float> Pattern(int width, int height, int channels, float max) {
  std::vector<float> s(static_cast<size_t>(width) * height * channels);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>((i * 37 + i / 7 * 11) % (static_cast<size_t>(max) + 1));
  return s;
}

inline bool HasTemporaryFiles(const TempDir& dir) {
  for (const auto& name : dir.Files())
    if (name.rfind(".pluvane-", 0) == 0) return true;
  return false;
}

}  // namespace clitest
