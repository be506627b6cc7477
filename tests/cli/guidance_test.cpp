// What the program tells its user along the way: warnings for settings the
// current choices leave unused, the output folder it makes, and a progress line on a terminal that
// keeps moving through a long frame and through the demo's finishing steps.
#include <set>

#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using Args = std::vector<std::string>;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

constexpr int kW = 48, kH = 30;

// The lines of a program's error output that are warnings.
std::vector<std::string> Warnings(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("pluvane: warning: ", 0) == 0) lines.push_back(line);
  return lines;
}

TEST(Messages, ASettingTheChoicesLeaveUnusedGivesOneWarning) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, kW, kH);
  std::ofstream(dir / "lit.json") << R"({"input": "in.png", "output": "lit.png",
      "lights": [{"type": "ambient", "intensity": 40}]})";
  const auto r = RunAll({{"render", "in.png", "-o", "a.png", "--set", "Light Position=10,10"},
                         {"render", "in.png", "-o", "b.png", "--set", "Light Position=10,10", "--set", "Light Type=Point Light"},
                         {"render", "in.png", "-o", "c.png", "--set", "Using=AE Lights", "--set", "Light Intensity=50"},
                         {"render", "--scene", "lit.json"},
                         {"render", "--scene", "lit.json", "-o", "lit2.png", "--set", "Using=AE Lights"},
                         {"render", "in.png", "-o", "d.png", "--set", "Light Position=10,10", "-q"},
                         {"render", "in.png", "-o", "dark.png", "--set", "Using=AE Lights"}},
                        dir.path());
  for (const auto& run : r) EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Warnings(r[0].err), (Args{"pluvane: warning: \"Light Position\" is unused while \"Light Type\" is \"Distant "
                                      "Light\"; it is used with \"Point Light\" (--set)"}));
  EXPECT_TRUE(Warnings(r[1].err).empty()) << r[1].err;
  EXPECT_EQ(Warnings(r[2].err), (Args{"pluvane: warning: \"Light Intensity\" is unused while \"Using\" is \"AE Lights\"; it "
                                      "is used with \"Effect Light\" (--set)"}));
  EXPECT_EQ(Warnings(r[3].err), (Args{"pluvane: warning: the scene's 1 light(s) are unused while \"Using\" is \"Effect "
                                      "Light\"; they are used with \"AE Lights\""}));
  EXPECT_TRUE(Warnings(r[4].err).empty()) << r[4].err;
  EXPECT_EQ(r[5].err, "");  // --quiet prints nothing but errors
  for (const char* f : {"a.png", "b.png", "c.png", "lit.png", "d.png"}) EXPECT_TRUE(fs::exists(dir / f)) << f;
  // Finding the choice that would use a setting leaves the render as it was;
  // the scene's light, used, lights the frame (dark.png has no light).
  EXPECT_EQ(ReadImage(dir / "a.png"), ReadImage(dir / "d.png"));
  EXPECT_FALSE(ReadImage(dir / "dark.png") == ReadImage(dir / "lit2.png"));
}

TEST(OutputFolder, AMissingFolderIsCreatedAndTheSummarySaysSo) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, kW, kH);
  fs::create_directory(dir / "there");
  std::ofstream(dir / "shot.json") << R"({"input": "in.png", "output": "shot/rain.####.exr", "depth": 32, "frames": [0, 1]})";
  const auto r = RunAll({{"render", "in.png", "-o", "out/deep/rain.####.png", "--frames", "0-1"},
                         {"render", "--scene", "shot.json"},
                         {"render", "in.png", "-o", "there/rain.png"}},
                        dir.path());
  for (const auto& run : r) EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(r[0].out, HasSubstr("created folder 'out/deep'\n"));
  EXPECT_TRUE(fs::exists(dir / "out/deep/rain.0001.png"));
  EXPECT_THAT(r[1].out, HasSubstr("created folder 'shot'\n"));  // the scene's output, beside the scene file
  EXPECT_TRUE(fs::exists(dir / "shot/rain.0001.exr"));
  EXPECT_THAT(r[2].out, Not(HasSubstr("created folder")));
}

// ---- the progress line on a terminal -----------------------------------------------

// One redraw of the progress line: when it came (seconds from the start) and its text.
struct Update {
  double at;
  std::string text;
};

// Runs pluvane with `args` under a pseudo-terminal (`script`), logging each
// write with its time; returns the redraws of the progress line (each begins
// with a carriage return), after checking that the program succeeded and
// that the line never stood still for more than a second or showed no time left.
std::vector<Update> UnderTerminal(const TempDir& dir, const Args& args) {
  std::string command = testsupport::ShellQuoted(std::getenv("PLUVANE_CLI") ? std::getenv("PLUVANE_CLI") : PLUVANE_CLI_PATH);
  for (const auto& a : args) command += " " + testsupport::ShellQuoted(a);
  testsupport::Launch l;
  l.argv = {"script", "-q", "-e", "-m", "classic", "-T", dir / "timing", "-O", dir / "typescript", "-c", command};
  l.cwd = dir.path().string();
  l.env = {"SHELL=/bin/sh", "COLUMNS=200"};
  EXPECT_EQ(testsupport::Run(l).code, 0);
  // Classic timing: one line per write, "seconds since the previous write" and
  // "bytes"; the typescript starts with a header line of its own.
  std::ifstream timing(dir / "timing");
  const std::string log = Slurp(dir / "typescript");
  std::vector<Update> updates;
  double t = 0, delay = 0;
  size_t bytes = 0;
  for (size_t pos = log.find('\n') + 1; timing >> delay >> bytes; pos += bytes) {
    t += delay;
    for (size_t cr = log.find('\r', pos); cr < pos + bytes && cr != std::string::npos; cr = log.find('\r', cr + 1)) {
      const size_t end = log.find_first_of("\r\n", cr + 1);  // a line may span writes
      updates.push_back({t, log.substr(cr + 1, end == std::string::npos ? end : end - cr - 1)});
    }
  }
  for (size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].text.find("0:00:00 left"), std::string::npos) << updates[i].text;
    EXPECT_LE(updates[i].at - updates[std::max<size_t>(i, 1) - 1].at, 1.0) << "the line stood still before " << updates[i].text;
  }
  return updates;
}

TEST(Progress, AHeavyFrameAndTheDemosFinishingStepsKeepTheLineMoving) {
  if (!testsupport::OnPath("script")) GTEST_SKIP() << "no script (util-linux) to give the program a terminal";
  TempDir dir;
  // Heavy rain: a hundred drops a frame living two seconds, seconds of work in one frame.
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, 320, 180);
  const auto heavy = UnderTerminal(dir, {"render", "in.png", "-o", "heavy.png", "--threads", "2", "--set",
                                         "Drip Rate=100", "--set", "Longevity (sec)=2", "--frame", "300"});
  ASSERT_GE(heavy.size(), 4u);
  // Within the one frame the bar follows the work: placing the drops, then
  // drawing them band by band, with the share done never going back.
  std::vector<int> percents;
  bool placing = false, drawing = false;
  for (const auto& u : heavy) {
    const size_t bar_end = u.text.find("] ");  // "[####------]  43%": the share after the bar
    if (bar_end != std::string::npos) percents.push_back(std::atoi(u.text.c_str() + bar_end + 2));
    placing |= u.text.find("placing drops") != std::string::npos;
    drawing |= u.text.find("drawing drops") != std::string::npos;
  }
  EXPECT_TRUE(placing && drawing);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 3u);
  // The demo's steps in the order they run, each shown while it runs.
  const auto demo = UnderTerminal(dir, {"demo", "-o", "show", "--frames", "0-7", "--threads", "2"});
  const auto first = [&](const char* step) {
    return std::find_if(demo.begin(), demo.end(), [&](const Update& u) { return u.text.find(step) != std::string::npos; });
  };
  EXPECT_LT(first("writing demo.gif"), first("writing before-after.png"));
  EXPECT_LT(first("writing before-after.png"), first("writing demo.mp4"));
  EXPECT_NE(first("writing demo.mp4"), demo.end());
  EXPECT_TRUE(fs::exists(dir / "heavy.png") && fs::exists(dir / "show/demo.mp4"));
}

}  // namespace
