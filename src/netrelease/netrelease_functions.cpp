#include "netrelease/netrelease_functions.h"

#include "core/exceptions.h"
#include "support/log.h"

namespace {
constexpr char kLogSource[] = "netrelease_functions";
}

std::wstring download_host;

// ---------------------------------------------------------------------------
// Download stage
// ---------------------------------------------------------------------------

void download_setup(const std::wstring&, ReleaseInfo&) {
  throw_logged(DownloadException("Error during downloading archive"), __LINE__, kLogSource);
}

// (end of the download stage)
//
//
//
//
//
//
//
//
//
//

// ---------------------------------------------------------------------------
// Extraction and start of the setup program
// ---------------------------------------------------------------------------

#include <nlohmann/json.hpp>

#include "dialogs/languageselectiondlg.h"
#include "netrelease/archive_extraction.h"
#include "netrelease/process_functions.h"
#include "netrelease/start_command.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/safe_path.h"

bool extract_archive(const std::wstring& setup_folder, const ReleaseInfo& release) {
  StageTimer timer(L"extract", __LINE__, kLogSource);
  auto archive = open_archive(archive_path(release));
  if (!archive) return false;
  const bool result = extract_with_progress(*archive, setup_folder);
  close_archive(archive);
  return result;
}

std::vector<StartCommand> parse_arcconfig(const std::string& text) {
  std::vector<StartCommand> commands;
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) return commands;
  const auto list = document.find("startCommands");
  if (list == document.end() || !list->is_array()) return commands;
  const auto text_of = [](const nlohmann::json& element, const char* key) {
    if (!element.is_object()) return std::string();
    const auto value = element.find(key);
    return value != element.end() && value->is_string() ? value->get<std::string>() : std::string();
  };
  for (const auto& element : *list) {
    commands.push_back({text_of(element, "language"), text_of(element, "bitness"), text_of(element, "command"),
                        text_of(element, "arguments")});
  }
  return commands;
}

std::vector<StartCommand> read_arcconfig(const ArchiveHandle& archive) {
  return parse_arcconfig(read_small_member(archive, "arcconfig.json"));
}

StartCommand find_start_command(const std::vector<StartCommand>& commands, const std::string& language,
                                const std::string& bitness) {
  for (const StartCommand& command : commands) {
    if (command.language == language && command.bitness == bitness) return command;
  }
  return {};
}

StartCommand choose_start_command(const std::vector<StartCommand>& commands, bool is_64bit) {
  StartCommand chosen = find_start_command(commands, "*", "*");
  if (!chosen.command.empty()) return chosen;
  const std::string bitness = is_64bit ? "x64" : "x86";
  chosen = find_start_command(commands, "*", bitness);
  if (!chosen.command.empty()) return chosen;
  const std::string language = choose_language() == kLanguageGerman ? "de" : "en";
  return find_start_command(commands, language, bitness);
}

void run_start_command(const std::wstring& setup_folder, const ReleaseInfo& release) {
  auto archive = open_archive(archive_path(release));
  if (!archive) throw_logged(ZipException("Cannot open arc file"), __LINE__, kLogSource);
  const std::vector<StartCommand> commands = read_arcconfig(*archive);
  close_archive(archive);

  StartCommand chosen;
  try {
    chosen = choose_start_command(commands, platform::is_64bit_os());
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
    return;
  }

  // Without a command the setup folder itself is opened. A command that
  // would leave the setup folder comes from a damaged or forged archive:
  // nothing is started.
  const std::wstring command = wide_from_utf8(chosen.command);
  if (!command.empty() && !is_safe_relative_path(command)) {
    write_log("start command leaves the setup folder, nothing started: " + chosen.command, __LINE__, kLogSource);
    return;
  }
  const std::wstring path = setup_folder + to_native_separators(command);
  try {
    launch_file(path, true);
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
  }
}
