// Starting the setup program that the archive's "arcconfig.json" names for
// the user's language and the machine's bitness.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "archive/extraction.h"
#include "platform/file.h"
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
    program,    // path: the setup program in the setup folder, held open in file
    none,       // no command for this language and bitness; path: the setup folder
    cancelled,  // the language question was cancelled
    refused,    // the command would leave the setup folder (a damaged or forged archive)
    replaced,   // the command names no file the extraction made (another user swapped it)
  };
  Kind kind = Kind::none;
  std::wstring path;
  // The setup program, open until it has started: it is the file the
  // extraction made, and on Windows nobody can replace it meanwhile.
  platform::File file{};
};

// The archive's start commands; throws ZipException "Cannot open arc file"
// when it cannot be read.
std::vector<StartCommand> read_start_commands(const std::wstring& archive_path);

// Chooses one of the release's start commands. A program is only one of the
// extracted files (the same file, not just the same name). A cancelled
// question, a refused command and a replaced program are logged.
SetupProgram find_setup_program(const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                                const ExtractedFiles& extracted, const LanguageQuestion& ask_language);

// The start stage: starts the setup program that find_setup_program chose;
// without one, the setup folder itself is opened. A cancelled language
// question, a refused command or a replaced program ends the stage quietly.
void run_start_command(const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                       const ExtractedFiles& extracted, const LanguageQuestion& ask_language);
