// Choosing the setup program from the archive's "arcconfig.json" by
// language and bitness. Implemented with the launch step in
// netrelease_functions.cpp.
#pragma once

#include <string>
#include <vector>

#include "netrelease/archive_extraction.h"

// One element of "startCommands"; all empty stands for "none found".
struct StartCommand {
  std::string language;  // "de", "en" or "*"
  std::string bitness;   // "x64", "x86" or "*"
  std::string command;   // relative to the setup folder
  std::string arguments;
};

std::vector<StartCommand> parse_arcconfig(const std::string& text);
std::vector<StartCommand> read_arcconfig(const ArchiveHandle& archive);

// The first element whose language and bitness equal the wanted ones
// exactly (case-sensitive; "*" only matches "*"), or the empty command.
StartCommand find_start_command(const std::vector<StartCommand>& commands, const std::string& language,
                                const std::string& bitness);

// The three searches: ("*","*"), then ("*", bitness), then the language the
// user chooses with that bitness. Lets the AbortException of a cancelled
// language question pass.
StartCommand choose_start_command(const std::vector<StartCommand>& commands, bool is_64bit);
