#include "archive/start_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/release_fixture.h"
#include "common/scripted_ui.h"
#include "ui/extractionprogress.h"
#include "support/exceptions.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/hooks.h"
#include "support/names.h"
#include "ui/languageselectiondlg.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

// Replaces the shell for the life of the object and remembers what it was given.
class RecordedLaunches {
 public:
  std::vector<std::wstring> opened;

 private:
  ScopedHook<std::function<void(const std::wstring&)>> hook_{
      &Hooks::shell_open, [this](const std::wstring& target) { opened.push_back(target); }};
};

bool contains_line(const std::vector<std::string>& lines, const std::string& source, const std::string& message) {
  for (const std::string& line : lines) {
    if (line.rfind(source + "(", 0) == 0 && line.size() >= message.size() &&
        line.compare(line.size() - message.size(), message.size(), message) == 0)
      return true;
  }
  return false;
}

}  // namespace

TEST(StartCommandChoice, SearchesInOrder) {
  struct Case {
    const char* name;
    std::vector<StartCommand> commands;
    bool is_64bit;
    std::optional<int> language_index;  // the answer, when the question must come
    std::string expected;
  };
  const std::vector<StartCommand> by_language = {
      {"de", "x64", "de64", ""}, {"en", "x64", "en64", ""}, {"de", "x86", "de32", ""}, {"en", "x86", "en32", ""}};
  const std::vector<Case> cases = {
      {"any any wins", {{"de", "x64", "de", ""}, {"*", "x64", "x64", ""}, {"*", "*", "all", "-q"}}, true, {}, "all"},
      {"64-bit pick", {{"*", "x86", "32", ""}, {"*", "x64", "64", ""}}, true, {}, "64"},
      {"32-bit pick", {{"*", "x86", "32", ""}, {"*", "x64", "64", ""}}, false, {}, "32"},
      {"German on 64-bit", by_language, true, 0, "de64"},
      {"English on 32-bit", by_language, false, 1, "en32"},
      {"first of equals", {{"*", "x64", "first", ""}, {"*", "x64", "second", ""}}, true, {}, "first"},
      {"values are case-sensitive", {{"*", "X64", "a", ""}, {"DE", "x64", "b", ""}, {"de", "X64", "c", ""}}, true, 0,
       ""},
      {"empty command is no match", {{"*", "*", "", ""}, {"*", "x64", "next", ""}}, true, {}, "next"},
      {"language with any bitness never matches", {{"de", "*", "de", ""}, {"en", "*", "en", ""}}, true, 1, ""},
      {"nothing at all", {}, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedUi ui;
    if (c.language_index) ui.language_answers.push_back(*c.language_index);
    EXPECT_EQ(choose_start_command(c.commands, c.is_64bit, [&ui] { return choose_language_code(ui); }).command,
              c.expected);
    EXPECT_EQ(ui.language_questions.size(), c.language_index ? 1u : 0u);
  }
}

TEST(StartCommandChoice, ArcconfigToleratesOddValues) {
  const auto commands = parse_arcconfig(
      R"({"startCommands":[{"language":"*","bitness":"*","command":"a.exe","arguments":"/q","x":1},)"
      R"({"language":7,"command":["b"]},"not an object"]})");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].arguments, "/q");
  EXPECT_EQ(commands[1].language, "");
  EXPECT_EQ(commands[1].command, "");
  EXPECT_TRUE(parse_arcconfig("[1,2]").empty());
  EXPECT_TRUE(parse_arcconfig(R"({"startCommands":{}})").empty());
}

class RunStartCommand : public ::testing::Test {
 protected:
  // The start commands, and a program at each of their paths that stays in
  // the setup folder, extracted.
  void write_release(const std::vector<StartCommand>& commands) {
    std::vector<Content> programs;
    for (const StartCommand& command : commands) {
      if (is_safe_relative_path(wide_from_utf8(command.command))) programs.push_back({"program", {command.command}});
    }
    std::vector<FixtureMember> members = release_members(programs);
    members.emplace_back("arcconfig.json", arcconfig_text(commands));
    fixture_.write_archive(make_zip(members));
    ASSERT_TRUE(fixture_.extract(no_progress()));
  }
  void start() {
    run_start_command(read_start_commands(archive_path(fixture_.release())), fixture_.setup_folder(), fixture_.extracted(),
                      [this] { return choose_language_code(ui_); });
  }
  std::wstring in_setup(const std::string& relative) const {
    return fixture_.setup_folder() + to_native_separators(std::wstring(relative.begin(), relative.end()));
  }

  ScriptedUi ui_;
  LogCapture log_;
  RecordedLaunches launches_;
  ReleaseFixture fixture_;
};

TEST_F(RunStartCommand, StartsTheChosenFileInTheSetupFolder) {
  write_release({{"*", "*", "sub/setup.exe", "/quiet"}});
  start();
  EXPECT_EQ(launches_.opened, std::vector<std::wstring>{in_setup("sub/setup.exe")});
  EXPECT_TRUE(ui_.language_questions.empty());
}

TEST_F(RunStartCommand, OpensTheSetupFolderWhenNothingMatches) {
  write_release({{"de", "*", "de.exe", ""}});
  ui_.language_answers.push_back(0);
  start();
  EXPECT_EQ(launches_.opened, std::vector<std::wstring>{fixture_.setup_folder()});
}

TEST_F(RunStartCommand, CancelledLanguageStartsNothing) {
  write_release({{"de", "x64", "de.exe", ""}, {"de", "x86", "de.exe", ""}});
  start();  // no answer: the user cancels
  EXPECT_TRUE(launches_.opened.empty());
  const auto lines = log_.lines();
  EXPECT_TRUE(contains_line(lines, "languageselectiondlg", "throwing AbortException"));
  EXPECT_TRUE(contains_line(lines, "netrelease_functions", "user abort"));
}

TEST_F(RunStartCommand, CommandOutsideTheSetupFolderStartsNothing) {
  for (const std::string command : {"../other/setup.exe", "/bin/sh", "C:\\Windows\\notepad.exe", "\\\\host\\s\\x.exe",
                                    "sub/../../x.exe", "setup.exe:stream", "CON"}) {
    SCOPED_TRACE(command);
    write_release({{"*", "*", command, ""}});
    start();
    EXPECT_TRUE(launches_.opened.empty());
    EXPECT_TRUE(contains_line(log_.lines(), "netrelease_functions",
                              "start command leaves the setup folder, nothing started: " + command));
  }
}

// Another user who can write where the setup folder lies swaps the program
// between its extraction and its start.
TEST_F(RunStartCommand, ProgramReplacedAfterTheExtractionIsNotStarted) {
  write_release({{"*", "*", "sub/setup.exe", ""}});
  const fs::path program = fixture_.setup_path("sub/setup.exe");
  write_file(fixture_.root() / "forged.exe", "forged");
  fs::rename(fixture_.root() / "forged.exe", program);
  start();
  EXPECT_TRUE(launches_.opened.empty());
  EXPECT_TRUE(contains_line(log_.lines(), "netrelease_functions",
                            "start command is not a file the extraction made, nothing started: sub/setup.exe"));

  // A link to the extracted program is not the program either.
  write_release({{"*", "*", "setup.exe", ""}});
  fs::rename(fixture_.setup_path("setup.exe"), fixture_.setup_path("moved.exe"));
  std::error_code ec;
  fs::create_symlink(fixture_.setup_path("moved.exe"), fixture_.setup_path("setup.exe"), ec);
  if (ec) return;
  start();
  EXPECT_TRUE(launches_.opened.empty());
}

TEST_F(RunStartCommand, UnreadableArchiveThrows) {
  EXPECT_THROW(start(), ZipException);
  EXPECT_TRUE(contains_line(log_.lines(), "netrelease_functions", "throwing ZipException(Cannot open arc file)"));
  EXPECT_TRUE(launches_.opened.empty());
}

TEST_F(RunStartCommand, RelativeLaunchIsTakenFromTheProgramFolder) {
  launch_file(L"setup.exe", false);
  ASSERT_EQ(launches_.opened.size(), 1u);
  EXPECT_EQ(launches_.opened[0], module_folder() + L"setup.exe");
}

// ---------------------------------------------------------------------------
// The setup program really starts (Linux: directly, in its own folder)
// ---------------------------------------------------------------------------

namespace {

const std::string kScript = "#!/bin/sh\npwd > started.txt\n";

// Waits for the started program's marker; the program runs detached, so
// there is nothing else to wait on.
bool wait_for(const fs::path& marker) {
  for (int i = 0; i < 600 && !fs::exists(marker); ++i) platform::sleep_ms(50);
  platform::sleep_ms(50);
  return fs::exists(marker);
}

// Writes the release's members as files (the script with its executable
// bit), ready for a packing tool.
fs::path stage_release(const fs::path& folder) {
  const fs::path stage = folder / "stage";
  write_file(stage / sha256_of(kScript), kScript);
  fs::permissions(stage / sha256_of(kScript), fs::perms(0755));
  write_file(stage / "arcinfo.json", arcinfo_of({{kScript, {"bin/setup.sh"}}}));
  write_file(stage / "arcconfig.json", arcconfig_text({{"*", "*", "bin/setup.sh", ""}}));
  return stage;
}

}  // namespace

class LaunchedSetup : public ::testing::TestWithParam<std::string> {};

TEST_P(LaunchedSetup, ExtractedScriptIsStartedInItsFolder) {
  if (!is_posix()) GTEST_SKIP() << "starts a shell script";
  ScriptedUi ui;
  ReleaseFixture fixture;
  const std::string packer = GetParam();
  if (packer == "own") {
    fixture.write_archive(make_zip({FixtureMember(sha256_of(kScript), kScript).mode(0100755u),
                                    {"arcinfo.json", arcinfo_of({{kScript, {"bin/setup.sh"}}})},
                                    {"arcconfig.json", arcconfig_text({{"*", "*", "bin/setup.sh", ""}})}}));
  } else if (packer == "zip") {
    if (!tool_available("zip -v")) GTEST_SKIP() << "zip is not available";
    const fs::path stage = stage_release(fixture.root());
    ASSERT_TRUE(run_command("cd '" + stage.string() + "' && zip -q -r '" + fixture.archive_file().string() + "' ."));
  } else {
    if (!tool_available("python3 --version")) GTEST_SKIP() << "python3 is not available";
    const fs::path stage = stage_release(fixture.root());
    ASSERT_TRUE(run_command("python3 -c \"import os,sys,zipfile\n"
                            "with zipfile.ZipFile(sys.argv[2],'w',zipfile.ZIP_DEFLATED) as z:\n"
                            "  for f in sorted(os.listdir(sys.argv[1])):\n"
                            "    z.write(os.path.join(sys.argv[1],f),f)\n\" '" +
                            stage.string() + "' '" + fixture.archive_file().string() + "'"));
  }

  ASSERT_TRUE(fixture.extract(progress_windows(ui)));
  run_start_command(read_start_commands(archive_path(fixture.release())), fixture.setup_folder(), fixture.extracted(),
                    [&ui] { return choose_language_code(ui); });
  const fs::path marker = fixture.setup_path("bin/started.txt");
  ASSERT_TRUE(wait_for(marker));
  std::string folder = read_file(marker);
  while (!folder.empty() && folder.back() == '\n') folder.pop_back();
  EXPECT_TRUE(fs::equivalent(folder, fixture.setup_path("bin")));
}

INSTANTIATE_TEST_SUITE_P(Packers, LaunchedSetup, ::testing::Values("own", "zip", "python"));
