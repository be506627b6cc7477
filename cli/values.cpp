#include "cli/values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>

#include "cli/cli_error.h"
#include "util/text.h"

namespace pluvane::cli {
using text::Trim;

double ParseNumber(const std::string& text, const std::string& what) {
  if (auto v = text::ToNumber(text)) return *v;
  throw CliError(what + " \"" + text + "\" is not a number; give a number such as 2 or 0.5");
}

long ParseInteger(const std::string& text, const std::string& what, long min, long max) {
  const std::string s = Trim(text);
  long v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size())
    throw CliError(what + " \"" + text + "\" is not a whole number; give one such as " + std::to_string(min < 1 && max >= 1 ? 1 : min));
  if (v < min || v > max)
    throw CliError(what + " " + std::to_string(v) + " is out of range; give a whole number from " + std::to_string(min) +
                   " to " + std::to_string(max));
  return v;
}

namespace {

// A frame number of a range or a single frame, 0 to kLastFrame.
int FrameNumber(const std::string& part, const std::string& text, const std::string& what, bool range) {
  long v = 0;
  const std::string p = Trim(part);
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
  const bool number = !p.empty() && (ec == std::errc() || ec == std::errc::result_out_of_range) &&
                      end == p.data() + p.size() && p[0] != '-';
  if (number && (ec == std::errc::result_out_of_range || v > kLastFrame))
    throw CliError(what + " \"" + text + "\" goes beyond frame " + std::to_string(kLastFrame) +
                   ", the last frame pluvane renders; give a " + (range ? "smaller range" : "smaller frame"));
  if (!number && !range && p.size() > 1 && p[0] == '-' && p.find_first_not_of("0123456789", 1) == std::string::npos)
    throw CliError(what + " " + p + " is before the start; give frame 0 or later");
  if (!number)
    throw CliError(what + " \"" + text + "\" is not " +
                   (range ? "a frame range; write it like 0-89 (first and last frame, 0 or more)"
                          : "a frame number; give one such as 24 (0 or more)"));
  return static_cast<int>(v);
}

}  // namespace

int ParseFrame(const std::string& text, const std::string& what) { return FrameNumber(text, text, what, false); }

std::pair<int, int> ParseFrameRange(const std::string& text, const std::string& what) {
  const std::string s = Trim(text);
  const size_t dash = s.find('-', 1);
  const auto frame = [&](const std::string& part) { return FrameNumber(part, text, what, true); };
  if (dash == std::string::npos) {
    const int f = frame(s);
    return {f, f};
  }
  const int a = frame(s.substr(0, dash)), b = frame(s.substr(dash + 1));
  if (b < a) throw CliError(what + " \"" + text + "\" ends before it starts; write the first frame first, like " +
                            std::to_string(b) + "-" + std::to_string(a));
  return {a, b};
}

OutputPattern ParseOutputPattern(const std::string& text) {
  OutputPattern p{text, false};
  const std::string name = std::filesystem::path(text).filename().string();
  if (name.find('#') != std::string::npos) {
    p.has_pattern = true;
  } else {
    const size_t pct = name.find('%');
    if (pct != std::string::npos) {
      size_t i = pct + 1;
      while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
      if (i < name.size() && name[i] == 'd') {
        p.has_pattern = true;
      } else {
        throw CliError("output \"" + text + "\" has a '%' that is not a frame number pattern; use %04d or ####, like rain.%04d.png");
      }
      if (name.find('%', i) != std::string::npos)
        throw CliError("output \"" + text + "\" has more than one frame number pattern; keep one, like rain.%04d.png");
    }
  }
  return p;
}

namespace {

// The frame number in at least `width` digits. Built as a string, so a run of
// 40 '#' gives 40 digits, where a fixed buffer would cut every frame's name
// to the same string of zeros.
std::string ZeroPadded(int frame, size_t width) {
  const bool negative = frame < 0;
  std::string digits = std::to_string(negative ? -static_cast<long long>(frame) : frame);
  const size_t used = digits.size() + (negative ? 1 : 0);
  if (used < width) digits.insert(0, width - used, '0');
  return negative ? "-" + digits : digits;
}

}  // namespace

std::string OutputPattern::FileFor(int frame) const {
  if (!has_pattern) return text;
  const std::string name = std::filesystem::path(text).filename().string();
  const std::string dir = text.substr(0, text.size() - name.size());
  const size_t hash = name.rfind('#');
  if (hash != std::string::npos) {
    size_t first = hash;
    while (first > 0 && name[first - 1] == '#') --first;
    return dir + name.substr(0, first) + ZeroPadded(frame, hash - first + 1) + name.substr(hash + 1);
  }
  const size_t pct = name.find('%');
  size_t i = pct + 1;
  int width = 0;
  // A width past 20 digits is cut to 20; counting stops before it could overflow.
  while (std::isdigit(static_cast<unsigned char>(name[i]))) width = std::min(width * 10 + (name[i++] - '0'), 1000);
  return dir + name.substr(0, pct) + ZeroPadded(frame, static_cast<size_t>(std::min(width, 20))) + name.substr(i + 1);
}

}  // namespace pluvane::cli
