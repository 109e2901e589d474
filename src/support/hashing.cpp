#include "support/hashing.h"

#include <vector>

HashObject::HashObject(const std::wstring& algorithm, const std::string& secret)
    : context_(platform::hash_create(algorithm, secret)) {}

void HashObject::add(const void* data, std::size_t size) {
  if (context_ && size > 0) platform::hash_add(*context_, data, size);
}

std::string HashObject::finish(bool hex) {
  if (!context_) return {};
  const std::string digest = platform::hash_finish(*context_);
  context_.reset();
  if (digest.empty()) return {};
  return hex ? to_hex(digest) : digest;
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const unsigned char b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 0x0F];
  }
  return hex;
}

std::string hash_buffer(const std::string& bytes, const std::wstring& algorithm, bool hex) {
  HashObject hash(algorithm);
  hash.add(bytes.data(), bytes.size());
  return hash.finish(hex);
}

std::string md5_hex(const std::string& bytes) { return hash_buffer(bytes, L"MD5", true); }

std::string hash_file(platform::File& file, const std::wstring& algorithm) {
  HashObject hash(algorithm);
  std::vector<char> buffer(1 << 20);
  for (std::size_t got; (got = file.read(buffer.data(), buffer.size())) > 0;) hash.add(buffer.data(), got);
  return hash.finish(true);
}

std::string hash_file(const std::wstring& path, const std::wstring& algorithm) {
  platform::File file(path, platform::File::Mode::read);
  return hash_file(file, algorithm);
}

std::string sha256_file_hex(const std::wstring& path) { return hash_file(path, L"SHA256"); }

std::string hmac(const std::string& message, const std::wstring& algorithm, const std::string& key) {
  HashObject hash(algorithm, key);
  hash.add(message.data(), message.size());
  return hash.finish(false);
}

std::string hmac_sha256(const std::string& key, const std::string& message) { return hmac(message, L"SHA256", key); }
