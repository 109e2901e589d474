#include "ui/versionselectiondlg.h"

#include "support/exceptions.h"
#include "platform/text.h"
#include "support/files.h"

namespace {
constexpr char kLogSource[] = "versionselectiondlg";
constexpr std::uint16_t kLangGerman = 7;
}  // namespace

std::wstring folder_picker_title(std::uint16_t language_id) {
  return (language_id & 0x3FF) == kLangGerman ? L"Download Ordner auswählen" : L"Select Download Folder";
}

std::wstring folder_picker_title() { return folder_picker_title(platform::user_ui_language()); }

platform::VersionQuestion version_question(const std::vector<ReleaseChoice>& choices,
                                           const std::wstring& downloads, std::uint16_t language_id) {
  platform::VersionQuestion question;
  for (const ReleaseChoice& choice : choices) question.entries.push_back(wide_from_utf8(choice.display));
  question.locked = choices.size() < 2;
  question.destination = as_folder_path(downloads);
  question.picker_title = folder_picker_title(language_id);
  return question;
}

std::size_t chosen_index(int selected_index, std::size_t choice_count) {
  if (selected_index < 0 || static_cast<std::size_t>(selected_index) >= choice_count) return 0;
  return static_cast<std::size_t>(selected_index);
}

bool destination_accepted(const std::wstring& destination) { return !destination.empty(); }

VersionChoice choose_version(platform::Ui& ui, const std::vector<ReleaseChoice>& choices) {
  return choose_version(ui, choices, platform::downloads_folder());
}

VersionChoice choose_version(platform::Ui& ui, const std::vector<ReleaseChoice>& choices,
                             const std::wstring& destination) {
  const auto question = version_question(choices, destination, platform::user_ui_language());
  const auto answer = ui.ask_version(question);
  // The windows refuse OK without a destination; an answer without one is
  // treated as no answer, never as "the current folder".
  if (!answer || choices.empty() || !destination_accepted(answer->destination)) {
    throw_logged(AbortException{}, __LINE__, kLogSource);
  }
  return {choices[chosen_index(answer->selected_index, choices.size())].key, answer->download_only,
          as_folder_path(answer->destination)};
}
