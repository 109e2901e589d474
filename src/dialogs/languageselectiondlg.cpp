#include "dialogs/languageselectiondlg.h"

#include "core/exceptions.h"
#include "platform/ui.h"

namespace {
constexpr char kLogSource[] = "languageselectiondlg";
constexpr std::uint16_t kLangGerman = 7;
}  // namespace

bool is_german_ui_language(std::uint16_t language_id) { return (language_id & 0x3FF) == kLangGerman; }

std::uint16_t ui_language_from_locale(const char* lc_all, const char* lc_messages, const char* lang) {
  for (const char* name : {lc_all, lc_messages, lang}) {
    if (name == nullptr || *name == '\0') continue;
    return (name[0] == 'd' && name[1] == 'e') ? 0x0407 : 0x0409;
  }
  return 0x0409;
}

int initial_language_code(std::uint16_t language_id) {
  return is_german_ui_language(language_id) ? kLanguageGerman : kLanguageEnglish;
}

const std::vector<std::wstring>& language_entries() {
  static const std::vector<std::wstring> entries = {L"Deutsch", L"English"};
  return entries;
}

int language_code_for_index(int index) { return index == 0 ? kLanguageGerman : kLanguageEnglish; }

int choose_language() {
  const int initial = initial_language_code(platform::user_ui_language());
  const auto answer = ui().ask_language(language_entries(), initial == kLanguageGerman ? 0 : 1);
  if (!answer) throw_logged(AbortException{}, __LINE__, kLogSource);
  return language_code_for_index(*answer);
}
