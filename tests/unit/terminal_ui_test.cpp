// The terminal protocol: answers one per line, end of input or two invalid
// lines in a row cancel, prompts and progress on the output stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "common/temp_dir.h"
#include "support/exceptions.h"
#include "ui/languageselectiondlg.h"
#include "ui/terminal_ui.h"
#include "ui/versionselectiondlg.h"
#include "platform/text.h"
#include "support/files.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

platform::VersionQuestion three_releases(const std::wstring& destination) {
  platform::VersionQuestion question;
  question.entries = {L"7.2.0 (current)", L"7.1.4", L"6.9.1"};
  question.destination = destination;
  question.picker_title = L"Select Download Folder";
  return question;
}

const std::wstring kDownloads = to_native_separators(L"/home/user/Downloads/");

// A terminal whose input is the given text and whose output is kept.
class StreamTerminal : public platform::Terminal {
 public:
  explicit StreamTerminal(const std::string& input) : in(input) {}
  std::optional<std::string> read_line() override {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    return line;
  }
  void write(const std::string& text) override { out << text; }
  std::istringstream in;
  std::ostringstream out;
};

struct Terminal {
  explicit Terminal(const std::string& input, TerminalUiOptions options = {}) : streams(input), ui(streams, options) {}
  StreamTerminal streams;
  std::ostringstream& out = streams.out;
  TerminalUi ui;
};

// Output to a terminal: progress is one line, drawn again in place.
TerminalUiOptions redrawing() {
  TerminalUiOptions options;
  options.redraw_progress = true;
  return options;
}

struct VersionCase {
  const char* name;
  const char* input;
  bool answered;
  int index;
  bool download_only;
  std::wstring destination;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class TerminalVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(TerminalVersion, Answers) {
  const VersionCase& c = GetParam();
  Terminal terminal(c.input);
  const auto answer = terminal.ui.ask_version(three_releases(kDownloads));
  ASSERT_EQ(answer.has_value(), c.answered) << terminal.out.str();
  if (!answer) return;
  EXPECT_EQ(answer->selected_index, c.index);
  EXPECT_EQ(answer->download_only, c.download_only);
  EXPECT_EQ(answer->destination, c.destination);
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, TerminalVersion,
    ::testing::Values(
        VersionCase{"SecondDownloadOnlyDefaultFolder", "2\ny\n\n", true, 1, true, kDownloads},
        VersionCase{"AllPreselected", "\n\n\n", true, 0, false, kDownloads},
        VersionCase{"WindowsLineEnds", "3\r\nN\r\n\r\n", true, 2, false, kDownloads},
        VersionCase{"InvalidOnceIsAskedAgain", "0\n2\nmaybe\nn\n\n", true, 1, false, kDownloads},
        VersionCase{"InvalidTwiceCancels", "4\nx\n", false, 0, false, L""},
        VersionCase{"InvalidTwiceInLaterQuestionCancels", "1\nj\nja\n", false, 0, false, L""},
        VersionCase{"NoInputCancels", "", false, 0, false, L""},
        VersionCase{"EndOfInputBeforeDestinationCancels", "2\ny\n", false, 0, false, L""},
        VersionCase{"NumberOverflowIsInvalid", "99999999999999999999\n1234567890\n", false, 0, false, L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalVersionDialog, ShowsTheListAndDefaultAndEchoesPipedAnswers) {
  TerminalUiOptions options;
  options.echo_answers = true;
  Terminal terminal("2\ny\n\n", options);
  ASSERT_TRUE(terminal.ui.ask_version(three_releases(kDownloads)));
  const std::string shown = terminal.out.str();
  EXPECT_THAT(shown, HasSubstr("Select Version\n  1) 7.2.0 (current)\n  2) 7.1.4\n  3) 6.9.1\n"));
  EXPECT_THAT(shown, HasSubstr("Version [1]: 2\n"));
  EXPECT_THAT(shown, HasSubstr("Nur Download/Download only (y/n) [n]: y\n"));
  EXPECT_THAT(shown, HasSubstr("[" + utf8_from_wide(kDownloads) + "]"));
}

TEST(TerminalVersionDialog, TypedFolderIsTakenFromTheCurrentFolderAndShown) {
  // Without this, "2" typed for the destination became a folder "2" wherever
  // the launcher happened to run, and nobody was told.
  const std::wstring expected = as_folder_path((std::filesystem::current_path() / "2").wstring());
  Terminal terminal("1\nyes\n2\n");
  const auto answer = terminal.ui.ask_version(three_releases(kDownloads));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->destination, expected);
  EXPECT_TRUE(answer->download_only);
  EXPECT_THAT(terminal.out.str(), HasSubstr("Ordner/Folder: " + utf8_from_wide(expected) + "\n"));
}

TEST(TerminalVersionDialog, LockedListAcceptsOnlyTheFirst) {
  auto question = three_releases(kDownloads);
  question.entries.resize(1);
  question.locked = true;
  Terminal refused("2\n2\n");
  EXPECT_FALSE(refused.ui.ask_version(question));
  Terminal accepted("1\n\n\n");
  ASSERT_TRUE(accepted.ui.ask_version(question));
}

TEST(TerminalVersionDialog, WithoutADefaultFolderAnEmptyAnswerIsRefused) {
  Terminal refused("1\nn\n\n\n");
  EXPECT_FALSE(refused.ui.ask_version(three_releases(L"")));
  EXPECT_THAT(refused.out.str(), HasSubstr("Ziel/Destination: "));

  Terminal asked_again("1\nn\n\ndata\n");
  const auto answer = asked_again.ui.ask_version(three_releases(L""));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->destination, as_folder_path((std::filesystem::current_path() / "data").wstring()));
}

TEST(TerminalLanguageDialog, NumbersEmptyLineAndCancel) {
  const std::vector<std::wstring> entries = {L"Deutsch", L"English"};
  Terminal preselected("\n");
  EXPECT_EQ(preselected.ui.ask_language(entries, 1), 1);
  EXPECT_THAT(preselected.out.str(), HasSubstr("[2]: "));
  Terminal first("1\n");
  EXPECT_EQ(first.ui.ask_language(entries, 1), 0);
  Terminal invalid_twice("3\nde\n1\n");
  EXPECT_EQ(invalid_twice.ui.ask_language(entries, 0), std::nullopt);
  Terminal no_input("");
  EXPECT_EQ(no_input.ui.ask_language(entries, 0), std::nullopt);
}

TEST(TerminalYesNo, OnlyAnExplicitYesIsYes) {
  EXPECT_TRUE(Terminal("y\n").ui.ask_yes_no(L"Open?", L"Caption"));
  EXPECT_TRUE(Terminal("maybe\nY\n").ui.ask_yes_no(L"Open?", L"Caption"));
  EXPECT_FALSE(Terminal("\n").ui.ask_yes_no(L"Open?", L"Caption"));
  EXPECT_FALSE(Terminal("").ui.ask_yes_no(L"Open?", L"Caption"));
  EXPECT_FALSE(Terminal("maybe\nperhaps\ny\n").ui.ask_yes_no(L"Open?", L"Caption"));
}

TEST(TerminalMessages, BoxesNeedNoInputAndShowCaptionAndText) {
  Terminal terminal("y\n");
  terminal.ui.show_message("strProduct is empty", L"Setup launcher");
  EXPECT_EQ(terminal.out.str(), "Setup launcher: strProduct is empty\n");
  EXPECT_TRUE(terminal.ui.ask_yes_no(L"Open?", L"Caption")) << "the message consumed no input";
}

TEST(TerminalMessages, ControlCharactersFromOutsideNeverReachTheTerminal) {
  Terminal terminal("\n");
  terminal.ui.show_message("bad\x1b[2Jreply\nsecond line", L"Setup launcher");
  auto question = three_releases(kDownloads);
  question.entries[1] = L"7.1.4\x1b]0;title\a\nfake entry";
  terminal.ui.ask_version(question);
  const std::string shown = terminal.out.str();
  EXPECT_EQ(shown.find('\x1b'), std::string::npos);
  EXPECT_EQ(shown.find('\a'), std::string::npos);
  EXPECT_THAT(shown, HasSubstr("Setup launcher: bad?[2Jreply\nsecond line\n"));
  EXPECT_THAT(shown, HasSubstr("  2) 7.1.4?]0;title??fake entry\n"));
}

TEST(TerminalProgress, PlainOutputPrintsALinePerTenthAndStaysFullPastTheEnd) {
  Terminal terminal("");
  {
    auto window = terminal.ui.open_progress_window();
    window->set_caption(window->caption() + L" (extract)");
    window->set_range(4);
    for (int i = 0; i < 6; ++i) window->step();
  }
  EXPECT_EQ(terminal.out.str(),
            "Fortschritt / Progress (extract) [------------------------------] 0/4\n"
            "Fortschritt / Progress (extract) [#######-----------------------] 1/4\n"
            "Fortschritt / Progress (extract) [###############---------------] 2/4\n"
            "Fortschritt / Progress (extract) [######################--------] 3/4\n"
            "Fortschritt / Progress (extract) [##############################] 4/4\n");
}

TEST(TerminalProgress, OnATerminalOneLineIsRedrawnWithTheEstimate) {
  Terminal terminal("", redrawing());
  {
    auto window = terminal.ui.open_progress_window();
    window->set_range(2);
    window->step();
    window->set_caption(L"Fortschritt / Progress (ETA 00:01:00)");
    window->set_caption(L"Fortschritt / Progress");
    window->set_position(0);
    const std::string drawn = terminal.out.str();
    EXPECT_EQ(drawn.find('\n'), std::string::npos) << "one line until the window goes";
    EXPECT_THAT(drawn, HasSubstr("\rFortschritt / Progress (ETA 00:01:00) [###############---------------] 1/2"));
    // The shorter caption blanks out the estimate drawn before it.
    EXPECT_THAT(drawn, HasSubstr("\rFortschritt / Progress [###############---------------] 1/2" +
                                 std::string(std::wstring(L" (ETA 00:01:00)").size(), ' ') + "\r"));

    // With figures, the line fits 80 columns even with four-digit sizes and hours.
    window->show_figures({L"extract", 1023ull << 30, 1023ull << 30, 1023ull << 20, 4000000});
    const std::string with_figures = terminal.out.str();
    EXPECT_EQ(with_figures.find('\n'), std::string::npos);
    EXPECT_LT(with_figures.size() - with_figures.rfind('\r'), 80u) << with_figures;
    EXPECT_THAT(with_figures, HasSubstr("ETA 1111:06:40"));
  }
  EXPECT_EQ(terminal.out.str().back(), '\n');
}

TEST(TerminalProgress, WithFiguresPlainOutputShowsBytesRateAndEstimatePerTenth) {
  const platform::ProgressFigures steps[] = {
      {L"download", 1024, 4096, 0, 0},
      {L"download", 1100, 4096, 0, 0},  // still the second tenth: no line
      {L"download", 3 << 20, 4 << 20, 1536, 3661},
  };
  Terminal terminal("");
  {
    auto window = terminal.ui.open_progress_window();
    window->show_figures({L"download", 0, 4096, 0, 0});  // before the range: the first line has figures
    window->set_range(4);
    for (const auto& figures : steps) {
      window->step();
      window->show_figures(figures);
    }
  }
  EXPECT_EQ(terminal.out.str(),
            "download [------------] 0 B / 4.0 KiB\n"
            "download [###---------] 1.0 KiB / 4.0 KiB\n"
            "download [#########---] 3.0 MiB / 4.0 MiB  1.5 KiB/s  ETA 01:01:01\n");
}

// The whole way from the release list to the filled record, as a script
// drives it through standard input.
TEST(TerminalDrivesChooseVersion, SecondReleaseDownloadOnlyDefaultFolder) {
  StreamTerminal streams("2\ny\n\n");
  TerminalUi terminal(streams);
  VersionChoice choice;
  try {
    choice = choose_version(terminal, {{"7.2.0", "7.2.0 (current)"}, {"7.1.4", "7.1.4"}});
  } catch (const AbortException&) {
    // Only when this machine has no Downloads folder to offer as default.
  }
  if (choice.key.empty()) GTEST_SKIP() << "no default Downloads folder here";
  EXPECT_EQ(choice.key, "7.1.4");
  EXPECT_TRUE(choice.download_only);
  EXPECT_EQ(choice.destination, as_folder_path(platform::downloads_folder()));
}

TEST(TerminalDrivesChooseVersion, CancelThrowsAbort) {
  LogCapture log;
  StreamTerminal streams("2\n");
  TerminalUi terminal(streams);
  EXPECT_THROW(choose_version(terminal, {{"7.2.0", "7.2.0"}}), AbortException);
  EXPECT_THAT(log.text(), HasSubstr("throwing AbortException"));
}

}  // namespace
