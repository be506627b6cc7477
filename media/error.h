// The one error type of pluvane's file handling and command line: a message
// for the user, already worded as one line that says what is wrong and how to
// fix it, and the exit code the program ends with.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>

namespace pluvane::media {

class Error : public std::runtime_error {
 public:
  // 2 is the command line's "bad input" exit code.
  explicit Error(const std::string& message, int exit_code = 2) : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

// A path or name as messages show it: 'plate.png'.
inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// A library's message, which may span lines, as one line without trailing spaces.
inline std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace pluvane::media
