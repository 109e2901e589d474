#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <memory>
#include <vector>

#include "support/releaser.h"

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

namespace {

void openssl_free(void* memory) { OPENSSL_free(memory); }
using Key = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Releaser<EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Releaser<ECDSA_SIG_free>>;
using Number = std::unique_ptr<BIGNUM, Releaser<BN_free>>;
using Memory = std::unique_ptr<unsigned char, Releaser<openssl_free>>;

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

Key p256_key(const std::string& point) {
  std::string encoded = '\x04' + point;  // the uncompressed form
  char group[] = SN_X9_62_prime256v1;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, &encoded[0], encoded.size()),
                         OSSL_PARAM_END};
  const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return nullptr;
  return Key(key);
}

// OpenSSL takes the signature in DER, which it writes itself from r and s.
std::string der_signature(const std::string& raw) {
  const std::size_t half = raw.size() / 2;
  Number r(BN_bin2bn(bytes_of(raw), static_cast<int>(half), nullptr));
  Number s(BN_bin2bn(bytes_of(raw) + half, static_cast<int>(half), nullptr));
  const Signature signature(ECDSA_SIG_new());
  if (!r || !s || !signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) return {};
  r.release();  // the signature owns them now
  s.release();
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(signature.get(), &der);
  const Memory owned(der);
  return size > 0 ? std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size)) : std::string();
}

bool verify(const std::string& public_point, const std::string& message, const std::string& raw_signature) {
  if (public_point.size() != 64 || raw_signature.size() != 64) return false;
  const Key key = p256_key(public_point);
  const std::string signature = der_signature(raw_signature);
  const DigestContext context(EVP_MD_CTX_new());
  return key && !signature.empty() && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), bytes_of(signature), signature.size(), bytes_of(message), message.size()) == 1;
}

}  // namespace

bool verify_ecdsa_p256_sha256(const std::string& public_point, const std::string& message,
                              const std::string& raw_signature) {
  const bool valid = verify(public_point, message, raw_signature);
  // A refused key or signature must not leave errors behind for the next
  // TLS call of this thread to report.
  ERR_clear_error();
  return valid;
}

}  // namespace platform
