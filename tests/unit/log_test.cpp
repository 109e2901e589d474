#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/exceptions.h"
#include "platform/system.h"
#include "support/log.h"

namespace {

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
