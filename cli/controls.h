// The effect for the command line: where its module is, loading it into a
// session for a layer, and the control table `pluvane controls` prints.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/session.h"

namespace pluvane::cli {

// Where the effect module is: $PLUVANE_MODULE, else pluvane_effect.so next to
// this program, else in ../lib/pluvane/ from it (an installation), else the
// module of the build that made it.
std::string FindModulePath();

// Loads the module into a session for a layer of width × height and sends the
// global and parameter set-up commands, as a host does when the effect is
// applied. CliError (a render failure) when the module is missing or refuses.
std::unique_ptr<session::Session> LoadEffect(int width, int height);

// The controls as an aligned text table.
std::string ControlTable(const std::vector<session::ControlInfo>& controls);

}  // namespace pluvane::cli
