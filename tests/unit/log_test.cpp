#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/zip_fixture.h"
#include "support/exceptions.h"
#include "platform/system.h"
#include "support/log.h"

namespace fs = std::filesystem;

namespace {

bool is_posix() { return platform::path_separator() == L'/'; }

TEST(Log, LineFormatAndUtf8) {
  LogCapture log;
  write_log("abc", 42, "setuplauncher");
  write_log_wide(L"Gr\u00fc\u00dfe", 7, "extractionprogress");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"setuplauncher(42): abc", "extractionprogress(7): Gr\xc3\xbc\xc3\x9f" "e"}));
  // Each line ends in the platform's line end, nothing else.
  const std::string text = log.text();
  const std::string line_end = platform::path_separator() == L'\\' ? "\r\n" : "\n";
  EXPECT_EQ(text.substr(text.size() - line_end.size()), line_end);
}

TEST(Log, OversizedLogIsRemovedButNotOneAtTheLimit) {
  TempDir dir;
  const auto at_limit = dir.path() / "at-limit.log";
  const auto over_limit = dir.path() / "over-limit.log";
  write_file(at_limit, "");
  write_file(over_limit, "");
  std::filesystem::resize_file(at_limit, kLogSizeLimit);
  std::filesystem::resize_file(over_limit, kLogSizeLimit + 1);
  remove_oversized_log(at_limit.wstring());
  remove_oversized_log(over_limit.wstring());
  remove_oversized_log((dir.path() / "missing.log").wstring());
  EXPECT_TRUE(std::filesystem::exists(at_limit));
  EXPECT_FALSE(std::filesystem::exists(over_limit));
}

// The temporary folder may be shared (/tmp): another user may have put
// something under the log's name before the launcher runs.
TEST(Log, NeverWritesThroughWhatOthersPlantedAndKeepsItsOwnPrivate) {
  LogCapture log;
  const fs::path path = fs_path_of(log_file_path());
  TempDir elsewhere;
  const fs::path victim = elsewhere.path() / "victim.txt";
  write_file(victim, "victim\n");
  const auto log_line = [] { write_log("a line", 1, "setuplauncher"); };

  std::error_code ec;
  fs::create_symlink(victim, path, ec);
  if (!ec) {
    SCOPED_TRACE("a link");
    log_line();
    EXPECT_TRUE(fs::is_symlink(path));
    fs::remove(path);
  }
  {
    SCOPED_TRACE("a second name of another file");
    fs::create_hard_link(victim, path);
    log_line();
    fs::remove(path);
  }
  EXPECT_EQ(read_file(victim), "victim\n");
  {
    SCOPED_TRACE("a folder");
    fs::create_directory(path);
    log_line();
    fs::remove(path);
  }
  if (!is_posix()) return;
  {
    SCOPED_TRACE("another user's file");
    write_file(path, "");
    ASSERT_TRUE(run_command("chown 54321 '" + path.string() + "'")) << "the tests run as root";
    log_line();
    EXPECT_EQ(fs::file_size(path), 0u);
    fs::remove(path);
  }
  {
    SCOPED_TRACE("a log of our own, made or found readable by others");
    log_line();
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(path, fs::perms(0644));
    log_line();
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"setuplauncher(1): a line", "setuplauncher(1): a line"}));
  }
}

TEST(Log, StageTimerWritesWholeSecondsAlsoWhenLeftByAnException) {
  EXPECT_EQ(elapsed_seconds_line(L"downloadSetup", 1000, 2999), L"downloadSetup: elapsed seconds: 1");
  EXPECT_EQ(elapsed_seconds_line(L"extract", 5, 5), L"extract: elapsed seconds: 0");

  LogCapture log;
  try {
    StageTimer timer(L"downloadSetup", 12, "netrelease_functions");
    throw_logged(DownloadException("strProduct is empty"), 13, "netrelease_functions");
  } catch (const DownloadException&) {
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "netrelease_functions(13): throwing DownloadException(strProduct is empty)",
                             "netrelease_functions(12): downloadSetup: elapsed seconds: 0"}));
}

TEST(Exceptions, ThrowLoggedWritesOneLineAndThrowsTheSameText) {
  LogCapture log;
  try {
    throw_logged(ZipException("Cannot open arc file"), 99, "netrelease_functions");
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot open arc file");
  }
  try {
    throw_logged(AbortException{}, 5, "versionselectiondlg");
    FAIL();
  } catch (const AbortException&) {
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"netrelease_functions(99): throwing ZipException(Cannot open arc file)",
                                                   "versionselectiondlg(5): throwing AbortException"}));
}

TEST(Exceptions, MessagesAreOwnedCopiesInUtf8) {
  std::string source = "Hash mismatch for downloaded file!";
  DownloadException original(source);
  source.assign(source.size(), 'x');
  const DownloadException copy = original;
  EXPECT_STREQ(copy.what(), "Hash mismatch for downloaded file!");

  const ProcessException process(L"Verzeichnis f\u00fcr \u00c4nderungen");
  EXPECT_STREQ(process.what(), "Verzeichnis f\xc3\xbcr \xc3\x84nderungen");
}

}  // namespace
