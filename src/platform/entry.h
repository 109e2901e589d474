// The process entry is the platform's (main, or wWinMain on Windows): it
// readies the process, then hands over the command line, one argument per
// element without the program's own name, to program_main, which the
// executable defines. What program_main returns is the exit code.
#pragma once

#include <string>
#include <vector>

int program_main(const std::vector<std::wstring>& arguments);
