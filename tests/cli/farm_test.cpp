// Splitting a frame range over machines: the chunk arithmetic, and renders
// that resume where a killed or partial run stopped. (Parts rendered apart
// give the frames of one render: tests/farm, and the seeds in around_test.)
#include "tests/support/cli_fixture.h"
#include "cli/cli_error.h"
#include "cli/frames.h"

namespace {

using namespace clitest;
using pluvane::cli::Chunk;
using pluvane::cli::ChunkOf;
using pluvane::cli::CliError;
using pluvane::cli::FrameOfName;
using pluvane::cli::FrameSpan;
using pluvane::cli::ParseChunk;
using pluvane::cli::ParseOutputPattern;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;

TEST(Chunks, PartsCoverTheRangeOnceInOrderAndNearlyEqual) {
  const FrameSpan ranges[] = {{0, 0}, {7, 7}, {0, 23}, {5, 104}, {1000, 1002}, {0, 9999999}};
  for (const FrameSpan all : ranges) {
    for (int n : {1, 2, 3, 4, 7, 24, 25, 100, 1000}) {
      SCOPED_TRACE(std::to_string(all.first) + "-" + std::to_string(all.last) + " in " + std::to_string(n));
      long long next = all.first, smallest = all.size(), largest = 0;
      for (int k = 0; k < n; ++k) {
        const FrameSpan part = ChunkOf(all, Chunk{k, n});
        smallest = std::min(smallest, part.size());
        largest = std::max(largest, part.size());
        if (part.empty()) continue;
        EXPECT_EQ(part.first, next) << "part " << k;  // contiguous, no gap and no overlap
        next = static_cast<long long>(part.last) + 1;
      }
      EXPECT_EQ(next, static_cast<long long>(all.last) + 1);
      EXPECT_LE(largest - smallest, 1);
    }
  }
  EXPECT_EQ(ChunkOf({0, 23}, {1, 4}).first, 6);
  EXPECT_EQ(ChunkOf({0, 23}, {1, 4}).last, 11);
}

TEST(Chunks, PartsAreCountedFromZeroAsSlurmCountsTasks) {
  EXPECT_EQ(ParseChunk("0/4").index, 0);
  EXPECT_EQ(ParseChunk("3/4").index, 3);
  EXPECT_EQ(ParseChunk(" 2 / 5 ").count, 5);
  EXPECT_THAT(ErrorOf<CliError>([] { ParseChunk("4/4"); }), HasSubstr("the last of 4 is 3/4"));
  for (const char* bad : {"", "1", "a/4", "1/0", "-1/4", "1/4/2", "1/", "/4", "1.5/4"})
    EXPECT_THAT(ErrorOf<CliError>([&] { ParseChunk(bad); }), HasSubstr("write it like 0/4")) << bad;
}

// Which files --skip-existing takes for finished frames: only the names the
// pattern gives.
TEST(Chunks, OutputNamesGiveBackTheirFrameNumbers) {
  const auto hashes = ParseOutputPattern("out/rain.####.png"), printf_style = ParseOutputPattern("r_%03d.exr");
  EXPECT_EQ(FrameOfName(hashes, "rain.0042.png"), 42);
  EXPECT_EQ(FrameOfName(hashes, "rain.12345.png"), 12345);  // wider than the pattern
  EXPECT_EQ(FrameOfName(printf_style, "r_007.exr"), 7);
  EXPECT_EQ(FrameOfName(ParseOutputPattern("w.%012d.png"), "w.000000000042.png"), 42);  // wide padding
  for (const char* other : {"rain.42.png", "rain.0042.png.part", "rain.00x2.png", "rain..png", "snow.0042.png", "rain.0042.exr"})
    EXPECT_FALSE(FrameOfName(hashes, other)) << other;
  EXPECT_FALSE(FrameOfName(ParseOutputPattern("still.png"), "still.png"));
}

class Resume : public ::testing::Test {
 protected:
  void SetUp() override { WritePattern(dir_ / "in.png", TypeDesc::UINT8, 4, 64, 36); }
  Process Run(const Args& args) {
    return RunAll({Cat({"render", "in.png", "--set", "Drip Rate=3", "--stats"}, args)}, dir_.path())[0];
  }
  // The frames a run reports having rendered.
  static std::vector<int> Rendered(const Process& run) {
    std::vector<int> frames;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("frame ", 0) == 0) frames.push_back(std::stoi(line.substr(6)));
    return frames;
  }
  TempDir dir_;
};

TEST_F(Resume, SkipExistingRendersOnlyWhatIsMissingAndCleansUpAfterKilledRuns) {
  ASSERT_EQ(Run({"-o", "r.####.png", "--frames", "0-5"}).code, 0);
  const std::string frame2 = ReadAll(dir_ / "r.0002.png");
  fs::remove(dir_ / "r.0002.png");
  std::ofstream(dir_ / "r.0004.png").close();  // an empty file is no finished frame
  // What a killed run leaves: a temporary of a process that is gone. A live
  // writer's temporary (this test's own process) is left alone.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string dead = ".pluvane-" + std::string(host) + "-999999999-r.0002.png.part";
  const std::string live = ".pluvane-" + std::string(host) + "-" + std::to_string(getpid()) + "-r.0003.png.part";
  std::ofstream(dir_ / dead) << "half a frame";
  std::ofstream(dir_ / live) << "being written";

  const Process resumed = Run({"-o", "r.####.png", "--frames", "0-5", "--skip-existing"});
  ASSERT_EQ(resumed.code, 0) << resumed.err;
  EXPECT_EQ(Rendered(resumed), (std::vector<int>{2, 4}));
  EXPECT_THAT(resumed.out, HasSubstr("4 complete frame(s) already there were left as they are"));
  EXPECT_THAT(resumed.out, HasSubstr("frames/s"));  // --stats
  EXPECT_EQ(ReadAll(dir_ / "r.0002.png"), frame2);
  EXPECT_FALSE(fs::exists(dir_ / dead));
  EXPECT_TRUE(fs::exists(dir_ / live));

  const Process again = Run({"-o", "r.####.png", "--frames", "0-5", "--skip-existing"});
  EXPECT_EQ(again.code, 0);
  EXPECT_THAT(again.out, HasSubstr("nothing to render: all 6 frame(s)"));
  // Without --skip-existing every frame is rendered again.
  EXPECT_EQ(Rendered(Run({"-o", "r.####.png", "--frames", "4-5"})), (std::vector<int>{4, 5}));
  const Process empty = Run({"-o", "r.####.png", "--frames", "0-1", "--chunk", "5/8"});
  EXPECT_EQ(empty.code, 0) << empty.err;  // a part with no frames is not a failed task
  EXPECT_THAT(empty.out, HasSubstr("nothing to render"));
}

TEST_F(Resume, AnOutputThatIsTheInputThroughALinkIsRefused) {
  fs::create_hard_link(dir_ / "in.png", dir_ / "r.0003.png");
  const Process r = Run({"-o", "r.####.png", "--frames", "0-5", "--skip-existing"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("r.0003.png would overwrite the input"));
  EXPECT_EQ(dir_.Files(), (Args{"in.png", "r.0003.png"}));
}

}  // namespace
