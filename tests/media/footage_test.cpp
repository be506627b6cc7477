// Footage in and out: video files read frame-accurately, lossless FFV1 round
// trips, audio carried over, sequences checked before rendering, and
// interrupted renders leaving a playable video. The clips are made here with
// the installed ffmpeg; ffmpeg and ffprobe are the reference readers.
#include "tests/support/cli_fixture.h"
#include "media/error.h"
#include "media/video.h"

namespace {

using namespace clitest;
using pluvane::media::FileImage;
using pluvane::media::VideoReader;
using testing::HasSubstr;
using testing::MatchesRegex;

class Footage : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string d = dir_->path().string();
    // 2 s at 24000/1001 with a tone; an exact RGB clip; a 10-bit ProRes clip; a PNG sequence.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=24000/1001:d=2 -f lavfi -i sine=f=440:d=2 -c:v libx264 -g 12 -pix_fmt yuv420p "
           "-colorspace bt709 -color_primaries bt709 -color_trc bt709 -c:a aac -shortest " + d + "/clip.mp4");
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=1.6 -c:v ffv1 -g 10 -pix_fmt bgr0 " + d + "/rgb.mkv");
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=24:d=1 -c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le " + d + "/deep.mov");
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=24:d=0.5 -start_number 1 " + d + "/plate.%04d.png");
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string At(const std::string& name) { return *dir_ / name; }
  static Process Run(const std::vector<std::string>& args) { return Finish(Start(args, dir_->path())); }
  static TempDir* dir_;
};
TempDir* Footage::dir_ = nullptr;

// Every frame of an exact RGB clip, read in an order that seeks back and far
// ahead, equals ffmpeg's own decode (H.264 clips: timing_test).
TEST_F(Footage, FramesAreReadExactlyWhereFfmpegFindsThem) {
  VideoReader rgb(At("rgb.mkv"));
  EXPECT_EQ(rgb.info().frames, 40);
  const auto frames = FfmpegFrames(At("rgb.mkv"), 160, 90);
  ASSERT_EQ(frames.size(), 40u);
  for (int n : {39, 0, 1, 2, 25, 3, 38, 12}) EXPECT_EQ(MaxDiff(rgb.Read(n).rgba, frames[n]), 0) << "frame " << n;
  // 10-bit ProRes (decoded at 12 bits) keeps its bits: 16-bit codes, within 2 of 1023 steps.
  VideoReader deep(At("deep.mov"));
  EXPECT_GT(deep.info().bits, 8);
  const FileImage d = deep.Read(7);
  EXPECT_EQ(d.type, pluvane::media::SampleType::kUInt16);
  EXPECT_LE(MaxDiff(d.rgba, FfmpegFrames(At("deep.mov"), 160, 90, true).at(7)), 2 * 65535.0 / 1023);
  EXPECT_THROW(deep.Read(24), pluvane::media::Error);
}

// Rendering into FFV1 and decoding it gives back the rendered frames exactly,
// at 8 and at 16 bits, against the same frames written as PNG.
TEST_F(Footage, Ffv1RoundTripIsExact) {
  for (const char* depth : {"8", "16"}) {
    const std::string tag = depth;
    const auto runs = RunAll({{"render", "rgb.mkv", "-o", "lossless" + tag + ".mkv", "--frames", "3-5", "--depth", depth},
                              {"render", "rgb.mkv", "-o", "png" + tag + ".####.png", "--frames", "3-5", "--depth", depth}},
                             dir_->path());
    for (const auto& r : runs) ASSERT_EQ(r.code, 0) << r.err;
    VideoReader back(At("lossless" + tag + ".mkv"));
    ASSERT_EQ(back.info().frames, 3);
    for (int i = 0; i < 3; ++i) {
      const Image png = ReadImage(At("png" + tag + ".000" + std::to_string(3 + i) + ".png"));
      const FileImage got = back.Read(i);
      ASSERT_EQ(got.rgba.size(), png.samples.size());
      EXPECT_TRUE(std::equal(got.rgba.begin(), got.rgba.end(), png.samples.begin())) << depth << "-bit frame " << i;
    }
  }
}

// A clip keeps its audio for the rendered range, or none. (Its rate, and
// ranges anywhere in a clip being its whole render's frames: timing_test.)
TEST_F(Footage, AudioOfTheRenderedRange) {
  const auto runs = RunAll({{"render", "clip.mp4", "-o", "mute.mp4", "--no-audio"},
                            {"render", "clip.mp4", "-o", "same.mp4", "--frames", "0-23"}},
                           dir_->path());
  for (const auto& r : runs) ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Probe(At("same.mp4"), "v:0", "r_frame_rate,nb_read_frames"), "r_frame_rate=24000/1001 nb_read_frames=24 ");
  // 24 frames at 24000/1001 last 1.001 s; the audio ends within one AAC packet (1024 samples).
  const std::string audio = Shell("ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 '" +
                                  At("same.mp4") + "'");
  ASSERT_FALSE(audio.empty()) << "no audio stream";
  EXPECT_NEAR(std::stod(audio), 1.001, 1024.0 / 44100 + 0.03);
  EXPECT_EQ(Shell("ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 '" + At("mute.mp4") + "'"), "");
}

TEST_F(Footage, SequencesAreCheckedBeforeRendering) {
  // Frames on disk are 1-12: the default range, and the same frames as the video.
  const Process seq = Run({"render", "plate.####.png", "-o", "seq.mkv"});
  ASSERT_EQ(seq.code, 0) << seq.err;
  EXPECT_THAT(seq.out, HasSubstr("12 frame(s) 1-12"));

  TempDir gap;
  for (int f : {1, 2, 4}) fs::copy_file(At("plate.0001.png"), gap / ("p." + std::to_string(f) + ".png"));
  WritePattern(gap / "q.1.png", TypeDesc::UINT8, 4, 160, 90);
  WritePattern(gap / "q.2.png", TypeDesc::UINT8, 4, 80, 90);
  std::ofstream(gap / "q.bad.mp4") << "not a video";
  Ffmpeg("-f lavfi -i sine=d=0.2 -c:a aac " + gap / "q.tone.mp4");
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"p.%d.png", "-o", "out.####.png"}, "frame 3 of the input sequence is missing: 'p.3.png'"},
      {{"q.%d.png", "-o", "out.mp4"}, "frame 2 of the input sequence ('q.2.png') is 80x90"},
      {{"p.%d.png", "-o", "p.%d.png", "--frames", "1-2"}, "would overwrite the input"},
      {{"../nothing.mp4", "-o", "x.mp4"}, "does not exist"},
      {{"p.1.png", "-o", "x.avi"}, "cannot write 'x.avi' as a video: pluvane writes .png"},
      {{"q.bad.mp4", "-o", "x.mp4"}, "cannot read 'q.bad.mp4' as a video"},
      {{"q.tone.mp4", "-o", "x.mp4"}, "holds no video stream"}};
  std::vector<std::vector<std::string>> renders;
  for (const auto& c : cases) renders.push_back(Cat({"render"}, c.first));
  const auto runs = RunAll(renders, gap.path());
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].code, 2);
    EXPECT_THAT(runs[i].err, MatchesRegex("pluvane: error: [^\n]*\n"));
    EXPECT_THAT(runs[i].err, HasSubstr(cases[i].second));
  }
  for (const auto& name : gap.Files()) EXPECT_TRUE(name[0] == 'p' || name[0] == 'q') << "left behind: " << name;
}

// SIGINT and SIGTERM stop after the frame being rendered and leave a video
// that plays, holding the frames pluvane says it holds.
TEST_F(Footage, InterruptedVideoIsPlayable) {
  Ffmpeg("-f lavfi -i testsrc2=s=320x180:r=24:d=30 -c:v libx264 -preset ultrafast -pix_fmt yuv420p " + At("long.mp4"));
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::string name = "stopped" + std::to_string(signal) + ".mp4";
    Process run = Start({"render", "long.mp4", "-o", name, "--set", "Longevity (sec)=3"}, dir_->path());
    // The video is being written once its temporary file is there; the
    // signal handlers are in place a moment later, then frames follow.
    const auto writing = [&] {
      for (const auto& f : dir_->Files())
        if (f.find(name) != std::string::npos && f.size() > 5 && f.compare(f.size() - 5, 5, ".part") == 0) return true;
      return false;
    };
    while (!writing()) {
      ASSERT_EQ(waitpid(run.pid, nullptr, WNOHANG), 0) << "pluvane ended before it was interrupted";
      usleep(5000);
    }
    usleep(1000000);
    kill(run.pid, signal);
    const Process r = Finish(run);
    if (r.code == 0) GTEST_SKIP() << "the render finished before the signal";
    EXPECT_EQ(r.code, 128 + signal) << r.err;
    EXPECT_THAT(r.err, HasSubstr("interrupted at frame"));
    const size_t at = r.err.find("holds the ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::string held = r.err.substr(at + 10, r.err.find(' ', at + 10) - at - 10);
    EXPECT_EQ(Probe(At(name), "v:0", "nb_read_frames"), "nb_read_frames=" + held + " ");
  }
}

}  // namespace
