// The publisher's side of the signed release index (formats/index_signature.h):
// key pairs, signatures, and the private files they come from. OpenSSL, as
// the publisher runs on Linux only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace publisher {

struct KeyPair {
  std::string private_key;  // PEM PKCS#8, unencrypted
  std::string public_key;   // PEM SubjectPublicKeyInfo
};
// A new P-256 key pair; throws PublishError when OpenSSL cannot make one.
KeyPair generate_key_pair();

// DER ECDSA signature over SHA-256 of the message; empty when the key is not
// an unencrypted P-256 private key in PEM.
std::string sign_p256_sha256(const std::string& private_key, const std::string& message);

// The text of a file that holds a secret. Throws PublishError when group or
// others may read or change it, since then the secret is no longer one.
std::string read_private_file(const std::filesystem::path& path);
// A --sign-key file: private, and an unencrypted P-256 key.
std::string read_signing_key(const std::filesystem::path& path);
// Writes a new file that only its owner may read; refuses an existing one.
void write_private_file(const std::filesystem::path& path, const std::string& text);

// One signature line per key of the index's bytes.
std::vector<std::string> sign_index(const std::string& index_text, const std::vector<std::string>& private_keys);

}  // namespace publisher
