#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <vector>

namespace platform {

// One CNG hash: the provider, the hash and the working memory CNG asks for.
class HashContext {
 public:
  ~HashContext() {
    if (hash) BCryptDestroyHash(hash);
    if (provider) BCryptCloseAlgorithmProvider(provider, 0);
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
  return BCRYPT_SUCCESS(BCryptGetProperty(provider, name, reinterpret_cast<PUCHAR>(&value), sizeof value, &written, 0));
}
}  // namespace

HashContextPtr hash_create(const std::wstring& algorithm, const std::string& secret) {
  HashContextPtr context(new HashContext);
  context->secret = secret;
  const ULONG flags = secret.empty() ? 0 : BCRYPT_ALG_HANDLE_HMAC_FLAG;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&context->provider, algorithm.c_str(), nullptr, flags))) {
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
  if (!BCRYPT_SUCCESS(BCryptCreateHash(context->provider, &context->hash, context->object.data(), object_length, key,
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
    BCryptHashData(context.hash, bytes, slice, 0);
    bytes += slice;
    size -= slice;
  }
}

std::string hash_finish(HashContext& context) {
  if (!BCRYPT_SUCCESS(BCryptFinishHash(context.hash, context.digest.data(), static_cast<ULONG>(context.digest.size()), 0)))
    return {};
  return std::string(context.digest.begin(), context.digest.end());
}

std::string base64_encode(const std::string& bytes) {
  if (bytes.empty()) return {};
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD size = 0;
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size)) return {};
  std::vector<char> text(size + 1, '\0');
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size)) return {};
  return std::string(text.data(), size);
}

std::string base64_decode(const std::string& text) {
  if (text.empty()) return {};
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                            nullptr))
    return {};
  std::string bytes(size, '\0');
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
    return {};
  bytes.resize(size);
  return bytes;
}

}  // namespace platform
