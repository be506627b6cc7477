// What the program tells its user along the way: warnings for settings the
// current choices leave unused, the output folder it makes, and a progress
// line on a terminal that follows the work within a long frame.
#include <set>

#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using Args = std::vector<std::string>;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
using testsupport::ShellQuoted;

// The lines of a program's error output that are warnings.
std::vector<std::string> Warnings(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("pluvane: warning: ", 0) == 0) lines.push_back(line);
  return lines;
}

TEST(Messages, UnusedSettingsCreatedFoldersAndProgressOnATerminal) {
  TempDir dir;
  WritePattern(dir / "in.png", TypeDesc::UINT8, 4, 48, 30);
  fs::create_directory(dir / "there");
  std::ofstream(dir / "lit.json") << R"({"input": "in.png", "output": "lit.png",
      "lights": [{"type": "ambient", "intensity": 40}]})";
  std::ofstream(dir / "shot.json") << R"({"input": "in.png", "output": "shot/rain.####.exr", "depth": 32, "frames": [0, 1]})";
  const auto r =
      RunAll({{"render", "in.png", "-o", "a.png", "--set", "Light Position=10,10"},
              {"render", "in.png", "-o", "there/b.png", "--set", "Light Position=10,10", "--set", "Light Type=Point Light"},
              {"render", "in.png", "-o", "c.png", "--set", "Using=AE Lights", "--set", "Light Intensity=50"},
              {"render", "--scene", "lit.json"},
              {"render", "--scene", "lit.json", "-o", "lit2.png", "--set", "Using=AE Lights"},
              {"render", "in.png", "-o", "d.png", "--set", "Light Position=10,10", "-q"},
              {"render", "in.png", "-o", "dark.png", "--set", "Using=AE Lights"},
              {"render", "in.png", "-o", "out/deep/rain.####.png", "--frames", "0-1"},
              {"render", "--scene", "shot.json"}},
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
  // Finding the choice that would use a setting leaves the render as it was;
  // the scene's light, used, lights the frame (dark.png has no light).
  EXPECT_EQ(ReadImage(dir / "a.png"), ReadImage(dir / "d.png"));
  EXPECT_FALSE(ReadImage(dir / "dark.png") == ReadImage(dir / "lit2.png"));
  // A missing output folder is made and the summary says so; the scene's
  // output lies beside the scene file.
  EXPECT_THAT(r[1].out, Not(HasSubstr("created folder")));
  EXPECT_THAT(r[7].out, HasSubstr("created folder 'out/deep'\n"));
  EXPECT_THAT(r[8].out, HasSubstr("created folder 'shot'\n"));
  for (const char* f : {"there/b.png", "c.png", "lit.png", "out/deep/rain.0001.png", "shot/rain.0001.exr"})
    EXPECT_TRUE(fs::exists(dir / f)) << f;

  // On a terminal (`script` gives it one) the progress line follows one heavy
  // frame's work: placing the drops, then drawing them, its share never going back.
  if (!testsupport::OnPath("script")) GTEST_SKIP() << "no script (util-linux) to give the program a terminal";
  WritePattern(dir / "big.png", TypeDesc::UINT8, 4, 320, 180);
  std::string command = ShellQuoted(PluvanePath());
  for (const char* a : {"render", "big.png", "-o", "heavy.png", "--threads", "2", "--set", "Drip Rate=100", "--set",
                        "Longevity (sec)=2", "--frame", "300"})
    command += " " + ShellQuoted(a);
  ASSERT_EQ(testsupport::RunShell("cd " + ShellQuoted(dir.path()) + " && SHELL=/bin/sh COLUMNS=200 script -q -e -c " +
                                  ShellQuoted(command) + " typescript")
                .code,
            0);
  const std::string log = ReadAll(dir / "typescript");
  EXPECT_NE(log.find("drawing drops", log.find("placing drops")), std::string::npos) << log;
  std::vector<int> percents;  // each redraw starts with a carriage return: "\r| [####------]  43% ..."
  std::istringstream redraws(log);
  for (std::string line; std::getline(redraws, line, '\r');)
    if (const size_t bar_end = line.find("] "); bar_end != std::string::npos)
      percents.push_back(std::atoi(line.c_str() + bar_end + 2));
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 3u);
}

}  // namespace
