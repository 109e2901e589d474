// The command line of setuppublish: pack, blocks, index, upload, publish.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace publisher {

// Runs one command; returns the process exit code (0 success, 1 failure,
// 2 wrong usage). Progress and results go to `out`, errors to `err`.
int run_command_line(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace publisher
