#include "ui/languageselectiondlg.h"

#include "support/exceptions.h"
#include "platform/ui.h"

namespace {
constexpr char kLogSource[] = "languageselectiondlg";
constexpr std::uint16_t kLangGerman = 7;

std::string code_text(int language) { return language == kLanguageGerman ? "de" : "en"; }
}  // namespace

bool is_german_ui_language(std::uint16_t language_id) { return (language_id & 0x3FF) == kLangGerman; }

int initial_language_code(std::uint16_t language_id) {
  return is_german_ui_language(language_id) ? kLanguageGerman : kLanguageEnglish;
}

const std::vector<std::wstring>& language_entries() {
  static const std::vector<std::wstring> entries = {L"Deutsch", L"English"};
  return entries;
}

int language_code_for_index(int index) { return index == 0 ? kLanguageGerman : kLanguageEnglish; }

int choose_language(platform::Ui& ui) {
  const int initial = initial_language_code(platform::user_ui_language());
  const auto answer = ui.ask_language(language_entries(), initial == kLanguageGerman ? 0 : 1);
  if (!answer) throw_logged(AbortException{}, __LINE__, kLogSource);
  return language_code_for_index(*answer);
}

std::string choose_language_code(platform::Ui& ui) { return code_text(choose_language(ui)); }

std::string preselected_language_code() { return code_text(initial_language_code(platform::user_ui_language())); }
