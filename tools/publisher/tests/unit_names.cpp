#include <gtest/gtest.h>

#include "blocks.h"
#include "formats/release_index.h"
#include "names.h"
#include "pack.h"
#include "publish_error.h"
#include "support/names.h"

using namespace publisher;

TEST(WindowsNames, RefusesWhatTheLauncherCannotCreate) {
  const char* const refused[] = {"",        ".",         "..",          "a/b",      "a\\b",     "c:",
                                 "C:file",  "a<b",       "a>b",         "a\"b",     "a|b",      "a?b",
                                 "a*b",     "tab\there", "trailing.",   "blank ",   "CON",      "con.txt",
                                 "Nul",     "COM1",      "lpt9.log",    "aux .x",   "\xff\xfe", "\xc0\xaf"};
  for (const char* name : refused) EXPECT_NE(windows_name_problem(name), "") << name;
  EXPECT_NE(windows_name_problem(std::string(256, 'a')), "");

  const char* const accepted[] = {"setup.exe", "a b.txt", "COM0", "CONSOLE", "lpt10", ".hidden", "ü-umlaut.txt",
                                  "com1x", "a..b"};
  for (const char* name : accepted) EXPECT_EQ(windows_name_problem(name), "") << name;
}

TEST(ReleaseKeys, AreDottedDecimalVersions) {
  for (const char* key : {"4", "4.2.1", "10.0.12"}) EXPECT_EQ(release_key_problem(key), "") << key;
  for (const char* key : {"", ".", "..", "4..2", "4.2.", ".4", "4.2/1", "..\\4", "C:4", "v4.2", "4.2 ", "4 .2",
                          "CON", "4.2-beta"}) {
    EXPECT_NE(release_key_problem(key), "") << key;
  }
}

TEST(ContainerNames, FollowTheBlobServiceRules) {
  for (const char* name : {"abc", "brelvant-x64-sql-v2", "a1-b2"}) EXPECT_EQ(container_name_problem(name), "") << name;
  for (const char* name : {"ab", "Abc", "a_b", "-ab", "ab-", "a--b", "a.b"}) {
    EXPECT_NE(container_name_problem(name), "") << name;
  }
  EXPECT_NE(container_name_problem(std::string(64, 'a')), "");

  EXPECT_EQ(container_safe("Brelvant-x64-SQL-4.2.1"), "brelvant-x64-sql-4-2-1");
  EXPECT_EQ(container_safe("--My  Product__1.0--"), "my-product-1-0");
  EXPECT_EQ(container_safe("a."), "");
  EXPECT_EQ(container_safe(std::string(70, 'x') + "-1").size(), 63u);
  EXPECT_EQ(container_name_problem(container_safe(std::string(62, 'x') + "-1")), "");
}

TEST(VersionNumbers, RankAsTheLauncherRanks) {
  EXPECT_EQ(parse_version("4.2.1"), 421);
  EXPECT_EQ(parse_version("1.10"), parse_version("2.0"));
  EXPECT_EQ(parse_version(""), 0);
  EXPECT_EQ(parse_version("4.2."), 42);
}

TEST(BlockSizes, AcceptCountsAndBinaryUnits) {
  EXPECT_EQ(parse_block_size("4194304"), 4194304u);
  EXPECT_EQ(parse_block_size("4M"), 4194304u);
  EXPECT_EQ(parse_block_size("4MiB"), 4194304u);
  EXPECT_EQ(parse_block_size("512K"), 524288u);
  EXPECT_EQ(parse_block_size("256M"), 256u << 20);
  for (const char* bad : {"", "0", "0M", "-1", "4 M", "4G", "4.5M", "abc", "257M", "268435457",
                          "99999999999999999999999"}) {
    EXPECT_THROW(parse_block_size(bad), PublishError) << bad;
  }
}

TEST(StartCommands, ParseFromTheCommandLine) {
  const StartCommand plain = parse_start_command("*:*:setup.exe");
  EXPECT_EQ(plain.language, "*");
  EXPECT_EQ(plain.bitness, "*");
  EXPECT_EQ(plain.command, "setup.exe");
  EXPECT_EQ(plain.arguments, "");

  const StartCommand with_arguments = parse_start_command("de:x64:bin/setup64.exe:/lang=de /log:C:\\x.log");
  EXPECT_EQ(with_arguments.command, "bin/setup64.exe");
  EXPECT_EQ(with_arguments.arguments, "/lang=de /log:C:\\x.log");

  for (const char* bad : {"", "setup.exe", "*:setup.exe", "fr:*:setup.exe", "*:arm64:setup.exe", "*:*:", "DE:x64:a",
                          "*:X64:a"}) {
    EXPECT_THROW(parse_start_command(bad), PublishError) << bad;
  }
}

TEST(StartCommands, ParseFromFiles) {
  const auto from_lines = parse_start_file("# setup programs\n\nde:x64:de/setup.exe\r\n  en:x86:en/setup.exe:/q\n");
  ASSERT_EQ(from_lines.size(), 2u);
  EXPECT_EQ(from_lines[0].command, "de/setup.exe");
  EXPECT_EQ(from_lines[1].arguments, "/q");

  const auto from_object = parse_start_file(
      R"({"startCommands": [{"language": "*", "bitness": "x64", "command": "a.exe"},
                             {"language": "en", "bitness": "*", "command": "b.exe", "arguments": "-x"}]})");
  ASSERT_EQ(from_object.size(), 2u);
  EXPECT_EQ(from_object[0].bitness, "x64");
  EXPECT_EQ(from_object[0].arguments, "");
  EXPECT_EQ(from_object[1].arguments, "-x");

  EXPECT_EQ(parse_start_file(R"([{"language": "*", "bitness": "*", "command": "a.exe"}])").size(), 1u);
  for (const char* bad : {"{", R"({"startCommands": 3})", R"([{"language": 1, "bitness": "*", "command": "a"}])",
                          R"([{"language": "*", "bitness": "*"}])", "*:*"}) {
    EXPECT_THROW(parse_start_file(bad), PublishError) << bad;
  }
}
