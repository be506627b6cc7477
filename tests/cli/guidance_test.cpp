// What the program tells its user along the way: messages that name the real
// problem and its fix, warnings for settings the current choices leave
// unused, the output folder it makes, and a progress line on a terminal that
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

TEST(Messages, NameTheRealProblemAndTheFix) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, kW, kH);
  for (int f = 1; f <= 3; ++f) WritePattern(dir / ("seq.000" + std::to_string(f) + ".png"), TypeDesc::UINT8, 4, kW, kH);
  const struct {
    Args args;
    std::string says, never;
  } cases[] = {
      // A pixel aspect is a ratio, not a frame rate.
      {{"in.png", "-o", "o.png", "--pixel-aspect", "0"}, "--pixel-aspect \"0\" is not a positive number or ratio; write it like 1, 10/11", "29.97"},
      // A sequence numbered from 1 into one file: the frame to ask for.
      {{"seq.####.png", "-o", "o.png"}, "frame 0 is not in the input sequence 'seq.####.png', which has frames 1-3; a single output file takes one frame: add --frame 1", "fill the gap"},
      {{"seq.####.png", "-o", "o.####.png", "--frames", "0-2"}, "frames 0-2 reach outside the input sequence 'seq.####.png', which has frames 1-3", "fill the gap"},
      // One limit for a single frame and a range.
      {{"in.png", "-o", "o.png", "--frame", "10000001"}, "--frame \"10000001\" goes beyond frame 10000000, the last frame pluvane renders", "not expected"},
      {{"in.png", "-o", "o.####.png", "--frames", "10000001"}, "--frames \"10000001\" goes beyond frame 10000000, the last frame pluvane renders", "not expected"},
      {{"in.png", "-o", "o.png", "--frame", "-1"}, "--frame -1 is before the start; give frame 0 or later", "not expected"},
      // A setting split over two arguments.
      {{"in.png", "-o", "o.png", "--set", "Drip Rate", "2"}, "--set takes NAME=VALUE as one argument: did you mean --set \"Drip Rate=2\"?", "not expected"},
      {{"in.png", "-o", "o.png", "--key", "Ripple Height", "0:100,30:40"}, "did you mean --key \"Ripple Height=0:100,30:40\"?", "not expected"},
      {{"in.png", "-o", "o.png", "--set", "Drip Rate"}, "--set \"Drip Rate\" is not NAME=VALUE; write it like --set \"Drip Rate=2\"", "not expected"},
  };
  std::vector<Process> runs;
  for (const auto& c : cases) runs.push_back(Start(Cat({"render"}, c.args), dir.path()));
  const Args before = dir.Files();
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].says);
    const Process r = Finish(runs[i]);
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, ::testing::MatchesRegex("pluvane: error: [^\n]*\n"));
    EXPECT_THAT(r.err, HasSubstr(cases[i].says));
    EXPECT_THAT(r.err, Not(HasSubstr(cases[i].never)));
  }
  EXPECT_EQ(dir.Files(), before);  // nothing written

  // The fix the message gives works; the help shows one argument per setting.
  const auto fixed = RunAll({{"render", "seq.####.png", "-o", "one.png", "--frame", "1"}, {"render", "--help"}}, dir.path());
  EXPECT_EQ(fixed[0].code, 0) << fixed[0].err;
  EXPECT_TRUE(fs::exists(dir / "one.png"));
  EXPECT_THAT(fixed[1].out, HasSubstr("--set NAME=VALUE"));
  EXPECT_THAT(fixed[1].out, HasSubstr("--key NAME=VALUE"));
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
                         {"render", "in.png", "-o", "d.png", "--set", "Light Position=10,10", "-q"}},
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
  // Finding the choice that would use a setting leaves the render as it was.
  EXPECT_EQ(ReadImage(dir / "a.png"), ReadImage(dir / "d.png"));
}

TEST(OutputFolder, AMissingFolderIsCreatedAndTheSummarySaysSo) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, kW, kH);
  fs::create_directory(dir / "there");
  std::ofstream(dir / "shot.json") << R"({"input": "in.png", "output": "shot/rain.####.exr", "depth": 32, "frames": [0, 1]})";
  const auto r = RunAll({{"render", "in.png", "-o", "out/deep/rain.####.png", "--frames", "0-1"},
                         {"render", "--scene", "shot.json"},
                         {"render", "in.png", "-o", "there/rain.png"},
                         {"render", "in.png", "-o", "in.png/o.png"}},
                        dir.path());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r[i].code, 0) << r[i].err;
  EXPECT_THAT(r[0].out, HasSubstr("created folder 'out/deep'\n"));
  EXPECT_TRUE(fs::exists(dir / "out/deep/rain.0001.png"));
  EXPECT_THAT(r[1].out, HasSubstr("created folder 'shot'\n"));  // the scene's output, beside the scene file
  EXPECT_TRUE(fs::exists(dir / "shot/rain.0001.exr"));
  EXPECT_THAT(r[2].out, Not(HasSubstr("created folder")));
  // A folder that cannot be made: one line, nothing made.
  EXPECT_EQ(r[3].code, 2);
  EXPECT_THAT(r[3].err, ::testing::MatchesRegex("pluvane: error: (cannot create output folder|output folder) 'in.png'[^\n]*\n"));
}

// ---- the progress line on a terminal -----------------------------------------------

// One redraw of the progress line: when it came (seconds from the start) and its text.
struct Update {
  double at;
  std::string text;
};

// Runs pluvane with `args` under a pseudo-terminal (`script`), logging what it
// writes with the time of each write; returns the redraws of the progress
// line (each begins with a carriage return) and the program's exit status.
std::vector<Update> UnderTerminal(const TempDir& dir, const Args& args, int* code) {
  std::string command = testsupport::ShellQuoted(std::getenv("PLUVANE_CLI") ? std::getenv("PLUVANE_CLI") : PLUVANE_CLI_PATH);
  for (const auto& a : args) command += " " + testsupport::ShellQuoted(a);
  testsupport::Launch l;
  l.argv = {"script", "-q", "-e", "-m", "classic", "-T", dir / "timing", "-O", dir / "typescript", "-c", command};
  l.cwd = dir.path().string();
  l.env = {"SHELL=/bin/sh", "COLUMNS=200"};
  *code = testsupport::Run(l).code;
  // Classic timing: one line per write, "seconds since the previous write" and "bytes".
  std::ifstream timing(dir / "timing");
  const std::string log = Slurp(dir / "typescript");
  // The typescript starts with a header line of its own.
  size_t pos = log.find('\n') + 1;
  std::vector<Update> updates;
  double t = 0, delay = 0;
  size_t bytes = 0;
  while (timing >> delay >> bytes) {
    t += delay;
    const std::string chunk = log.substr(pos, bytes);
    pos += bytes;
    for (size_t cr = chunk.find('\r'); cr != std::string::npos; cr = chunk.find('\r', cr + 1)) {
      // The rest of the line to the next return (a line may span writes).
      const size_t end = log.find_first_of("\r\n", pos - bytes + cr + 1);
      updates.push_back({t, log.substr(pos - bytes + cr + 1, end == std::string::npos ? std::string::npos
                                                                                       : end - (pos - bytes + cr + 1))});
    }
  }
  return updates;
}

// The longest time between two redraws, from the first to the last.
double LongestGap(const std::vector<Update>& updates) {
  double gap = 0;
  for (size_t i = 1; i < updates.size(); ++i) gap = std::max(gap, updates[i].at - updates[i - 1].at);
  return gap;
}

bool HasScript() { return testsupport::OnPath("script"); }

TEST(Progress, AHeavyFrameKeepsTheLineMovingAndFollowsTheWork) {
  if (!HasScript()) GTEST_SKIP() << "no script (util-linux) to give the program a terminal";
  TempDir dir;
  // Heavy rain: a hundred drops a frame living two seconds, seconds of work in one frame.
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, 320, 180);
  int code = -1;
  const auto updates = UnderTerminal(dir, {"render", "in.png", "-o", "heavy.png", "--threads", "2", "--set",
                                           "Drip Rate=100", "--set", "Longevity (sec)=2", "--frame", "300"},
                                     &code);
  ASSERT_EQ(code, 0);
  ASSERT_GE(updates.size(), 4u);
  EXPECT_LE(LongestGap(updates), 1.0) << "the line stood still for more than a second";
  // Within the one frame the bar follows the work: placing the drops, then
  // drawing them band by band, with the share done never going back.
  std::vector<int> percents;
  bool placing = false, drawing = false;
  for (const auto& u : updates) {
    // "[####------]  43%": the share after the bar.
    const size_t bar_end = u.text.find("] ");
    if (bar_end != std::string::npos) percents.push_back(std::atoi(u.text.c_str() + bar_end + 2));
    placing |= u.text.find("placing drops") != std::string::npos;
    drawing |= u.text.find("drawing drops") != std::string::npos;
    EXPECT_EQ(u.text.find("0:00:00 left"), std::string::npos) << u.text;
  }
  EXPECT_TRUE(placing && drawing);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 3u);
  EXPECT_TRUE(fs::exists(dir / "heavy.png"));
}

TEST(Progress, TheDemoShowsEachFinishingStepAsItRuns) {
  if (!HasScript()) GTEST_SKIP() << "no script (util-linux) to give the program a terminal";
  TempDir dir;
  int code = -1;
  const auto updates = UnderTerminal(dir, {"demo", "-o", "show", "--frames", "0-7", "--threads", "2"}, &code);
  ASSERT_EQ(code, 0);
  EXPECT_LE(LongestGap(updates), 1.0) << "the line stood still for more than a second";
  // The steps in the order they run, each shown while it runs.
  size_t gif = updates.size(), split = gif, mp4 = gif;
  for (size_t i = 0; i < updates.size(); ++i) {
    const std::string& t = updates[i].text;
    if (t.find("writing demo.gif") != std::string::npos && gif == updates.size()) gif = i;
    if (t.find("writing before-after.png") != std::string::npos && split == updates.size()) split = i;
    if (t.find("writing demo.mp4") != std::string::npos && mp4 == updates.size()) mp4 = i;
    EXPECT_EQ(t.find("0:00:00 left"), std::string::npos) << t;
  }
  EXPECT_LT(gif, split);
  EXPECT_LT(split, mp4);
  EXPECT_LT(mp4, updates.size());
  EXPECT_TRUE(fs::exists(dir / "show/demo.mp4"));
}

}  // namespace
