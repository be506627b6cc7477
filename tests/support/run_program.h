// Running an external program from a test (ffmpeg, melt, gst-launch-1.0, the
// built pluvane, mount...) so that the test never waits on it for ever: the
// program gets a process group of its own and a time limit; on overrun the
// whole group is killed and the test fails with the program's name and the
// limit. A program that hangs on someone's machine then costs one failed test,
// not a suite that never ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// Limits sized for a loaded two-core machine running the sanitized build:
// about ten times what the slowest such run takes there.
constexpr int kProgramSeconds = 300;  // a host program's whole run (melt, gst-launch-1.0, an ffmpeg conversion)
constexpr int kQuickSeconds = 60;     // a tool that answers at once (ffprobe, mount, the pluvane program on a small input)

struct Launch {
  std::vector<std::string> argv;   // argv[0] is looked up on PATH
  std::string cwd;                 // "" keeps the test's folder
  std::string out = "/dev/null";   // the files stdout and stderr go to
  std::string err = "/dev/null";
  int limit_seconds = kProgramSeconds;
  std::string what;                // the name a failure gives; argv[0] when empty
};

// A started program; Wait() or Finish() must follow.
struct Started {
  pid_t pid = -1;
  std::string what;
  int limit_seconds = 0;
  std::chrono::steady_clock::time_point deadline;
};

struct Ended {
  int code = -1;           // exit status, or 128 + the signal that ended it
  bool timed_out = false;  // killed at its limit (the test has failed already)
  long max_rss_kb = 0;     // peak resident size: the program's, or a child's it waited for if larger
  double cpu_seconds = 0;  // processor time the program used (user and system), however busy the machine was
};

// A shell command line, for tests that build pipelines and redirections.
inline std::vector<std::string> Shell(const std::string& command) { return {"/bin/sh", "-c", command}; }

inline Started Start(const Launch& l) {
  Started s;
  s.what = l.what;
  if (s.what.empty() && l.argv.size() == 3 && l.argv[1] == "-c") s.what = l.argv[2];  // a shell command
  if (s.what.empty()) s.what = l.argv.empty() ? std::string("(nothing)") : l.argv[0];
  s.limit_seconds = l.limit_seconds;
  // Everything the child needs is prepared before fork: no allocation after it.
  std::vector<char*> argv;
  for (const auto& a : l.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  s.pid = ::fork();
  if (s.pid < 0) {
    ADD_FAILURE() << "cannot start " << s.what;
    return s;
  }
  if (s.pid == 0) {
    ::setpgid(0, 0);
    // Should the test itself be killed (ctest's own timeout), the program goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (!l.cwd.empty() && ::chdir(l.cwd.c_str()) != 0) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    ::dup2(::open(l.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    if (l.err == l.out) ::dup2(1, 2);
    else ::dup2(::open(l.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::setpgid(s.pid, s.pid);  // also here, so that the group exists before anyone signals it
  s.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(l.limit_seconds);
  return s;
}

// Waits for the program until its deadline. On overrun its whole process
// group is killed and the test fails, naming the program and its limit.
inline Ended Wait(const Started& s) {
  Ended e;
  if (s.pid <= 0) return e;
  int status = 0;
  rusage usage{};
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    const pid_t r = ::wait4(s.pid, &status, WNOHANG, &usage);
    if (r == s.pid) break;
    if (r < 0) return e;
    if (std::chrono::steady_clock::now() >= s.deadline) {
      ::kill(-s.pid, SIGKILL);
      ::wait4(s.pid, &status, 0, &usage);
      e.timed_out = true;
      ADD_FAILURE() << s.what << " did not finish within its limit of " << s.limit_seconds
                    << " s; its process group was killed";
      break;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
  // Whatever the program left running in its group (a daemon it forked,
  // a stuck helper) goes too: the test leaves no process behind.
  ::kill(-s.pid, SIGKILL);
  e.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  e.max_rss_kb = usage.ru_maxrss;
  e.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return e;
}

inline Ended Run(const Launch& l) { return Wait(Start(l)); }

// A shell command line, its output dropped.
inline Ended RunShell(const std::string& command, int limit_seconds = kProgramSeconds) {
  Launch l;
  l.argv = Shell(command);
  l.limit_seconds = limit_seconds;
  return Run(l);
}

inline std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A temporary folder, removed with all it holds (even made read-only by a test).
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pluvane-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }
  std::vector<std::string> Files(const std::string& sub = "") const {  // sorted names, in the folder or `sub`
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_ / sub)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

// Whether `name` is an executable on PATH (without starting anything).
inline bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  return false;
}

}  // namespace testsupport
