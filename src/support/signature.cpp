#include "support/signature.h"

#include <cstddef>
#include <cstring>

#include "platform/crypto.h"
#include "support/text.h"

namespace {

const std::string kBeginMarker = "-----BEGIN PUBLIC KEY-----";
const std::string kEndMarker = "-----END PUBLIC KEY-----";

// DER has one encoding per value, so every such key is this fixed header
// followed by the point: SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 },
// BIT STRING { no unused bits, 0x04 (uncompressed), X, Y } }. Comparing it
// whole refuses compressed points, explicit curve parameters and BER.
const unsigned char kP256KeyHeader[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                        0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr std::size_t kP256IntegerSize = 32;

std::string p256_public_point_from_spki(const std::string& der) {
  if (der.size() != sizeof kP256KeyHeader + 2 * kP256IntegerSize ||
      std::memcmp(der.data(), kP256KeyHeader, sizeof kP256KeyHeader) != 0)
    return {};
  return der.substr(sizeof kP256KeyHeader);
}

// Reads one DER INTEGER at `at` (advancing it) into a zero-filled 32-byte
// big-endian slot. Refuses the non-minimal and negative encodings, which
// OpenSSL refuses too, and zero, which no valid signature holds (a verifier
// without range checks would take r = s = 0 for any message).
bool read_integer(const unsigned char*& at, const unsigned char* end, unsigned char* slot) {
  if (end - at < 2 || at[0] != 0x02) return false;
  std::size_t size = at[1];
  at += 2;
  // The long length form (0x80 and up) never fits a P-256 integer.
  if (size == 0 || size >= 0x80 || size > static_cast<std::size_t>(end - at)) return false;
  const unsigned char* value = at;
  at += size;
  if (value[0] & 0x80) return false;
  if (value[0] == 0 && size > 1) {
    if (!(value[1] & 0x80)) return false;
    ++value;
    --size;
  }
  if (size > kP256IntegerSize) return false;
  std::memcpy(slot + kP256IntegerSize - size, value, size);
  for (std::size_t i = 0; i < size; ++i)
    if (value[i] != 0) return true;
  return false;
}

}  // namespace

std::vector<std::string> split_pem_public_keys(const std::string& text) {
  std::vector<std::string> blocks;
  std::size_t start = text.find(kBeginMarker);
  while (start != std::string::npos) {
    const std::size_t next_begin = text.find(kBeginMarker, start + kBeginMarker.size());
    const std::size_t stop = text.find(kEndMarker, start + kBeginMarker.size());
    if (stop == std::string::npos) break;
    // A begin marker whose block never ends: the later one starts the key.
    if (next_begin < stop) {
      start = next_begin;
      continue;
    }
    blocks.push_back(text.substr(start, stop + kEndMarker.size() - start));
    start = text.find(kBeginMarker, stop + kEndMarker.size());
  }
  return blocks;
}

std::string p256_public_point(const std::string& public_key_pem) {
  const std::vector<std::string> blocks = split_pem_public_keys(public_key_pem);
  if (blocks.size() != 1) return {};
  const std::string& block = blocks.front();
  // The body: lines of Base64, nothing else (PEM headers hold a ':').
  std::string body;
  for (std::size_t i = kBeginMarker.size(); i < block.size() - kEndMarker.size(); ++i)
    if (block[i] != '\n' && block[i] != '\r') body += block[i];
  const auto der = base64_decode_strict(body);
  return der ? p256_public_point_from_spki(*der) : std::string();
}

std::string ecdsa_p256_signature_to_raw(const std::string& der) {
  const auto* at = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* end = at + der.size();
  // A SEQUENCE with a short-form length that covers exactly the rest.
  if (der.size() < 2 || at[0] != 0x30 || at[1] >= 0x80 || at[1] != der.size() - 2) return {};
  at += 2;
  unsigned char raw[2 * kP256IntegerSize] = {};
  if (!read_integer(at, end, raw) || !read_integer(at, end, raw + kP256IntegerSize) || at != end) return {};
  return std::string(reinterpret_cast<const char*>(raw), sizeof raw);
}

bool ecdsa_p256_sha256_verify(const std::string& public_key_pem, const std::string& message,
                              const std::string& der_signature) {
  const std::string point = p256_public_point(public_key_pem);
  const std::string signature = ecdsa_p256_signature_to_raw(der_signature);
  return !point.empty() && !signature.empty() && platform::verify_ecdsa_p256_sha256(point, message, signature);
}
