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

// What the archive's start commands name for this machine.
struct SetupProgram {
  enum class Kind {
    program,    // path: the setup program in the setup folder
    none,       // no command for this language and bitness; path: the setup folder
    cancelled,  // the language question was cancelled
    refused,    // the command would leave the setup folder (a damaged or forged archive)
  };
  Kind kind = Kind::none;
  std::wstring path;
};

// Reads the archive's start commands (ZipException "Cannot open arc file"
// when it cannot be read) and chooses one. A cancelled question and a
// refused command are logged.
SetupProgram find_setup_program(const std::wstring& archive_path, const std::wstring& setup_folder,
                                const LanguageQuestion& ask_language);

// The start stage: starts the setup program that find_setup_program chose;
// without one, the setup folder itself is opened. A cancelled language
// question or a refused command ends the stage quietly.
void run_start_command(const std::wstring& archive_path, const std::wstring& setup_folder,
                       const LanguageQuestion& ask_language);
