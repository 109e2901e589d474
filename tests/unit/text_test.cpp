#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

TEST(Text, RoundTripsIncludingCharactersBeyondTheBasicPlane) {
  const std::string gruesse = "Gr\xc3\xbc\xc3\x9f" "e";
  EXPECT_EQ(utf8_from_wide(L"Gr\u00fc\u00dfe"), gruesse);
  EXPECT_EQ(wide_from_utf8(gruesse), L"Gr\u00fc\u00dfe");
  EXPECT_EQ(wide_from_utf8(gruesse).size(), 5u);

  const std::string grin = "\xf0\x9f\x98\x80";  // U+1F600
  EXPECT_EQ(utf8_from_wide(wide_from_utf8(grin)), grin);
  EXPECT_EQ(utf8_from_wide(wide_from_utf8("x" + grin + "y")), "x" + grin + "y");
}

TEST(Text, EmptyAndEmbeddedZero) {
  EXPECT_EQ(utf8_from_wide(L""), "");
  EXPECT_EQ(wide_from_utf8(""), L"");
  EXPECT_EQ(utf8_from_wide(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(wide_from_utf8(std::string("ab\0cd", 5)), L"ab");
}

TEST(Text, IllFormedUtf8BecomesReplacementCharacters) {
  const std::wstring r = L"\ufffd";
  EXPECT_EQ(wide_from_utf8("a\xff" "b"), L"a" + r + L"b");            // invalid byte
  EXPECT_EQ(wide_from_utf8("a\xc3"), L"a" + r);                        // cut-off sequence
  EXPECT_EQ(wide_from_utf8("\xc0\xaf"), r + r);                        // overlong form
  EXPECT_EQ(wide_from_utf8("\xed\xa0\x80" "z").back(), L'z');          // encoded surrogate
  EXPECT_NE(wide_from_utf8("\xed\xa0\x80").find(r), std::wstring::npos);
  EXPECT_EQ(utf8_from_wide(wide_from_utf8("\xf4\x90\x80\x80")).find("\xf4\x90"), std::string::npos);  // > U+10FFFF
}

}  // namespace
