// The question for the installation language: German or English, with the
// user's interface language preselected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kLanguageGerman = 1;
inline constexpr int kLanguageEnglish = 2;

// Primary language of a Windows language id (the low 10 bits); German is 7.
bool is_german_ui_language(std::uint16_t language_id);
// The interface language of a POSIX locale, as a Windows language id: the
// first set of LC_ALL, LC_MESSAGES and LANG decides; German (0x0407) for
// "de..." names, English (0x0409) for everything else, "C" included.
std::uint16_t ui_language_from_locale(const char* lc_all, const char* lc_messages, const char* lang);
// The code preselected for an interface language.
int initial_language_code(std::uint16_t language_id);
// The list shown, in order: "Deutsch", "English".
const std::vector<std::wstring>& language_entries();
// The code for a list index the user confirmed.
int language_code_for_index(int index);

// Shows the dialog; returns the code chosen with OK. Throws AbortException
// (after its log line) on any other end.
int choose_language();
