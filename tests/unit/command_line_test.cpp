// The command line: each option and each mistake, the exit codes, and the
// answers the options give in place of the user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "app/answers.h"
#include "app/command_line.h"
#include "app/setuplauncher.h"
#include "common/scripted_ui.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/hooks.h"

using ::testing::HasSubstr;

namespace {

LauncherOptions parsed(const std::vector<std::wstring>& arguments) {
  auto result = parse_command_line(arguments);
  if (const auto* error = std::get_if<UsageError>(&result)) ADD_FAILURE() << error->message;
  return std::get_if<LauncherOptions>(&result) ? std::get<LauncherOptions>(result) : LauncherOptions{};
}

TEST(CommandLine, EachOption) {
  struct Case {
    std::vector<std::wstring> arguments;
    bool (*holds)(const LauncherOptions&);
  };
  const Case cases[] = {
      {{L"--help"}, [](const LauncherOptions& o) { return o.help; }},
      {{L"-h"}, [](const LauncherOptions& o) { return o.help; }},
      {{L"/?"}, [](const LauncherOptions& o) { return o.help; }},
      {{L"--version"}, [](const LauncherOptions& o) { return o.version; }},
      {{L"--list"}, [](const LauncherOptions& o) { return o.list && !o.json; }},
      {{L"--list", L"--json"}, [](const LauncherOptions& o) { return o.list && o.json; }},
      {{L"--release", L"2.0.0"}, [](const LauncherOptions& o) { return o.release == "2.0.0"; }},
      {{L"--release=current"}, [](const LauncherOptions& o) { return o.release == "current"; }},
      {{L"--destination", L"D:\\Setups"}, [](const LauncherOptions& o) { return o.destination == L"D:\\Setups"; }},
      {{L"--destination=a=b"}, [](const LauncherOptions& o) { return o.destination == L"a=b"; }},
      {{L"--download-only"}, [](const LauncherOptions& o) { return o.download_only && o.asks_questions(); }},
      {{L"--language", L"EN"}, [](const LauncherOptions& o) { return o.language == "en"; }},
      {{L"--language=de"}, [](const LauncherOptions& o) { return o.language == "de"; }},
      {{L"--passive"}, [](const LauncherOptions& o) { return o.passive && !o.quiet && !o.asks_questions(); }},
      {{L"/Passive"}, [](const LauncherOptions& o) { return o.passive; }},
      {{L"--quiet"}, [](const LauncherOptions& o) { return o.quiet && !o.asks_questions(); }},
      {{L"/QUIET"}, [](const LauncherOptions& o) { return o.quiet; }},
      {{L"--wait"}, [](const LauncherOptions& o) { return o.wait; }},
      {{L"--quiet", L"--passive", L"--wait"}, [](const LauncherOptions& o) { return o.quiet && o.passive && o.wait; }},
      // Help wins over combinations that would otherwise be refused.
      {{L"--version", L"--list", L"-h"}, [](const LauncherOptions& o) { return o.help; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8_from_wide(c.arguments.front()));
    EXPECT_TRUE(c.holds(parsed(c.arguments)));
  }
}

TEST(CommandLine, EachMistakeIsNamed) {
  struct Case {
    std::vector<std::wstring> arguments;
    const char* named;  // what the message must point at
  };
  const Case cases[] = {
      {{L"--bogus"}, "--bogus"},
      {{L"-x"}, "-x"},
      {{L"/x"}, "/x"},
      {{L"--"}, "--"},
      {{L"stray"}, "\"stray\""},
      {{L"--release"}, "--release"},
      {{L"--release="}, "--release"},
      {{L"--destination", L"--quiet"}, "--destination"},  // the folder was forgotten
      {{L"--quiet=1"}, "--quiet"},
      {{L"--language", L"fr"}, "\"fr\""},
      {{L"--release", L"a", L"--release=b"}, "--release"},
      {{L"--json"}, "--json"},
      {{L"--version", L"--list"}, "--version"},
      {{L"--list", L"--release", L"2.0.0"}, "--list"},
      {{L"--version", L"--quiet"}, "--version"},
      {{L"--wait", L"--download-only"}, "--wait"},
      {{L"--help", L"--bogus"}, "--bogus"},
      {{L"--bad\x1b[2J"}, "--bad?[2J"},  // a terminal never receives control characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8_from_wide(c.arguments.front()));
    const auto result = parse_command_line(c.arguments);
    ASSERT_TRUE(std::holds_alternative<UsageError>(result));
    EXPECT_THAT(std::get<UsageError>(result).message, HasSubstr(c.named));
  }
}

TEST(ExitCodes, FollowTheOutcome) {
  EXPECT_EQ(exit_code({RunEnd::done, {}, {}}), 0);
  EXPECT_EQ(exit_code({RunEnd::failed, "no index", {}}), 1);
  EXPECT_EQ(exit_code({RunEnd::bad_usage, "--bogus", {}}), 2);
  EXPECT_EQ(exit_code({RunEnd::cancelled, {}, {}}), 3);
  // Waited for: the setup program's own code, whatever it is.
  EXPECT_EQ(exit_code({RunEnd::done, {}, 7}), 7);
  EXPECT_EQ(exit_code({RunEnd::done, {}, 0}), 0);
  EXPECT_EQ(exit_code({RunEnd::done, {}, 1603}), 1603);
}

const std::vector<ReleaseChoice> kOffered = {{"2.1.0", "Release 2.1.0"}, {"1.0.0", "Release 1.0.0"}};

LauncherOptions quiet_with(std::optional<std::string> release, std::optional<std::wstring> destination) {
  LauncherOptions options;
  options.quiet = true;
  options.release = std::move(release);
  options.destination = std::move(destination);
  return options;
}

TEST(OptionAnswers, ReleaseAndDestinationWithoutQuestions) {
  const std::wstring setups = as_folder_path((std::filesystem::current_path() / "setups").wstring());
  const VersionChoice current = option_answers(quiet_with("current", L"setups"), nullptr).choose_version(kOffered);
  EXPECT_EQ(current.key, "2.1.0");
  EXPECT_EQ(current.destination, setups);
  EXPECT_FALSE(current.download_only);

  LauncherOptions older = quiet_with("1.0.0", L"setups");
  older.download_only = true;
  const VersionChoice chosen = option_answers(older, nullptr).choose_version(kOffered);
  EXPECT_EQ(chosen.key, "1.0.0");
  EXPECT_TRUE(chosen.download_only);

  // Nothing given: the current release, into the Downloads folder.
  if (platform::downloads_folder().empty()) GTEST_SKIP() << "no Downloads folder here";
  const VersionChoice defaults = option_answers(quiet_with({}, {}), nullptr).choose_version(kOffered);
  EXPECT_EQ(defaults.key, "2.1.0");
  EXPECT_EQ(defaults.destination, as_folder_path(platform::downloads_folder()));
}

TEST(OptionAnswers, AReleaseNotOfferedListsTheOffered) {
  // Also a release the index forbids choosing: it is not offered.
  try {
    option_answers(quiet_with("9.9.9", L"setups"), nullptr).choose_version(kOffered);
    FAIL() << "no usage error";
  } catch (const UsageError& error) {
    EXPECT_THAT(error.message, HasSubstr("9.9.9"));
    EXPECT_THAT(error.message, HasSubstr(release_list_text(kOffered)));
  }
}

TEST(OptionAnswers, WithQuestionsOnlyWhatTheOptionsLeaveOpenIsAsked) {
  ScriptedUi ui;
  LauncherOptions options;
  options.release = "1.0.0";
  options.download_only = true;
  ui.version_answers.push_back(choose(0, false, L"/chosen"));
  const VersionChoice choice = option_answers(options, &ui).choose_version(kOffered);
  ASSERT_EQ(ui.version_questions.size(), 1u);
  EXPECT_EQ(ui.version_questions[0].entries, std::vector<std::wstring>{L"Release 1.0.0"});
  EXPECT_TRUE(ui.version_questions[0].locked);
  EXPECT_EQ(choice.key, "1.0.0");
  EXPECT_TRUE(choice.download_only) << "the option holds even when the box is left empty";

  options.destination = L"setups";
  option_answers(options, &ui).choose_version(kOffered);
  EXPECT_EQ(ui.version_questions.size(), 1u) << "everything was given";
}

TEST(OptionAnswers, ReleaseListsMarkTheCurrentAndKeepTheTerminalSafe) {
  EXPECT_EQ(release_list_text({{"10.0.0", "Ten"}, {"9.0", "Nine\x1b[31m"}}),
            "  10.0.0  Ten  (current)\n"
            "  9.0     Nine?[31m\n");
  const auto json = nlohmann::json::parse(release_list_json(L"prod", kOffered));
  EXPECT_EQ(json["product"], "prod");
  ASSERT_EQ(json["releases"].size(), 2u);
  EXPECT_EQ(json["releases"][0]["key"], "2.1.0");
  EXPECT_EQ(json["releases"][0]["display"], "Release 2.1.0");
  EXPECT_EQ(json["releases"][0]["current"], true);
  EXPECT_EQ(json["releases"][1]["current"], false);
}

struct StartFixture : ::testing::Test {
  std::vector<std::wstring> opened;
  std::vector<std::wstring> waited_for;
  std::optional<int> exit_code_of_setup = 7;
  ScopedHook<std::function<void(const std::wstring&)>> open_hook{
      &Hooks::shell_open, [this](const std::wstring& target) { opened.push_back(target); }};
  ScopedHook<std::function<std::optional<int>(const std::wstring&)>> wait_hook{
      &Hooks::run_and_wait, [this](const std::wstring& program) {
        waited_for.push_back(program);
        return exit_code_of_setup;
      }};
};

TEST_F(StartFixture, WaitingGivesTheSetupProgramsExitCode) {
  LauncherOptions options;
  options.wait = true;
  const RunResult result = start_with_options({SetupProgram::Kind::program, L"/s/setup"}, options);
  EXPECT_EQ(exit_code(result), 7);
  EXPECT_EQ(waited_for, std::vector<std::wstring>{L"/s/setup"});
  EXPECT_TRUE(opened.empty());

  exit_code_of_setup.reset();  // it could not be started
  EXPECT_EQ(start_with_options({SetupProgram::Kind::program, L"/s/setup"}, options).end, RunEnd::failed);
}

TEST_F(StartFixture, WithoutWaitingTheProgramIsOpened) {
  const RunResult result = start_with_options({SetupProgram::Kind::program, L"/s/setup"}, LauncherOptions{});
  EXPECT_EQ(result.end, RunEnd::done);
  EXPECT_EQ(opened, std::vector<std::wstring>{L"/s/setup"});
  EXPECT_TRUE(waited_for.empty());
}

TEST_F(StartFixture, NothingStartedIsNoSuccess) {
  EXPECT_EQ(start_with_options({SetupProgram::Kind::cancelled, {}}, LauncherOptions{}).end, RunEnd::cancelled);
  EXPECT_EQ(start_with_options({SetupProgram::Kind::refused, {}}, LauncherOptions{}).end, RunEnd::failed);
  LauncherOptions waiting;
  waiting.wait = true;
  EXPECT_EQ(start_with_options({SetupProgram::Kind::replaced, {}}, waiting).end, RunEnd::failed);

  // No setup program for this machine: the folder is shown, except to nobody.
  const RunResult none = start_with_options({SetupProgram::Kind::none, L"/s/"}, LauncherOptions{});
  EXPECT_EQ(none.end, RunEnd::failed);
  EXPECT_THAT(none.message, HasSubstr("/s/"));
  EXPECT_EQ(opened, std::vector<std::wstring>{L"/s/"});
  start_with_options({SetupProgram::Kind::none, L"/s/"}, quiet_with({}, {}));
  EXPECT_EQ(opened.size(), 1u);
  EXPECT_TRUE(waited_for.empty());
}

TEST(VersionText, NamesVersionProductHostAndIndexCheck) {
  Settings settings;
  settings.launcher_version = 4;
  settings.product = L" brelvant-x64-sql ";
  settings.download.host = L"dl.example.invalid";
  settings.download.port = 8443;
  const std::string text = version_text(settings);
  EXPECT_THAT(text, HasSubstr(" 4\n"));
  EXPECT_THAT(text, HasSubstr("  brelvant-x64-sql\n"));
  EXPECT_THAT(text, HasSubstr("  dl.example.invalid:8443\n"));
  EXPECT_THAT(text, HasSubstr(verifies_release_index(settings) ? "  verified\n" : "  not verified\n"));
}

}  // namespace
