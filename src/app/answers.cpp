#include "app/answers.h"

#include "app/setuplauncher.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/text.h"
#include "telemetry/telemetry_record.h"
#include "ui/extractionprogress.h"
#include "ui/languageselectiondlg.h"

namespace {

constexpr char kCurrentKey[] = "current";

// The release, download-only choice and destination from the options; the
// version question is asked only for what they leave open, and only when
// questions may be asked.
VersionChoice version_from_options(const LauncherOptions& options, platform::Ui* ui,
                                   const std::vector<ReleaseChoice>& choices) {
  std::vector<ReleaseChoice> offered = choices;
  if (options.release) offered = {offered_release(choices, *options.release)};
  const std::wstring destination =
      options.destination ? platform::absolute_path(*options.destination) : platform::downloads_folder();

  VersionChoice choice;
  if (ui && options.asks_questions() && !(options.release && options.destination)) {
    choice = choose_version(*ui, offered, destination);
  } else {
    if (destination.empty()) throw UsageError{"--destination is needed: this machine has no Downloads folder"};
    choice = {offered.front().key, false, as_folder_path(destination)};
  }
  choice.download_only = choice.download_only || options.download_only;
  return choice;
}

}  // namespace

Answers user_answers(platform::Ui& ui, const std::string& matrix_url) {
  Answers answers;
  answers.offer_product_matrix = [&ui, matrix_url](const std::wstring& product) {
    offer_product_matrix(ui, product, matrix_url);
  };
  answers.choose_version = [&ui](const std::vector<ReleaseChoice>& choices) { return choose_version(ui, choices); };
  answers.progress = progress_windows(ui);
  answers.start = [&ui](const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                        const ExtractedFiles& extracted) {
    run_start_command(commands, setup_folder, extracted, [&ui] { return choose_language_code(ui); });
    return RunResult{};
  };
  answers.show_failure = [&ui](const std::string& message) { ui.show_message(message, L"Setup launcher"); };
  return answers;
}

Answers option_answers(const LauncherOptions& options, platform::Ui* ui) {
  Answers answers;
  // Options are given for a reason: the product-matrix question never comes.
  answers.offer_product_matrix = [](const std::wstring&) {};
  answers.choose_version = [options, ui](const std::vector<ReleaseChoice>& choices) {
    return version_from_options(options, ui, choices);
  };
  answers.progress = ui && !options.quiet ? progress_windows(*ui) : no_progress();
  answers.start = [options, ui](const std::vector<StartCommand>& commands, const std::wstring& setup_folder,
                                const ExtractedFiles& extracted) {
    const LanguageQuestion language = [&options, ui] {
      if (options.language) return *options.language;
      return ui && options.asks_questions() ? choose_language_code(*ui) : preselected_language_code();
    };
    return start_with_options(find_setup_program(commands, setup_folder, extracted, language), options);
  };
  answers.show_failure = [](const std::string&) {};
  return answers;
}

const ReleaseChoice& offered_release(const std::vector<ReleaseChoice>& choices, const std::string& key) {
  if (!choices.empty() && key == kCurrentKey) return choices.front();
  for (const ReleaseChoice& choice : choices) {
    if (choice.key == key) return choice;
  }
  throw UsageError{"release \"" + printable(key) + "\" is not offered; the releases offered are:\n" +
                   release_list_text(choices)};
}

std::string release_list_text(const std::vector<ReleaseChoice>& choices) {
  std::size_t width = 0;
  for (const ReleaseChoice& choice : choices) width = std::max(width, printable(choice.key).size());
  std::string text;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    std::string key = printable(choices[i].key);
    key.resize(width, ' ');
    text += "  " + key + "  " + printable(choices[i].display) + (i == 0 ? "  (current)" : "") + "\n";
  }
  return text;
}

std::string release_list_json(const std::wstring& product, const std::vector<ReleaseChoice>& choices) {
  // Written by hand like the usage records: nlohmann's writer would add
  // kilobytes to a program whose size is limited.
  std::string text = "{\n  \"product\": " + json_quoted(utf8_from_wide(product)) + ",\n  \"releases\": [";
  for (std::size_t i = 0; i < choices.size(); ++i) {
    text += std::string(i == 0 ? "" : ",") + "\n    {\"key\": " + json_quoted(choices[i].key) +
            ", \"display\": " + json_quoted(choices[i].display) + ", \"current\": " + (i == 0 ? "true" : "false") +
            "}";
  }
  return text + (choices.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

RunResult start_with_options(const SetupProgram& program, const LauncherOptions& options) {
  switch (program.kind) {
    case SetupProgram::Kind::cancelled:
      return {RunEnd::cancelled, {}, {}};
    case SetupProgram::Kind::refused:
      return {RunEnd::failed, "The release's start command points outside its folder; nothing was started.", {}};
    case SetupProgram::Kind::replaced:
      return {RunEnd::failed, "The setup program is no longer the file that was unpacked; nothing was started.", {}};
    case SetupProgram::Kind::none:
      if (!options.quiet) launch_file(program.path, true);
      return {RunEnd::failed,
              "The release names no setup program for this machine; its files are in " + utf8_from_wide(program.path),
              {}};
    case SetupProgram::Kind::program:
      break;
  }
  if (!options.wait) {
    launch_file(program.path, true);
    return {};
  }
  const std::optional<int> code = hooks().run_and_wait(program.path);
  if (!code) return {RunEnd::failed, "Cannot start " + utf8_from_wide(program.path), {}};
  return {RunEnd::done, {}, code};
}
