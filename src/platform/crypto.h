// Message digests, HMAC, Base64 and ECDSA verification from the platform's
// cryptography (CNG and CryptoAPI on Windows, OpenSSL libcrypto elsewhere).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class HashContext;
struct HashContextDeleter {
  void operator()(HashContext* context) const;
};
using HashContextPtr = std::unique_ptr<HashContext, HashContextDeleter>;

// algorithm: "MD5" or "SHA256". A non-empty secret makes it an HMAC.
// Null when the platform refuses the algorithm.
HashContextPtr hash_create(const std::wstring& algorithm, const std::string& secret);
void hash_add(HashContext& context, const void* data, std::size_t size);
// The raw digest; empty when finishing fails.
std::string hash_finish(HashContext& context);

// Standard Base64 with padding and without line breaks; empty on failure.
std::string base64_encode(const std::string& bytes);
// Empty for text that is not Base64.
std::string base64_decode(const std::string& text);

// Whether raw_signature (r || s) is an ECDSA signature over SHA-256 of the
// message's bytes by the P-256 key whose point is public_point (X || Y);
// each number 32 bytes, big-endian. The encodings they arrive in are read
// by the caller (support/signature.h), the same way on every platform.
bool verify_ecdsa_p256_sha256(const std::string& public_point, const std::string& message,
                              const std::string& raw_signature);

}  // namespace platform
