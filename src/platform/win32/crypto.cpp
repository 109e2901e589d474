#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <memory>
#include <vector>

#include "system_library.h"

namespace platform {
namespace {

template <class Function>
Function bcrypt_function(const char* name) {
  return win32::system_function<Function>(L"bcrypt.dll", name);
}
template <class Function>
Function crypt32_function(const char* name) {
  return win32::system_function<Function>(L"crypt32.dll", name);
}

// CNG and the CryptoAPI Base64 conversions, from the system folder.
struct Api {
  decltype(&BCryptOpenAlgorithmProvider) open_provider =
      bcrypt_function<decltype(&BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
  decltype(&BCryptCloseAlgorithmProvider) close_provider =
      bcrypt_function<decltype(&BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
  decltype(&BCryptGetProperty) get_property = bcrypt_function<decltype(&BCryptGetProperty)>("BCryptGetProperty");
  decltype(&BCryptCreateHash) create_hash = bcrypt_function<decltype(&BCryptCreateHash)>("BCryptCreateHash");
  decltype(&BCryptHashData) hash_data = bcrypt_function<decltype(&BCryptHashData)>("BCryptHashData");
  decltype(&BCryptFinishHash) finish_hash = bcrypt_function<decltype(&BCryptFinishHash)>("BCryptFinishHash");
  decltype(&BCryptDestroyHash) destroy_hash = bcrypt_function<decltype(&BCryptDestroyHash)>("BCryptDestroyHash");
  decltype(&BCryptImportKeyPair) import_key_pair =
      bcrypt_function<decltype(&BCryptImportKeyPair)>("BCryptImportKeyPair");
  decltype(&BCryptDestroyKey) destroy_key = bcrypt_function<decltype(&BCryptDestroyKey)>("BCryptDestroyKey");
  decltype(&BCryptVerifySignature) verify_signature =
      bcrypt_function<decltype(&BCryptVerifySignature)>("BCryptVerifySignature");
  decltype(&CryptBinaryToStringA) binary_to_string =
      crypt32_function<decltype(&CryptBinaryToStringA)>("CryptBinaryToStringA");
  decltype(&CryptStringToBinaryA) string_to_binary =
      crypt32_function<decltype(&CryptStringToBinaryA)>("CryptStringToBinaryA");

  bool has_cng() const {
    return open_provider && close_provider && get_property && create_hash && hash_data && finish_hash && destroy_hash;
  }
  bool has_ecdsa() const { return has_cng() && import_key_pair && destroy_key && verify_signature; }
};

const Api& api() {
  static const Api instance;
  return instance;
}

}  // namespace

// One CNG hash: the provider, the hash and the working memory CNG asks for.
class HashContext {
 public:
  ~HashContext() {
    if (hash) api().destroy_hash(hash);
    if (provider) api().close_provider(provider, 0);
  }
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  std::vector<UCHAR> digest;
  std::string secret;
};

void HashContextDeleter::operator()(HashContext* context) const { delete context; }

namespace {
bool read_dword_property(BCRYPT_ALG_HANDLE provider, const wchar_t* name, DWORD& value) {
  ULONG written = 0;
  return BCRYPT_SUCCESS(api().get_property(provider, name, reinterpret_cast<PUCHAR>(&value), sizeof value, &written, 0));
}
}  // namespace

HashContextPtr hash_create(const std::wstring& algorithm, const std::string& secret) {
  if (!api().has_cng()) return nullptr;
  HashContextPtr context(new HashContext);
  context->secret = secret;
  const ULONG flags = secret.empty() ? 0 : BCRYPT_ALG_HANDLE_HMAC_FLAG;
  if (!BCRYPT_SUCCESS(api().open_provider(&context->provider, algorithm.c_str(), nullptr, flags))) {
    context->provider = nullptr;
    return nullptr;
  }
  DWORD object_length = 0, digest_length = 0;
  if (!read_dword_property(context->provider, BCRYPT_OBJECT_LENGTH, object_length) ||
      !read_dword_property(context->provider, BCRYPT_HASH_LENGTH, digest_length)) {
    return nullptr;
  }
  context->object.resize(object_length);
  context->digest.resize(digest_length);
  auto* key = secret.empty() ? nullptr : reinterpret_cast<PUCHAR>(context->secret.data());
  if (!BCRYPT_SUCCESS(api().create_hash(context->provider, &context->hash, context->object.data(), object_length, key,
                                       static_cast<ULONG>(context->secret.size()), 0))) {
    context->hash = nullptr;
    return nullptr;
  }
  return context;
}

void hash_add(HashContext& context, const void* data, std::size_t size) {
  // BCryptHashData takes a 32-bit length: feed large buffers in slices.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG slice = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    api().hash_data(context.hash, bytes, slice, 0);
    bytes += slice;
    size -= slice;
  }
}

std::string hash_finish(HashContext& context) {
  if (!BCRYPT_SUCCESS(api().finish_hash(context.hash, context.digest.data(), static_cast<ULONG>(context.digest.size()), 0)))
    return {};
  return std::string(context.digest.begin(), context.digest.end());
}

std::string base64_encode(const std::string& bytes) {
  if (bytes.empty()) return {};
  if (!api().binary_to_string) return {};
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD size = 0;
  if (!api().binary_to_string(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size)) return {};
  std::vector<char> text(size + 1, '\0');
  if (!api().binary_to_string(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size)) return {};
  return std::string(text.data(), size);
}

std::string base64_decode(const std::string& text) {
  if (text.empty() || !api().string_to_binary) return {};
  DWORD size = 0;
  if (!api().string_to_binary(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                            nullptr))
    return {};
  std::string bytes(size, '\0');
  if (!api().string_to_binary(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
    return {};
  bytes.resize(size);
  return bytes;
}

namespace {

struct CloseProvider {
  void operator()(BCRYPT_ALG_HANDLE provider) const { api().close_provider(provider, 0); }
};
struct DestroyKey {
  void operator()(BCRYPT_KEY_HANDLE key) const { api().destroy_key(key); }
};
using Provider = std::unique_ptr<void, CloseProvider>;
using Key = std::unique_ptr<void, DestroyKey>;

// The key goes before the provider it came from: members in this order.
struct PublicKey {
  Provider provider;
  Key key;
};

// CNG's inputs are PUCHAR even where it only reads them.
PUCHAR input_bytes(const std::string& bytes) { return reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())); }

// The bare point, imported with the ECDSA P-256 provider: the handle can
// only be a P-256 key, without asking it afterwards (which Wine cannot
// answer: BCryptGetProperty on key handles is not implemented there).
PublicKey import_p256_public_key(const std::string& point) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (api().open_provider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return {};
  PublicKey imported{Provider(provider), nullptr};
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(point.size() / 2)};
  std::string blob(sizeof header, '\0');
  std::memcpy(&blob[0], &header, sizeof header);
  blob += point;
  BCRYPT_KEY_HANDLE key = nullptr;
  if (api().import_key_pair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, input_bytes(blob),
                            static_cast<ULONG>(blob.size()), 0) != 0)
    return {};
  imported.key.reset(key);
  return imported;
}

}  // namespace

bool verify_ecdsa_p256_sha256(const std::string& public_point, const std::string& message,
                              const std::string& raw_signature) {
  if (public_point.size() != 64 || raw_signature.size() != 64 || !api().has_ecdsa()) return false;
  const PublicKey key = import_p256_public_key(public_point);
  const HashContextPtr hash = hash_create(L"SHA256", {});
  if (!key.key || !hash) return false;
  hash_add(*hash, message.data(), message.size());
  const std::string digest = hash_finish(*hash);
  // Success is 0 exactly, not merely any status BCRYPT_SUCCESS accepts.
  return digest.size() == 32 &&
         api().verify_signature(key.key.get(), nullptr, input_bytes(digest), static_cast<ULONG>(digest.size()),
                                input_bytes(raw_signature), static_cast<ULONG>(raw_signature.size()), 0) == 0;
}

}  // namespace platform
