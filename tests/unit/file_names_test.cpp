#include <gtest/gtest.h>

#include "support/names.h"

TEST(SafeFileName, AcceptsOrdinaryNames) {
  for (const char* name : {"setup.zip", "4.2.1", "Setup Brelvant 4.2 (x64).zip", "a", ".hidden",
                           "console.zip", "COM0", "LPT10", "grüße.zip", "a..b"}) {
    EXPECT_TRUE(is_safe_file_name(std::string(name))) << name;
  }
}

TEST(SafeFileName, RefusesNamesThatLeaveTheFolderOrBreakOnWindows) {
  for (const char* name : {"", ".", "..", "../x", "..\\x", "a/b", "a\\b", "/etc", "\\\\server\\share", "C:",
                           "C:x.zip", "D:\\x", "x.zip:stream", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b",
                           "tab\there", "line\nend", "trailing.", "trailing ", "CON", "con.zip", "Nul",
                           "aux.tar.gz", "COM1", "lpt9.txt", "PRN ", "CONIN$"}) {
    EXPECT_FALSE(is_safe_file_name(std::string(name))) << name;
  }
  EXPECT_FALSE(is_safe_file_name(std::string("a\0/../b", 7)));
}
