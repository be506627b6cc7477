// The `pluvane` command line: parses the arguments and runs the command.
#pragma once

#include <ostream>

namespace pluvane::cli {

// Runs `pluvane` with these arguments; returns the exit code. Every error is
// reported as one line on `err`.
int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace pluvane::cli
