// The `pluvane` program.
#include <iostream>

#include "app.h"

int main(int argc, char** argv) { return pluvane::cli::RunCli(argc, argv, std::cout, std::cerr); }
