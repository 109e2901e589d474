#include "app/setuplauncher.h"

#include <cwctype>

#include "archive/extraction.h"
#include "archive/start_command.h"
#include "platform/console.h"
#include "platform/entry.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "release/download_stage.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/log.h"
#include "telemetry/send_telemetry.h"
#include "ui/terminal_ui.h"

namespace {
constexpr char kLogSource[] = "setuplauncher";
constexpr wchar_t kProductWord[] = L"brelvant";
}  // namespace

std::optional<std::wstring> product_stem(const std::wstring& executable_path) {
  // Walks backwards: everything from the last '.' on is cut off, then the
  // name is lower-cased up to the separator before it. Index 0 is never
  // looked at, so a bare name without a folder has no stem.
  std::wstring buffer = executable_path;
  bool dot_seen = false;
  for (std::size_t i = buffer.size(); i-- > 1;) {
    if (!dot_seen) {
      if (buffer[i] == L'.') dot_seen = true;
      buffer[i] = L'\0';
      continue;
    }
    if (buffer[i] >= L'A' && buffer[i] <= L'Z') buffer[i] = static_cast<wchar_t>(buffer[i] - L'A' + L'a');
    if (buffer[i] == L'/' || buffer[i] == L'\\') return std::wstring(buffer.c_str() + i + 1);
  }
  return std::nullopt;
}

std::wstring trim(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && std::iswspace(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && std::iswspace(text[begin])) ++begin;
  return text.substr(begin, end - begin);
}

std::wstring identify_product(const std::wstring& built_in_product) {
  const std::wstring path = platform::executable_path();
  write_log_wide(L"Process name " + path, __LINE__, kLogSource);
  const auto stem = product_stem(path);

  std::wstring product = built_in_product;
  if (!product.empty()) {
    write_log_wide(L"Product via resource " + product, __LINE__, kLogSource);
    product = trim(product);
  }
  if (!product.empty()) return product;
  if (stem) {
    write_log_wide(L"Product via process name " + *stem, __LINE__, kLogSource);
    return *stem;
  }
  return {};
}

bool names_product_family(const std::wstring& product) { return product.find(kProductWord) != std::wstring::npos; }

std::wstring product_matrix_prompt(const std::string& matrix_url) {
  return L"Bitte prüfen Sie vorab, ob Sie die richtige Version für Ihren Arbeitsplatz ausgewählt haben. Möchten Sie "
         L"den Link öffnen?\n"
         L"Please check in advance whether you have selected the appropriate version for your workstation. Would you "
         L"like to navigate to this link?\n" +
         wide_from_utf8(matrix_url);
}

void offer_product_matrix(platform::Ui& ui, const std::wstring& product, const std::string& matrix_url) {
  if (!names_product_family(product)) return;
  if (ui.ask_yes_no(product_matrix_prompt(matrix_url), L"Download and install launcher")) {
    hooks().shell_open(wide_from_utf8(matrix_url));
  }
}

std::wstring setup_folder_for(const std::wstring& destination, const std::wstring& product,
                              const std::string& version) {
  return as_folder_path(destination) + product + L"." + wide_from_utf8(version) + platform::path_separator();
}

void remove_old_setup_folder(const std::wstring& setup_folder) {
  if (delete_tree(setup_folder)) return;
  // Unpacking into what is left would mix two releases.
  throw_logged(ZipException("Cannot remove the old setup folder " + utf8_from_wide(setup_folder) +
                            ". Close the programs that use it, then try again."),
               __LINE__, kLogSource);
}

std::wstring staging_folder_for(const std::wstring& destination, const std::wstring& product,
                                const std::string& version) {
  std::wstring folder = setup_folder_for(destination, product, version);
  folder.pop_back();
  return folder + L".staging";
}

Downloaded download_setup(const Settings& settings, const Answers& answers, const std::wstring& product,
                          std::unique_ptr<StreamingUnpack>* unpacking) {
  DownloadStage download(settings.download, settings.index_keys, product, settings.download_fallbacks);
  const std::vector<ReleaseChoice> choices = download.offered();
  const VersionChoice choice = answers.choose_version(choices);
  Downloaded downloaded;
  downloaded.release = download.accept(choice.key, choice.download_only, choice.destination, settings.launcher_version);
  const ReleaseInfo& release = downloaded.release;
  send_telemetry(settings.telemetry, product, release.version, "begin", "0", static_cast<int>(settings.launcher_version));
  downloaded.update = download.plan_update(release, setup_folder_for(release.destination, product, release.version));
  if (downloaded.update && downloaded.update->fetch(answers.progress)) return downloaded;
  downloaded.update.reset();
  std::function<void(std::uint64_t)> written;
  if (unpacking) {
    create_parent_folders(archive_path(release));
    auto store = ContentStore::open(staging_folder_for(release.destination, product, release.version));
    if (store) {
      *unpacking = std::make_unique<StreamingUnpack>(archive_path(release), std::move(store));
      StreamingUnpack& unpack = **unpacking;
      written = [&unpack](std::uint64_t end) { unpack.available(end); };
    } else {
      write_log("Cannot open the staging folder; the archive is unpacked once it is whole", __LINE__, kLogSource);
    }
  }
  download.download(release, answers.progress, written);
  return downloaded;
}

RunResult run_main_flow(const Settings& settings, const Answers& answers, const std::wstring& product) {
  const std::uint64_t start_ms = platform::tick_count_ms();
  std::unique_ptr<StreamingUnpack> unpacking;
  const Downloaded downloaded = download_setup(settings, answers, product, &unpacking);
  const ReleaseInfo& release = downloaded.release;

  const std::uint64_t seconds = (platform::tick_count_ms() - start_ms) / 1000;
  // Reported before extraction: "success" means the archive (or every
  // content the release needs) arrived verified.
  send_telemetry(settings.telemetry, product, release.version, "success", std::to_string(seconds),
                 static_cast<int>(settings.launcher_version));

  const std::wstring archive = archive_path(release);
  const std::wstring setup_folder = setup_folder_for(release.destination, product, release.version);
  ExtractedFiles extracted;
  std::vector<StartCommand> commands;
  if (downloaded.update) {
    // The old setup folder stays until the new one is complete beside it.
    if (!downloaded.update->place(answers.progress, extracted)) {
      return {RunEnd::failed, "The release could not be unpacked into " + utf8_from_wide(setup_folder) + ".", {}};
    }
    commands = downloaded.update->start_commands();
  } else {
    remove_old_setup_folder(setup_folder);
    if (!unpack_release(unpacking.get(), release.filesize, archive, setup_folder, answers.progress, extracted)) {
      // The archive stays for the next attempt. The windows have never shown
      // this; a command line reports it.
      return {RunEnd::failed,
              "The release could not be unpacked into " + utf8_from_wide(setup_folder) + "; its archive stays in " +
                  utf8_from_wide(release.destination) + " for the next attempt.",
              {}};
    }
    if (!release.download_only) commands = read_start_commands(archive);
  }
  RunResult result;
  if (!release.download_only) result = answers.start(commands, setup_folder, extracted);
  remove_regular_file(archive);
  return result;
}

RunResult run_launcher(const Settings& settings, const Answers& answers) {
  try {
    const std::wstring product = identify_product(settings.product);
    answers.offer_product_matrix(product);
    return run_main_flow(settings, answers, product);
  } catch (const UsageError& error) {
    write_log("command line: " + error.message.substr(0, error.message.find('\n')), __LINE__, kLogSource);
    return {RunEnd::bad_usage, error.message, {}};
  } catch (const std::exception& failure) {
    answers.show_failure(failure.what());
    return {RunEnd::failed, failure.what(), {}};
  } catch (const AbortException&) {
    write_log_wide(L"user abort", __LINE__, kLogSource);
    return {RunEnd::cancelled, {}, {}};
  }
}

int launcher_main(const Settings& settings, platform::Ui& ui) {
  run_launcher(settings, user_answers(ui, settings.matrix_url));
  return 0;
}

bool verifies_release_index(const Settings& settings) { return !settings.index_keys.empty(); }

std::string version_text(const Settings& settings) {
  const std::wstring product = trim(settings.product);
  std::string host = utf8_from_wide(settings.download.host);
  if (settings.download.port != 0) host += ":" + std::to_string(settings.download.port);
  return "setuplauncher " + std::to_string(settings.launcher_version) + "\n" +
         "product:        " + (product.empty() ? "none built in; the file name decides" : utf8_from_wide(product)) +
         "\n" + "download host:  " + host + "\n" +
         "release index:  " + (verifies_release_index(settings) ? "verified" : "not verified") + "\n";
}

namespace {

std::string program_name() {
  const std::wstring path = platform::executable_path();
  std::size_t start = path.size();
  while (start > 0 && !platform::is_path_separator(path[start - 1])) --start;
  return start < path.size() ? utf8_from_wide(path.substr(start)) : "setuplauncher";
}

// What the user asked to read: on standard output, or in a box when there
// is none (a Windows program started from the desktop).
void show_text(const std::string& text, bool has_console) {
  if (has_console) return platform::write_standard_output(text);
  if (const auto windows = platform::make_window_ui()) windows->show_message(text, L"Setup launcher");
}

RunResult list_releases(const Settings& settings, bool json, bool has_console) {
  try {
    const std::wstring product = identify_product(settings.product);
    const std::vector<ReleaseChoice> choices =
        DownloadStage(settings.download, settings.index_keys, product, settings.download_fallbacks).offered();
    show_text(json ? release_list_json(product, choices) : release_list_text(choices), has_console);
    return {};
  } catch (const std::exception& failure) {
    return {RunEnd::failed, failure.what(), {}};
  }
}

RunResult install(const Settings& settings, const LauncherOptions& options) {
  // The windows where they can be shown, else the terminal; nothing at all
  // with --quiet.
  std::unique_ptr<platform::Ui> ui;
  bool windows = false;
  if (!options.quiet) {
    ui = platform::make_window_ui();
    windows = ui != nullptr;
    if (!windows) ui = make_terminal_ui();
  }
  Answers answers = option_answers(options, ui.get());
  // Someone is watching the windows: a failure is shown there too.
  if (windows && options.asks_questions()) answers.show_failure = user_answers(*ui, settings.matrix_url).show_failure;
  return run_launcher(settings, answers);
}

void report(const RunResult& result, const std::string& program) {
  switch (result.end) {
    case RunEnd::done:
      return;
    case RunEnd::failed:
      return platform::write_standard_error(program + ": " + result.message + "\n" + program +
                                            ": the log is " + utf8_from_wide(log_file_path()) + "\n");
    case RunEnd::bad_usage:
      return platform::write_standard_error(program + ": " + result.message + "\n");
    case RunEnd::cancelled:
      return platform::write_standard_error(program + ": cancelled\n");
  }
}

}  // namespace

int command_line_main(const Settings& settings, const std::vector<std::wstring>& arguments) {
  const bool has_console = platform::connect_standard_streams();
  const std::string program = program_name();
  const auto parsed = parse_command_line(arguments);
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    report({RunEnd::bad_usage, error->message + "\nTry " + program + " --help", {}}, program);
    return exit_code({RunEnd::bad_usage, {}, {}});
  }
  const LauncherOptions& options = std::get<LauncherOptions>(parsed);
  RunResult result;
  if (options.help) {
    const bool windows_paths = platform::path_separator() == L'\\';
    show_text(usage_text(program, windows_paths ? "C:\\Setups" : "/opt/setups"), has_console);
  } else if (options.version) {
    show_text(version_text(settings), has_console);
  } else if (options.list) {
    result = list_releases(settings, options.json, has_console);
  } else {
    result = install(settings, options);
  }
  report(result, program);
  return exit_code(result);
}

int program_main(const std::vector<std::wstring>& arguments) {
  platform::initialise_process();
  const Settings settings = settings_from_build();
  if (!arguments.empty()) return command_line_main(settings, arguments);
  const std::unique_ptr<platform::Ui> ui = make_user_interface();
  return launcher_main(settings, *ui);
}
