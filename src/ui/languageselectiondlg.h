// The question for the installation language: German or English, with the
// user's interface language preselected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui.h"

inline constexpr int kLanguageGerman = 1;
inline constexpr int kLanguageEnglish = 2;

// Primary language of a Windows language id (the low 10 bits); German is 7.
bool is_german_ui_language(std::uint16_t language_id);
// The code preselected for an interface language.
int initial_language_code(std::uint16_t language_id);
// The list shown, in order: "Deutsch", "English".
const std::vector<std::wstring>& language_entries();
// The code for a list index the user confirmed.
int language_code_for_index(int index);

// Shows the dialog; returns the code chosen with OK. Throws AbortException
// (after its log line) on any other end.
int choose_language(platform::Ui& ui);
// The same as the code the start commands use: "de" or "en".
std::string choose_language_code(platform::Ui& ui);
// The code the question preselects, for a run that asks nothing.
std::string preselected_language_code();
