#include "signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "publish_error.h"
#include "support/releaser.h"

namespace publisher {
namespace {

using Bio = std::unique_ptr<BIO, Releaser<BIO_free>>;
using Key = std::unique_ptr<EVP_PKEY, Releaser<EVP_PKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX_free>>;

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// Without a callback OpenSSL would ask on the terminal for the passphrase
// of an encrypted key, and a scheduled job would wait for ever.
int refuse_passphrase(char*, int, int, void*) { return -1; }

bool is_p256(EVP_PKEY* key) {
  char group[32] = {};
  std::size_t size = 0;
  return EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_group_name(key, group, sizeof group, &size) == 1 &&
         std::strcmp(group, SN_X9_62_prime256v1) == 0;
}

std::string sign(const std::string& private_key, const std::string& message) {
  if (private_key.size() > INT_MAX) return {};
  const Bio bio(BIO_new_mem_buf(private_key.data(), static_cast<int>(private_key.size())));
  const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr) : nullptr);
  const DigestContext context(EVP_MD_CTX_new());
  if (!key || !is_p256(key.get()) || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
    return {};
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t size = 0;
  if (EVP_DigestSign(context.get(), nullptr, &size, data, message.size()) != 1) return {};
  std::string signature(size, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&signature[0]), &size, data, message.size()) != 1)
    return {};
  signature.resize(size);  // the first call gives the largest size possible
  return signature;
}

}  // namespace

KeyPair generate_key_pair() {
  const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  const Bio private_pem(BIO_new(BIO_s_mem())), public_pem(BIO_new(BIO_s_mem()));
  // No cipher: PKCS#8 "PRIVATE KEY", as openssl genpkey writes it.
  const bool written =
      key && private_pem && public_pem &&
      PEM_write_bio_PrivateKey(private_pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
      PEM_write_bio_PUBKEY(public_pem.get(), key.get()) == 1;
  ERR_clear_error();
  if (!written) throw PublishError("OpenSSL could not make a P-256 key pair");
  return {bio_text(private_pem.get()), bio_text(public_pem.get())};
}

std::string sign_p256_sha256(const std::string& private_key, const std::string& message) {
  std::string signature = sign(private_key, message);
  ERR_clear_error();
  return signature;
}

std::string read_private_file(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw PublishError("cannot read " + path.string() + ": no such file");
  }
  if (status.st_mode & (S_IRWXG | S_IRWXO)) {
    throw PublishError(path.string() + " holds a secret but group or others may read or change it; chmod 600 it");
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw PublishError("cannot read " + path.string());
  return text.str();
}

std::string read_signing_key(const std::filesystem::path& path) {
  const std::string key = read_private_file(path);
  if (sign_p256_sha256(key, {}).empty()) {
    throw PublishError(path.string() +
                       " is not an unencrypted P-256 private key in PEM (setuppublish keygen makes one)");
  }
  return key;
}

void write_private_file(const std::filesystem::path& path, const std::string& text) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0) {
    throw PublishError("cannot create " + path.string() + ": " + std::strerror(errno) +
                       (errno == EEXIST ? " (a key is never overwritten)" : ""));
  }
  const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (::close(file) != 0 || !written) throw PublishError("cannot write " + path.string());
}

std::vector<std::string> sign_index(const std::string& index_text, const std::vector<std::string>& private_keys) {
  std::vector<std::string> signatures;
  for (const std::string& key : private_keys) {
    std::string signature = sign_p256_sha256(key, index_text);
    if (signature.empty()) throw PublishError("signing the release index failed");
    signatures.push_back(std::move(signature));
  }
  return signatures;
}

}  // namespace publisher
