// The effect's controls on the host side: loading the module, giving the
// controls their values as a host stores them, and describing them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "values.h"

namespace pluvane::cli {

// Where the effect module is: $PLUVANE_MODULE, else pluvane_effect.so next to
// this program, else the module of the build that made it.
std::string FindModulePath();

// Loads the module into a stand-in host with `settings` and sends the global
// and parameter set-up commands, as a host does when the effect is applied.
std::unique_ptr<minihost::MiniHost> LoadEffect(const minihost::LayerSettings& settings);

// The index of the control with this on-screen name; CliError naming the
// closest name when there is none.
int FindControl(const minihost::MiniHost& host, const std::string& name);

// Gives a control its value or keyframes, as the host stores them: sliders and
// angles as 16.16 fixed point rounded to nearest, a point in full-resolution
// layer pixels, keyframes at frame times of `fps` (linear, held outside the
// keys). A slider value outside the control's valid range is a CliError, never
// clamped; so is a value of the wrong kind for the control.
void ApplyControl(minihost::MiniHost& host, const ControlSetting& setting, const Rational& fps);

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
// The same as an aligned text table.
std::string ControlTable(const std::vector<ControlInfo>& controls);

}  // namespace pluvane::cli
