// The helper every test uses to start an external program (run_program.h):
// a program that never exits fails the test at its limit, named, and is gone
// afterwards with everything it started.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/run_program.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

// Whether `pid` has ended (gone, or a zombie waiting for its parent).
bool Gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_text, name, state;
  stat >> pid_text >> name >> state;
  return !stat || state == "Z" || state == "X";
}

class RunProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pluvane-run-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(RunProgramTest, AHostThatNeverExitsFailsAtItsLimitAndLeavesNoProcess) {
  static Launch launch;
  static Ended result;
  launch.argv = {(fs::path(__FILE__).parent_path() / "fake_host.sh").string(), (dir_ / "pids").string()};
  launch.limit_seconds = 2;
  launch.what = "fake_host.sh";
  EXPECT_NONFATAL_FAILURE(result = testsupport::Run(launch), "fake_host.sh did not finish within its limit of 2 s");
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.code, 128 + SIGKILL);

  pid_t host = 0, worker = 0;
  std::ifstream(dir_ / "pids") >> host >> worker;
  ASSERT_GT(host, 0);
  ASSERT_GT(worker, 0);
  // The worker was killed with the group; it is reaped by whoever adopted it,
  // which may take a moment on a loaded machine.
  for (int i = 0; i < 500 && !Gone(worker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Gone(host));
  EXPECT_TRUE(Gone(worker)) << "the fake host's worker " << worker << " is still running";
}

TEST_F(RunProgramTest, AProgramThatEndsGivesItsStatusAndOutput) {
  Launch l;
  l.argv = Shell("echo made >out.txt; echo said; exit 3");
  l.cwd = dir_.string();
  l.out = (dir_ / "stdout").string();
  l.env = {"PLUVANE_TEST_WORD=kept"};
  const Ended e = testsupport::Run(l);
  EXPECT_FALSE(e.timed_out);
  EXPECT_EQ(e.code, 3);
  EXPECT_EQ(ReadAll((dir_ / "out.txt").string()), "made\n");
  EXPECT_EQ(ReadAll((dir_ / "stdout").string()), "said\n");
  EXPECT_EQ(Output("echo $PLUVANE_TEST_WORD"), "\n");
  l.argv = Shell("echo $PLUVANE_TEST_WORD");
  testsupport::Run(l);
  EXPECT_EQ(ReadAll((dir_ / "stdout").string()), "kept\n");
  Launch missing;
  missing.argv = {"pluvane-no-such-program"};
  EXPECT_EQ(testsupport::Run(missing).code, 127);
}

}  // namespace
