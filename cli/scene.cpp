#include "cli/scene.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/cli_error.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace pluvane::cli {
namespace {

// Reads values out of one scene file, with messages that name it.
class Reader {
 public:
  explicit Reader(std::string name) : name_(std::move(name)) {}

  CliError Bad(const std::string& key, const std::string& need) const {
    return CliError("scene file '" + name_ + "': \"" + key + "\" " + need);
  }

  double Number(const json& v, const std::string& key) const {
    if (!v.is_number()) throw Bad(key, "must be a number, like 2.5");
    return v.get<double>();
  }

  long Whole(const json& v, const std::string& key, long min, long max) const {
    if (!v.is_number() || v.get<double>() != std::floor(v.get<double>()) || v.get<double>() < min || v.get<double>() > max)
      throw Bad(key, "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    return v.get<long>();
  }

  std::vector<double> Numbers(const json& v, const std::string& key, size_t count, const std::string& example) const {
    if (!v.is_array() || v.size() != count) throw Bad(key, "must be a list of " + std::to_string(count) + " numbers, like " + example);
    std::vector<double> out;
    for (const json& e : v) {
      if (!e.is_number()) throw Bad(key, "must be a list of " + std::to_string(count) + " numbers, like " + example);
      out.push_back(e.get<double>());
    }
    return out;
  }

  std::string Text(const json& v, const std::string& key, const std::string& example) const {
    if (!v.is_string()) throw Bad(key, "must be a text in quotes, like " + example);
    return v.get<std::string>();
  }

  // [num, den], a whole number, or a number in text ("29.97", "30000/1001").
  // A rate takes the NTSC decimals as the rates they stand for.
  Rational RationalOf(const json& v, const std::string& key, bool rate = false) const {
    const auto parse = rate ? session::ParseRate : session::ParseRatio;
    const std::string need = "must be [numerator, denominator] of positive whole numbers, like [30000, 1001]";
    if (v.is_array()) {
      if (v.size() != 2) throw Bad(key, need);
      return parse(std::to_string(Whole(v[0], key, 1, INT32_MAX)) + "/" + std::to_string(Whole(v[1], key, 1, INT32_MAX)),
                   "\"" + key + "\"");
    }
    if (v.is_number_integer()) return parse(std::to_string(v.get<long>()), "\"" + key + "\"");
    if (v.is_string()) return parse(v.get<std::string>(), "scene file '" + name_ + "': \"" + key + "\"");
    if (v.is_number()) throw Bad(key, need);
    throw Bad(key, need);
  }

  void OnlyKeys(const json& obj, const std::string& where, const std::set<std::string>& allowed) const {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      if (!allowed.count(it.key())) {
        std::string list;
        for (const auto& k : allowed) list += (list.empty() ? "" : ", ") + k;
        throw CliError("scene file '" + name_ + "': unknown key \"" + it.key() + "\"" + where + "; the keys are " + list);
      }
    }
  }

  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

std::string Resolve(const std::string& path, const std::string& base_dir) {
  if (path.empty() || fs::path(path).is_absolute() || base_dir.empty()) return path;
  return (fs::path(base_dir) / path).lexically_normal().string();
}

ControlSetting ControlOf(const Reader& r, const std::string& name, const json& v) {
  ControlSetting s{name, "the scene file", {}, std::nullopt, {}};
  const std::string key = "controls\": \"" + name;
  if (v.is_number()) {
    s.numbers = {v.get<double>()};
  } else if (v.is_string()) {
    // A popup choice by its text, or a colour "#ff8000".
    ControlSetting parsed = session::ParseSetOption(name + "=" + v.get<std::string>());
    s.numbers = parsed.numbers;
    s.choice = parsed.choice;
  } else if (v.is_array()) {
    for (const json& e : v) s.numbers.push_back(r.Number(e, key));
  } else if (v.is_object()) {
    r.OnlyKeys(v, " in control \"" + name + "\"", {"keys"});
    const json& keys = v.contains("keys") ? v["keys"] : json();
    const std::string need = "keys must be a list of [frame, value] pairs (a point: [frame, [x, y]]), like [[0, 100], [30, 40]]";
    if (!keys.is_array() || keys.empty()) throw r.Bad(key, need);
    for (const json& k : keys) {
      if (!k.is_array() || k.size() < 2 || !k[0].is_number() || k[0].get<double>() < 0) throw r.Bad(key, need);
      ControlKey ck{k[0].get<double>(), {}};
      if (k.size() == 2 && k[1].is_array()) {
        for (const json& e : k[1]) ck.values.push_back(r.Number(e, key));
      } else {
        for (size_t i = 1; i < k.size(); ++i) ck.values.push_back(r.Number(k[i], key));
      }
      s.keys.push_back(ck);
    }
  } else {
    throw r.Bad(key, "must be a number, a list of numbers, a choice's text or {\"keys\": [[frame, value], ...]}");
  }
  return s;
}

minihost::LightLayer LightOf(const Reader& r, const json& v, size_t n) {
  const std::string where = "lights\"[" + std::to_string(n) + "]";
  if (!v.is_object()) throw r.Bad(where, "must be an object like {\"type\": \"point\", \"position\": [100, 100, -500]}");
  r.OnlyKeys(v, " in light " + std::to_string(n),
             {"type", "position", "point_of_interest", "intensity", "color", "cone_angle", "cone_feather", "enabled"});
  minihost::LightLayer light;
  if (!v.contains("type")) throw r.Bad(where, "needs a \"type\": \"parallel\", \"spot\", \"point\" or \"ambient\"");
  const std::string type = r.Text(v["type"], where + ".type", "\"point\"");
  if (type == "parallel") light.type = minihost::LightKind::kParallel;
  else if (type == "spot") light.type = minihost::LightKind::kSpot;
  else if (type == "point") light.type = minihost::LightKind::kPoint;
  else if (type == "ambient") light.type = minihost::LightKind::kAmbient;
  else throw r.Bad(where + ".type", "is \"" + type + "\"; use \"parallel\", \"spot\", \"point\" or \"ambient\"");
  const auto triple = [&](const char* key) {
    const auto p = r.Numbers(v[key], where + "." + key, 3, "[960, 540, -800]");
    return std::array<double, 3>{p[0], p[1], p[2]};
  };
  if (v.contains("position")) light.position = triple("position");
  if (v.contains("point_of_interest")) light.point_of_interest = triple("point_of_interest");
  if (v.contains("intensity")) light.intensity = r.Number(v["intensity"], where + ".intensity");
  if (v.contains("color")) {
    const auto c = r.Numbers(v["color"], where + ".color", 3, "[1, 0.9, 0.8]");
    for (double x : c)
      if (x < 0 || x > 1) throw r.Bad(where + ".color", "channels must be from 0 to 1, like [1, 0.9, 0.8]");
    light.color = {c[0], c[1], c[2]};
  }
  if (v.contains("cone_angle")) light.cone_angle = r.Number(v["cone_angle"], where + ".cone_angle");
  if (v.contains("cone_feather")) light.cone_feather = r.Number(v["cone_feather"], where + ".cone_feather");
  if (v.contains("enabled")) {
    if (!v["enabled"].is_boolean()) throw r.Bad(where + ".enabled", "must be true or false");
    light.enabled = v["enabled"].get<bool>();
  }
  return light;
}

}  // namespace

void ParseScene(const std::string& text, const std::string& name, const std::string& base_dir, RenderOptions& o) {
  const Reader r(name);
  json scene;
  try {
    scene = json::parse(text);
  } catch (const json::exception& e) {  // malformed text, or a number beyond a double ("1e999")
    std::string why = e.what();
    if (const size_t at = why.find("] "); at != std::string::npos) why = why.substr(at + 2);
    throw CliError("scene file '" + name + "' is not valid JSON (" + why + "); fix it at that place");
  }
  if (!scene.is_object()) throw CliError("scene file '" + name + "' must hold one JSON object {...}");
  r.OnlyKeys(scene, "", {"input", "output", "depth", "frame", "frames", "fps", "quality", "downsample", "pixel_aspect",
                         "protocol", "threads", "seed", "mix", "matte", "matte_invert", "matte_channel", "loop", "controls", "lights"});

  if (scene.contains("input")) o.input = Resolve(r.Text(scene["input"], "input", "\"photo.png\""), base_dir);
  if (scene.contains("output")) o.output = Resolve(r.Text(scene["output"], "output", "\"rain.####.png\""), base_dir);
  if (scene.contains("depth")) {
    const json& d = scene["depth"];
    if (!d.is_number_integer() || (d != 8 && d != 16 && d != 32)) throw r.Bad("depth", "must be 8, 16 or 32");
    o.depth = static_cast<Depth>(d.get<int>());
  }
  if (scene.contains("frame")) o.frame = static_cast<int>(r.Whole(scene["frame"], "frame", 0, kLastFrame));
  if (scene.contains("frames")) {
    const json& f = scene["frames"];
    if (!f.is_array() || f.size() != 2) throw r.Bad("frames", "must be [first, last], like [0, 89]");
    const int a = static_cast<int>(r.Whole(f[0], "frames", 0, kLastFrame));
    const int b = static_cast<int>(r.Whole(f[1], "frames", 0, kLastFrame));
    if (b < a) throw r.Bad("frames", "ends before it starts; write [first, last], like [0, 89]");
    o.frames = std::pair{a, b};
  }
  if (scene.contains("fps")) o.fps = r.RationalOf(scene["fps"], "fps", /*rate=*/true);
  if (scene.contains("quality")) {
    const std::string q = r.Text(scene["quality"], "quality", "\"high\"");
    if (q != "high" && q != "draft") throw r.Bad("quality", "must be \"high\" or \"draft\"");
    o.draft = q == "draft";
  }
  if (scene.contains("downsample")) {
    // [1, N] (a host's downsample factor, 1/N) or just N.
    const json& d = scene["downsample"];
    const std::string need = "must be [1, N] for 1/N resolution (or N), like [1, 2]";
    if (d.is_array()) {
      if (d.size() != 2 || !d[0].is_number() || d[0] != 1) throw r.Bad("downsample", need);
      o.downsample = static_cast<int>(r.Whole(d[1], "downsample", 1, 1000));
    } else {
      o.downsample = static_cast<int>(r.Whole(d, "downsample", 1, 1000));
    }
  }
  if (scene.contains("pixel_aspect")) o.pixel_aspect = r.RationalOf(scene["pixel_aspect"], "pixel_aspect");
  if (scene.contains("protocol")) {
    const std::string p = r.Text(scene["protocol"], "protocol", "\"smart\"");
    if (p != "smart" && p != "classic") throw r.Bad("protocol", "must be \"smart\" or \"classic\"");
    o.protocol = p == "smart" ? minihost::Protocol::kSmart : minihost::Protocol::kClassic;
  }
  if (scene.contains("threads")) o.threads = static_cast<int>(r.Whole(scene["threads"], "threads", 0, 1024));
  if (scene.contains("seed")) o.seed = static_cast<int>(session::CheckHostControl(session::kSeed, r.Number(scene["seed"], "seed"), "scene file '" + name + "'"));
  if (scene.contains("mix")) o.mix = session::CheckHostControl(session::kMix, r.Number(scene["mix"], "mix"), "scene file '" + name + "'");
  if (scene.contains("matte")) o.matte = Resolve(r.Text(scene["matte"], "matte", "\"sky.png\""), base_dir);
  if (scene.contains("matte_invert")) {
    if (!scene["matte_invert"].is_boolean()) throw r.Bad("matte_invert", "must be true or false");
    o.matte_invert = scene["matte_invert"].get<bool>();
  }
  if (scene.contains("matte_channel")) {
    const std::string c = r.Text(scene["matte_channel"], "matte_channel", "\"alpha\"");
    if (c != "auto" && c != "luma" && c != "alpha") throw r.Bad("matte_channel", "must be \"auto\", \"luma\" or \"alpha\"");
    o.matte_channel = c == "luma" ? session::MatteChannel::kLuma : c == "alpha" ? session::MatteChannel::kAlpha : session::MatteChannel::kAuto;
  }
  if (scene.contains("loop")) {
    // Frames as a number, or a duration in text: "48", "2s".
    const json& l = scene["loop"];
    if (l.is_number_integer()) o.loop = std::to_string(l.get<long long>());
    else o.loop = r.Text(l, "loop", "\"2s\" or 48");
  }
  if (scene.contains("controls")) {
    const json& c = scene["controls"];
    if (!c.is_object()) throw r.Bad("controls", "must be an object of \"control name\": value, like {\"Drip Rate\": 2}");
    for (auto it = c.begin(); it != c.end(); ++it) o.controls.push_back(ControlOf(r, it.key(), it.value()));
  }
  if (scene.contains("lights")) {
    const json& l = scene["lights"];
    if (!l.is_array()) throw r.Bad("lights", "must be a list of light objects");
    o.lights.clear();
    for (size_t i = 0; i < l.size(); ++i) o.lights.push_back(LightOf(r, l[i], i));
  }
}

void LoadScene(const std::string& path, RenderOptions& options) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw CliError("scene file '" + path + "' does not exist; check its name and folder");
  std::ifstream in(path);
  if (!in) throw CliError("cannot read scene file '" + path + "'; check its permissions");
  std::stringstream text;
  text << in.rdbuf();
  ParseScene(text.str(), path, fs::path(path).parent_path().string(), options);
}

}  // namespace pluvane::cli
