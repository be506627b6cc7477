// The effect's controls as people name and write them: found by their
// on-screen names (any case), values and keyframes in the controls' own units
// (numbers, degrees, "255,128,0" or "#ff8000", a point's "x,y" in layer
// pixels, a popup choice's text or number), checked against what each control
// accepts, and described with the enabled state the effect gives them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "minihost/host.h"
#include "session/timebase.h"

namespace pluvane::session {

// A control setting as a user wrote it, before it is checked against the
// control it names.
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
// "#ff8000", or a popup choice's text ("AE Lights"). `option` names the
// option in messages ("--set").
ControlSetting ParseSetOption(const std::string& text, const std::string& option = "--set");
// "NAME=F1:V1,F2:V2,...": keyframes at frames F with values V; a point's key
// is "F:X,Y" ("Light Position=0:100,200,30:500,200").
ControlSetting ParseKeyOption(const std::string& text, const std::string& option = "--key");

// The names of a popup's choices ("A|B|C" in its record), as many as it says it has.
std::vector<std::string> ChoicesOf(const PF_ParamDef& def);
// A popup's choice (from 1) by its text or first word, in any case, or by its
// number; nothing when `text` names none.
std::optional<A_long> MatchChoice(const PF_ParamDef& def, const std::string& text);

// The index of the control with this on-screen name, in any case; Error
// naming the closest name when there is none.
int FindControl(const minihost::MiniHost& host, const std::string& name);

// Gives a control its value or keyframes, as the host stores them: sliders and
// angles as 16.16 fixed point rounded to nearest, a point in full-resolution
// layer pixels, keyframes at the frames' times (linear, held outside the
// keys). A slider value outside the control's valid range is an Error, never
// clamped; so is a value of the wrong kind for the control.
void ApplyControl(minihost::MiniHost& host, const ControlSetting& setting, const Timebase& time);

// A value in a control's units brought within what it accepts: a slider's
// valid range, an angle's or a point's 16.16 range. NaN gives the default.
double ClampToControl(const PF_ParamDef& def, double value);

// One control as the module declared it, in words.
struct ControlInfo {
  int index;
  std::string name;
  std::string type;          // "slider", "angle", "popup", "colour", "point", "group", "end of group"
  std::string valid_range;   // "" when the control has none
  std::string slider_range;
  std::string default_value;
  bool enabled;
};
// The declared controls (indices 1 to 22), with the enabled state the effect
// gives them through its control-enabling command for the current values.
std::vector<ControlInfo> DescribeControls(minihost::MiniHost& host);
// Only the enabled state, by control index (index 0, the layer, is enabled).
std::vector<bool> EnabledControls(minihost::MiniHost& host);
// Why the control at `index` is unused, in words, or "" when it is enabled:
// the popups whose current choices disable it and the choices that would
// enable it ("\"Light Position\" is unused while \"Light Type\" is \"Distant
// Light\"; it is used with \"Point Light\""), found by trying the popups'
// choices through EnabledControls. The popups keep their values.
std::string UnusedBecause(minihost::MiniHost& host, int index);

}  // namespace pluvane::session
