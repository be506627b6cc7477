// Clips as they really come (gaps, stamps rounded or off any grid, B-frames,
// another output rate), checked frame by frame against ffprobe's time stamps
// and ffmpeg's decode; and the colour of what is written.
#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using testing::HasSubstr;

// One value of a stream as ffprobe gives it ("v:0", "a:0").
std::string StreamEntry(const std::string& path, const std::string& stream, const std::string& entry) {
  const std::string value = Shell("ffprobe -v error -select_streams " + stream + " -show_entries stream=" + entry +
                                  " -of default=nw=1:nk=1 '" + path + "'");
  return value.substr(0, value.find('\n'));
}

// The frames of a clip as ffprobe finds them: their times in presentation
// order, counted from the first, and how long the last one lasts.
struct Timeline {
  std::vector<double> times;
  double duration = 0;
};

Timeline TimelineOf(const std::string& path) {
  std::vector<std::pair<double, double>> frames;  // time, duration (0 when not given)
  std::istringstream lines(Shell("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time,pkt_duration_time "
                                 "-of csv=p=0 '" + path + "'"));
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(',');
    const std::string d = line.substr(at + 1);
    if (at != std::string::npos) frames.emplace_back(std::stod(line.substr(0, at)), d == "N/A" ? 0 : std::stod(d));
  }
  std::sort(frames.begin(), frames.end());
  Timeline t;
  for (const auto& f : frames) t.times.push_back(f.first - frames[0].first);
  if (frames.empty()) return t;
  t.duration = t.times.back() + (frames.back().second > 0 ? frames.back().second
                                                          : t.times.back() / static_cast<double>(frames.size() - 1));
  return t;
}

// The clip's frame on screen at output frame f of `fps`.
size_t OnScreen(const Timeline& t, long long f, double fps) {
  size_t shown = 0;
  while (shown + 1 < t.times.size() && t.times[shown + 1] <= (static_cast<double>(f) + 0.5) / fps) ++shown;
  return shown;
}

// With "Longevity (sec)=0" no drop lives: each output frame is its input frame as read.
std::vector<std::string> NoRain(const std::vector<std::string>& args) { return Cat(args, {"--set", "Longevity (sec)=0"}); }

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
};
TempDir* Timing::dir_ = nullptr;

// Each clip rendered whole, a range in the middle and single frames: each
// output frame shows the clip's frame on screen at its time, the range and
// the single frames equal the same frames of the whole, and the whole lasts as
// long as the clip. A clip whose stamps lie on a grid is timed on it: frames
// across a gap are held, and stamps rounded to milliseconds give the rate they
// were rounded from, whatever average the file states. A first frame at 0.5 s
// with stamps off any grid is frame 0, the average rate taken as 30 (within
// 0.5 % of it). The same rule takes a constant-rate clip to another rate:
// 4.004 s of 30000/1001 become 96 frames at 24 fps. The sound, when kept,
// ends with the video, within one packet.
TEST_F(Timing, ClipsAreTimedFrameByFrame) {
  const struct {
    const char* clip;
    std::vector<std::string> more;
    const char* said;
    const char* rate;
    size_t frames;  // 0: as many as the clip's
    bool sound = false;
  } cases[] = {{"gap.mp4", {}, "'gap.mp4' at its 30 fps, frames held across 1 gap", "30/1", 120, true},
               {"grid.avi", {}, "'grid.avi' at its 15 fps, frames held across 23 gaps", "15/1", 116},
               {"rounded.mp4", {}, "at 30000/1001 fps (160x90, FFV1 MKV)\n", "30000/1001", 0},
               {"late.mkv", {}, "'late.mkv' conformed from variable rate to 30 fps", "30/1", 0},
               {"ntsc.mp4", {"--fps", "24"}, "'ntsc.mp4' conformed from 30000/1001 fps to 24 fps", "24/1", 96, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::string tag = std::string(c.clip).substr(0, std::string(c.clip).find('.'));
    std::vector<std::vector<std::string>> renders = {{"-o", tag + "-whole.mkv"},
                                                     {"-o", tag + "-middle.mkv", "--frames", "70-79"},
                                                     {"-o", tag + "-one.png", "--frame", "57"},
                                                     {"-o", tag + "-first.png", "--frame", "0"}};
    if (c.sound) renders.push_back({"-o", tag + "-sound.mp4"});
    for (auto& r : renders) r = NoRain(Cat(Cat({"render", c.clip}, r), c.more));
    const auto runs = RunAll(renders, dir_->path());
    for (const auto& r : runs) EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(runs[0].out, HasSubstr(c.said));
    const Timeline in = TimelineOf(At(c.clip));
    EXPECT_EQ(StreamEntry(At(tag + "-whole.mkv"), "v:0", "r_frame_rate"), c.rate);
    const double fps = std::stod(c.rate) / std::stod(std::strchr(c.rate, '/') + 1);
    const auto source = FfmpegFrames(At(c.clip), 160, 90);
    const auto whole = FfmpegFrames(At(tag + "-whole.mkv"), 160, 90);
    EXPECT_EQ(source.size(), in.times.size());
    EXPECT_EQ(whole.size(), c.frames ? c.frames : in.times.size());
    EXPECT_NEAR(static_cast<double>(whole.size()) / fps, in.duration, 1 / fps) << "the whole lasts otherwise than the clip";
    for (size_t f = 0; f < whole.size(); ++f) {
      const size_t shown = OnScreen(in, static_cast<long long>(f), fps);
      EXPECT_LE(MaxDiff(whole[f], source[shown]), 2) << "output frame " << f << " should show frame " << shown;
    }
    const auto middle = FfmpegFrames(At(tag + "-middle.mkv"), 160, 90);
    EXPECT_EQ(middle.size(), 10u);
    for (size_t i = 0; i < middle.size() && 70 + i < whole.size(); ++i)
      EXPECT_EQ(middle[i], whole[70 + i]) << "frame " << 70 + i << " of --frames 70-79";
    if (whole.size() > 57) {
      EXPECT_EQ(ReadImage(At(tag + "-one.png")).samples, whole[57]) << "--frame 57";
      EXPECT_EQ(ReadImage(At(tag + "-first.png")).samples, whole[0]) << "--frame 0";
    }
    if (!c.sound) continue;
    EXPECT_THAT(runs[4].out, HasSubstr("audio: aac copied"));
    EXPECT_NEAR(std::stod(StreamEntry(At(tag + "-sound.mp4"), "v:0", "duration")), 4.0, 1e-3);
    // Within one AAC packet: 1024 samples at 44100 Hz.
    EXPECT_NEAR(std::stod(StreamEntry(At(tag + "-sound.mp4"), "a:0", "duration")), 4.0, 1024.0 / 44100 + 0.002);
  }
  const Process stated = Finish(Start(NoRain({"render", "stated.mp4", "-o", "stated.mkv"}), dir_->path()));
  EXPECT_EQ(stated.code, 0) << stated.err;
  EXPECT_EQ(StreamEntry(At("stated.mkv"), "v:0", "r_frame_rate"), "30000/1001");
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
          Finish(Start(NoRain({"render", "picture" + s + ".png", "-o", video, "--frames", "0-0", "--crf", "0"}), dir_->path()));
      ASSERT_EQ(there.code, 0) << there.err;
      const Process back = Finish(Start(NoRain({"render", video, "-o", "back" + s + ext + ".png", "--frame", "0"}), dir_->path()));
      ASSERT_EQ(back.code, 0) << back.err;
      const double worst = Worst(ReadImage(At("back" + s + ext + ".png")), ReadImage(At("picture" + s + ".png")),
                                 std::string(ext) == "mp4");
      EXPECT_LE(worst, 2.0) << video << " and back";
    }
  }
}

// Every video output names its primaries, transfer, matrix and range: BT.709
// for frames made from pictures, the input clip's own when a clip's values
// pass through; FFV1 stores RGB and says so. An image output keeps its
// input's colour space: the display values of a PNG written to OpenEXR say
// sRGB, not linear; a linear OpenEXR stays linear.
TEST_F(Timing, OutputsNameTheirColour) {
  Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=0.2 -frames:v 1 " + At("still.png"));
  Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=0.2 -c:v libx264 -pix_fmt yuv420p -colorspace smpte170m "
         "-color_primaries smpte170m -color_trc smpte170m " + At("sd.mp4"));
  WritePattern(At("linear.exr"), TypeDesc::HALF, 4, 32, 18);
  const std::string bt709 = "color_range=tv color_space=bt709 color_transfer=bt709 color_primaries=bt709 ";
  const std::string sd = "color_range=tv color_space=smpte170m color_transfer=smpte170m color_primaries=smpte170m ";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"still.png", "-o", "tags.mp4", "--frames", "0-0"}, bt709},
      {{"still.png", "-o", "tags.mov", "--frames", "0-0"}, bt709},
      {{"still.png", "-o", "tags.mkv", "--frames", "0-0"},
       "color_range=pc color_space=gbr color_transfer=iec61966-2-1 color_primaries=bt709 "},
      {{"sd.mp4", "-o", "sd-out.mp4"}, sd},
      {{"sd.mp4", "-o", "sd-out.mov"}, sd},
      {{"still.png", "-o", "display.exr", "--depth", "32"}, "sRGB"},
      {{"linear.exr", "-o", "still-linear.exr"}, "Linear"}};
  std::vector<std::vector<std::string>> renders;
  for (const auto& c : cases) renders.push_back(NoRain(Cat({"render"}, c.first)));
  const auto runs = RunAll(renders, dir_->path());
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string out = At(cases[i].first[2]);
    ASSERT_EQ(runs[i].code, 0) << runs[i].err;
    if (out.substr(out.size() - 4) != ".exr") {
      EXPECT_EQ(Probe(out, "v:0", "color_primaries,color_transfer,color_space,color_range"), cases[i].second);
    } else {
      EXPECT_EQ(ReadImage(out).attributes.get_string("oiio:ColorSpace"), cases[i].second) << out;
    }
  }
}

}  // namespace
