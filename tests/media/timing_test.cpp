// Clips as they really come (gaps, stamps rounded or off any grid, B-frames,
// another output rate), checked frame by frame against ffprobe's time stamps
// and ffmpeg's decode; and the colour of what is written.
#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using testing::HasSubstr;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// "N/D" or "N" as a number.
double Ratio(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::stod(text);
  return std::stod(text.substr(0, slash)) / std::stod(text.substr(slash + 1));
}

// One value of a stream as ffprobe gives it ("v:0", "a:0").
std::string StreamEntry(const std::string& path, const std::string& stream, const std::string& entry) {
  const auto lines = Lines(Shell("ffprobe -v error -select_streams " + stream + " -show_entries stream=" + entry +
                                 " -of default=nw=1:nk=1 '" + path + "'"));
  return lines.empty() ? "" : lines[0];
}

// The frames of a clip as ffprobe finds them: their time stamps in
// presentation order, counted from the first, and how long the last one lasts.
struct Timeline {
  std::vector<double> times;
  double duration = 0;
};

Timeline TimelineOf(const std::string& path) {
  const double tb = Ratio(StreamEntry(path, "v:0", "time_base"));
  std::vector<std::pair<long long, long long>> frames;  // pts, duration
  for (const auto& line : Lines(Shell("ffprobe -v error -select_streams v:0 -show_entries frame=pts,pkt_duration "
                                      "-of csv=p=0 '" + path + "'"))) {
    const size_t comma = line.find(',');
    const std::string d = line.substr(comma + 1);
    frames.emplace_back(std::stoll(line.substr(0, comma)), d == "N/A" ? 0 : std::stoll(d));
  }
  std::sort(frames.begin(), frames.end());
  Timeline t;
  for (const auto& f : frames) t.times.push_back(static_cast<double>(f.first - frames[0].first) * tb);
  if (frames.empty()) return t;
  const double last = frames.back().second > 0 ? static_cast<double>(frames.back().second) * tb
                                               : t.times.back() / static_cast<double>(frames.size() - 1);
  t.duration = t.times.back() + last;
  return t;
}

// The clip's frame on screen at output frame f of `fps`.
size_t OnScreen(const Timeline& t, long long f, double fps) {
  size_t shown = 0;
  while (shown + 1 < t.times.size() && t.times[shown + 1] <= (static_cast<double>(f) + 0.5) / fps) ++shown;
  return shown;
}

// Every frame of a video as ffmpeg decodes it, in presentation order, 8-bit RGBA.
std::vector<std::vector<uint8_t>> FfmpegFrames(const std::string& path, int width, int height) {
  const std::string raw = Shell("ffmpeg -nostdin -v error -i '" + path + "' -vf '" + RgbFilters(path, height) +
                                "' -fps_mode passthrough -pix_fmt rgba -f rawvideo -");
  const size_t size = static_cast<size_t>(width) * height * 4;
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at + size <= raw.size(); at += size) frames.emplace_back(raw.begin() + at, raw.begin() + at + size);
  return frames;
}

int MaxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

std::vector<uint8_t> Bytes(const std::vector<float>& samples) { return {samples.begin(), samples.end()}; }

// "Longevity (sec)=0": no drop lives, so each output frame is its input frame as read.
const std::vector<std::string> kNoRain = {"--set", "Longevity (sec)=0"};

std::vector<std::string> Args(std::vector<std::string> args, const std::vector<std::string>& more = kNoRain) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class Timing : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string d = dir_->path().string();
    // 4 s at 30 fps with a 0.15 s gap after the first frame, which the
    // encoder's 1/30 s time base puts back on the 30 fps grid (a gap of 5
    // slots), B-frames, with a tone as long as the video.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30 -f lavfi -i sine=f=440 -t 4 "
           "-vf \"settb=1/90000,setpts='if(eq(N\\,0)\\,0\\,PTS+0.15/TB)'\" -fps_mode:v passthrough "
           "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -shortest " + d + "/gap.mp4");
    // The first frame at 0.5 s, every fourth frame 20 ms late (more than half
    // a frame), three B-frames between references, in Matroska's milliseconds.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30 -t 4 "
           "-vf \"settb=1/1000,setpts='(N/30+0.5+0.02*eq(mod(N\\,4)\\,1))/TB'\" -fps_mode:v passthrough "
           "-enc_time_base:v 1:1000 -c:v libx264 -bf 3 -g 10 -pix_fmt yuv420p " + d + "/late.mkv");
    // A 15 fps AVI of 25 frames in 116 slots: slots 0, 1, then every fifth.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=15:d=8 -vf \"select='not(mod(n\\,5))+eq(n\\,1)'\" -fps_mode passthrough "
           "-c:v mpeg4 -q:v 2 " + d + "/grid.avi");
    // 30000/1001 stamped in milliseconds rounded up (0, 34, 67, 101, ...).
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30000/1001:d=4 -c:v mpeg4 -q:v 2 "
           "-bsf:v 'setts=ts=ceil(N*1001/30):duration=34' -video_track_timescale 1000 " + d + "/rounded.mp4");
    // The same stamps in an MP4 of B-frames whose packets are said to last 34 ms:
    // the file states an average rate of 8000/267.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30000/1001:d=4 -c:v libx264 -pix_fmt yuv420p " + d + "/ntsc-ms.mkv");
    Ffmpeg("-i " + d + "/ntsc-ms.mkv -c copy -bsf:v setts=duration=34 -video_track_timescale 1000 " + d + "/stated.mp4");
    // A constant 30000/1001 clip with a tone, for another --fps.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=30000/1001:d=4 -f lavfi -i sine=f=440:d=4 -c:v libx264 -g 15 "
           "-pix_fmt yuv420p -c:a aac -shortest " + d + "/ntsc.mp4");
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string At(const std::string& name) { return *dir_ / name; }
  static TempDir* dir_;

  // Renders `clip` whole, a range in the middle and single frames, with
  // `more` options: each output frame shows the clip's frame on screen at its
  // time, the range and the single frames equal the same frames of the whole,
  // and the whole lasts as long as the clip. Returns the whole render's output.
  static std::string CheckFramesOnScreen(const std::string& clip, const std::vector<std::string>& more,
                                         const std::string& conformed) {
    const std::string tag = clip.substr(0, clip.find('.'));
    const auto runs = RunAll({Args({"render", clip, "-o", tag + "-whole.mkv"}, Args(more)),
                              Args({"render", clip, "-o", tag + "-middle.mkv", "--frames", "70-79"}, Args(more)),
                              Args({"render", clip, "-o", tag + "-one.png", "--frame", "57"}, Args(more)),
                              Args({"render", clip, "-o", tag + "-first.png", "--frame", "0"}, Args(more))},
                             dir_->path());
    for (const auto& r : runs) EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(runs[0].out, HasSubstr(conformed));
    const Timeline in = TimelineOf(At(clip));
    const double fps = Ratio(StreamEntry(At(tag + "-whole.mkv"), "v:0", "r_frame_rate"));
    const auto source = FfmpegFrames(At(clip), 160, 90);
    const auto whole = FfmpegFrames(At(tag + "-whole.mkv"), 160, 90);
    EXPECT_EQ(source.size(), in.times.size());
    EXPECT_NEAR(static_cast<double>(whole.size()) / fps, in.duration, 1 / fps) << "whole.mkv lasts otherwise than " << clip;
    for (size_t f = 0; f < whole.size(); ++f) {
      const size_t shown = OnScreen(in, static_cast<long long>(f), fps);
      EXPECT_LE(MaxDiff(whole[f], source[shown]), 2) << clip << ": output frame " << f << " should show frame " << shown;
    }
    const auto middle = FfmpegFrames(At(tag + "-middle.mkv"), 160, 90);
    EXPECT_EQ(middle.size(), 10u);
    for (size_t i = 0; i < middle.size() && 70 + i < whole.size(); ++i)
      EXPECT_EQ(middle[i], whole[70 + i]) << clip << ": frame " << 70 + i << " of --frames 70-79";
    if (whole.size() > 57) {
      EXPECT_EQ(Bytes(ReadImage(At(tag + "-one.png")).samples), whole[57]) << clip << ": --frame 57";
      EXPECT_EQ(Bytes(ReadImage(At(tag + "-first.png")).samples), whole[0]) << clip << ": --frame 0";
    }
    return tag + "-whole.mkv";
  }

  // The duration of a stream of an output ("v:0", "a:0").
  static double Duration(const std::string& name, const std::string& stream) {
    const std::string d = StreamEntry(At(name), stream, "duration");
    EXPECT_FALSE(d.empty() || d == "N/A") << name << " has no " << stream << " stream duration";
    return d.empty() || d == "N/A" ? 0 : std::stod(d);
  }
};
TempDir* Timing::dir_ = nullptr;

// One AAC packet: 1024 samples at 44100 Hz.
constexpr double kAudioPacket = 1024.0 / 44100;

// A clip whose stamps lie on a grid is timed on it: frames across a gap are
// held, and stamps rounded to milliseconds give the rate they were rounded
// from, whatever average the file states.
TEST_F(Timing, ClipsOnAGridAreTimedOnIt) {
  const struct {
    const char* clip;
    const char* rate;
    long long frames;  // 0: as many as the clip's
    const char* said;
  } cases[] = {{"gap.mp4", "30/1", 120, "'gap.mp4' at its 30 fps, frames held across 1 gap"},
               {"grid.avi", "15/1", 116, "'grid.avi' at its 15 fps, frames held across 23 gaps"},
               {"rounded.mp4", "30000/1001", 0, "at 30000/1001 fps (160x90, FFV1 MKV)\n"}};
  for (const auto& c : cases) {
    const std::string whole = CheckFramesOnScreen(c.clip, {}, c.said);
    EXPECT_EQ(StreamEntry(At(whole), "v:0", "r_frame_rate"), c.rate) << c.clip;
    const size_t frames = c.frames ? static_cast<size_t>(c.frames) : TimelineOf(At(c.clip)).times.size();
    EXPECT_EQ(FfmpegFrames(At(whole), 160, 90).size(), frames) << c.clip;
  }
  const Process stated = Finish(Start(Args({"render", "stated.mp4", "-o", "stated.mkv"}), dir_->path()));
  EXPECT_EQ(stated.code, 0) << stated.err;
  EXPECT_EQ(StreamEntry(At("stated.mkv"), "v:0", "r_frame_rate"), "30000/1001");
  // The gap clip's audio ends with its video, within one packet.
  const Process r = Finish(Start(Args({"render", "gap.mp4", "-o", "gap-sound.mp4"}), dir_->path()));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("audio: aac copied"));
  EXPECT_NEAR(Duration("gap-sound.mp4", "a:0"), Duration("gap-sound.mp4", "v:0"), kAudioPacket + 0.002);
  EXPECT_NEAR(Duration("gap-sound.mp4", "v:0"), 4.0, 1e-3);
}

// A first frame at 0.5 s with stamps off any grid: frame 0 is the first
// frame, and the average rate is taken as 30 (within 0.5 % of it).
TEST_F(Timing, VariableRateClipNotStartingAtZero) {
  CheckFramesOnScreen("late.mkv", {}, "'late.mkv' conformed from variable rate to 30 fps");
}

// The same rule takes a constant-rate clip to another rate: 4.004 s of
// 30000/1001 become 96 frames at 24 fps, and the audio is cut with them.
TEST_F(Timing, AnotherRateKeepsDurationAndAudio) {
  CheckFramesOnScreen("ntsc.mp4", {"--fps", "24"}, "'ntsc.mp4' conformed from 30000/1001 fps to 24 fps");
  const Process r = Finish(Start(Args({"render", "ntsc.mp4", "-o", "ntsc24.mp4", "--fps", "24"}), dir_->path()));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(StreamEntry(At("ntsc24.mp4"), "v:0", "nb_frames"), "96");
  EXPECT_NEAR(Duration("ntsc24.mp4", "v:0"), 4.0, 1e-3);
  EXPECT_NEAR(Duration("ntsc24.mp4", "a:0"), 4.0, kAudioPacket + 0.002);
}

// The largest difference, in 8-bit codes (16-bit samples rounded to them),
// between two RGBA images: in every colour channel, or in BT.709 luma alone.
double Worst(const Image& a, const Image& b, bool luma) {
  if (a.samples.size() != b.samples.size()) return 1e9;
  const auto code = [](const Image& i, size_t at) { return std::round(i.samples[at] * 255.0 / FullScale(i.type)); };
  double worst = 0;
  for (size_t p = 0; p + 3 < a.samples.size(); p += 4) {
    const auto y = [&](const Image& i) { return 0.2126 * code(i, p) + 0.7152 * code(i, p + 1) + 0.0722 * code(i, p + 2); };
    if (luma) worst = std::max(worst, std::fabs(y(a) - y(b)));
    else
      for (size_t c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(code(a, p + c) - code(b, p + c)));
  }
  return worst;
}

// A picture written to .mov (ProRes 4444) or .mp4 (H.264 4:2:0) and read
// back comes back within 2 codes at SD and HD sizes: the matrix it was
// written with is the one it names and the one it is read with. The H.264
// is lossless (--crf 0), so that only the colour conversion is measured.
TEST_F(Timing, RoundTripsThroughVideoKeepTheColour) {
  for (const char* size : {"320x180", "1920x1080"}) {
    const std::string s = size;
    Ffmpeg("-f lavfi -i gradients=s=" + s + ":c0=0x2060e0:c1=0xf0c020:c2=0x20c040:n=3:seed=7 -frames:v 1 -pix_fmt rgba " +
           At("picture" + s + ".png"));
    for (const char* ext : {"mov", "mp4"}) {
      const std::string video = "picture" + s + "." + ext;
      const Process there =
          Finish(Start(Args({"render", "picture" + s + ".png", "-o", video, "--frames", "0-0", "--crf", "0"}), dir_->path()));
      ASSERT_EQ(there.code, 0) << there.err;
      const Process back = Finish(Start(Args({"render", video, "-o", "back" + s + ext + ".png", "--frame", "0"}), dir_->path()));
      ASSERT_EQ(back.code, 0) << back.err;
      const double worst = Worst(ReadImage(At("back" + s + ext + ".png")), ReadImage(At("picture" + s + ".png")),
                                 std::string(ext) == "mp4");
      EXPECT_LE(worst, 2.0) << video << " and back";
    }
  }
}

// Every video output names its primaries, transfer, matrix and range: BT.709
// for frames made from pictures, the input clip's own when a clip's values
// pass through; FFV1 stores RGB and says so.
TEST_F(Timing, VideoOutputsNameTheirColour) {
  Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=0.2 -frames:v 1 " + At("still.png"));
  Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=0.2 -c:v libx264 -pix_fmt yuv420p -colorspace smpte170m "
         "-color_primaries smpte170m -color_trc smpte170m " + At("sd.mp4"));
  const auto runs = RunAll({Args({"render", "still.png", "-o", "tags.mp4", "--frames", "0-0"}),
                            Args({"render", "still.png", "-o", "tags.mov", "--frames", "0-0"}),
                            Args({"render", "still.png", "-o", "tags.mkv", "--frames", "0-0"}),
                            Args({"render", "sd.mp4", "-o", "sd-out.mp4"}),
                            Args({"render", "sd.mp4", "-o", "sd-out.mov"})},
                           dir_->path());
  for (const auto& r : runs) ASSERT_EQ(r.code, 0) << r.err;
  const std::string entries = "color_primaries,color_transfer,color_space,color_range";
  const auto tags = [&](const std::string& name) {
    std::string all;
    for (const auto& line : Lines(Shell("ffprobe -v error -select_streams v:0 -show_entries stream=" + entries +
                                        " -of default=nw=1 '" + At(name) + "'")))
      all += line + " ";
    return all;
  };
  const std::string bt709 = "color_range=tv color_space=bt709 color_transfer=bt709 color_primaries=bt709 ";
  EXPECT_EQ(tags("tags.mp4"), bt709);
  EXPECT_EQ(tags("tags.mov"), bt709);
  EXPECT_EQ(tags("tags.mkv"), "color_range=pc color_space=gbr color_transfer=iec61966-2-1 color_primaries=bt709 ");
  const std::string sd = "color_range=tv color_space=smpte170m color_transfer=smpte170m color_primaries=smpte170m ";
  EXPECT_EQ(tags("sd-out.mp4"), sd);
  EXPECT_EQ(tags("sd-out.mov"), sd);
}

// An image output keeps its input's colour space: the display values of a PNG
// written to OpenEXR say sRGB, not linear; a linear OpenEXR stays linear.
TEST_F(Timing, ImageOutputsKeepTheirInputsColourSpace) {
  WritePattern(At("linear.exr"), TypeDesc::HALF, 4, 32, 18);
  Ffmpeg("-f lavfi -i testsrc2=s=32x18 -frames:v 1 " + At("display.png"));
  const auto runs = RunAll({Args({"render", "display.png", "-o", "display.exr", "--depth", "32"}),
                            Args({"render", "linear.exr", "-o", "still-linear.exr"})},
                           dir_->path());
  for (const auto& r : runs) ASSERT_EQ(r.code, 0) << r.err;
  const auto space = [&](const std::string& name) {
    auto in = OIIO::ImageInput::open(At(name));
    return in ? std::string(in->spec().get_string_attribute("oiio:ColorSpace")) : std::string("(unreadable)");
  };
  EXPECT_EQ(space("display.exr"), "sRGB");
  EXPECT_EQ(space("still-linear.exr"), "Linear");
}

}  // namespace
