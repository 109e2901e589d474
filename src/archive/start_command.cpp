#include "archive/start_command.h"

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/log.h"
#include "support/names.h"

namespace {
constexpr char kLogSource[] = "netrelease_functions";
constexpr char kLaunchLogSource[] = "process_functions";
}  // namespace

StartCommand find_start_command(const std::vector<StartCommand>& commands, const std::string& language,
                                const std::string& bitness) {
  for (const StartCommand& command : commands) {
    if (command.language == language && command.bitness == bitness) return command;
  }
  return {};
}

StartCommand choose_start_command(const std::vector<StartCommand>& commands, bool is_64bit,
                                  const LanguageQuestion& ask_language) {
  StartCommand chosen = find_start_command(commands, "*", "*");
  if (!chosen.command.empty()) return chosen;
  const std::string bitness = is_64bit ? "x64" : "x86";
  chosen = find_start_command(commands, "*", bitness);
  if (!chosen.command.empty()) return chosen;
  return find_start_command(commands, ask_language(), bitness);
}

void launch_file(const std::wstring& path, bool complete) {
  std::wstring folder;
  if (!complete) {
    folder = module_folder();
    if (folder.empty()) throw_logged(ProcessException(L"cannot get current directory"), __LINE__, kLaunchLogSource);
  }
  hooks().shell_open(folder + path);
}

std::vector<StartCommand> read_start_commands(const std::wstring& archive_path) {
  const auto archive = open_archive(archive_path);
  if (!archive) throw_logged(ZipException("Cannot open arc file"), __LINE__, kLogSource);
  return parse_arcconfig(read_small_member(*archive, kArcConfigMember));
}

SetupProgram find_setup_program(const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                                const ExtractedFiles& extracted, const LanguageQuestion& ask_language) {
  StartCommand chosen;
  try {
    chosen = choose_start_command(commands, platform::is_64bit_os(), ask_language);
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
    return {SetupProgram::Kind::cancelled, {}};
  }

  // Without a command the setup folder itself is meant. A command that
  // would leave the setup folder comes from a damaged or forged archive:
  // nothing is started.
  const std::wstring command = wide_from_utf8(chosen.command);
  if (command.empty()) return {SetupProgram::Kind::none, setup_folder};
  if (!is_safe_relative_path(command)) {
    write_log("start command leaves the setup folder, nothing started: " + chosen.command, __LINE__, kLogSource);
    return {SetupProgram::Kind::refused, {}};
  }
  // Another user who can write where the setup folder lies could have put a
  // program of their own at this path since it was extracted.
  SetupProgram program{SetupProgram::Kind::program, setup_folder + to_native_separators(command), {}};
  program.file = platform::File(program.path, platform::File::Mode::read);
  const std::optional<platform::FileIdentity> identity = program.file.identity();
  if (!identity || !extracted.count(*identity)) {
    write_log("start command is not a file the extraction made, nothing started: " + chosen.command, __LINE__,
              kLogSource);
    return {SetupProgram::Kind::replaced, {}, {}};
  }
  return program;
}

void run_start_command(const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                       const ExtractedFiles& extracted, const LanguageQuestion& ask_language) {
  const SetupProgram program = find_setup_program(commands, setup_folder, extracted, ask_language);
  if (program.kind != SetupProgram::Kind::program && program.kind != SetupProgram::Kind::none) return;
  try {
    launch_file(program.path, true);
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
  }
}
