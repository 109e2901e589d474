// Where releases are published: a blob storage account reached over HTTPS
// with SharedKey authorisation, or a local folder laid out the same way
// (container/object) for a static web server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace publisher {

// An object's text and the tag that names its version, for a conditional
// write that does not overwrite what someone else stored meanwhile.
struct StoredText {
  std::string text;
  std::string etag;
};

using TransferProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

class Store {
 public:
  virtual ~Store() = default;
  // Creates the container when missing, readable by anyone (the launcher
  // downloads without credentials).
  virtual void prepare_container(const std::string& container) = 0;
  virtual std::optional<StoredText> read_text(const std::string& container, const std::string& name) = 0;
  // With `expected`, the write happens only if the object is still what
  // read_text gave (an empty optional: the object must not exist yet).
  // Returns what a later conditional write expects.
  virtual StoredText write_text(const std::string& container, const std::string& name, const std::string& text,
                                const std::string& content_type, const std::optional<StoredText>* expected) = 0;
  // Null when the object does not exist; otherwise the SHA-256 (lower-case
  // hex) that write_file recorded with it, empty for an object written
  // otherwise.
  virtual std::optional<std::string> stored_sha256(const std::string& container, const std::string& name) = 0;
  // Stores the file with its SHA-256 (sha256, which the caller vouches for).
  // With create_only the write fails when the object exists meanwhile.
  virtual void write_file(const std::string& container, const std::string& name, const std::filesystem::path& file,
                          const std::string& content_type, const std::string& sha256, bool create_only,
                          const TransferProgress& progress) = 0;
  virtual std::string describe() const = 0;
};

std::unique_ptr<Store> make_folder_store(const std::filesystem::path& folder);

struct BlobEndpoint {
  std::string url;  // https://ACCOUNT.blob.core.windows.net, optionally with a path
  std::string account;
  std::string key;  // Base64, as the account shows it
  std::string ca_file;
  // Archives up to this size go in one request; larger ones in blocks of it.
  std::uint64_t block_size = 8u << 20;
};
std::unique_ptr<Store> make_blob_store(const BlobEndpoint& endpoint);

// The parts of a request that its SharedKey signature covers.
struct SignedRequest {
  std::string verb;
  std::string path;  // encoded, from the first '/' after the host
  std::vector<std::pair<std::string, std::string>> query;  // decoded
  std::map<std::string, std::string> headers;              // lower-case names
  std::uint64_t content_length = 0;
};
std::string shared_key_string_to_sign(const std::string& account, const SignedRequest& request);
std::string percent_encode(const std::string& text, bool keep_slash);

}  // namespace publisher
