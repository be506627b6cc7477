#include "cli/frames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <filesystem>
#include <system_error>

#include "cli/cli_error.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

constexpr const char* kTempPrefix = ".pluvane-";
constexpr const char* kTempSuffix = ".part";
// A temporary of another machine untouched this long belongs to a run that died.
constexpr auto kForeignStaleAfter = std::chrono::minutes(10);

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<long> Number(const std::string& s) {
  long v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

const std::string& ThisMachine() {
  static const std::string name = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return std::string("localhost");
    std::string s(buf);
    // The name goes into a file name: keep it to characters that are safe there.
    for (char& c : s)
      if (c == '/' || c == '\\') c = '_';
    return s;
  }();
  return name;
}

bool ProcessAlive(long pid) {
  if (pid <= 0 || pid > INT32_MAX) return false;
  if (pid == ::getpid()) return true;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The parts of a temporary's file name ".pluvane-HOST-PID-NAME.part" whose NAME
// satisfies `matches`; HOST may itself hold dashes, so every split is tried.
struct TempName {
  std::string host, name;
  long pid = 0;
};
template <typename Matches>
std::optional<TempName> ParseTemp(const std::string& file, const Matches& matches) {
  const std::string prefix = kTempPrefix, suffix = kTempSuffix;
  if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
      file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
    return std::nullopt;
  const std::string middle = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
  for (size_t j = middle.find('-'); j != std::string::npos; j = middle.find('-', j + 1)) {
    const std::string left = middle.substr(0, j), name = middle.substr(j + 1);
    const size_t k = left.rfind('-');
    if (k == std::string::npos || k == 0) continue;
    const std::string pid = left.substr(k + 1);
    if (!AllDigits(pid) || pid.size() > 10 || !matches(name)) continue;
    return TempName{left.substr(0, k), name, *Number(pid)};
  }
  return std::nullopt;
}

bool Stale(const TempName& temp, const fs::directory_entry& entry) {
  if (temp.host == ThisMachine()) return !ProcessAlive(temp.pid);
  std::error_code ec;
  const auto modified = entry.last_write_time(ec);
  return !ec && fs::file_time_type::clock::now() - modified > kForeignStaleAfter;
}

}  // namespace

Chunk ParseChunk(const std::string& text) {
  const std::string s = text::Trim(text);
  const size_t slash = s.find('/');
  const auto bad = [&](const std::string& why) {
    return CliError("--chunk \"" + text + "\" " + why);
  };
  if (slash == std::string::npos) throw bad("is not a part; write it like 0/4 (part 0 of 4, counted from 0)");
  const auto k = Number(text::Trim(s.substr(0, slash))), n = Number(text::Trim(s.substr(slash + 1)));
  if (!k || !n || *k < 0 || *n < 1 || *n > INT32_MAX)
    throw bad("is not a part; write it like 0/4 (part 0 of 4, counted from 0)");
  if (*k >= *n)
    throw bad("is past the last part: parts count from 0, so the last of " + std::to_string(*n) + " is " +
              std::to_string(*n - 1) + "/" + std::to_string(*n) + " (for Slurm: --array=0-" + std::to_string(*n - 1) + ")");
  return Chunk{static_cast<int>(*k), static_cast<int>(*n)};
}

FrameSpan ChunkOf(FrameSpan all, Chunk chunk) {
  const long long size = all.size();
  const long long begin = chunk.index * size / chunk.count;
  const long long end = (chunk.index + 1LL) * size / chunk.count;  // one past the part's last frame
  if (end <= begin) return FrameSpan{all.first, all.first - 1};
  return FrameSpan{static_cast<int>(all.first + begin), static_cast<int>(all.first + end - 1)};
}

std::optional<int> FrameOfName(const OutputPattern& pattern, const std::string& name) {
  if (!pattern.has_pattern) return std::nullopt;
  const std::string own = fs::path(pattern.text).filename().string();
  std::string prefix, suffix;
  const size_t hash = own.rfind('#');
  if (hash != std::string::npos) {
    size_t first = hash;
    while (first > 0 && own[first - 1] == '#') --first;
    prefix = own.substr(0, first);
    suffix = own.substr(hash + 1);
  } else {
    const size_t pct = own.find('%');
    size_t i = pct + 1;
    while (i < own.size() && own[i] >= '0' && own[i] <= '9') ++i;
    prefix = own.substr(0, pct);
    suffix = own.substr(i + 1);
  }
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return std::nullopt;
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (!AllDigits(digits)) return std::nullopt;
  // Zero padding may be wide ("%012d"); the number itself fits 10 digits.
  const std::string number = digits.substr(std::min(digits.find_first_not_of('0'), digits.size() - 1));
  if (number.size() > 10) return std::nullopt;
  const long frame = *Number(number);
  if (frame > INT32_MAX) return std::nullopt;
  // Only the name the pattern itself gives that frame (its zero padding).
  if (fs::path(pattern.FileFor(static_cast<int>(frame))).filename().string() != name) return std::nullopt;
  return static_cast<int>(frame);
}

std::string TemporaryPathFor(const std::string& path) {
  const fs::path p(path);
  return (p.parent_path() / (kTempPrefix + ThisMachine() + "-" + std::to_string(::getpid()) + "-" +
                             p.filename().string() + kTempSuffix))
      .string();
}

OutputScan ScanOutputs(const OutputPattern& pattern, FrameSpan span, bool remove_stale) {
  OutputScan scan;
  fs::path dir = fs::path(pattern.text).parent_path();
  if (dir.empty()) dir = ".";
  const std::string single = fs::path(pattern.text).filename().string();
  // The frame an output name stands for: a pattern's number, or the one frame
  // of a single-file output.
  const auto frame_of = [&](const std::string& name) -> std::optional<int> {
    if (pattern.has_pattern) return FrameOfName(pattern, name);
    if (name == single) return span.first;
    return std::nullopt;
  };
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (remove_stale) {
      if (const auto temp = ParseTemp(name, [&](const std::string& n) { return frame_of(n).has_value(); })) {
        if (Stale(*temp, *it)) {
          std::error_code rm;
          if (fs::remove(it->path(), rm)) ++scan.stale_removed;
        }
        continue;
      }
    }
    const auto frame = frame_of(name);
    if (!frame || *frame < span.first || *frame > span.last) continue;
    std::error_code st;
    // An empty file under the final name was not written by a whole render.
    if (it->is_regular_file(st) && it->file_size(st) > 0 && !st) scan.existing.push_back(*frame);
  }
  std::sort(scan.existing.begin(), scan.existing.end());
  return scan;
}

}  // namespace pluvane::cli
