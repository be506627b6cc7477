// The outputs chosen by the name's extension for sharing (.gif, .webp, .apng,
// .webm) and delivery (.dpx), each read back by ffprobe or OpenImageIO (not
// by the code under test): frame count, size, rate, looping, colour tags,
// sound, codes.
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/support/cli_fixture.h"
#include "media/image.h"

namespace {

using namespace clitest;
using testing::HasSubstr;

class OutputFormats : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    Ffmpeg("-f lavfi -i testsrc2=s=160x90 -frames:v 1 " + At("still.png"));
    // 2 s of a 25 fps clip with a tone.
    Ffmpeg("-f lavfi -i testsrc2=s=160x90:r=25:d=2 -f lavfi -i sine=f=440:d=2 -c:v libx264 -pix_fmt yuv420p -c:a aac "
           "-shortest " + At("clip.mp4"));
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string At(const std::string& name) { return *dir_ / name; }
  static TempDir* dir_;
};
TempDir* OutputFormats::dir_ = nullptr;

// The 32-bit little-endian or 16-bit value `at` bytes after a chunk's name.
unsigned Field(const std::string& file, const char* chunk, size_t at, int bytes, bool big_endian) {
  const size_t i = file.find(chunk);
  if (i == std::string::npos || i + 4 + at + bytes > file.size()) return 0xffffffff;
  unsigned v = 0;
  for (int b = 0; b < bytes; ++b) {
    const unsigned byte = static_cast<unsigned char>(file[i + 4 + at + (big_endian ? b : bytes - 1 - b)]);
    v = (v << 8) | byte;
  }
  return v;
}

// From a still, --frames gives a looping animation of that many frames at
// the render's rate; from a clip, its frames at its rate. Each holds the
// colour tags its format can: WebM names BT.709, APNG sRGB.
TEST_F(OutputFormats, EachFormatHoldsTheFramesRateAndLoop) {
  const struct {
    const char* input;
    const char* output;
    const char* said;
  } cases[] = {{"still.png", "still.gif", "(160x90, GIF)"},
               {"still.png", "still.webp", "(160x90, animated WebP)"},
               {"still.png", "still.apng", "(160x90, APNG)"},
               {"still.png", "still.webm", "(160x90, VP9 WebM)"},
               {"still.png", "still.####.png", ""},  // the frames the GIF's are compared with
               {"clip.mp4", "clip.gif", "audio left out: GIF holds no sound"},
               {"clip.mp4", "clip.webm", "audio: aac re-encoded as opus"}};
  std::vector<std::vector<std::string>> runs;
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render", c.input, "-o", c.output, "--set", "Drip Rate=2"};
    if (std::string(c.input) == "still.png") args.insert(args.end(), {"--frames", "0-23"});
    runs.push_back(args);
  }
  const auto done = RunAll(runs, dir_->path());
  for (size_t i = 0; i < done.size(); ++i) {
    ASSERT_EQ(done[i].code, 0) << done[i].err;
    EXPECT_THAT(done[i].out, HasSubstr(cases[i].said));
  }
  // Frames, size and rate as ffmpeg reads them (GIF times in hundredths of
  // a second: 30 fps is 3/100 s a frame; APNG in FFmpeg's 1/100000 s).
  EXPECT_EQ(Probe(At("still.gif"), "v:0", "width,height,nb_read_frames"), "width=160 height=90 nb_read_frames=24 ");
  EXPECT_EQ(Probe(At("clip.gif"), "v:0", "r_frame_rate,nb_read_frames"), "r_frame_rate=25/1 nb_read_frames=50 ");
  EXPECT_EQ(Probe(At("still.apng"), "v:0", "width,height,nb_read_frames"), "width=160 height=90 nb_read_frames=24 ");
  EXPECT_EQ(Probe(At("still.webm"), "v:0", "width,height,r_frame_rate,nb_read_frames,color_space,color_transfer,color_primaries"),
            "width=160 height=90 color_space=bt709 color_transfer=bt709 color_primaries=bt709 r_frame_rate=30/1 "
            "nb_read_frames=24 ");
  EXPECT_EQ(Probe(At("clip.webm"), "v:0", "r_frame_rate,nb_read_frames"), "r_frame_rate=25/1 nb_read_frames=50 ");
  // The WebM's sound is Opus, as long as its video within one Opus frame.
  const double audio = std::stod(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + At("clip.webm") + "'"));
  EXPECT_EQ(Probe(At("clip.webm"), "a:0", "codec_name"), "codec_name=opus ");
  EXPECT_NEAR(audio, 2.0, 0.021);
  // WebP, which FFmpeg does not decode animated, through OpenImageIO.
  auto webp = OIIO::ImageInput::open(At("still.webp"));
  ASSERT_TRUE(webp);
  EXPECT_EQ(ReadImage(At("still.webp")).width, 160);
  int frames = 0;
  while (webp->seek_subimage(frames, 0)) ++frames;
  EXPECT_EQ(frames, 24);
  // Looping forever: GIF's loop count as OpenImageIO reads it, APNG's acTL
  // plays and WebP's ANIM loop count 0.
  const Image gif = ReadImage(At("still.gif")), png = ReadImage(At("still.0000.png"));
  EXPECT_EQ(gif.attributes.get_int("gif:LoopCount", -1), 0);
  // A GIF's first frame is the PNG render's within what 256 colours and an ordered dither allow.
  ASSERT_EQ(gif.width, png.width);
  double total = 0;
  const size_t pixels = static_cast<size_t>(png.width) * png.height;
  for (size_t p = 0; p < pixels; ++p)
    for (int c = 0; c < 3; ++c) total += std::fabs(gif.samples[p * gif.channels + c] - png.samples[p * png.channels + c]);
  EXPECT_LE(total / (pixels * 3.0), 6.0) << "mean error in 8-bit codes";
  const std::string apng = ReadAll(At("still.apng"));
  EXPECT_EQ(Field(apng, "acTL", 0, 4, true), 24u);
  EXPECT_EQ(Field(apng, "acTL", 4, 4, true), 0u);
  EXPECT_NE(apng.find("sRGB"), std::string::npos) << "the APNG names sRGB";
  EXPECT_EQ(Field(ReadAll(At("still.webp")), "ANIM", 8, 2, false), 0u);
}

// DPX sequences are RGB: an 8-bit render as 10-bit codes, which read back as
// its 8-bit codes, a 16-bit or 32-bit render as 16-bit codes, read back as
// the (16-bit) PNG of the same render.
TEST_F(OutputFormats, DpxReadsBackToTheSameCodes) {
  const std::vector<std::string> rain = {"--frames", "3-4", "--set", "Drip Rate=2"};
  const auto runs = RunAll({Cat({"render", "still.png", "-o", "d8.####.dpx"}, rain),
                            Cat({"render", "still.png", "-o", "d8.####.png"}, rain),
                            Cat({"render", "still.png", "-o", "d16.####.dpx", "--depth", "16"}, rain),
                            Cat({"render", "still.png", "-o", "d32.####.dpx", "--depth", "32"}, rain),
                            Cat({"render", "still.png", "-o", "d16.####.png", "--depth", "16"}, rain),
                            Cat({"render", "still.png", "-o", "d32.####.png", "--depth", "32"}, rain)},
                           dir_->path());
  for (const auto& r : runs) ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(runs[0].out, HasSubstr("(160x90, 10-bit DPX)"));
  EXPECT_THAT(runs[2].out, HasSubstr("(160x90, 16-bit DPX)"));
  // The RGB samples of a file as codes of 8 or 16 bits, and the bits a DPX stores.
  const auto rgb = [&](const std::string& name, int bits) {
    const Image image = ReadImage(At(name));
    std::vector<float> codes;
    for (size_t i = 0; i < image.samples.size(); ++i)
      if (i % image.channels < 3) codes.push_back(std::round(image.samples[i] / FullScale(image.type) * ((1 << bits) - 1)));
    return codes;
  };
  const auto bits = [&](const std::string& name) {
    return ReadImage(At(name)).attributes.get_int("oiio:BitsPerSample");
  };
  for (const std::string f : {"0003", "0004"}) {
    EXPECT_EQ(rgb("d8." + f + ".dpx", 8), rgb("d8." + f + ".png", 8)) << f;
    EXPECT_EQ(rgb("d16." + f + ".dpx", 16), rgb("d16." + f + ".png", 16)) << f;
    EXPECT_EQ(rgb("d32." + f + ".dpx", 16), rgb("d32." + f + ".png", 16)) << f;
    EXPECT_EQ(bits("d8." + f + ".dpx"), 10);
    EXPECT_EQ(bits("d16." + f + ".dpx"), 16);
  }
  // And a DPX sequence is an input like any other: without ripples
  // ("Longevity (sec)" 0) the render gives back its codes.
  const auto back = RunAll({{"render", "d16.####.dpx", "-o", "back.####.png", "--frames", "3-4", "--set",
                             "Longevity (sec)=0"}},
                           dir_->path());
  ASSERT_EQ(back[0].code, 0) << back[0].err;
  EXPECT_EQ(rgb("back.0003.png", 16), rgb("d16.0003.png", 16));
}

std::vector<char> FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Rendered frames go into integer files as coded samples, without a float
// copy: each file holds those codes (as OpenImageIO reads them back) and is
// the file written under the same name from the same codes held as floats,
// byte for byte, whatever temporary file each went through.
TEST(IntegerFiles, CodedSamplesAreWrittenAsTheFloatPathWritesThem) {
  namespace media = pluvane::media;
  using media::FileFormat;
  using media::SampleType;
  TempDir dir;
  constexpr int kWidth = 300, kHeight = 7;
  const std::tuple<FileFormat, SampleType, const char*> outputs[] = {
      {FileFormat::kPng, SampleType::kUInt8, "png"},   {FileFormat::kPng, SampleType::kUInt16, "png"},
      {FileFormat::kTiff, SampleType::kUInt8, "tif"},  {FileFormat::kTiff, SampleType::kUInt16, "tif"},
      {FileFormat::kJpeg, SampleType::kUInt8, "jpg"},  {FileFormat::kDpx, SampleType::kUInt8, "dpx"},
      {FileFormat::kDpx, SampleType::kUInt16, "dpx"}};
  for (const auto& [format, type, extension] : outputs) {
    const bool deep = type == SampleType::kUInt16;
    SCOPED_TRACE(std::string(deep ? "16-bit " : "8-bit ") + extension);
    media::PackedFrame packed;
    packed.Resize(kWidth, kHeight, type);
    media::FileImage image{kWidth, kHeight, type, {}};
    for (size_t i = 0; i < static_cast<size_t>(kWidth) * kHeight * 4; ++i) {
      const unsigned v = static_cast<unsigned>(i * 2741 + i / 5) % (deep ? 65536 : 256);  // every 8-bit code
      if (deep) {
        const uint16_t word = static_cast<uint16_t>(v);
        std::memcpy(&packed.bytes[2 * i], &word, 2);
      } else {
        packed.bytes[i] = static_cast<uint8_t>(v);
      }
      image.rgba.push_back(static_cast<float>(v));
    }
    const std::string path = dir / (std::string("frame.") + extension);
    // Through two temporary names, as two runs of a render take: the file must not depend on them.
    media::WriteImageFile(path, packed, format, dir / ".frame.1.part");
    const std::vector<char> coded = FileBytes(path);
    const Image back = ReadImage(path);
    media::WriteImageFile(path, image, format, dir / ".frame.2.part");
    EXPECT_EQ(coded, FileBytes(path));
    // JPEG is lossy, and DPX stores 8-bit codes as 10-bit ones (DpxReadsBackToTheSameCodes).
    if (format == FileFormat::kJpeg || (format == FileFormat::kDpx && !deep)) continue;
    const int channels = format == FileFormat::kDpx ? 3 : 4;  // DPX is RGB
    EXPECT_EQ(back.channels, channels);
    std::vector<float> expected;
    for (size_t i = 0; i < image.rgba.size(); ++i)
      if (channels == 4 || i % 4 != 3) expected.push_back(image.rgba[i]);
    EXPECT_EQ(back.samples, expected);
  }
}

}  // namespace
