// PNG files of every layout libpng can store read as OpenImageIO reads them:
// the same size, channels and samples, whichever of the two readers takes the
// file, and whether the samples are read as floats or as codes. (Damaged files: the fuzz inputs in tests/cli/hostile_test.cpp.)
#include <png.h>

#include <cstdio>

#include "tests/support/cli_fixture.h"
#include "media/image.h"

namespace {

using namespace clitest;
using pluvane::media::SampleType;

struct Layout {
  int bits;
  int color;  // PNG_COLOR_TYPE_*
  bool interlaced = false, trns = false, gamma = false;
};

// A file of layout `l` whose samples run through every code of its depth.
void WritePngFile(const std::string& path, const Layout& l, int width, int height) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  ASSERT_EQ(setjmp(png_jmpbuf(png)), 0);
  png_init_io(png, f);
  png_set_IHDR(png, info, width, height, l.bits, l.color, l.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const int levels = 1 << l.bits;
  std::vector<png_color> palette;
  std::vector<png_byte> alpha;
  for (int i = 0; i < levels && l.color == PNG_COLOR_TYPE_PALETTE; ++i) {
    palette.push_back({static_cast<png_byte>(i * 7), static_cast<png_byte>(255 - i), static_cast<png_byte>(i * 3)});
    alpha.push_back(static_cast<png_byte>(i * 5));
  }
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), levels);
  png_color_16 key{0, 1, 2, 2, 1};  // index, red, green, blue, grey
  if (l.trns) png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()), palette.empty() ? &key : nullptr);
  if (l.gamma) png_set_gAMA(png, info, 1.0 / 2.2);
  png_write_info(png, info);
  if (l.bits == 16) png_set_swap(png);
  const size_t samples_per_row = static_cast<size_t>(width) * png_get_channels(png, info);
  std::vector<std::vector<png_byte>> rows(height, std::vector<png_byte>(png_get_rowbytes(png, info) + 8, 0));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < height; ++y) {
    for (size_t i = 0; i < samples_per_row; ++i) {
      const unsigned v = static_cast<unsigned>((y * samples_per_row + i) * 37 + y * 11) % levels;
      if (l.bits == 16) reinterpret_cast<uint16_t*>(rows[y].data())[i] = static_cast<uint16_t>(v);
      else if (l.bits == 8) rows[y][i] = static_cast<png_byte>(v);
      else rows[y][i * l.bits / 8] |= static_cast<png_byte>(v << (8 - l.bits - i * l.bits % 8));  // first in the high bits
    }
    pointers.push_back(rows[y].data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// The codes of a frame read as coded samples, as floats.
std::vector<float> CodesOf(const pluvane::media::PackedFrame& frame) {
  std::vector<float> codes;
  const size_t n = static_cast<size_t>(frame.width) * frame.height * 4;
  for (size_t i = 0; i < n; ++i)
    codes.push_back(frame.type == SampleType::kUInt16 ? reinterpret_cast<const uint16_t*>(frame.bytes.data())[i]
                                                      : frame.bytes[i]);
  return codes;
}

TEST(PngFiles, EveryLayoutReadsAsOpenImageIoReadsIt) {
  TempDir dir;
  constexpr int kGrey = PNG_COLOR_TYPE_GRAY, kGreyAlpha = PNG_COLOR_TYPE_GRAY_ALPHA, kRgb = PNG_COLOR_TYPE_RGB,
                kRgba = PNG_COLOR_TYPE_RGB_ALPHA, kPalette = PNG_COLOR_TYPE_PALETTE;
  const Layout layouts[] = {
      {1, kGrey},        {2, kGrey},         {4, kGrey},          {8, kGrey},
      {16, kGrey},       {8, kGreyAlpha},    {16, kGreyAlpha},    {8, kRgb},
      {16, kRgb},        {8, kRgba},         {16, kRgba},         {2, kPalette},
      {8, kPalette},     {8, kRgba, true},   {16, kRgb, true},    {8, kRgb, false, false, true},
      {8, kPalette, false, true},            {8, kGrey, false, true},                 {16, kRgb, false, true},
  };
  for (const Layout& l : layouts) {
    const std::string path = dir / ("bits" + std::to_string(l.bits) + "-colour" + std::to_string(l.color) +
                                    (l.interlaced ? "-interlaced" : "") + (l.trns ? "-trns" : "") +
                                    (l.gamma ? "-gamma" : "") + ".png");
    SCOPED_TRACE(path);
    WritePngFile(path, l, 37, 23);
    const Image ref = ReadImage(path);
    const pluvane::media::FileImage got = pluvane::media::ReadImageFile(path);
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    EXPECT_EQ(got.type, ref.type == TypeDesc::UINT16 ? SampleType::kUInt16 : SampleType::kUInt8);
    // What OpenImageIO reads, in the program's RGBA layout: grey to R = G = B,
    // full alpha where the file has none.
    const int n = ref.channels;
    std::vector<float> rgba;
    for (size_t p = 0; p < ref.samples.size() / n; ++p) {
      const float* s = &ref.samples[p * n];
      rgba.insert(rgba.end(), {s[0], s[n < 3 ? 0 : 1], s[n < 3 ? 0 : 2], n == 2 ? s[1] : n == 4 ? s[3] : FullScale(ref.type)});
    }
    EXPECT_EQ(got.rgba, rgba);
    // Read as codes (a sequence's frames are), into a buffer of another size.
    pluvane::media::PackedFrame coded{3, 2, SampleType::kUInt16, std::vector<uint8_t>(12 * 2 * 3, 0x5a)};
    pluvane::media::FileImage floats;
    ASSERT_TRUE(pluvane::media::ReadImageFile(path, coded, floats));
    EXPECT_EQ(coded.width, ref.width);
    EXPECT_EQ(coded.type, got.type);
    EXPECT_EQ(CodesOf(coded), rgba);
    const auto header = pluvane::media::ReadImageHeader(path);
    EXPECT_EQ(header.channels, ref.channels);
    EXPECT_EQ(header.width, ref.width);
    EXPECT_EQ(header.type, got.type);
  }
}

}  // namespace
