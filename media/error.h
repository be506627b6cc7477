// The error of pluvane's file handling: a message for the user, already
// worded as one line that says what is wrong and how to fix it. The command
// line decides what it becomes (its exit code for bad input).
#pragma once

#include <stdexcept>
#include <string>

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

}  // namespace pluvane::media
