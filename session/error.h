// The session layer's error: one sentence for the user that says what is
// wrong and how to fix it. Front ends decide what it becomes (an exit code, a
// host's failure status, a frame passed through).
#pragma once

#include <stdexcept>

namespace pluvane::session {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace pluvane::session
