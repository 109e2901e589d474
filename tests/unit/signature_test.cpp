// Signatures made by the openssl command line (tests/data/signatures), held
// to the same answers on every platform: OpenSSL here, CNG under Wine.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "common/temp_dir.h"
#include "support/signature.h"
#include "support/text.h"

namespace {

std::string vector_file(const std::string& name) { return test_data("signatures/" + name); }

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// A DER encoder written apart from the code under test.
std::string der_integer(std::string big_endian) {
  while (big_endian.size() > 1 && big_endian[0] == '\0') big_endian.erase(0, 1);
  if (static_cast<unsigned char>(big_endian[0]) & 0x80) big_endian.insert(0, 1, '\0');
  return std::string{'\x02', static_cast<char>(big_endian.size())} + big_endian;
}
std::string der_sequence(const std::string& content) {
  return std::string{'\x30', static_cast<char>(content.size())} + content;
}
std::string der_signature(const std::string& raw) {
  return der_sequence(der_integer(raw.substr(0, 32)) + der_integer(raw.substr(32)));
}

// n - s for the P-256 group order n: the other valid s of every signature.
std::string negate_modulo_order(const std::string& s) {
  const std::string n = from_hex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  std::string result(32, '\0');
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    const int digit = static_cast<unsigned char>(n[i]) - static_cast<unsigned char>(s[i]) - borrow;
    borrow = digit < 0;
    result[i] = static_cast<char>(digit + 256 * borrow);
  }
  return result;
}

std::string random_bytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class Signature : public testing::Test {
 protected:
  const std::string key = vector_file("p256.pub");
  const std::string message = vector_file("message.bin");
  const std::string signature = vector_file("message.sig");
};

}  // namespace

TEST_F(Signature, AcceptsWhatOpensslSignedAndNoChangedMessage) {
  EXPECT_TRUE(ecdsa_p256_sha256_verify(key, message, signature));
  // Bytes, not a C string or text: the NUL and the line ends count.
  const std::size_t nul = message.find('\0');
  ASSERT_NE(nul, std::string::npos);
  std::string after_nul_changed = message;
  after_nul_changed[nul + 1] ^= 1;
  for (const std::string& changed :
       {after_nul_changed, message.substr(0, nul), replace_all(message, "\n", "\r\n"), message + " ", std::string()})
    EXPECT_FALSE(ecdsa_p256_sha256_verify(key, changed, signature)) << testing::PrintToString(changed);
}

TEST_F(Signature, TakesOnlyTheKeyThatSigned) {
  EXPECT_FALSE(ecdsa_p256_sha256_verify(vector_file("other.pub"), message, signature));
  const std::string file = vector_file("two_keys.pub");
  for (const std::string& text : {file, replace_all(file, "\n", "\r\n")}) {
    const std::vector<std::string> keys = split_pem_public_keys(text);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_FALSE(ecdsa_p256_sha256_verify(keys[0], message, signature));
    EXPECT_TRUE(ecdsa_p256_sha256_verify(keys[1], message, signature));
  }
  // One key per call: never silently the first of several.
  EXPECT_FALSE(ecdsa_p256_sha256_verify(key + vector_file("other.pub"), message, signature));
  // A block without its end marker is no key.
  EXPECT_EQ(split_pem_public_keys("-----BEGIN PUBLIC KEY-----\nMFkw\n" + key).size(), 1u);
  EXPECT_TRUE(split_pem_public_keys(key.substr(0, key.size() - 10)).empty());
}

TEST_F(Signature, RefusesKeysOtherThanUncompressedNamedP256) {
  // Each with a valid signature by that key (or by the same key, for its
  // other encodings), but for the point off the curve.
  const std::pair<const char*, const char*> keys[] = {{"p384.pub", "p384.sig"},
                                                      {"rsa.pub", "rsa.sig"},
                                                      {"p256_compressed.pub", "message.sig"},
                                                      {"p256_explicit.pub", "message.sig"},
                                                      {"p256_off_curve.pub", "message.sig"}};
  for (const auto& [key_file, signature_file] : keys)
    EXPECT_FALSE(ecdsa_p256_sha256_verify(vector_file(key_file), message, vector_file(signature_file))) << key_file;
}

TEST_F(Signature, RefusesMalformedKeys) {
  const std::string body = key.substr(key.find('\n') + 1);
  std::vector<std::string> keys = {
      "",
      "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n",
      "-----BEGIN PUBLIC KEY-----\n!!!!" + body,
      "-----BEGIN PUBLIC KEY-----\n " + body,
      "-----BEGIN PUBLIC KEY-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n" +
          body,
      replace_all(vector_file("p256.key"), "PRIVATE", "PUBLIC"),
  };
  // Every character of the key changed in the top bit of its six (never
  // one of the unused bits before '=').
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t at = key.find('\n') + 1; at < key.find('='); ++at) {
    const std::size_t value = alphabet.find(key[at]);
    if (value == std::string::npos) continue;
    std::string changed = key;
    changed[at] = alphabet[value ^ 32];
    keys.push_back(changed);
  }
  std::mt19937 random(20240601);
  for (std::size_t size = 0; size < 120; ++size)
    keys.push_back("-----BEGIN PUBLIC KEY-----\n" + random_bytes(random, size) + "\n-----END PUBLIC KEY-----\n");
  for (const std::string& malformed : keys)
    EXPECT_FALSE(ecdsa_p256_sha256_verify(malformed, message, signature)) << testing::PrintToString(malformed);
}

TEST_F(Signature, RefusesMalformedSignatures) {
  const std::string raw = ecdsa_p256_signature_to_raw(signature);
  ASSERT_EQ(raw.size(), 64u);
  const std::string r = der_integer(raw.substr(0, 32)), s = der_integer(raw.substr(32));
  const std::string zero = der_integer(std::string(1, '\0'));
  std::vector<std::string> signatures = {
      signature + '\0',
      der_sequence(std::string{'\x02', static_cast<char>(r[1] + 1), '\0'} + r.substr(2) + s),  // needless zero
      std::string{'\x30', '\x81', static_cast<char>(r.size() + s.size())} + r + s,             // long-form length
      der_sequence(std::string{'\x02', '\x01', '\x80'} + s),                                   // negative
      der_sequence(std::string{'\x02', '\x21', '\x01'} + raw.substr(0, 32) + s),               // over 256 bits
      der_sequence(std::string{'\x02', '\x00'} + s),
      der_sequence(zero + zero),  // the pair that passes a verifier lacking range checks
      der_sequence(r + zero),
      der_sequence(r + s + s),
      der_sequence(r),
      raw,
  };
  for (std::size_t size = 0; size < signature.size(); ++size) signatures.push_back(signature.substr(0, size));
  for (std::size_t bit = 0; bit < 8 * signature.size(); ++bit) {
    std::string flipped = signature;
    flipped[bit / 8] ^= static_cast<char>(1 << (bit % 8));
    signatures.push_back(flipped);
  }
  for (const std::string& malformed : signatures)
    EXPECT_FALSE(ecdsa_p256_sha256_verify(key, message, malformed)) << testing::PrintToString(malformed);
}

// Integers of 31 bytes or fewer, 32, and 33 with a leading zero all become
// 32 bytes each; and the platform takes either s of a signature, as OpenSSL does.
TEST_F(Signature, AcceptsEveryIntegerSizeAndTheHighSTwin) {
  std::istringstream lines(vector_file("integer_sizes.hex"));
  bool short_integer = false, padded_integer = false;
  for (std::string line; std::getline(lines, line);) {
    const std::string stored = from_hex(line);
    const std::string raw = ecdsa_p256_signature_to_raw(stored);
    ASSERT_EQ(raw.size(), 64u) << line;
    EXPECT_EQ(der_signature(raw), stored);
    short_integer |= stored[3] < 32 || stored[5 + stored[3]] < 32;
    padded_integer |= stored[3] == 33 || stored[5 + stored[3]] == 33;
    EXPECT_TRUE(ecdsa_p256_sha256_verify(key, message, stored)) << line;
    const std::string twin = der_signature(raw.substr(0, 32) + negate_modulo_order(raw.substr(32)));
    EXPECT_TRUE(ecdsa_p256_sha256_verify(key, message, twin)) << line;
  }
  EXPECT_TRUE(short_integer && padded_integer) << "integer_sizes.hex lacks an integer size";
}

TEST(StrictBase64, TakesOnlyCanonicalPaddedText) {
  EXPECT_EQ(base64_decode_strict(""), std::string());
  EXPECT_EQ(base64_decode_strict("QQ=="), std::string("A"));
  EXPECT_EQ(base64_decode_strict("QUI="), std::string("AB"));
  EXPECT_EQ(base64_decode_strict("QUJD+/8A"), std::string("ABC\xfb\xff\x00", 6));
  for (const char* text : {"QQ", "QQ=", "QR==", "QUJ=", "Q===", "====", "QQ==QQ==", "QU I=", "QUI=\n", "QU-_"})
    EXPECT_FALSE(base64_decode_strict(text)) << text;
}
