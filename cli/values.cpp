#include "values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>

#include "errors.h"

namespace pluvane::cli {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::optional<double> TryNumber(const std::string& raw) {
  std::string s = Trim(raw);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  if (s.empty()) return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// Splits "NAME=VALUE" at the first '='.
std::pair<std::string, std::string> NameValue(const std::string& text, const std::string& option,
                                              const std::string& example) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || Trim(text.substr(0, eq)).empty())
    throw CliError(option + " \"" + text + "\" is not NAME=VALUE; write it like " + option + " \"" + example + "\"");
  return {Trim(text.substr(0, eq)), Trim(text.substr(eq + 1))};
}

}  // namespace

double ParseNumber(const std::string& text, const std::string& what) {
  if (auto v = TryNumber(text)) return *v;
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

Rational ParseRational(const std::string& text, const std::string& what) {
  const std::string s = Trim(text);
  const auto bad = [&] {
    return CliError(what + " \"" + text + "\" is not a positive number or ratio; write it like 30, 30000/1001 or 29.97");
  };
  Rational r;
  const size_t slash = s.find('/');
  if (slash != std::string::npos) {
    auto whole = [&](const std::string& part) {
      long v = 0;
      const std::string p = Trim(part);
      const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
      if (p.empty() || ec != std::errc() || end != p.data() + p.size() || v <= 0 || v > INT_MAX) throw bad();
      return v;
    };
    r = {whole(s.substr(0, slash)), whole(s.substr(slash + 1))};
  } else {
    // A decimal is taken digit by digit, so 29.97 is exactly 2997/100.
    const size_t dot = s.find('.');
    const std::string digits = dot == std::string::npos ? s : s.substr(0, dot) + s.substr(dot + 1);
    const size_t decimals = dot == std::string::npos ? 0 : s.size() - dot - 1;
    if (digits.empty() || decimals > 6 || digits.find_first_not_of("0123456789") != std::string::npos) throw bad();
    long num = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), num);
    if (ec != std::errc() || end != digits.data() + digits.size()) throw bad();
    long den = 1;
    for (size_t i = 0; i < decimals; ++i) den *= 10;
    r = {num, den};
  }
  if (r.num <= 0) throw bad();
  const long g = std::gcd(r.num, r.den);
  r.num /= g;
  r.den /= g;
  if (r.num > INT_MAX || r.den > INT_MAX) throw bad();
  return r;
}

std::pair<int, int> ParseFrameRange(const std::string& text, const std::string& what) {
  const std::string s = Trim(text);
  const size_t dash = s.find('-', 1);
  const auto frame = [&](const std::string& part) {
    long v = 0;
    const std::string p = Trim(part);
    const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
    // Frames are counted up to ten million (more than four days at 24 fps):
    // a range is walked frame by frame, and a bound keeps a typo such as
    // 0-2000000000 from asking for billions of anything.
    constexpr long kLastFrame = 10000000;
    const bool number = !p.empty() && (ec == std::errc() || ec == std::errc::result_out_of_range) &&
                        end == p.data() + p.size() && p[0] != '-';
    if (number && (ec == std::errc::result_out_of_range || v > kLastFrame))
      throw CliError(what + " \"" + text + "\" goes beyond frame " + std::to_string(kLastFrame) +
                     ", the last frame pluvane renders; give a smaller range");
    if (!number)
      throw CliError(what + " \"" + text + "\" is not a frame range; write it like 0-89 (first and last frame, 0 or more)");
    return static_cast<int>(v);
  };
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

ControlSetting ParseSetOption(const std::string& text) {
  auto [name, value] = NameValue(text, "--set", "Drip Rate=2");
  ControlSetting s{name, "--set", {}, std::nullopt, {}};
  if (value.empty()) throw CliError("--set \"" + text + "\" has no value; write it like --set \"" + name + "=VALUE\"");
  if (value[0] == '#') {
    const std::string hex = value.substr(1);
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      throw CliError("--set \"" + text + "\": \"" + value + "\" is not a colour; write it like #ff8000 or 255,128,0");
    for (int i = 0; i < 3; ++i) s.numbers.push_back(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    return s;
  }
  for (const std::string& part : Split(value, ',')) {
    const auto v = TryNumber(part);
    if (!v) {
      s.numbers.clear();
      s.choice = value;  // not numbers: a popup choice by its text
      return s;
    }
    s.numbers.push_back(*v);
  }
  return s;
}

ControlSetting ParseKeyOption(const std::string& text) {
  auto [name, value] = NameValue(text, "--key", "Ripple Height=0:100,30:40");
  ControlSetting s{name, "--key", {}, std::nullopt, {}};
  const auto bad = [&, &name = name] {
    return CliError("--key \"" + text + "\" is not a list of FRAME:VALUE keys; write it like --key \"" + name +
                    "=0:100,30:40\" (a point: \"" + name + "=0:100,200,30:500,200\")");
  };
  // A part with ':' starts a key; parts without one add coordinates to it.
  for (const std::string& part : Split(value, ',')) {
    const size_t colon = part.find(':');
    if (colon != std::string::npos) {
      const auto f = TryNumber(part.substr(0, colon));
      const auto v = TryNumber(part.substr(colon + 1));
      if (!f || !v || *f < 0) throw bad();
      s.keys.push_back({*f, {*v}});
    } else {
      const auto v = TryNumber(part);
      if (!v || s.keys.empty()) throw bad();
      s.keys.back().values.push_back(*v);
    }
  }
  if (s.keys.empty()) throw bad();
  return s;
}

}  // namespace pluvane::cli
