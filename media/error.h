// The error of pluvane's file handling: a message for the user, already
// worded as one line that says what is wrong and how to fix it. The command
// line decides what it becomes (its exit code for bad input).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "util/text.h"

namespace pluvane::media {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The media library itself is missing or broken: an installation problem, not
// a problem with the user's files.
class LibraryError : public Error {
 public:
  using Error::Error;
};

using text::OneLine;
using text::Quoted;

// A library's message as one short line: a reader that meets the same fault
// on every strip says so once a strip (hundreds of lines), so only its first
// line and its last are kept.
inline std::string LibraryMessage(const std::string& s) {
  std::vector<std::string> lines;
  for (const std::string& line : text::Split(s, '\n'))
    if (std::string t = text::Trim(line); !t.empty()) lines.push_back(std::move(t));
  if (lines.empty()) return "";
  if (lines.size() == 1 || lines.back() == lines.front()) return lines.front();
  return lines.front() + " ... " + lines.back();
}

}  // namespace pluvane::media
