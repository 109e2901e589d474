#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/hashing.h"

namespace {

std::string unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

TEST(Hashing, KnownDigestsOfBuffers) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hash_buffer("", L"SHA256", true), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash_buffer("abc", L"SHA256", true), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash_buffer("abc", L"SHA256", false).size(), 32u);
}

TEST(Hashing, UnknownAlgorithmGivesEmptyText) {
  EXPECT_EQ(hash_buffer("abc", L"NOSUCH", true), "");
  HashObject hash(L"NOSUCH");
  hash.add("x", 1);
  EXPECT_EQ(hash.finish(true), "");
}

TEST(Hashing, FilesAreHashedWhole) {
  TempDir dir;
  write_file(dir.path() / "empty", "");
  write_file(dir.path() / "one-mib", std::string(1 << 20, '\0'));       // the last read yields nothing
  write_file(dir.path() / "two-mib", std::string(2 << 20, '\0'));       // several reads
  const std::wstring folder = dir.folder();
  const std::string empty_sha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  EXPECT_EQ(sha256_file_hex(folder + L"empty"), empty_sha256);
  EXPECT_EQ(sha256_file_hex(folder + L"missing"), empty_sha256);
  EXPECT_EQ(sha256_file_hex(folder + L"one-mib"), "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58");
  EXPECT_EQ(hash_file(folder + L"two-mib", L"MD5"), "b2d1236c286a3c0704224fe4105eca49");
}

TEST(Hashing, HmacSha256KnownAnswers) {
  struct Case {
    std::string key, message, expected_hex;
  };
  const Case cases[] = {
      {unhex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      // No key: a plain digest, as the hash object makes it.
      {"", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const Case& c : cases) {
    const std::string mac = hmac_sha256(c.key, c.message);
    EXPECT_EQ(mac.size(), 32u);
    EXPECT_EQ(to_hex(mac), c.expected_hex) << c.message;
  }
}

TEST(Hashing, Base64RoundTripsAndRefusesGarbage) {
  EXPECT_EQ(platform::base64_encode("any carnal pleas"), "YW55IGNhcm5hbCBwbGVhcw==");
  EXPECT_EQ(platform::base64_encode("any carnal pleasu"), "YW55IGNhcm5hbCBwbGVhc3U=");
  EXPECT_EQ(platform::base64_decode("YW55IGNhcm5hbCBwbGVhcw=="), "any carnal pleas");
  const std::string bytes("\0\xff\x10 binary", 10);
  EXPECT_EQ(platform::base64_decode(platform::base64_encode(bytes)), bytes);
  EXPECT_EQ(platform::base64_decode("not base64!"), "");
}

}  // namespace
