// Parsing what the user types on the command line: numbers, frame ranges and
// output patterns (rates and control settings are the session layer's). Every
// parser throws CliError with a message that names the bad text and shows a
// good one.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "session/controls.h"
#include "session/timebase.h"

namespace pluvane::cli {

// Rates, ratios and control settings are the session layer's.
using session::ControlKey;
using session::ControlSetting;
using session::Rational;

// A finite number; `what` names the thing for the message ("--fps").
double ParseNumber(const std::string& text, const std::string& what);
// A whole number within [min, max].
long ParseInteger(const std::string& text, const std::string& what, long min, long max);
// Frames are counted up to ten million (more than four days at 24 fps): a
// range is walked frame by frame, and a bound keeps a typo such as
// 0-2000000000 from asking for billions of anything. One limit for --frame,
// --frames and the scene file.
constexpr long kLastFrame = 10000000;
// "A-B" (inclusive, A <= B, both 0 to kLastFrame) or a single "A".
std::pair<int, int> ParseFrameRange(const std::string& text, const std::string& what);
// One frame, 0 to kLastFrame.
int ParseFrame(const std::string& text, const std::string& what);

// An output name with a frame number pattern: "rain.####.png" (the number of
// '#' is the width) or printf style "rain.%04d.exr" / "rain.%d.png".
struct OutputPattern {
  std::string text;
  bool has_pattern = false;
  std::string FileFor(int frame) const;  // the text itself when there is no pattern
};
OutputPattern ParseOutputPattern(const std::string& text);

}  // namespace pluvane::cli
