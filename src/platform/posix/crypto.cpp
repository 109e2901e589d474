#include "platform/crypto.h"

#include <openssl/evp.h>

#include <vector>

namespace platform {

class HashContext {
 public:
  explicit HashContext(EVP_MD_CTX* md) : md(md) {}
  HashContext(EVP_MAC_CTX* mac) : mac(mac) {}
  ~HashContext() {
    EVP_MD_CTX_free(md);
    EVP_MAC_CTX_free(mac);
  }
  EVP_MD_CTX* md = nullptr;
  EVP_MAC_CTX* mac = nullptr;
};

void HashContextDeleter::operator()(HashContext* context) const { delete context; }

namespace {
const char* openssl_name(const std::wstring& algorithm) {
  if (algorithm == L"MD5") return "MD5";
  if (algorithm == L"SHA256") return "SHA256";
  return nullptr;
}
}  // namespace

HashContextPtr hash_create(const std::wstring& algorithm, const std::string& secret) {
  const char* name = openssl_name(algorithm);
  if (!name) return nullptr;
  if (secret.empty()) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!md || EVP_DigestInit_ex(md, EVP_get_digestbyname(name), nullptr) != 1) {
      EVP_MD_CTX_free(md);
      return nullptr;
    }
    return HashContextPtr(new HashContext(md));
  }
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* mac = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
  EVP_MAC_free(hmac);
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>(name), 0), OSSL_PARAM_END};
  if (!mac || EVP_MAC_init(mac, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), params) != 1) {
    EVP_MAC_CTX_free(mac);
    return nullptr;
  }
  return HashContextPtr(new HashContext(mac));
}

void hash_add(HashContext& context, const void* data, std::size_t size) {
  if (context.md) EVP_DigestUpdate(context.md, data, size);
  if (context.mac) EVP_MAC_update(context.mac, static_cast<const unsigned char*>(data), size);
}

std::string hash_finish(HashContext& context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  if (context.md) {
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.md, digest, &length) != 1) return {};
    return std::string(reinterpret_cast<char*>(digest), length);
  }
  std::size_t length = 0;
  if (!context.mac || EVP_MAC_final(context.mac, digest, &length, sizeof digest) != 1) return {};
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string base64_encode(const std::string& bytes) {
  if (bytes.empty()) return {};
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  return n < 0 ? std::string() : std::string(reinterpret_cast<char*>(out.data()), static_cast<std::size_t>(n));
}

std::string base64_decode(const std::string& text) {
  // EVP_DecodeBlock accepts neither a ragged length nor characters outside
  // the alphabet, and does not account for padding: both handled here.
  if (text.empty() || text.size() % 4 != 0) return {};
  std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  std::size_t length = static_cast<std::size_t>(n);
  if (text[text.size() - 1] == '=') --length;
  if (text[text.size() - 2] == '=') --length;
  return std::string(reinterpret_cast<char*>(out.data()), length);
}

}  // namespace platform
