// What the version and language dialogs show and what their answers yield,
// with a scripted user in place of the windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/scripted_ui.h"
#include "common/temp_dir.h"
#include "support/exceptions.h"
#include "ui/languageselectiondlg.h"
#include "ui/versionselectiondlg.h"
#include "platform/system.h"
#include "support/files.h"
#include "support/machine_text.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

namespace {

const std::vector<ReleaseChoice> kThreeReleases = {
    {"7.2.0", "7.2.0 (current)"}, {"7.1.4", "7.1.4"}, {"6.9.1", "6.9.1 (LTS)"}};

bool logged_abort(const LogCapture& log, const std::string& source) {
  for (const std::string& line : log.lines()) {
    if (line.rfind(source + "(", 0) == 0 && line.find("): throwing AbortException") != std::string::npos) return true;
  }
  return false;
}

struct LanguageIdCase {
  std::uint16_t id;
  bool german;
};

void PrintTo(const LanguageIdCase& c, std::ostream* os) { *os << "0x" << std::hex << c.id; }

class InterfaceLanguage : public ::testing::TestWithParam<LanguageIdCase> {};

TEST_P(InterfaceLanguage, GermanInEveryRegionPicksGermanTextsAndCode) {
  const auto [id, german] = GetParam();
  EXPECT_EQ(initial_language_code(id), german ? kLanguageGerman : kLanguageEnglish) << std::hex << id;
  EXPECT_EQ(folder_picker_title(id), german ? L"Download Ordner auswählen" : L"Select Download Folder");
  EXPECT_EQ(version_question({}, L"", id).picker_title, folder_picker_title(id));
}

INSTANTIATE_TEST_SUITE_P(Ids, InterfaceLanguage,
                         ::testing::Values(LanguageIdCase{0x0407, true},   // Germany
                                           LanguageIdCase{0x0C07, true},   // Austria
                                           LanguageIdCase{0x0807, true},   // Switzerland
                                           LanguageIdCase{0x1407, true},   // Liechtenstein
                                           LanguageIdCase{0x0007, true},   // neutral German
                                           LanguageIdCase{0x0409, false},  // English (US)
                                           LanguageIdCase{0x0809, false},  // English (UK)
                                           LanguageIdCase{0x040C, false},  // French
                                           LanguageIdCase{0x0413, false},  // Dutch
                                           LanguageIdCase{0x0000, false},
                                           // Primary language is the low 10 bits, not the low byte.
                                           LanguageIdCase{0x0507, false}, LanguageIdCase{0x0307, false}));

TEST(InterfaceLanguageFromLocale, FirstSetVariableDecides) {
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, "de_DE.UTF-8"), 0x0407);
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, "de_AT"), 0x0407);
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, "en_GB.UTF-8"), 0x0409);
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, "C.UTF-8"), 0x0409);
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, nullptr), 0x0409);
  EXPECT_EQ(ui_language_from_locale("", "", "de_CH"), 0x0407) << "empty variables count as unset";
  EXPECT_EQ(ui_language_from_locale("en_US.UTF-8", "de_DE", "de_DE"), 0x0409) << "LC_ALL overrides";
  EXPECT_EQ(ui_language_from_locale(nullptr, "de_DE", "en_US"), 0x0407) << "LC_MESSAGES overrides LANG";
  EXPECT_EQ(ui_language_from_locale(nullptr, nullptr, "d"), 0x0409);
}

TEST(VersionQuestion, ShowsDisplayTextsInOrderAndLocksASingleRelease) {
  const auto several = version_question(kThreeReleases, L"", 0x0409);
  EXPECT_THAT(several.entries, ElementsAre(L"7.2.0 (current)", L"7.1.4", L"6.9.1 (LTS)"));
  EXPECT_FALSE(several.locked);

  const auto one = version_question({{"7.2.0", "7.2.0 (current)"}}, L"", 0x0409);
  EXPECT_THAT(one.entries, ElementsAre(L"7.2.0 (current)"));
  EXPECT_TRUE(one.locked);

  const auto utf8 = version_question({{"k", "Vorschau \xC3\xBC"}}, L"", 0x0409);
  EXPECT_THAT(utf8.entries, ElementsAre(L"Vorschau \u00FC"));
}

TEST(VersionQuestion, DownloadsFolderIsShownWithItsSeparator) {
  const std::wstring downloads = to_native_separators(L"/home/user/Downloads");
  EXPECT_EQ(version_question(kThreeReleases, downloads, 0x0409).destination, downloads + platform::path_separator());
  EXPECT_EQ(version_question(kThreeReleases, downloads + platform::path_separator(), 0x0409).destination,
            downloads + platform::path_separator());
  EXPECT_EQ(version_question(kThreeReleases, L"", 0x0409).destination, L"") << "unknown Downloads folder";
}

TEST(ChosenIndex, NoSelectionOrOneOutOfRangeMeansThePreselectedFirst) {
  EXPECT_EQ(chosen_index(2, 3), 2u);
  EXPECT_EQ(chosen_index(0, 1), 0u);
  EXPECT_EQ(chosen_index(-1, 3), 0u);
  EXPECT_EQ(chosen_index(3, 3), 0u);
  EXPECT_EQ(chosen_index(-7, 1), 0u);
}

TEST(ChooseVersion, OkYieldsTheKeyAndFillsTheRecord) {
  ScriptedUi ui;
  ui.version_answers.push_back(choose(2, true, to_native_separators(L"/srv/setups/")));

  const VersionChoice choice = choose_version(ui, kThreeReleases);
  EXPECT_EQ(choice.key, "6.9.1") << "the key, not the display text";
  EXPECT_TRUE(choice.download_only);
  EXPECT_EQ(choice.destination, to_native_separators(L"/srv/setups/"));
  ASSERT_EQ(ui.version_questions.size(), 1u);
  EXPECT_THAT(ui.version_questions[0].entries, ElementsAre(L"7.2.0 (current)", L"7.1.4", L"6.9.1 (LTS)"));
}

TEST(ChooseVersion, UntickedBoxAndAFolderWithoutSeparator) {
  ScriptedUi ui;
  ui.version_answers.push_back(choose(1, false, to_native_separators(L"/srv/setups")));

  const VersionChoice choice = choose_version(ui, kThreeReleases);
  EXPECT_EQ(choice.key, "7.1.4");
  EXPECT_FALSE(choice.download_only);
  EXPECT_EQ(choice.destination, to_native_separators(L"/srv/setups/"));
}

TEST(ChooseVersion, ABoxWithoutSelectionYieldsThePreselectedRelease) {
  ScriptedUi ui;
  ui.version_answers.push_back(choose(-1, false, to_native_separators(L"/srv/")));
  EXPECT_EQ(choose_version(ui, kThreeReleases).key, "7.2.0");
}

TEST(ChooseVersion, CancelThrowsAbortAfterItsLogLine) {
  LogCapture log;
  ScriptedUi ui;  // no answer scripted: the user cancels
  EXPECT_THROW(choose_version(ui, kThreeReleases), AbortException);
  EXPECT_TRUE(logged_abort(log, "versionselectiondlg")) << log.text();
}

TEST(ChooseVersion, AnEmptyDestinationIsNeverAccepted) {
  LogCapture log;
  ScriptedUi ui;
  ui.version_answers.push_back(choose(0, true, L""));
  EXPECT_THROW(choose_version(ui, kThreeReleases), AbortException);
  EXPECT_TRUE(logged_abort(log, "versionselectiondlg"));
}

TEST(ChooseVersion, QuestionCarriesThePickerTitleAndANormalisedDefault) {
  ScriptedUi ui;
  EXPECT_THROW(choose_version(ui, kThreeReleases), AbortException);
  ASSERT_EQ(ui.version_questions.size(), 1u);
  const auto& question = ui.version_questions[0];
  EXPECT_EQ(question.picker_title, folder_picker_title());
  if (!question.destination.empty()) {
    EXPECT_EQ(question.destination, as_folder_path(question.destination));
  }
}

TEST(ChooseLanguage, AnswersMapToCodes) {
  ScriptedUi ui;
  ui.language_answers = {0, 1, -1};
  EXPECT_EQ(choose_language(ui), kLanguageGerman);
  EXPECT_EQ(choose_language(ui), kLanguageEnglish);
  EXPECT_EQ(choose_language(ui), kLanguageEnglish) << "no selection counts as English";
  ASSERT_EQ(ui.language_questions.size(), 3u);
  EXPECT_THAT(ui.language_questions[0].first, ElementsAre(L"Deutsch", L"English"));
  const int preselected = ui.language_questions[0].second;
  EXPECT_EQ(language_code_for_index(preselected), initial_language_code(platform::user_ui_language()));
}

TEST(ChooseLanguage, CancelThrowsAbortAfterItsLogLine) {
  LogCapture log;
  ScriptedUi ui;
  EXPECT_THROW(choose_language(ui), AbortException);
  EXPECT_TRUE(logged_abort(log, "languageselectiondlg")) << log.text();
}

}  // namespace
