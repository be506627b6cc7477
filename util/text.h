// Small text helpers shared by every part of pluvane outside the effect
// module: case, trimming, quoting for messages, and one-line messages.
#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace pluvane::text {

inline std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// `s` without leading and trailing spaces, tabs and line ends.
inline std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

// Equal when they differ only in case.
inline bool SameWords(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// A path or a file name as messages show it: 'plate.png'.
inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }
// A control's name or a value as messages show it: "Drip Rate".
inline std::string DoubleQuoted(const std::string& s) { return "\"" + s + "\""; }

// A library's message, which may span lines, as one line without trailing spaces.
inline std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// `s` cut at every `sep`; "" gives one empty part.
inline std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// The finite number that all of `s` writes (spaces and a leading '+' allowed).
inline std::optional<double> ToNumber(const std::string& raw) {
  std::string s = Trim(raw);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  if (s.empty()) return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace pluvane::text
