// The fixed rules between file samples and host values, the preview box
// average, which file type a render is stored as, and reading files.
#include <cmath>

#include "cli_test_util.h"
#include "errors.h"
#include "image.h"

namespace pluvane::cli {
namespace {

using clitest::TempDir;

TEST(FileToHost, EightBitFileAtEightBitIsUnchanged) {
  for (int v : {0, 1, 128, 200, 255}) EXPECT_EQ(FileToHost(v, SampleType::kUInt8, Depth::k8), v);
}

TEST(FileToHost, SixteenBitFileAtSixteenBitRoundsToHostScale) {
  // round(v × 32768 / 65535)
  EXPECT_EQ(FileToHost(65535, SampleType::kUInt16, Depth::k16), 32768);
  EXPECT_EQ(FileToHost(32768, SampleType::kUInt16, Depth::k16), 16384);  // 16384.25
  EXPECT_EQ(FileToHost(1, SampleType::kUInt16, Depth::k16), 1);          // 0.500008
  EXPECT_EQ(FileToHost(3, SampleType::kUInt16, Depth::k16), 2);          // 1.500023
  EXPECT_EQ(FileToHost(65534, SampleType::kUInt16, Depth::k16), 32767);  // 32767.49999
  EXPECT_EQ(FileToHost(0, SampleType::kUInt16, Depth::k16), 0);
}

TEST(FileToHost, EightBitFileAtSixteenBitUsesTheModulesIntegerRule) {
  // (v × 32768 + 128) / 255, integer division
  EXPECT_EQ(FileToHost(255, SampleType::kUInt8, Depth::k16), 32768);
  EXPECT_EQ(FileToHost(128, SampleType::kUInt8, Depth::k16), 16448);  // 4194432 / 255 = 16448.75
  EXPECT_EQ(FileToHost(1, SampleType::kUInt8, Depth::k16), 129);      // 32896 / 255 = 129.0039
  EXPECT_EQ(FileToHost(0, SampleType::kUInt8, Depth::k16), 0);
}

TEST(FileToHost, SixteenBitFileAtEightBitRounds) {
  // round(v × 255 / 65535)
  EXPECT_EQ(FileToHost(65535, SampleType::kUInt16, Depth::k8), 255);
  EXPECT_EQ(FileToHost(257, SampleType::kUInt16, Depth::k8), 1);
  EXPECT_EQ(FileToHost(128, SampleType::kUInt16, Depth::k8), 0);  // 0.498
  EXPECT_EQ(FileToHost(129, SampleType::kUInt16, Depth::k8), 1);  // 0.502
}

TEST(FileToHost, IntegerFilesAtFloatDepthDivideByFullScale) {
  EXPECT_FLOAT_EQ(FileToHost(51, SampleType::kUInt8, Depth::k32), 0.2f);
  EXPECT_EQ(FileToHost(255, SampleType::kUInt8, Depth::k32), 1.0f);
  EXPECT_FLOAT_EQ(FileToHost(13107, SampleType::kUInt16, Depth::k32), 0.2f);
  EXPECT_EQ(FileToHost(65535, SampleType::kUInt16, Depth::k32), 1.0f);
}

TEST(FileToHost, FloatFilesAtIntegerDepthAreClampedThenRounded) {
  EXPECT_EQ(FileToHost(0.5f, SampleType::kFloat, Depth::k8), 128);  // 127.5
  EXPECT_EQ(FileToHost(-0.25f, SampleType::kFloat, Depth::k8), 0);
  EXPECT_EQ(FileToHost(1.5f, SampleType::kFloat, Depth::k8), 255);
  EXPECT_EQ(FileToHost(0.5f, SampleType::kFloat, Depth::k16), 16384);
  EXPECT_EQ(FileToHost(1.0f, SampleType::kFloat, Depth::k16), 32768);
  EXPECT_EQ(FileToHost(7.0f, SampleType::kFloat, Depth::k16), 32768);
  EXPECT_EQ(FileToHost(1.7f, SampleType::kFloat, Depth::k32), 1.7f);  // float stays as it is
  EXPECT_EQ(FileToHost(-0.3f, SampleType::kFloat, Depth::k32), -0.3f);
}

TEST(HostToFile, SixteenBitHostToSixteenBitFileRounds) {
  // round(v × 65535 / 32768)
  EXPECT_EQ(HostToFile(32768, Depth::k16, SampleType::kUInt16), 65535);
  EXPECT_EQ(HostToFile(16384, Depth::k16, SampleType::kUInt16), 32768);  // 32767.5
  EXPECT_EQ(HostToFile(1, Depth::k16, SampleType::kUInt16), 2);          // 1.99997
  EXPECT_EQ(HostToFile(0, Depth::k16, SampleType::kUInt16), 0);
}

TEST(HostToFile, FloatToIntegerFilesIsClampedAndRounded) {
  EXPECT_EQ(HostToFile(0.2f, Depth::k32, SampleType::kUInt8), 51);
  EXPECT_EQ(HostToFile(0.5f, Depth::k32, SampleType::kUInt16), 32768);  // 32767.5
  EXPECT_EQ(HostToFile(2.0f, Depth::k32, SampleType::kUInt16), 65535);
  EXPECT_EQ(HostToFile(-1.0f, Depth::k32, SampleType::kUInt8), 0);
  EXPECT_EQ(HostToFile(1.25f, Depth::k32, SampleType::kFloat), 1.25f);
  EXPECT_EQ(HostToFile(200, Depth::k8, SampleType::kUInt8), 200);
}

TEST(Conversion, EveryEightBitValueSurvivesEightBitDepth) {
  for (int v = 0; v <= 255; ++v) {
    const float host = FileToHost(v, SampleType::kUInt8, Depth::k8);
    EXPECT_EQ(HostToFile(host, Depth::k8, SampleType::kUInt8), v);
  }
}

TEST(BoxDownsample, AveragesBoxesAndDropsThePartialEdge) {
  HostImage img{5, 3, Depth::k8, std::vector<float>(5 * 3 * 4, 0.0f)};
  const auto set = [&](int x, int y, float r) { img.rgba[(y * 5 + x) * 4] = r; };
  set(0, 0, 10), set(1, 0, 20), set(0, 1, 30), set(1, 1, 43);  // mean 25.75
  set(2, 0, 1), set(3, 0, 0), set(2, 1, 0), set(3, 1, 0);      // mean 0.25
  set(4, 0, 255), set(4, 2, 255);                              // outside every box
  const HostImage out = BoxDownsample(img, 2);
  EXPECT_EQ(out.width, 2);
  EXPECT_EQ(out.height, 1);
  EXPECT_EQ(out.rgba[0], 26);
  EXPECT_EQ(out.rgba[4], 0);
}

TEST(BoxDownsample, SixteenBitRoundsAndFloatKeepsTheMean) {
  HostImage deep{2, 2, Depth::k16, std::vector<float>(16, 0.0f)};
  deep.rgba[0] = 32768, deep.rgba[12] = 1;  // (32768 + 1) / 4 = 8192.25
  EXPECT_EQ(BoxDownsample(deep, 2).rgba[0], 8192);
  HostImage flt{2, 2, Depth::k32, std::vector<float>(16, 0.0f)};
  flt.rgba[0] = 1.0f, flt.rgba[4] = 0.5f;  // 1.5 / 4
  EXPECT_EQ(BoxDownsample(flt, 2).rgba[0], 0.375f);
}

TEST(OutputSampleType, FilesKeepTheRenderDepthWhereTheyCan) {
  EXPECT_EQ(OutputSampleType(FileFormat::kPng, Depth::k8), SampleType::kUInt8);
  EXPECT_EQ(OutputSampleType(FileFormat::kPng, Depth::k16), SampleType::kUInt16);
  EXPECT_EQ(OutputSampleType(FileFormat::kPng, Depth::k32), SampleType::kUInt16);
  EXPECT_EQ(OutputSampleType(FileFormat::kTiff, Depth::k32), SampleType::kFloat);
  EXPECT_EQ(OutputSampleType(FileFormat::kExr, Depth::k32), SampleType::kFloat);
  EXPECT_EQ(OutputSampleType(FileFormat::kJpeg, Depth::k32), SampleType::kUInt8);
  EXPECT_THROW(OutputSampleType(FileFormat::kJpeg, Depth::k16), CliError);
  EXPECT_THROW(OutputSampleType(FileFormat::kExr, Depth::k8), CliError);
  EXPECT_THROW(OutputFormatOf("rain.bmp"), CliError);
  EXPECT_EQ(OutputFormatOf("RAIN.TIFF"), FileFormat::kTiff);
}

TEST(ReadImageFile, GreyBecomesRgbAndMissingAlphaIsFull) {
  TempDir dir;
  clitest::WriteImage(dir / "grey.png", 2, 1, 1, OIIO::TypeDesc::UINT16, {1000, 65535});
  const FileImage img = ReadImageFile(dir / "grey.png");
  EXPECT_EQ(img.type, SampleType::kUInt16);
  EXPECT_EQ(img.rgba, (std::vector<float>{1000, 1000, 1000, 65535, 65535, 65535, 65535, 65535}));
}

TEST(ReadImageFile, ColourUnderZeroAlphaIsReadAsStored) {
  TempDir dir;
  clitest::WriteImage(dir / "a.png", 1, 1, 4, OIIO::TypeDesc::UINT8, {200, 100, 50, 0});
  EXPECT_EQ(ReadImageFile(dir / "a.png").rgba, (std::vector<float>{200, 100, 50, 0}));
}

TEST(WriteImageFile, LeavesNoTemporaryFileAndKeepsUnassociatedColour) {
  TempDir dir;
  WriteImageFile(dir / "o.png", FileImage{1, 1, SampleType::kUInt8, {200, 100, 50, 0}}, FileFormat::kPng);
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"o.png"});
  const clitest::Image img = clitest::ReadImage(dir / "o.png");
  EXPECT_EQ(img.samples, (std::vector<float>{200, 100, 50, 0}));
}

}  // namespace
}  // namespace pluvane::cli
