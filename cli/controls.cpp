#include "controls.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "errors.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

using minihost::MiniHost;

constexpr double kFixedLimit = 32767.0;  // the largest whole part a 16.16 value holds

std::string Q(const std::string& s) { return "\"" + s + "\""; }

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
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
  std::snprintf(buf, sizeof buf, "%.*f", std::max(precision, 1), v / 65536.0);
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
  const auto choices = minihost::PopupChoices(def);
  for (size_t i = 0; i < choices.size(); ++i) s += (i ? ", " : "") + Q(choices[i]) + " (" + std::to_string(i + 1) + ")";
  return s;
}

// A slider value as the host stores it, or a CliError when outside the valid range.
double CheckSlider(const PF_ParamDef& def, double v, const std::string& origin) {
  const long long fixed = std::llround(v * 65536.0);
  if (fixed < def.u.fd.valid_min || fixed > def.u.fd.valid_max) {
    throw CliError(Q(def.name) + " = " + NumberText(v) + " (" + origin + ") is outside its valid range " +
                   FixedText(def.u.fd.valid_min, def.u.fd.precision) + " to " +
                   FixedText(def.u.fd.valid_max, def.u.fd.precision) + "; give a value in that range");
  }
  return v;
}

void CheckFixedLimit(const PF_ParamDef& def, double v, const std::string& origin) {
  if (std::fabs(v) > kFixedLimit)
    throw CliError(Q(def.name) + " = " + NumberText(v) + " (" + origin + ") is too large; give a value between -32767 and 32767");
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

std::string FindModulePath() {
  // $PLUVANE_MODULE wins (the stand-in host reads it); otherwise the module
  // beside the program, then the one this build made.
  if (const char* env = std::getenv("PLUVANE_MODULE"); !env || !*env) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path beside = exe.parent_path() / "pluvane_effect.so";
    if (!ec && fs::exists(beside, ec)) return beside.string();
  }
  return MiniHost::DefaultModulePath();
}

std::unique_ptr<MiniHost> LoadEffect(const minihost::LayerSettings& settings) {
  const std::string path = FindModulePath();
  std::unique_ptr<MiniHost> host;
  try {
    host = std::make_unique<MiniHost>(path, settings);
  } catch (const minihost::HostError& e) {
    throw CliError(std::string(e.what()) + "; build it, or set PLUVANE_MODULE to the path of pluvane_effect.so",
                   kExitRenderFailed);
  }
  PF_OutData out{};
  if (PF_Err err = host->GlobalSetup(&out))
    throw CliError("the effect module refused its global set-up (error " + std::to_string(err) + "); reinstall pluvane",
                   kExitRenderFailed);
  if (PF_Err err = host->ParamsSetup())
    throw CliError("the effect module could not declare its controls (error " + std::to_string(err) + "); reinstall pluvane",
                   kExitRenderFailed);
  return host;
}

int FindControl(const MiniHost& host, const std::string& name) {
  const int index = host.FindParam(name);
  const auto& defs = host.params();
  if (index > 0) {
    const PF_ParamType t = defs[index].param_type;
    if (t == PF_Param_GROUP_START || t == PF_Param_GROUP_END)
      throw CliError(Q(name) + " is the heading of a group of controls, not a control; set the controls inside it");
    return index;
  }
  std::string best;
  size_t best_distance = 4;  // suggest only names this close
  for (size_t i = 1; i < defs.size(); ++i) {
    const std::string candidate = defs[i].name;
    if (candidate.empty() || defs[i].param_type == PF_Param_GROUP_START) continue;
    // A name that differs in case or by a few letters, or that starts the control's name.
    size_t d = EditDistance(Lower(candidate), Lower(name));
    if (!name.empty() && Lower(candidate).rfind(Lower(name), 0) == 0) d = std::min<size_t>(d, 1);
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  }
  if (!best.empty())
    throw CliError("unknown control " + Q(name) + "; did you mean " + Q(best) + "? ('pluvane controls' lists them all)");
  throw CliError("unknown control " + Q(name) + "; run 'pluvane controls' to see the control names");
}

void ApplyControl(MiniHost& host, const ControlSetting& s, const Rational& fps) {
  const int index = FindControl(host, s.name);
  const PF_ParamDef& def = host.params()[index];
  const PF_ParamType type = def.param_type;
  const std::string where = s.origin;
  const auto wrong = [&](const std::string& got) {
    return CliError(Q(def.name) + " (" + where + ") got " + got + " but takes " +
                    (type == PF_Param_POPUP ? "one of " + ChoiceList(def) : std::string(KindWords(type))));
  };

  if (s.keyed()) {
    if (type != PF_Param_FIX_SLIDER && type != PF_Param_ANGLE && type != PF_Param_POINT)
      throw CliError(Q(def.name) + " (" + where + ") cannot be animated; give it one value with --set or a plain value in the scene");
    const size_t want = type == PF_Param_POINT ? 2 : 1;
    std::vector<minihost::Keyframe> keys;
    for (const ControlKey& k : s.keys) {
      if (k.values.size() != want) throw wrong(std::to_string(k.values.size()) + " number(s) at frame " + NumberText(k.frame));
      for (double v : k.values) {
        if (type == PF_Param_FIX_SLIDER) CheckSlider(def, v, where + ", key at frame " + NumberText(k.frame));
        else CheckFixedLimit(def, v, where);
      }
      // Frame f is at f × time_step / time_scale seconds.
      const double seconds = k.frame * static_cast<double>(fps.den) / static_cast<double>(fps.num);
      keys.push_back({seconds, k.values[0], want == 2 ? k.values[1] : 0.0});
    }
    host.SetKeys(index, std::move(keys));
    return;
  }

  switch (type) {
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE:
      if (s.choice) throw wrong(Q(*s.choice));
      if (s.numbers.size() != 1) throw wrong(std::to_string(s.numbers.size()) + " numbers");
      if (type == PF_Param_FIX_SLIDER) CheckSlider(def, s.numbers[0], where);
      else CheckFixedLimit(def, s.numbers[0], where);
      host.SetFixed(index, s.numbers[0]);
      return;
    case PF_Param_POINT:
      if (s.choice) throw wrong(Q(*s.choice));
      if (s.numbers.size() != 2) throw wrong(std::to_string(s.numbers.size()) + " number(s)");
      CheckFixedLimit(def, s.numbers[0], where);
      CheckFixedLimit(def, s.numbers[1], where);
      host.SetPoint(index, s.numbers[0], s.numbers[1]);
      return;
    case PF_Param_COLOR: {
      if (s.choice) throw wrong(Q(*s.choice));
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
      const auto choices = minihost::PopupChoices(def);
      if (s.choice) {
        const auto it = std::find(choices.begin(), choices.end(), *s.choice);
        if (it == choices.end()) throw wrong(Q(*s.choice));
        host.SetPopup(index, static_cast<A_long>(it - choices.begin()) + 1);
        return;
      }
      if (s.numbers.size() != 1 || s.numbers[0] != std::floor(s.numbers[0]) || s.numbers[0] < 1 ||
          s.numbers[0] > static_cast<double>(choices.size()))
        throw wrong(s.numbers.size() == 1 ? NumberText(s.numbers[0]) : std::to_string(s.numbers.size()) + " numbers");
      host.SetPopup(index, static_cast<A_long>(s.numbers[0]));
      return;
    }
    default:
      throw CliError(Q(def.name) + " cannot be set");
  }
}

std::vector<ControlInfo> DescribeControls(MiniHost& host) {
  host.ClearUIUpdates();
  host.UpdateParamsUI(PF_Cmd_UPDATE_PARAMS_UI);
  const auto& defs = host.params();
  std::vector<bool> disabled(defs.size());
  for (size_t i = 0; i < defs.size(); ++i) disabled[i] = defs[i].ui_flags & PF_PUI_DISABLED;
  for (const auto& u : host.ui_updates())
    if (u.index > 0 && static_cast<size_t>(u.index) < defs.size()) disabled[u.index] = u.ui_flags & PF_PUI_DISABLED;

  std::vector<ControlInfo> out;
  std::string group;
  for (size_t i = 1; i < defs.size(); ++i) {
    const PF_ParamDef& d = defs[i];
    ControlInfo info{static_cast<int>(i), d.name, "", "", "", "", !disabled[i]};
    switch (d.param_type) {
      case PF_Param_FIX_SLIDER:
        info.type = "slider";
        info.valid_range = FixedText(d.u.fd.valid_min, d.u.fd.precision) + " to " + FixedText(d.u.fd.valid_max, d.u.fd.precision);
        info.slider_range = FixedText(d.u.fd.slider_min, d.u.fd.precision) + " to " + FixedText(d.u.fd.slider_max, d.u.fd.precision);
        info.default_value = FixedText(d.u.fd.dephault, d.u.fd.precision);
        break;
      case PF_Param_ANGLE:
        info.type = "angle";
        info.valid_range = "any (degrees)";
        info.default_value = FixedText(d.u.ad.dephault);
        break;
      case PF_Param_POPUP: {
        info.type = "popup";
        const auto choices = minihost::PopupChoices(d);
        for (size_t c = 0; c < choices.size(); ++c) info.valid_range += (c ? " | " : "") + choices[c];
        const int dflt = d.u.pd.dephault;
        info.default_value = dflt >= 1 && static_cast<size_t>(dflt) <= choices.size() ? choices[dflt - 1] : std::to_string(dflt);
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

std::string ControlTable(const std::vector<ControlInfo>& controls) {
  std::vector<std::vector<std::string>> rows{{"#", "name", "type", "valid range", "slider range", "default", "state"}};
  for (const auto& c : controls) {
    const bool group = c.type == "group" || c.type == "end of group";
    rows.push_back({std::to_string(c.index), c.name, c.type, c.valid_range, c.slider_range, c.default_value,
                    group ? "" : (c.enabled ? "enabled" : "disabled")});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
  std::ostringstream out;
  for (const auto& r : rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) {
      line += r[i];
      if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
  return out.str();
}

}  // namespace pluvane::cli
