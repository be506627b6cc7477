// Parsing what the user types: numbers, rationals, frame ranges, output
// patterns and control settings. Every parser throws CliError with a message
// that names the bad text and shows a good one.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pluvane::cli {

// A positive rational such as a frame rate (30000/1001) or a pixel aspect (10/11).
struct Rational {
  long num = 1;
  long den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
  bool operator==(const Rational&) const = default;
};

// A finite number; `what` names the thing for the message ("--fps").
double ParseNumber(const std::string& text, const std::string& what);
// A whole number within [min, max].
long ParseInteger(const std::string& text, const std::string& what, long min, long max);
// "N", "N/D" or a decimal ("29.97" is 2997/100), positive, reduced.
Rational ParseRational(const std::string& text, const std::string& what);
// "A-B" (inclusive, A <= B, both >= 0) or a single "A".
std::pair<int, int> ParseFrameRange(const std::string& text, const std::string& what);

// An output name with a frame number pattern: "rain.####.png" (the number of
// '#' is the width) or printf style "rain.%04d.exr" / "rain.%d.png".
struct OutputPattern {
  std::string text;
  bool has_pattern = false;
  std::string FileFor(int frame) const;  // the text itself when there is no pattern
};
OutputPattern ParseOutputPattern(const std::string& text);

// A control setting as given on the command line or in a scene file, before
// it is checked against the control it names.
struct ControlKey {
  double frame;
  std::vector<double> values;  // one number, or x and y for a point
};
struct ControlSetting {
  std::string name;
  std::string origin;  // where it came from, for messages: "--set", "--key", "the scene file"
  // A static value: numbers (slider, angle: 1; point: 2; colour: 3; popup: its
  // 1-based number) or a popup choice's text.
  std::vector<double> numbers;
  std::optional<std::string> choice;
  std::vector<ControlKey> keys;  // keyframes instead of a static value
  bool keyed() const { return !keys.empty(); }
};

// "NAME=VALUE": VALUE is numbers separated by commas ("100,200"), a colour
// "#ff8000", or a popup choice's text ("AE Lights").
ControlSetting ParseSetOption(const std::string& text);
// "NAME=F1:V1,F2:V2,...": keyframes at frames F with values V; a point's key
// is "F:X,Y" ("Light Position=0:100,200,30:500,200").
ControlSetting ParseKeyOption(const std::string& text);

}  // namespace pluvane::cli
