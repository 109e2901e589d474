// Starting the setup program that the archive's "arcconfig.json" names for
// the user's language and the machine's bitness.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "formats/archive_manifest.h"

// Asks the user for the installation language: "de" or "en". Throws
// AbortException when the user cancels.
using LanguageQuestion = std::function<std::string()>;

// The first element whose language and bitness equal the wanted ones
// exactly (case-sensitive; "*" only matches "*"), or the empty command.
StartCommand find_start_command(const std::vector<StartCommand>& commands, const std::string& language,
                                const std::string& bitness);

// The three searches: ("*","*"), then ("*", bitness), then the language
// the user chooses with that bitness; the question is asked only for the
// last one. Lets the AbortException of a cancelled question pass.
StartCommand choose_start_command(const std::vector<StartCommand>& commands, bool is_64bit,
                                  const LanguageQuestion& ask_language);

// Opens path through the shell without waiting for it. A path that is not
// complete is taken relative to the program's own folder; when that folder
// is unknown, throws ProcessException("cannot get current directory").
void launch_file(const std::wstring& path, bool complete);

// The start stage: reads the archive's start commands (ZipException "Cannot
// open arc file" when it cannot be read), chooses one and starts it from the
// setup folder; without a command, the setup folder itself is opened. A
// cancelled language question ends the stage quietly.
void run_start_command(const std::wstring& archive_path, const std::wstring& setup_folder,
                       const LanguageQuestion& ask_language);
