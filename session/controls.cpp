#include "session/controls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "session/error.h"
#include "util/text.h"

namespace pluvane::session {
namespace {

using minihost::MiniHost;
using text::DoubleQuoted;
using text::Lower;
using text::Trim;


// Splits "NAME=VALUE" at the first '='.
std::pair<std::string, std::string> NameValue(const std::string& text, const std::string& option,
                                              const std::string& example) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || Trim(text.substr(0, eq)).empty())
    throw Error(option + " \"" + text + "\" is not NAME=VALUE; write it like " + option + " \"" + example + "\"");
  return {Trim(text.substr(0, eq)), Trim(text.substr(eq + 1))};
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// A 16.16 value in words, to the control's number of decimals (at least one
// for a fraction), without trailing zeros.
std::string FixedText(PF_Fixed v, int precision = 3) {
  if (v % 65536 == 0) return std::to_string(v / 65536);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", std::max(precision, 1), PF_FixedToDouble(v));
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string NumberText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string ChoiceList(const PF_ParamDef& def) {
  std::string s;
  const auto choices = ChoicesOf(def);
  for (size_t i = 0; i < choices.size(); ++i)
    s += (i ? ", " : "") + DoubleQuoted(choices[i]) + " (" + std::to_string(i + 1) + ")";
  return s;
}

// A slider value as the host stores it, or an Error when outside the valid range.
void CheckSlider(const PF_ParamDef& def, double v, const std::string& origin) {
  const long long fixed = std::llround(v * kPF_FixedOne);  // v may lie beyond what PF_Fixed holds
  if (fixed < def.u.fd.valid_min || fixed > def.u.fd.valid_max) {
    throw Error(DoubleQuoted(def.name) + " = " + NumberText(v) + " (" + origin + ") is outside its valid range " +
                FixedText(def.u.fd.valid_min, def.u.fd.precision) + " to " +
                FixedText(def.u.fd.valid_max, def.u.fd.precision) + "; give a value in that range");
  }
}

void CheckPF_FixedLimit(const PF_ParamDef& def, double v, const std::string& origin) {
  if (std::fabs(v) > kPF_FixedLimit)
    throw Error(DoubleQuoted(def.name) + " = " + NumberText(v) + " (" + origin +
                ") is too large; give a value between -32767 and 32767");
}

const char* KindWords(PF_ParamType type) {
  switch (type) {
    case PF_Param_FIX_SLIDER: return "one number, like 2.5";
    case PF_Param_ANGLE: return "an angle in degrees, like 45";
    case PF_Param_POINT: return "x and y in full-resolution layer pixels, like 100,200";
    case PF_Param_COLOR: return "red, green and blue from 0 to 255, like 255,128,0, or #ff8000";
    default: return "a choice";
  }
}

}  // namespace

ControlSetting ParseSetOption(const std::string& text, const std::string& option) {
  auto [name, value] = NameValue(text, option, "Drip Rate=2");
  ControlSetting s{name, option, {}, std::nullopt, {}};
  if (value.empty()) throw Error(option + " \"" + text + "\" has no value; write it like " + option + " \"" + name + "=VALUE\"");
  if (value[0] == '#') {
    const std::string hex = value.substr(1);
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      throw Error(option + " \"" + text + "\": \"" + value + "\" is not a colour; write it like #ff8000 or 255,128,0");
    for (int i = 0; i < 3; ++i) s.numbers.push_back(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    return s;
  }
  for (const std::string& part : text::Split(value, ',')) {
    const auto v = text::ToNumber(part);
    if (!v) {
      s.numbers.clear();
      s.choice = value;  // not numbers: a popup choice by its text
      return s;
    }
    s.numbers.push_back(*v);
  }
  return s;
}

ControlSetting ParseKeyOption(const std::string& text, const std::string& option) {
  auto [name, value] = NameValue(text, option, "Ripple Height=0:100,30:40");
  ControlSetting s{name, option, {}, std::nullopt, {}};
  const auto bad = [&, &name = name] {
    return Error(option + " \"" + text + "\" is not a list of FRAME:VALUE keys; write it like " + option + " \"" + name +
                 "=0:100,30:40\" (a point: \"" + name + "=0:100,200,30:500,200\")");
  };
  // A part with ':' starts a key; parts without one add coordinates to it.
  for (const std::string& part : text::Split(value, ',')) {
    const size_t colon = part.find(':');
    if (colon != std::string::npos) {
      const auto f = text::ToNumber(part.substr(0, colon));
      const auto v = text::ToNumber(part.substr(colon + 1));
      if (!f || !v || *f < 0) throw bad();
      s.keys.push_back({*f, {*v}});
    } else {
      const auto v = text::ToNumber(part);
      if (!v || s.keys.empty()) throw bad();
      s.keys.back().values.push_back(*v);
    }
  }
  if (s.keys.empty()) throw bad();
  return s;
}

std::vector<std::string> ChoicesOf(const PF_ParamDef& def) { return minihost::PopupChoices(def); }

std::optional<A_long> MatchChoice(const PF_ParamDef& def, const std::string& text) {
  const std::string want = Lower(Trim(text));
  if (want.empty()) return std::nullopt;
  const auto choices = ChoicesOf(def);
  for (size_t c = 0; c < choices.size(); ++c) {
    const std::string name = Lower(choices[c]);
    if (want == name || want == name.substr(0, name.find(' ')) || want == std::to_string(c + 1))
      return static_cast<A_long>(c) + 1;
  }
  return std::nullopt;
}

int FindControl(const MiniHost& host, const std::string& raw_name) {
  const std::string name = Trim(raw_name);
  const auto& defs = host.params();
  for (size_t i = 1; i < defs.size(); ++i) {
    if (!text::SameWords(defs[i].name, name)) continue;
    const PF_ParamType t = defs[i].param_type;
    if (t == PF_Param_GROUP_START || t == PF_Param_GROUP_END)
      throw Error(DoubleQuoted(raw_name) + " is the heading of a group of controls, not a control; set the controls inside it");
    return static_cast<int>(i);
  }
  std::string best;
  size_t best_distance = 4;  // suggest only names this close
  for (size_t i = 1; i < defs.size(); ++i) {
    const std::string candidate = defs[i].name;
    if (candidate.empty() || defs[i].param_type == PF_Param_GROUP_START) continue;
    // A name that differs by a few letters, or that starts the control's name.
    size_t d = EditDistance(Lower(candidate), Lower(name));
    if (!name.empty() && Lower(candidate).rfind(Lower(name), 0) == 0) d = std::min<size_t>(d, 1);
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  }
  if (!best.empty())
    throw Error("unknown control " + DoubleQuoted(raw_name) + "; did you mean " + DoubleQuoted(best) +
                "? ('pluvane controls' lists them all)");
  throw Error("unknown control " + DoubleQuoted(raw_name) + "; run 'pluvane controls' to see the control names");
}

void ApplyControl(MiniHost& host, const ControlSetting& s, const Timebase& time) {
  const int index = FindControl(host, s.name);
  const PF_ParamDef& def = host.params()[index];
  const PF_ParamType type = def.param_type;
  const std::string where = s.origin;
  const auto wrong = [&](const std::string& got) {
    return Error(DoubleQuoted(def.name) + " (" + where + ") got " + got + " but takes " +
                 (type == PF_Param_POPUP ? "one of " + ChoiceList(def) : std::string(KindWords(type))));
  };

  if (s.keyed()) {
    if (type != PF_Param_FIX_SLIDER && type != PF_Param_ANGLE && type != PF_Param_POINT)
      throw Error(DoubleQuoted(def.name) + " (" + where +
                  ") cannot be animated; give it one value with --set or a plain value in the scene");
    const size_t want = type == PF_Param_POINT ? 2 : 1;
    std::vector<minihost::Keyframe> keys;
    for (const ControlKey& k : s.keys) {
      if (k.values.size() != want) throw wrong(std::to_string(k.values.size()) + " number(s) at frame " + NumberText(k.frame));
      for (double v : k.values) {
        if (type == PF_Param_FIX_SLIDER) CheckSlider(def, v, where + ", key at frame " + NumberText(k.frame));
        else CheckPF_FixedLimit(def, v, where);
      }
      keys.push_back({time.SecondsOf(k.frame), k.values[0], want == 2 ? k.values[1] : 0.0});
    }
    host.SetKeys(index, std::move(keys));
    return;
  }

  switch (type) {
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE:
      if (s.choice) throw wrong(DoubleQuoted(*s.choice));
      if (s.numbers.size() != 1) throw wrong(std::to_string(s.numbers.size()) + " numbers");
      if (type == PF_Param_FIX_SLIDER) CheckSlider(def, s.numbers[0], where);
      else CheckPF_FixedLimit(def, s.numbers[0], where);
      host.SetFixed(index, s.numbers[0]);
      return;
    case PF_Param_POINT:
      if (s.choice) throw wrong(DoubleQuoted(*s.choice));
      if (s.numbers.size() != 2) throw wrong(std::to_string(s.numbers.size()) + " number(s)");
      CheckPF_FixedLimit(def, s.numbers[0], where);
      CheckPF_FixedLimit(def, s.numbers[1], where);
      host.SetPoint(index, s.numbers[0], s.numbers[1]);
      return;
    case PF_Param_COLOR: {
      if (s.choice) throw wrong(DoubleQuoted(*s.choice));
      if (s.numbers.size() != 3) throw wrong(std::to_string(s.numbers.size()) + " number(s)");
      A_u_char rgb[3];
      for (int i = 0; i < 3; ++i) {
        const double v = s.numbers[i];
        if (v < 0 || v > 255 || v != std::floor(v)) throw wrong(NumberText(v));
        rgb[i] = static_cast<A_u_char>(v);
      }
      host.SetColor(index, PF_Pixel{255, rgb[0], rgb[1], rgb[2]});
      return;
    }
    case PF_Param_POPUP: {
      if (s.choice) {
        const auto choice = MatchChoice(def, *s.choice);
        if (!choice) throw wrong(DoubleQuoted(*s.choice));
        host.SetPopup(index, *choice);
        return;
      }
      const auto count = static_cast<double>(ChoicesOf(def).size());
      if (s.numbers.size() != 1 || s.numbers[0] != std::floor(s.numbers[0]) || s.numbers[0] < 1 || s.numbers[0] > count)
        throw wrong(s.numbers.size() == 1 ? NumberText(s.numbers[0]) : std::to_string(s.numbers.size()) + " numbers");
      host.SetPopup(index, static_cast<A_long>(s.numbers[0]));
      return;
    }
    default:
      throw Error(DoubleQuoted(def.name) + " cannot be set");
  }
}

double ClampToControl(const PF_ParamDef& def, double v) {
  switch (def.param_type) {
    case PF_Param_FIX_SLIDER:
      if (std::isnan(v)) return PF_FixedToDouble(def.u.fd.dephault);
      return std::clamp(v, PF_FixedToDouble(def.u.fd.valid_min), PF_FixedToDouble(def.u.fd.valid_max));
    case PF_Param_ANGLE:
      if (std::isnan(v)) return PF_FixedToDouble(def.u.ad.dephault);
      return std::clamp(v, -kPF_FixedLimit, kPF_FixedLimit);
    default:
      return std::isnan(v) ? 0.0 : std::clamp(v, -kPF_FixedLimit, kPF_FixedLimit);
  }
}

std::vector<bool> EnabledControls(MiniHost& host) {
  host.ClearUIUpdates();
  host.UpdateParamsUI(PF_Cmd_UPDATE_PARAMS_UI);
  const auto& defs = host.params();
  std::vector<bool> enabled(defs.size());
  for (size_t i = 0; i < defs.size(); ++i) enabled[i] = !(defs[i].ui_flags & PF_PUI_DISABLED);
  for (const auto& u : host.ui_updates())
    if (u.index > 0 && static_cast<size_t>(u.index) < defs.size()) enabled[u.index] = !(u.ui_flags & PF_PUI_DISABLED);
  return enabled;
}

std::string UnusedBecause(MiniHost& host, int index) {
  if (EnabledControls(host)[index]) return "";
  const auto& defs = host.params();
  const std::string unused = DoubleQuoted(defs[index].name) + " is unused";
  // Every combination of the other popups' choices, the fewest changes from
  // the current ones first: few popups of few choices each.
  std::vector<int> popups;
  std::vector<A_long> current;
  size_t combinations = 1;
  for (size_t i = 1; i < defs.size(); ++i) {
    if (defs[i].param_type != PF_Param_POPUP || static_cast<int>(i) == index) continue;
    popups.push_back(static_cast<int>(i));
    current.push_back(defs[i].u.pd.value);
    combinations *= std::max<size_t>(1, ChoicesOf(defs[i]).size());
  }
  if (popups.empty() || combinations > 4096) return unused + " with the current choices";
  size_t fewest = popups.size() + 1;
  std::vector<std::vector<A_long>> enabling;
  for (size_t c = 0; c < combinations; ++c) {
    std::vector<A_long> choice(popups.size());
    size_t rest = c, changes = 0;
    for (size_t p = 0; p < popups.size(); ++p) {
      const size_t n = std::max<size_t>(1, ChoicesOf(defs[popups[p]]).size());
      choice[p] = static_cast<A_long>(rest % n) + 1;
      rest /= n;
      changes += choice[p] != current[p];
    }
    if (changes == 0 || changes > fewest) continue;
    for (size_t p = 0; p < popups.size(); ++p) host.SetPopup(popups[p], choice[p]);
    if (!EnabledControls(host)[index]) continue;
    if (changes < fewest) enabling.clear();
    fewest = changes;
    enabling.push_back(choice);
  }
  for (size_t p = 0; p < popups.size(); ++p) host.SetPopup(popups[p], current[p]);
  EnabledControls(host);  // the enabled state of the current values again
  if (enabling.empty()) return unused + " with the current choices";

  const auto choice_name = [&](size_t p, A_long value) {
    const auto names = ChoicesOf(defs[popups[p]]);
    return DoubleQuoted(value >= 1 && static_cast<size_t>(value) <= names.size() ? names[value - 1] : std::to_string(value));
  };
  // The popups the enabling choices change, named with their current choices.
  std::vector<size_t> changed;
  for (size_t p = 0; p < popups.size(); ++p)
    if (std::any_of(enabling.begin(), enabling.end(), [&](const auto& e) { return e[p] != current[p]; })) changed.push_back(p);
  std::string text = unused + " while ";
  for (size_t k = 0; k < changed.size(); ++k)
    text += (k ? " and " : "") + DoubleQuoted(defs[popups[changed[k]]].name) + " is " + choice_name(changed[k], current[changed[k]]);
  text += "; it is used with ";
  for (size_t e = 0; e < enabling.size(); ++e) {
    text += e ? " / " : "";
    for (size_t k = 0; k < changed.size(); ++k) {
      const size_t p = changed[k];
      if (changed.size() > 1) text += (k ? " and " : "") + DoubleQuoted(defs[popups[p]].name) + " ";
      text += choice_name(p, enabling[e][p]);
    }
  }
  return text;
}

std::vector<ControlInfo> DescribeControls(MiniHost& host) {
  const std::vector<bool> enabled = EnabledControls(host);
  const auto& defs = host.params();
  std::vector<ControlInfo> out;
  std::string group;
  for (size_t i = 1; i < defs.size(); ++i) {
    const PF_ParamDef& d = defs[i];
    ControlInfo info{static_cast<int>(i), d.name, "", "", "", "", enabled[i]};
    switch (d.param_type) {
      case PF_Param_FIX_SLIDER:
        info.type = "slider";
        info.valid_range = FixedText(d.u.fd.valid_min, d.u.fd.precision) + " to " + FixedText(d.u.fd.valid_max, d.u.fd.precision);
        info.slider_range =
            FixedText(d.u.fd.slider_min, d.u.fd.precision) + " to " + FixedText(d.u.fd.slider_max, d.u.fd.precision);
        info.default_value = FixedText(d.u.fd.dephault, d.u.fd.precision);
        break;
      case PF_Param_ANGLE:
        info.type = "angle";
        info.valid_range = "any (degrees)";
        info.default_value = FixedText(d.u.ad.dephault);
        break;
      case PF_Param_POPUP: {
        info.type = "popup";
        const auto choices = ChoicesOf(d);
        for (size_t c = 0; c < choices.size(); ++c) info.valid_range += (c ? " | " : "") + choices[c];
        const int dflt = d.u.pd.dephault;
        info.default_value =
            dflt >= 1 && static_cast<size_t>(dflt) <= choices.size() ? choices[dflt - 1] : std::to_string(dflt);
        break;
      }
      case PF_Param_COLOR:
        info.type = "colour";
        info.valid_range = "0..255 each";
        info.default_value = std::to_string(d.u.cd.dephault.red) + "," + std::to_string(d.u.cd.dephault.green) + "," +
                             std::to_string(d.u.cd.dephault.blue);
        break;
      case PF_Param_POINT:
        info.type = "point";
        info.valid_range = "any (layer pixels)";
        info.default_value = FixedText(d.u.td.x_dephault) + "%," + FixedText(d.u.td.y_dephault) + "% of the layer";
        break;
      case PF_Param_GROUP_START:
        info.type = "group";
        group = d.name;
        break;
      case PF_Param_GROUP_END:
        info.type = "end of group";
        info.name = "(end of " + group + ")";
        break;
      default:
        info.type = "other";
        break;
    }
    out.push_back(info);
  }
  return out;
}

}  // namespace pluvane::session
