// The one error type of the command line: a message for the user, already
// worded as one line that says what is wrong and how to fix it, and the exit
// code the program ends with.
#pragma once

#include "error.h"

namespace pluvane::cli {

// The command line works on the media layer's images and files throughout.
using namespace pluvane::media;

// Exit codes of the program (documented in the README).
enum ExitCode {
  kExitOk = 0,
  kExitRenderFailed = 1,  // the effect or the host reported an error while rendering
  kExitBadInput = 2,      // bad command line, file, scene or control value
  kExitInterrupted = 130, // Ctrl-C (128 + SIGINT), as shells report it; 143 for SIGTERM, 129 for SIGHUP
};

using CliError = media::Error;

}  // namespace pluvane::cli
