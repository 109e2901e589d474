// Digests in lower-case hexadecimal (MD5 of blocks, SHA-256 of files) and
// HMAC-SHA256 as raw bytes. Failures give the empty text, which never equals
// an expected digest, so callers report their own mismatch.
#pragma once

#include <cstddef>
#include <string>

#include "platform/crypto.h"
#include "platform/file.h"

// One digest computation: plain when the secret is empty, HMAC otherwise.
class HashObject {
 public:
  HashObject(const std::wstring& algorithm, const std::string& secret = {});
  void add(const void* data, std::size_t size);
  // Lower-case hex (hex true) or raw bytes; empty on failure. Call once.
  std::string finish(bool hex);

 private:
  platform::HashContextPtr context_;
};

std::string to_hex(const std::string& bytes);
std::string hash_buffer(const std::string& bytes, const std::wstring& algorithm, bool hex);
std::string md5_hex(const std::string& bytes);
// Digest of the file's bytes, read in 1 MiB pieces; a file that cannot be
// opened (also a link: platform::File) hashes as zero bytes.
std::string hash_file(const std::wstring& path, const std::wstring& algorithm);
// Digest of the rest of an open file, from its current position.
std::string hash_file(platform::File& file, const std::wstring& algorithm);
std::string sha256_file_hex(const std::wstring& path);
std::string hmac(const std::string& message, const std::wstring& algorithm, const std::string& key);
std::string hmac_sha256(const std::string& key, const std::string& message);
