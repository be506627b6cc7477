// Files that lie about themselves: headers claiming layers far bigger than
// their data or than a layer may be, and the fuzz corpora's inputs. The
// program must refuse an oversized claim before it allocates for it and let a
// user raise the limit; a full disk or a second writer leaves whole frames.

#include <map>

#include "cli/values.h"
#include "media/image.h"
#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using pluvane::cli::ParseOutputPattern;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;

// The parts of a PNG file: a big-endian number, and a chunk with its CRC
// whose length field says `length`.
std::string Be32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string PngChunk(const std::string& type, const std::string& data, uint32_t length) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : type + data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return Be32(length) + type + data + Be32(c ^ 0xffffffffu);
}

// An RGBA PNG whose header says width x height, holding the pixels of 8 x 6
// (a stored zlib stream): all of them at that size, the data ending early
// when the header claims more. With `text_claim`, a text chunk ahead of them
// says it holds that many bytes.
std::string Png(uint32_t width, uint32_t height, uint32_t text_claim = 0) {
  std::string rows;
  for (int y = 0; y < 6; ++y) rows += '\0' + std::string(32, char(40 * y));  // filter 0, 8 pixels
  uint32_t a = 1, b = 0;
  for (unsigned char c : rows) a = (a + c) % 65521, b = (b + a) % 65521;
  const auto n = static_cast<uint16_t>(rows.size());
  const std::string zlib = std::string{"\x78\x01\x01", 3} + char(n) + char(n >> 8) + char(~n) + char(~n >> 8) + rows +
                           Be32(b << 16 | a);
  const std::string text = "Comment" + std::string(1, '\0') + std::string(300, 'r');
  const std::string ihdr = Be32(width) + Be32(height) + std::string{8, 6, 0, 0, 0};
  return std::string{"\x89PNG\r\n\x1a\n", 8} + PngChunk("IHDR", ihdr, 13) +
         (text_claim ? PngChunk("tEXt", text, text_claim) : "") +
         PngChunk("IDAT", zlib, static_cast<uint32_t>(zlib.size())) + PngChunk("IEND", "", 0);
}

// An OpenEXR file of only its header and its table of chunk offsets, which
// point past the end of the file: a half-float RGBA layer of width x height
// in DWAB chunks of 256 rows.
std::string ExrClaiming(int width, int height) {
  const auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  const auto attribute = [&](const std::string& name, const std::string& type, const std::string& value) {
    return name + '\0' + type + '\0' + le32(static_cast<uint32_t>(value.size())) + value;
  };
  std::string channels;
  for (const char* c : {"A", "B", "G", "R"})  // half samples, no sampling
    channels += std::string(c) + '\0' + le32(1) + std::string(4, '\0') + le32(1) + le32(1);
  channels += '\0';
  const std::string box = le32(0) + le32(0) + le32(width - 1) + le32(height - 1);
  const std::string one = le32(0x3f800000u);  // 1.0f
  std::string file = std::string{"\x76\x2f\x31\x01\x02\x00\x00\x00", 8} + attribute("channels", "chlist", channels) +
                     attribute("compression", "compression", std::string(1, '\x09')) +
                     attribute("dataWindow", "box2i", box) + attribute("displayWindow", "box2i", box) +
                     attribute("lineOrder", "lineOrder", std::string(1, '\0')) +
                     attribute("pixelAspectRatio", "float", one) +
                     attribute("screenWindowCenter", "v2f", std::string(8, '\0')) +
                     attribute("screenWindowWidth", "float", one);
  file += '\0';
  const int chunks = (height + 255) / 256;
  const uint64_t end = file.size() + 8 * static_cast<uint64_t>(chunks);
  for (int i = 0; i < chunks; ++i)
    file += le32(static_cast<uint32_t>(end + 1000 * i)) + le32(0);
  return file;
}

// A YUV4MPEG stream header and one short frame. FFmpeg finds the format from
// the content, so it opens under a video file name too.
std::string Y4mClaiming(int width, int height) {
  return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F25:1 Ip A1:1 C420jpeg\nFRAME\n" +
         std::string(4096, '\x80');
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// What a render of a hostile input may cost: the peak resident size of a
// render of a small valid file, 200 MB, and, when the input held real pixels,
// what an 8-bit render of that many takes (about 70 bytes a pixel; twice that
// with AddressSanitizer's shadow memory and quarantine).
long MostKb(long small_kb, long long pixels) {
  return small_kb + 200 * 1024 + static_cast<long>(pixels * (kAddressSanitizer ? 200 : 100) / 1024);
}

// The pixels an image file's header claims (read as pluvane reads it, with
// its layer limit), 0 when the header cannot be read.
long long HeaderPixels(const std::string& path) {
  try {
    const pluvane::media::ImageHeader header = pluvane::media::ReadImageHeader(path);
    return static_cast<long long>(header.width) * header.height;
  } catch (const std::exception&) {
    return 0;
  }
}

// Every refusal here is one line, found before the claimed layer's memory is
// taken: within 100 MB of what a small file's render takes, and under 200 MB,
// which includes starting up with OpenImageIO loaded (with AddressSanitizer,
// whose shadow memory alone takes most of 200 MB, only the first holds). The
// small file carries a valid text chunk: the check of a chunk's claimed size
// against the file's refuses only a claim the file cannot hold (a 500-byte PNG
// whose text chunk claims 2 GB, a long fuzz run's finding, once took 2 GB and
// 14 s to refuse). The cut files claim 8000 x 5000 (40 megapixels, within the
// default limit; a single RGBA copy of it as floats is 640 MB) over data that
// ends right after the header, at every render depth.
TEST(HostileFiles, OversizedClaimsAndDataEndingEarlyAreRefusedBeforeTheirPixelsAreRead) {
  TempDir dir;
  std::ofstream(dir / "wide.png", std::ios::binary) << Png(100000, 100000);
  std::ofstream(dir / "large.png", std::ios::binary) << Png(9000, 9000);
  std::ofstream(dir / "wide.mkv", std::ios::binary) << Y4mClaiming(100000, 100000);
  std::ofstream(dir / "large.mkv", std::ios::binary) << Y4mClaiming(9000, 9000);
  std::ofstream(dir / "frame.0001.png", std::ios::binary) << Png(9000, 9000);
  std::ofstream(dir / "text.png", std::ios::binary) << Png(8, 6, 0x7ff00000u);
  std::ofstream(dir / "fine.png", std::ios::binary) << Png(8, 6, 308);
  std::ofstream(dir / "cut.exr", std::ios::binary) << ExrClaiming(8000, 5000);
  std::ofstream(dir / "cut.png", std::ios::binary) << Png(8000, 5000);
  WritePattern(dir / "small.png", TypeDesc::UINT8, 4, 48, 30);  // 0.00144 megapixels
  const Process small = Finish(Start({"render", "fine.png", "-o", "fine-out.png"}, dir.path()));
  ASSERT_EQ(small.code, 0) << small.err;
  EXPECT_EQ(ReadImage(dir / "fine-out.png").width, 8);
  const long most_kb = kAddressSanitizer ? small.max_rss_kb + 100 * 1024
                                         : std::min(small.max_rss_kb + 100 * 1024, 200L * 1024);
  const char* const text_refusal = "cannot read 'text.png' as an image (its PNG chunk 'tEXt' says it holds 2146435072 "
                                   "bytes, more than the file holds); the file may be damaged or truncated\n";
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"wide.png", "-o", "o.png"}, "'wide.png' is 100000x100000; layers may be at most 30000 pixels on a side"},
      // 81 megapixels against the default of 40: the message says how to allow it.
      {{"large.png", "-o", "o.png"}, "(81 megapixels), more than the limit of 40 megapixels; scale it down, or give "
                                     "--max-megapixels 81"},
      {{"wide.mkv", "-o", "o.mkv"}, "cannot read 'wide.mkv' as a video"},
      {{"large.mkv", "-o", "o.mkv"}, "'large.mkv' is 9000x9000 (81 megapixels)"},
      {{"frame.####.png", "-o", "o.####.png"}, "is 9000x9000 (81 megapixels)"},
      {{"large.png", "-o", "o.png", "--max-megapixels", "0"}, "--max-megapixels 0 is out of range"},
      {{"large.png", "-o", "o.png", "--max-megapixels", "901"}, "at most 900"},
      // The limit is the user's: a lower one refuses a small file (a higher one: the fuzz inputs below).
      {{"small.png", "-o", "o.png", "--max-megapixels", "0.001"}, "more than the limit of 0.001 megapixels"},
      {{"text.png", "-o", "o.png"}, text_refusal},
      {{"text.png", "-o", "o.png", "--max-megapixels", "4"}, text_refusal},
  };
  for (const std::string cut : {"cut.exr", "cut.png"})
    for (const char* depth : {"8", "16", "32"})
      cases.push_back({{cut, "-o", "o.png", "--depth", depth}, "cannot read the pixels of '" + cut + "'"});
  std::vector<Process> runs;
  for (const auto& c : cases) runs.push_back(Start(Cat({"render"}, c.first), dir.path()));
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].second);
    const Process r = Finish(runs[i]);
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, MatchesRegex("pluvane: error: [^\n]*\n"));
    EXPECT_THAT(r.err, HasSubstr(cases[i].second));
    EXPECT_LT(r.max_rss_kb, most_kb) << "peak resident size " << r.max_rss_kb / 1024 << " MB, a small file's "
                                     << small.max_rss_kb / 1024 << " MB";
  }
  EXPECT_EQ(dir.Files(), (std::vector<std::string>{"cut.exr", "cut.png", "fine-out.png", "fine.png", "frame.0001.png",
                                                   "large.mkv", "large.png", "small.png", "text.png", "wide.mkv",
                                                   "wide.png"}));
}

// Every image and video input of the fuzz corpora (the seeds, what long fuzz
// runs added, and each input that once found a fault, found-*) rendered by
// the program with the fuzz targets' layer limit: it renders, or fails with
// one line; it never costs more than MostKb, and a failure comes within a
// few seconds of processor time (loosely "at once": the bound is about ten
// times what the slowest takes under AddressSanitizer). The inputs that found
// faults give their own errors.
TEST(HostileFiles, EveryFuzzInputRendersOrFailsWithinBoundedMemoryAndTime) {
  TempDir dir;
  WritePattern(dir / "small.png", TypeDesc::UINT8, 4, 64, 48);
  const Process small = Finish(Start({"render", "small.png", "-o", "small-out.png"}, dir.path()));
  ASSERT_EQ(small.code, 0) << small.err;
  const std::map<std::string, std::string> expected_errors{
      {"found-exr-channel-list-overrun", "its OpenEXR attribute 'channels' of type 'chlist' does not fill its 73 bytes"},
      {"found-huge-exr-attribute", "more than the file holds"},
      // Empty: OpenImageIO tried every reader it has on it, 20 s in the DICOM one.
      {"found-empty-png-tries-every-reader", "its content is none of PNG, TIFF, OpenEXR or JPEG"},
      // A PNG signature with its line ends changed: libpng's message went to stderr.
      {"found-png-signature-mangled", "its content is none of PNG, TIFF, OpenEXR or JPEG"},
      // A TIFF field of no values: its empty buffer went to memcpy.
      {"found-tiff-field-without-values", "its TIFF directory lies past the end of the file"},
  };
  // The image target takes the first byte for the file's extension, the rest
  // as its content; FFmpeg finds a video's format from its content.
  const char* const kImageExtensions[] = {".png", ".exr", ".tif", ".jpg"};
  std::vector<std::pair<std::string, std::string>> inputs;  // corpus name, file
  for (const std::string target : {"image", "video"}) {
    for (const auto& e : fs::directory_iterator(fs::path(PLUVANE_FUZZ_CORPUS) / target)) {
      const std::string bytes = ReadAll(e.path().string()), name = e.path().filename().string();
      const bool image = target == "image";
      if (image && bytes.empty()) continue;
      const char* extension = image ? kImageExtensions[static_cast<unsigned char>(bytes[0]) % 4] : ".mkv";
      inputs.emplace_back(name, target + "-" + name + extension);
      std::ofstream(dir / inputs.back().second, std::ios::binary) << bytes.substr(image ? 1 : 0);
    }
  }
  ASSERT_GT(inputs.size(), 10u);
  constexpr size_t kAtOnce = 4;
  for (size_t first = 0; first < inputs.size(); first += kAtOnce) {
    std::vector<Process> runs;
    for (size_t i = first; i < std::min(inputs.size(), first + kAtOnce); ++i)
      runs.push_back(Start({"render", inputs[i].second, "-o", inputs[i].second + ".out.png", "--max-megapixels", "4", "-q"},
                           dir.path(), testsupport::kQuickSeconds));
    for (size_t i = first; i < first + runs.size(); ++i) {
      const Process r = Finish(runs[i - first]);
      const std::string out = dir / (inputs[i].second + ".out.png");
      SCOPED_TRACE(inputs[i].second);
      long long pixels = 0;
      if (r.code == 0) {
        const Image image = ReadImage(out);
        pixels = static_cast<long long>(image.width) * image.height;
        fs::remove(out);
      } else {
        // A reader holds the frame a header promises before it finds the rows
        // missing, and a few hundred compressed bytes can rightly promise 4 MP.
        pixels = std::min(HeaderPixels(dir / inputs[i].second), 4'000'000LL);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_THAT(r.err, MatchesRegex("pluvane: error: [^\n]*\n"));
        EXPECT_LT(r.err.size(), 500u) << "a library's repeated messages kept whole";
        EXPECT_LT(r.cpu_seconds, 10.0);
        EXPECT_FALSE(fs::exists(out));
      }
      const auto e = expected_errors.find(inputs[i].first);
      EXPECT_THAT(r.err, HasSubstr(e == expected_errors.end() ? "" : e->second));
      EXPECT_LT(r.max_rss_kb, MostKb(small.max_rss_kb, pixels))
          << "peak resident size " << r.max_rss_kb / 1024 << " MB, a small file's " << small.max_rss_kb / 1024 << " MB";
    }
  }
}

TEST(HostileDisks, AFullDiskEndsTheRangeWithOneLineAndOnlyWholeFrames) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT16, 4, 160, 100);  // about 100 kB a frame
  fs::create_directory(dir / "small");
  const std::string mount = "mount -t tmpfs -o size=300k pluvane-test '" + (dir / "small") + "' 2>/dev/null";
  if (testsupport::RunShell(mount, testsupport::kQuickSeconds).code != 0) GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  const Process r = Finish(Start({"render", "in.png", "-o", "small/f.####.png", "--frames", "0-99"}, dir.path()));
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, MatchesRegex("pluvane: error: cannot write 'small/f\\.[0-9]{4}\\.png' \\(No space left on device\\)[^\n]*\n"));
  // Whole frames numbered from 0 up to the one the error names; nothing else.
  const int failed = std::atoi(r.err.c_str() + r.err.find("small/f.") + 8);
  std::vector<std::string> expected;
  for (int f = 0; f < failed; ++f) expected.push_back(ParseOutputPattern("f.####.png").FileFor(f));
  EXPECT_EQ(dir.Files("small"), expected);
  for (const auto& name : expected) EXPECT_EQ(ReadImage(dir / ("small/" + name)).width, 160) << name;
  EXPECT_EQ(testsupport::RunShell("umount '" + (dir / "small") + "'", testsupport::kQuickSeconds).code, 0);
}

// Two renders of other settings writing one output pattern at once: each
// frame is whole and one render's or the other's; no temporary stays behind.
TEST(HostileDisks, TwoRendersWritingOnePatternAtOnceLeaveOnlyWholeFrames) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, 320, 200);
  const auto render = [](const char* output, const char* rate) {
    return std::vector<std::string>{"render", "in.png", "--frames", "0-29", "--set", rate, "-o", output, "-q"};
  };
  for (const Process& r : RunAll({render("a/f.##.png", "Drip Rate=4"), render("b/f.##.png", "Drip Rate=1"),
                                  render("both/f.##.png", "Drip Rate=4"), render("both/f.##.png", "Drip Rate=1")},
                                 dir.path()))
    EXPECT_EQ(r.code, 0) << r.err;
  ASSERT_NE(ReadAll(dir / "a/f.29.png"), ReadAll(dir / "b/f.29.png")) << "the two settings must give different frames";
  EXPECT_EQ(dir.Files("both"), dir.Files("a"));
  for (const auto& name : dir.Files("both")) {
    const std::string bytes = ReadAll(dir / ("both/" + name));
    EXPECT_TRUE(bytes == ReadAll(dir / ("a/" + name)) || bytes == ReadAll(dir / ("b/" + name))) << name;
  }
}

}  // namespace
