#include "store.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "curl_tls.h"
#include "file.h"
#include "platform/crypto.h"
#include "publish_error.h"
#include "support/hashing.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace publisher {

namespace {

constexpr char kApiVersion[] = "2021-08-06";
// The service takes at most this many blocks per blob.
constexpr std::uint64_t kMaxBlocks = 50000;
constexpr int kAttempts = 4;
// The archive's digest, kept as the blob's metadata: whether a release
// already in the store has the bytes being published.
constexpr char kSha256Metadata[] = "x-ms-meta-sha256";

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) throw PublishError("cannot read " + path.string());
  return text.str();
}

// --- local folder ---------------------------------------------------------

class FolderStore : public Store {
 public:
  explicit FolderStore(fs::path folder) : folder_(std::move(folder)) {}

  void prepare_container(const std::string& container) override {
    std::error_code ec;
    fs::create_directories(folder_ / container, ec);
    if (ec) throw PublishError("cannot create " + (folder_ / container).string() + ": " + ec.message());
  }

  std::optional<StoredText> read_text(const std::string& container, const std::string& name) override {
    const fs::path path = folder_ / container / name;
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    StoredText stored;
    stored.text = read_whole(path);
    return stored;
  }

  StoredText write_text(const std::string& container, const std::string& name, const std::string& text,
                        const std::string&, const std::optional<StoredText>* expected) override {
    if (expected) {
      const std::optional<StoredText> now = read_text(container, name);
      if (now.has_value() != expected->has_value() || (now && now->text != (*expected)->text)) {
        throw PublishError((folder_ / container / name).string() + " changed meanwhile; nothing was replaced, run again");
      }
    }
    const fs::path target = folder_ / container / name;
    fs::path partial = target;
    partial += ".part";
    File out(partial, File::Mode::create);
    out.write(text.data(), text.size());
    out.close();
    rename(partial, target);
    return {text, {}};
  }

  // A folder records nothing beside a file: its digest is its content's.
  std::optional<std::string> stored_sha256(const std::string& container, const std::string& name) override {
    const fs::path path = folder_ / container / name;
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    return sha256_file_hex(path.wstring());
  }

  void write_file(const std::string& container, const std::string& name, const fs::path& file, const std::string&,
                  const std::string&, bool create_only, const TransferProgress& progress) override {
    const fs::path target = folder_ / container / name;
    std::error_code exists_error;
    if (create_only && fs::exists(target, exists_error)) {
      throw PublishError(target.string() + " appeared meanwhile; nothing was replaced, run again");
    }
    fs::path partial = target;
    partial += ".part";
    std::error_code ec;
    const std::uint64_t total = fs::file_size(file, ec);
    if (ec) throw PublishError("cannot read " + file.string() + ": " + ec.message());
    File in(file, File::Mode::read);
    File out(partial, File::Mode::create);
    std::vector<char> buffer(1 << 20);
    std::uint64_t done = 0;
    for (;;) {
      const std::size_t n = in.read(buffer.data(), buffer.size());
      if (n == 0) break;
      out.write(buffer.data(), n);
      done += n;
      if (progress) progress(done, total);
    }
    out.close();
    if (done != total) throw PublishError(file.string() + " changed while it was copied");
    rename(partial, target);
  }

  std::string describe() const override { return folder_.string(); }

 private:
  static void rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
      fs::remove(from, ec);
      throw PublishError("cannot write " + to.string());
    }
  }

  fs::path folder_;
};

// --- blob service -----------------------------------------------------------

struct Response {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names
};

std::string http_date() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
                months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string xml_element(const std::string& body, const std::string& name) {
  const std::size_t start = body.find("<" + name + ">");
  const std::size_t end = body.find("</" + name + ">");
  if (start == std::string::npos || end == std::string::npos || end < start) return {};
  return body.substr(start + name.size() + 2, end - start - name.size() - 2);
}

struct Body {
  const char* data = nullptr;
  std::size_t left = 0;
};

std::size_t read_body(char* buffer, std::size_t size, std::size_t count, void* user) {
  Body& body = *static_cast<Body*>(user);
  const std::size_t n = std::min(size * count, body.left);
  std::memcpy(buffer, body.data, n);
  body.data += n;
  body.left -= n;
  return n;
}

std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::size_t take_header(char* data, std::size_t size, std::size_t count, void* user) {
  std::string line(data, size * count);
  const std::size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    (*static_cast<std::map<std::string, std::string>*>(user))[ascii_lower(line.substr(0, colon))] = value;
  }
  return size * count;
}

class BlobStore : public Store {
 public:
  explicit BlobStore(const BlobEndpoint& endpoint) : endpoint_(endpoint) {
    const std::string scheme = "https://";
    if (endpoint.url.compare(0, scheme.size(), scheme) != 0) {
      throw PublishError("the endpoint " + endpoint.url + " is not an https:// address");
    }
    if (endpoint.account.empty()) throw PublishError("no storage account given");
    key_ = platform::base64_decode(endpoint.key);
    if (key_.empty()) throw PublishError("the account key is missing or not Base64");
    std::string rest = endpoint.url.substr(scheme.size());
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::size_t slash = rest.find('/');
    origin_ = scheme + rest.substr(0, slash);
    prefix_ = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (rest.empty() || rest.find_first_of("?#@") != std::string::npos) {
      throw PublishError("the endpoint " + endpoint.url + " is not a plain https:// address");
    }
    curl_ = curl_easy_init();
    if (!curl_) throw PublishError("cannot start libcurl");
  }
  ~BlobStore() override { curl_easy_cleanup(curl_); }

  void prepare_container(const std::string& container) override {
    const Response created =
        send("PUT", container, "", {{"restype", "container"}}, {{"x-ms-blob-public-access", "blob"}}, nullptr, 0);
    if (created.status == 201) return;
    if (created.status != 409 || error_code(created) != "ContainerAlreadyExists") fail("create container", container, created);
    const Response acl = send("GET", container, "", {{"comp", "acl"}, {"restype", "container"}}, {}, nullptr, 0);
    if (acl.status != 200) fail("read the access of container", container, acl);
    const auto access = acl.headers.find("x-ms-blob-public-access");
    if (access == acl.headers.end() || access->second.empty()) {
      throw PublishError("container " + container +
                         " exists but does not let anyone read its objects, so the launcher could not download "
                         "them; allow public read access to blobs for it, or choose another container");
    }
  }

  std::optional<StoredText> read_text(const std::string& container, const std::string& name) override {
    const Response response = send("GET", container, name, {}, {}, nullptr, 0);
    if (response.status == 404) return std::nullopt;
    if (response.status != 200) fail("read", container + "/" + name, response);
    StoredText stored;
    stored.text = response.body;
    const auto etag = response.headers.find("etag");
    if (etag != response.headers.end()) stored.etag = etag->second;
    return stored;
  }

  StoredText write_text(const std::string& container, const std::string& name, const std::string& text,
                        const std::string& content_type, const std::optional<StoredText>* expected) override {
    std::map<std::string, std::string> headers = {{"x-ms-blob-type", "BlockBlob"},
                                                  {"content-type", content_type},
                                                  {"content-md5", md5_base64(text.data(), text.size())}};
    if (expected) {
      if (expected->has_value()) {
        headers["if-match"] = (*expected)->etag;
      } else {
        headers["if-none-match"] = "*";
      }
    }
    const Response response = send("PUT", container, name, {}, headers, text.data(), text.size());
    if (response.status == 201) return {text, header(response, "etag")};
    if (expected && (response.status == 412 || response.status == 409)) {
      throw PublishError(container + "/" + name + " changed meanwhile; nothing was replaced, run again");
    }
    fail("write", container + "/" + name, response);
  }

  std::optional<std::string> stored_sha256(const std::string& container, const std::string& name) override {
    const Response response = send("HEAD", container, name, {}, {}, nullptr, 0);
    if (response.status == 404) return std::nullopt;
    if (response.status != 200) fail("look up", container + "/" + name, response);
    return header(response, kSha256Metadata);
  }

  void write_file(const std::string& container, const std::string& name, const fs::path& file,
                  const std::string& content_type, const std::string& sha256, bool create_only,
                  const TransferProgress& progress) override {
    // On the request that makes the blob appear: the single upload, or the
    // block list that commits the blocks.
    std::map<std::string, std::string> conditions = {{kSha256Metadata, sha256}};
    if (create_only) conditions["if-none-match"] = "*";
    std::error_code ec;
    const std::uint64_t total = fs::file_size(file, ec);
    if (ec) throw PublishError("cannot read " + file.string() + ": " + ec.message());
    std::uint64_t block = std::max<std::uint64_t>(endpoint_.block_size, 1);
    if (total / block >= kMaxBlocks) block = (total / kMaxBlocks + (1u << 20)) & ~std::uint64_t((1u << 20) - 1);
    File in(file, File::Mode::read);
    std::vector<char> buffer(static_cast<std::size_t>(std::min(block, std::max<std::uint64_t>(total, 1))));

    if (total <= block) {
      const std::size_t n = in.read(buffer.data(), buffer.size());
      if (n != total) throw PublishError(file.string() + " changed while it was uploaded");
      std::map<std::string, std::string> headers = {{"x-ms-blob-type", "BlockBlob"},
                                                    {"content-type", content_type},
                                                    {"content-md5", md5_base64(buffer.data(), n)}};
      headers.insert(conditions.begin(), conditions.end());
      const Response response = send("PUT", container, name, {}, headers, buffer.data(), n);
      if (response.status != 201) fail_creation("upload", container + "/" + name, response, create_only);
      if (progress) progress(total, total);
      return;
    }

    // Block by block: only one block is in memory, and the blob appears
    // under its name only with the final block list.
    std::string list = "<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList>";
    std::uint64_t done = 0;
    for (std::uint64_t index = 0; done < total; ++index) {
      const std::size_t n = in.read(buffer.data(), buffer.size());
      if (n == 0) break;
      char id_text[16];
      std::snprintf(id_text, sizeof id_text, "%08llu", static_cast<unsigned long long>(index));
      const std::string id = platform::base64_encode(id_text);
      const Response response = send("PUT", container, name, {{"blockid", id}, {"comp", "block"}},
                                     {{"content-md5", md5_base64(buffer.data(), n)}}, buffer.data(), n);
      if (response.status != 201) fail("upload a block of", container + "/" + name, response);
      list += "<Latest>" + id + "</Latest>";
      done += n;
      if (progress) progress(done, total);
    }
    list += "</BlockList>";
    if (done != total || in.read(buffer.data(), 1) != 0) {
      throw PublishError(file.string() + " changed while it was uploaded");
    }
    std::map<std::string, std::string> headers = {{"x-ms-blob-content-type", content_type},
                                                  {"content-type", "application/xml"},
                                                  {"content-md5", md5_base64(list.data(), list.size())}};
    headers.insert(conditions.begin(), conditions.end());
    const Response committed = send("PUT", container, name, {{"comp", "blocklist"}}, headers, list.data(), list.size());
    if (committed.status != 201) fail_creation("commit the blocks of", container + "/" + name, committed, create_only);
  }

  std::string describe() const override { return endpoint_.url; }

 private:
  static std::string md5_base64(const char* data, std::size_t size) {
    HashObject hash(L"MD5");
    hash.add(data, size);
    return platform::base64_encode(hash.finish(false));
  }

  static std::string header(const Response& response, const std::string& name) {
    const auto found = response.headers.find(name);
    return found != response.headers.end() ? found->second : std::string();
  }

  // A create-only write finds the object there (409 or 412): someone else
  // stored it since it was looked up.
  [[noreturn]] static void fail_creation(const std::string& what, const std::string& object, const Response& response,
                                         bool create_only) {
    if (create_only && (response.status == 409 || response.status == 412)) {
      throw PublishError(object + " appeared meanwhile; nothing was replaced, run again");
    }
    fail(what, object, response);
  }

  static std::string error_code(const Response& response) {
    const auto code = response.headers.find("x-ms-error-code");
    return code != response.headers.end() ? code->second : xml_element(response.body, "Code");
  }

  [[noreturn]] static void fail(const std::string& what, const std::string& object, const Response& response) {
    std::string message = "cannot " + what + " " + object + ": ";
    if (response.status == 0) {
      message += response.body;
    } else {
      message += "HTTP status " + std::to_string(response.status);
      const std::string code = error_code(response);
      if (!code.empty()) message += " (" + code + ")";
      const std::string detail = xml_element(response.body, "Message");
      if (!detail.empty()) message += ": " + detail.substr(0, detail.find('\n'));
    }
    throw PublishError(message);
  }

  Response send(const std::string& verb, const std::string& container, const std::string& name,
                const std::vector<std::pair<std::string, std::string>>& query,
                std::map<std::string, std::string> headers, const char* body, std::size_t length) {
    SignedRequest request;
    request.verb = verb;
    request.path = prefix_ + "/" + percent_encode(container, false);
    if (!name.empty()) request.path += "/" + percent_encode(name, true);
    request.query = query;
    request.content_length = length;
    std::string url = origin_ + request.path;
    for (std::size_t i = 0; i < query.size(); ++i) {
      url += (i ? "&" : "?") + query[i].first + "=" + percent_encode(query[i].second, false);
    }

    Response response;
    for (int attempt = 1;; ++attempt) {
      headers["x-ms-date"] = http_date();
      headers["x-ms-version"] = kApiVersion;
      request.headers = headers;
      const std::string signature = platform::base64_encode(
          hmac_sha256(key_, shared_key_string_to_sign(endpoint_.account, request)));

      curl_slist* list = nullptr;
      for (const auto& [header, value] : headers) list = curl_slist_append(list, (header + ": " + value).c_str());
      list = curl_slist_append(list, ("Authorization: SharedKey " + endpoint_.account + ":" + signature).c_str());
      list = curl_slist_append(list, "Expect:");

      response = Response();
      Body upload{body, length};
      curl_easy_reset(curl_);
      curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "https");
      platform::apply_tls_rules(curl_, endpoint_.ca_file);
      curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 30L);
      // A stalled transfer is given up after a minute without progress.
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, 60L);
      curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
      curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, write_body);
      curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &response.body);
      curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, take_header);
      curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &response.headers);
      if (verb == "PUT") {
        curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl_, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
      } else if (verb == "HEAD") {
        curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
      } else if (verb != "GET") {
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, verb.c_str());
      }
      const CURLcode result = curl_easy_perform(curl_);
      curl_slist_free_all(list);
      if (result == CURLE_OK) {
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &response.status);
      } else {
        response.status = 0;
        response.body = curl_easy_strerror(result);
      }
      const bool transient = response.status == 0 || response.status == 408 || response.status == 429 ||
                             response.status >= 500;
      // Certificate problems do not go away by asking again.
      const bool certificate = result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CACERT_BADFILE ||
                               result == CURLE_SSL_CERTPROBLEM || result == CURLE_UNSUPPORTED_PROTOCOL;
      if (!transient || certificate || attempt == kAttempts) return response;
      std::this_thread::sleep_for(std::chrono::seconds(1 << (attempt - 1)));
    }
  }

  BlobEndpoint endpoint_;
  std::string key_;
  std::string origin_;
  std::string prefix_;
  CURL* curl_ = nullptr;
};

}  // namespace

std::string percent_encode(const std::string& text, bool keep_slash) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.' || c == '~' || (keep_slash && c == '/');
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += digits[u >> 4];
      out += digits[u & 0x0F];
    }
  }
  return out;
}

std::string shared_key_string_to_sign(const std::string& account, const SignedRequest& request) {
  const auto header = [&request](const std::string& name) {
    const auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string() : found->second;
  };
  std::string text = request.verb + "\n";
  text += header("content-encoding") + "\n";
  text += header("content-language") + "\n";
  text += (request.content_length ? std::to_string(request.content_length) : std::string()) + "\n";
  text += header("content-md5") + "\n";
  text += header("content-type") + "\n";
  text += "\n";  // Date: x-ms-date is sent instead
  text += header("if-modified-since") + "\n";
  text += header("if-match") + "\n";
  text += header("if-none-match") + "\n";
  text += header("if-unmodified-since") + "\n";
  text += header("range") + "\n";
  for (const auto& [name, value] : request.headers) {
    if (name.compare(0, 5, "x-ms-") == 0) text += name + ":" + value + "\n";
  }
  text += "/" + account + request.path;
  std::map<std::string, std::vector<std::string>> parameters;
  for (const auto& [name, value] : request.query) parameters[ascii_lower(name)].push_back(value);
  for (auto& [name, values] : parameters) {
    std::sort(values.begin(), values.end());
    text += "\n" + name + ":";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + values[i];
  }
  return text;
}

std::unique_ptr<Store> make_folder_store(const fs::path& folder) { return std::make_unique<FolderStore>(folder); }

std::unique_ptr<Store> make_blob_store(const BlobEndpoint& endpoint) {
  return std::make_unique<BlobStore>(endpoint);
}

}  // namespace publisher
