// PNG files of every layout libpng can store read as OpenImageIO reads them:
// the same size, channels and samples, whichever of the two readers takes the
// file. (Damaged files: the fuzz inputs in tests/cli/hostile_test.cpp.)
#include <png.h>

#include <cstdio>

#include "tests/support/cli_fixture.h"
#include "media/image.h"

namespace {

using namespace clitest;
using pluvane::media::FileImage;
using pluvane::media::SampleType;

struct Layout {
  const char* name;
  int bits;
  int color;  // PNG_COLOR_TYPE_*
  bool interlaced = false;
  bool trns = false;
  bool gamma = false;
};

int ChannelsOf(int color) {
  switch (color) {
    case PNG_COLOR_TYPE_GRAY: case PNG_COLOR_TYPE_PALETTE: return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    default: return 4;
  }
}

// A file of `layout` whose samples run through every code of its depth.
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
  if (l.color == PNG_COLOR_TYPE_PALETTE) {
    std::vector<png_color> palette(levels);
    for (int i = 0; i < levels; ++i)
      palette[i] = png_color{static_cast<png_byte>(i * 7), static_cast<png_byte>(255 - i), static_cast<png_byte>(i * 3)};
    png_set_PLTE(png, info, palette.data(), levels);
    if (l.trns) {
      std::vector<png_byte> alpha(levels);
      for (int i = 0; i < levels; ++i) alpha[i] = static_cast<png_byte>(i * 5);
      png_set_tRNS(png, info, alpha.data(), levels, nullptr);
    }
  } else if (l.trns) {
    png_color_16 key{};
    key.gray = key.red = static_cast<png_uint_16>(1);
    key.green = key.blue = static_cast<png_uint_16>(2);
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  if (l.gamma) png_set_gAMA(png, info, 1.0 / 2.2);
  png_write_info(png, info);
  if (l.bits == 16) png_set_swap(png);
  const int nch = ChannelsOf(l.color);
  const size_t samples_per_row = static_cast<size_t>(width) * nch;
  std::vector<std::vector<png_byte>> rows(height, std::vector<png_byte>(png_get_rowbytes(png, info) + 8, 0));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < height; ++y) {
    for (size_t i = 0; i < samples_per_row; ++i) {
      const unsigned v = static_cast<unsigned>((y * samples_per_row + i) * 37 + y * 11) % levels;
      if (l.bits == 16) {
        reinterpret_cast<uint16_t*>(rows[y].data())[i] = static_cast<uint16_t>(v);
      } else if (l.bits == 8) {
        rows[y][i] = static_cast<png_byte>(v);
      } else {  // packed, first sample in the high bits
        const size_t bit = i * l.bits;
        rows[y][bit / 8] |= static_cast<png_byte>(v << (8 - l.bits - bit % 8));
      }
    }
    pointers.push_back(rows[y].data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// What OpenImageIO reads, in the program's RGBA layout: grey to R = G = B,
// full alpha where the file has none.
std::vector<float> AsRgba(const Image& img) {
  const size_t pixels = static_cast<size_t>(img.width) * img.height;
  const int nch = img.channels;
  const float full = FullScale(img.type);
  std::vector<float> out(pixels * 4);
  for (size_t p = 0; p < pixels; ++p) {
    const float* s = &img.samples[p * nch];
    for (int c = 0; c < 3; ++c) out[p * 4 + c] = nch < 3 ? s[0] : s[c];
    out[p * 4 + 3] = nch == 2 ? s[1] : nch == 4 ? s[3] : full;
  }
  return out;
}

TEST(PngFiles, EveryLayoutReadsAsOpenImageIoReadsIt) {
  TempDir dir;
  const Layout layouts[] = {
      {"grey1", 1, PNG_COLOR_TYPE_GRAY},          {"grey2", 2, PNG_COLOR_TYPE_GRAY},
      {"grey4", 4, PNG_COLOR_TYPE_GRAY},          {"grey8", 8, PNG_COLOR_TYPE_GRAY},
      {"grey16", 16, PNG_COLOR_TYPE_GRAY},        {"greyalpha8", 8, PNG_COLOR_TYPE_GRAY_ALPHA},
      {"greyalpha16", 16, PNG_COLOR_TYPE_GRAY_ALPHA}, {"rgb8", 8, PNG_COLOR_TYPE_RGB},
      {"rgb16", 16, PNG_COLOR_TYPE_RGB},          {"rgba8", 8, PNG_COLOR_TYPE_RGB_ALPHA},
      {"rgba16", 16, PNG_COLOR_TYPE_RGB_ALPHA},   {"palette2", 2, PNG_COLOR_TYPE_PALETTE},
      {"palette8", 8, PNG_COLOR_TYPE_PALETTE},    {"palette8trns", 8, PNG_COLOR_TYPE_PALETTE, false, true},
      {"grey8trns", 8, PNG_COLOR_TYPE_GRAY, false, true}, {"rgb16trns", 16, PNG_COLOR_TYPE_RGB, false, true},
      {"rgba8interlaced", 8, PNG_COLOR_TYPE_RGB_ALPHA, true}, {"rgb16interlaced", 16, PNG_COLOR_TYPE_RGB, true},
      {"rgb8gamma", 8, PNG_COLOR_TYPE_RGB, false, false, true},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.name);
    const std::string path = (dir.path() / (std::string(l.name) + ".png")).string();
    WritePngFile(path, l, 37, 23);
    const Image ref = ReadImage(path);
    const FileImage got = pluvane::media::ReadImageFile(path);
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    EXPECT_EQ(got.type, ref.type == TypeDesc::UINT16 ? SampleType::kUInt16 : SampleType::kUInt8);
    EXPECT_EQ(got.rgba, AsRgba(ref));
    const auto header = pluvane::media::ReadImageHeader(path);
    EXPECT_EQ(header.channels, ref.channels);
    EXPECT_EQ(header.width, ref.width);
    EXPECT_EQ(header.type, got.type);
  }
}

}  // namespace
