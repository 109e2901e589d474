#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "curl_tls.h"
#include "platform/text.h"
#include "support/text.h"

namespace platform {
namespace {

// Received bytes held for the body reader before the transfer pauses.
constexpr std::size_t kHeldBytesLimit = 1u << 20;
// An answer nobody reads is read to its end only while it is short: the
// connection then carries the next attempt. A longer one closes it.
constexpr std::size_t kDiscardedBytesLimit = 65536;
// Bytes read from the connection at a time when the body is decoded.
constexpr long kDecodedReadSize = 1024;
// Header text kept of one answer; what goes beyond is not looked at.
constexpr std::size_t kKeptHeaderBytesLimit = 65536;
constexpr char kUserAgent[] = "setuplauncher";

template <class Handle, auto cleanup>
struct CurlDeleter {
  void operator()(Handle* handle) const { cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, CurlDeleter<CURL, curl_easy_cleanup>>;
using MultiHandle = std::unique_ptr<CURLM, CurlDeleter<CURLM, curl_multi_cleanup>>;
using ShareHandle = std::unique_ptr<CURLSH, CurlDeleter<CURLSH, curl_share_cleanup>>;
using HeaderList = std::unique_ptr<curl_slist, CurlDeleter<curl_slist, curl_slist_free_all>>;

// One multi handle for the whole process: its connection pool keeps the
// connection to a host open between operations, so consecutive block
// requests skip the TCP and TLS handshakes. Easy handles are kept for reuse
// too; a nested transfer (started from a message handler) simply takes
// another one.
class CurlClient {
 public:
  static CurlClient& instance() {
    static CurlClient client;
    return client;
  }

  CURLM* multi() const { return multi_.get(); }
  CURLSH* share() const { return share_.get(); }

  EasyHandle take_easy() {
    if (idle_.empty()) return EasyHandle(curl_easy_init());
    EasyHandle easy = std::move(idle_.back());
    idle_.pop_back();
    return easy;
  }

  void give_back(EasyHandle easy) {
    finished_.erase(easy.get());
    curl_easy_reset(easy.get());
    idle_.push_back(std::move(easy));
  }

  // Moves every finished transfer's result out of the multi handle's queue.
  void collect_results() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi(), &left)) {
      if (message->msg == CURLMSG_DONE) finished_[message->easy_handle] = message->data.result;
    }
  }

  bool take_result(CURL* easy, CURLcode& result) {
    const auto found = finished_.find(easy);
    if (found == finished_.end()) return false;
    result = found->second;
    finished_.erase(found);
    return true;
  }

 private:
  // The global state first: every handle below is made after it and gone
  // before it is cleaned up.
  struct Global {
    Global() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~Global() { curl_global_cleanup(); }
  };

  CurlClient() {
    if (share_) {
      curl_share_setopt(share(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
      curl_share_setopt(share(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
  }

  Global global_;
  MultiHandle multi_{curl_multi_init()};
  ShareHandle share_{curl_share_init()};
  std::vector<EasyHandle> idle_;
  std::map<CURL*, CURLcode> finished_;
};

// A host name must not be able to change the shape of the URL it goes into.
bool is_plain_host(const std::string& host) {
  if (host.empty()) return false;
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7F || std::strchr("/\\@?#%:[]", c) != nullptr) return false;
  }
  return true;
}

// The path goes out as given, except for the bytes a URL cannot carry raw;
// '#' would otherwise cut the rest off as a fragment.
std::string escape_path(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"#<>\\^`{|}", c) != nullptr) {
      escaped += '%';
      escaped += hex[c >> 4];
      escaped += hex[c & 0x0F];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

HttpFailure classify(CURLcode result, long connect_status) {
  if (connect_status == 407) return HttpFailure::proxy_auth;
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    // The server dropped a kept-alive connection before answering.
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return HttpFailure::connection;
    default:
      // Refused certificates, malformed requests: sending the same again
      // would end the same way.
      return HttpFailure::stop;
  }
}


class CurlExchange final : public HttpExchange, public HttpBody {
 public:
  CurlExchange(CurlClient& client, EasyHandle easy, const HttpTarget& target, std::string url)
      : client_(client), owned_easy_(std::move(easy)), easy_(owned_easy_.get()), target_(target), url_(std::move(url)) {}

  ~CurlExchange() override {
    detach();
    client_.give_back(std::move(owned_easy_));
  }

  void start(const std::vector<std::string>& header_lines, const std::string& body) override {
    finish_previous();
    reset_attempt();
    configure(header_lines, body);
    if (curl_multi_add_handle(client_.multi(), easy_) != CURLM_OK) return;
    attached_ = true;
    // Gets the connection and the request going; the answer arrives while
    // whoever reads another transfer drives the shared multi handle.
    int running = 0;
    curl_multi_perform(client_.multi(), &running);
  }

  HttpFailure wait() override {
    if (!attached_) return HttpFailure::stop;
    run_until([this] { return headers_done_; });
    if (!headers_done_) {
      long connect_status = 0;
      curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connect_status);
      return classify(done_ ? result_ : CURLE_RECV_ERROR, connect_status);
    }
    return HttpFailure::none;
  }

  int status() const override { return status_; }

  std::string header(const std::string& name) override {
    const std::string wanted = ascii_lower(name);
    for (const auto& [key, value] : header_lines_) {
      if (key == wanted) return value;
    }
    return {};
  }

  HttpBody& body() override { return *this; }

  bool receive_into(std::string* sink, std::size_t limit) override {
    sink_ = sink;
    sink_limit_ = limit;
    return true;
  }

  bool receive_some() override {
    if (!done_) step();
    return !done_;
  }

  // The proxy's credentials come from the proxy variables; there is nobody to ask.
  bool ask_proxy_credentials(unsigned) override { return false; }

  std::size_t read(char* buffer, std::size_t size) override {
    // While the reader waits, what arrives goes straight into its buffer;
    // only what does not fit there is held.
    reader_ = buffer;
    reader_room_ = size;
    reader_got_ = 0;
    while (offset_ == held_.size() && reader_got_ == 0 && !done_) {
      if (paused_) {
        paused_ = false;
        held_.clear();
        offset_ = 0;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
        continue;
      }
      step();
    }
    reader_ = nullptr;
    if (reader_got_ > 0) return reader_got_;
    const std::size_t count = std::min(size, held_.size() - offset_);
    if (count > 0) std::memcpy(buffer, held_.data() + offset_, count);
    offset_ += count;
    if (offset_ == held_.size() && !paused_) {
      held_.clear();
      offset_ = 0;
    }
    return count;
  }

  bool failed() const override { return done_ && result_ != CURLE_OK; }

 private:
  static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto* self = static_cast<CurlExchange*>(self_pointer);
    const std::size_t length = size * count;
    if (self->discarding_) {
      self->discarded_ += length;
      return self->discarded_ <= kDiscardedBytesLimit ? length : 0;
    }
    if (self->sink_) {
      // Anything but the full length ends the transfer as failed.
      const std::size_t room = self->sink_limit_ - std::min(self->sink_limit_, self->sink_->size());
      const std::size_t taken = std::min(length, room);
      self->sink_->append(data, taken);
      self->landed_ = true;
      return taken;
    }
    if (self->reader_ && self->offset_ == self->held_.size()) {
      const std::size_t direct = std::min(length, self->reader_room_ - self->reader_got_);
      std::memcpy(self->reader_ + self->reader_got_, data, direct);
      self->reader_got_ += direct;
      if (self->reader_got_ == self->reader_room_) self->reader_ = nullptr;
      if (direct == length) return length;
      // The rest is held, and counted as taken with it.
      return direct + on_body(data + direct, 1, length - direct, self_pointer);
    }
    if (self->held_.size() - self->offset_ >= kHeldBytesLimit) {
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    // Room for the most that is held, so that growing never doubles it.
    if (self->held_.capacity() < kHeldBytesLimit) self->held_.reserve(kHeldBytesLimit + CURL_MAX_WRITE_SIZE);
    self->held_.append(data, length);
    return length;
  }

  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto* self = static_cast<CurlExchange*>(self_pointer);
    const std::size_t length = size * count;
    const std::string line(data, length);
    // Each answer (an interim 1xx one too) starts with its status line.
    const auto colon = line.find(':');
    if (line.compare(0, 5, "HTTP/") == 0) {
      self->header_lines_.clear();
      self->header_bytes_ = 0;
    } else if (colon != std::string::npos && self->header_bytes_ + length <= kKeptHeaderBytesLimit) {
      self->header_bytes_ += length;
      self->header_lines_.emplace_back(ascii_lower(ascii_trim(line.substr(0, colon))), ascii_trim(line.substr(colon + 1)));
    }
    const bool blank = (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (blank) {
      long code = 0;
      curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &code);
      // 1xx answers are interim; the real one follows.
      if (code >= 200) {
        self->status_ = static_cast<int>(code);
        self->headers_done_ = true;
      }
    }
    return length;
  }

  void configure(const std::vector<std::string>& header_lines, const std::string& body) {
    curl_slist* lines = nullptr;
    bool has_content_type = false;
    for (const auto& line : header_lines) {
      lines = curl_slist_append(lines, line.c_str());
      has_content_type = has_content_type || ascii_lower(line).rfind("content-type:", 0) == 0;
    }
    // Lines the other platform's client never sends: the body goes out at
    // once, and unlabelled unless the caller labels it.
    lines = curl_slist_append(lines, "Expect:");
    if (!has_content_type) lines = curl_slist_append(lines, "Content-Type:");
    headers_.reset(lines);

    curl_easy_reset(easy_);
    curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "https");
    // A redirect is an answer like any other; where it points is not asked.
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_.get());
    // Also turns on decoding of what the Accept-Encoding line asks for; the
    // line itself comes from the header list, in its place. Without it the
    // body arrives as sent. While the reader is behind, libcurl holds all
    // that one read from the connection decodes to, up to a thousand times
    // its size: reads of 1 KiB keep that to about a megabyte.
    if (target_.decode) {
      curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
      curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kDecodedReadSize);
    }
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    const HttpTimeouts& limits = target_.timeouts;
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, limits.connect_seconds);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, limits.stall_bytes_per_second);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, limits.stall_seconds);
    apply_tls_rules(easy_, target_.ca_file);
    if (client_.share()) curl_easy_setopt(easy_, CURLOPT_SHARE, client_.share());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlExchange::on_body);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlExchange::on_header);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    if (target_.verb == HttpVerb::post) {
      curl_easy_setopt(easy_, CURLOPT_POST, 1L);
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, body.data());
    } else {
      curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    }
  }

  void reset_attempt() {
    headers_done_ = false;
    done_ = false;
    paused_ = false;
    discarding_ = false;
    discarded_ = 0;
    result_ = CURLE_OK;
    status_ = 0;
    header_lines_.clear();
    header_bytes_ = 0;
    held_.clear();
    offset_ = 0;
    if (sink_) sink_->clear();
  }

  // An answer that was not read (an error status) is read to its end so that
  // its connection can carry the next attempt.
  void finish_previous() {
    if (!attached_) return;
    if (!done_) {
      discarding_ = true;
      held_.clear();
      offset_ = 0;
      if (paused_) {
        paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
      }
      run_until([] { return false; });
    }
    detach();
  }

  void detach() {
    if (!attached_) return;
    curl_multi_remove_handle(client_.multi(), easy_);
    CURLcode ignored;
    client_.collect_results();
    client_.take_result(easy_, ignored);
    attached_ = false;
  }

  // One pass over the transfers; a wait for the network lasts at most a second.
  void step() {
    landed_ = false;
    int running = 0;
    if (curl_multi_perform(client_.multi(), &running) != CURLM_OK) {
      done_ = true;
      result_ = CURLE_RECV_ERROR;
      return;
    }
    client_.collect_results();
    if (client_.take_result(easy_, result_)) {
      done_ = true;
      return;
    }
    // Waits only when there is nothing new for the caller.
    const bool nothing_new = sink_ ? !landed_ : offset_ == held_.size() && reader_got_ == 0;
    if (!headers_done_ || nothing_new) curl_multi_poll(client_.multi(), nullptr, 0, 1000, nullptr);
  }

  template <typename Ready>
  void run_until(Ready ready) {
    while (!ready() && !done_) step();
  }

  CurlClient& client_;
  EasyHandle owned_easy_;
  CURL* easy_;
  HttpTarget target_;
  std::string url_;
  HeaderList headers_;
  bool attached_ = false;
  bool headers_done_ = false;
  bool done_ = false;
  bool paused_ = false;
  bool discarding_ = false;
  std::size_t discarded_ = 0;
  CURLcode result_ = CURLE_OK;
  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> header_lines_;  // lower-case name, value
  std::size_t header_bytes_ = 0;
  std::string held_;
  std::size_t offset_ = 0;
  char* reader_ = nullptr;  // the waiting reader's buffer, while read() waits
  std::size_t reader_room_ = 0;
  std::size_t reader_got_ = 0;
  std::string* sink_ = nullptr;
  std::size_t sink_limit_ = 0;
  bool landed_ = false;  // bytes reached the sink in the latest step
};

}  // namespace

std::unique_ptr<HttpExchange> open_http_exchange(const HttpTarget& target) {
  const std::string host = utf8_from_wide(target.server);
  if (!is_plain_host(host) || target.port <= 0 || target.port > 65535) return nullptr;
  CurlClient& client = CurlClient::instance();
  if (!client.multi()) return nullptr;
  EasyHandle easy = client.take_easy();
  if (!easy) return nullptr;
  std::string url = "https://" + host + ":" + std::to_string(target.port) + escape_path(target.path);
  return std::make_unique<CurlExchange>(client, std::move(easy), target, std::move(url));
}

}  // namespace platform
