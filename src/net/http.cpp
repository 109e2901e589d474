#include "net/http.h"

#include <memory>
#include <utility>

#include "platform/text.h"

namespace {

// A store answers an accepted insert with 201 Created, or 204 No Content when
// asked for no echo; sending such a POST again would only repeat it.
bool is_success(HttpVerb verb, int status) {
  if (status == 200 || status == 206) return true;
  return verb == HttpVerb::post && (status == 201 || status == 204);
}

std::string request_path(const std::wstring& object_path) {
  std::string path = utf8_from_wide(object_path);
  return path.front() == '/' ? path : "/" + path;
}

// The order matters to proxies and stores that sign requests: range first,
// then the encodings we can decode, then the caller's own lines.
std::vector<std::string> header_lines(const HttpRequest& request) {
  std::vector<std::string> lines;
  if (request.range_first != 0 || request.range_last != 0) {
    lines.push_back("Range: bytes=" + std::to_string(request.range_first) + "-" +
                    std::to_string(request.range_last));
  }
  lines.push_back("Accept-Encoding: gzip, deflate");
  for (const auto& extra : request.extra_headers) lines.push_back(utf8_from_wide(extra));
  return lines;
}

// Reads the body in large chunks through one buffer; sink gets each chunk.
template <typename Sink>
bool read_body(HttpBody& body, Sink sink) {
  const auto buffer = std::make_unique<char[]>(kHttpReadChunk);
  for (;;) {
    const std::size_t got = body.read(buffer.get(), kHttpReadChunk);
    sink(buffer.get(), got);
    if (got == 0) return true;
  }
}

// The body as a handler sees it: the windows breathe around every read.
class KeptAliveBody : public HttpBody {
 public:
  KeptAliveBody(HttpBody& body, const std::function<void()>& keep_alive) : body_(body), keep_alive_(keep_alive) {}
  std::size_t read(char* buffer, std::size_t size) override {
    if (keep_alive_) keep_alive_();
    const std::size_t got = body_.read(buffer, size);
    if (keep_alive_) keep_alive_();
    return got;
  }
  bool failed() const override { return body_.failed(); }

 private:
  HttpBody& body_;
  const std::function<void()>& keep_alive_;
};

}  // namespace

StartedRequest::StartedRequest(HttpRequest request) : request_(std::move(request)) {
  const HttpService& service = request_.service;
  if (service.host.empty() || request_.object_path.empty()) return;
  // A GET never carries a body.
  if (request_.verb == HttpVerb::get) request_.body.clear();

  platform::HttpTarget target;
  target.server = service.host;
  target.secure = service.secure;
  target.port = service.port != 0 ? (service.port & 0xFFFF) : (service.secure ? 443 : 80);
  target.verb = request_.verb;
  target.path = request_path(request_.object_path);
  target.ca_file = service.ca_file;
  target.timeouts = service.timeouts;

  exchange_ = platform::open_http_exchange(target);
  if (!exchange_) return;
  header_lines_ = header_lines(request_);
  if (request_.body_sink) lands_in_sink_ = exchange_->receive_into(request_.body_sink);
  exchange_->start(header_lines_, request_.body);
}

StartedRequest::~StartedRequest() = default;

bool StartedRequest::finish() {
  if (!exchange_) return false;
  int status = 0;
  bool stop = false;
  bool handler_failed = false;
  unsigned proxy_dialogs = 0;
  for (int attempt = 0; !stop && !is_success(request_.verb, status) && attempt < kHttpAttemptLimit; ++attempt) {
    const platform::HttpFailure failure =
        attempt == 0 ? exchange_->wait() : exchange_->send(header_lines_, request_.body);
    // Without a complete answer there is no status to trust: a failed attempt
    // must never pass for a success whose body nobody read.
    status = failure == platform::HttpFailure::none ? exchange_->status() : 0;
    switch (failure) {
      case platform::HttpFailure::none:
        break;
      case platform::HttpFailure::retry:
        continue;
      case platform::HttpFailure::proxy_auth:
        if (!exchange_->ask_proxy_credentials(++proxy_dialogs)) stop = true;
        continue;
      case platform::HttpFailure::stop:
        stop = true;
        continue;
    }
    if (!is_success(request_.verb, status)) continue;
    KeptAliveBody answer(exchange_->body(), request_.keep_alive);
    const bool consumed = receive_body(answer);
    // A body that broke off is not a success, and sending again would hand
    // the same bytes to the handler twice: end here.
    if (!consumed || answer.failed()) {
      handler_failed = true;
      stop = true;
    }
  }
  exchange_.reset();
  return is_success(request_.verb, status) && !handler_failed;
}

bool StartedRequest::receive_body(HttpBody& answer) {
  if (!request_.body_sink) return request_.body_handler ? request_.body_handler(answer) : true;
  std::string& sink = *request_.body_sink;
  const std::function<void()>& arrived = request_.body_arrived;
  if (!lands_in_sink_) {
    sink.clear();
    return read_body(answer, [&sink, &arrived](const char* data, std::size_t size) {
      sink.append(data, size);
      if (arrived) arrived();
    });
  }
  // Part of the body may have come with the answer's headers.
  if (arrived) arrived();
  for (bool more = true; more;) {
    more = exchange_->receive_some();
    if (request_.keep_alive) request_.keep_alive();
    if (arrived) arrived();
  }
  return true;
}

bool send_request(HttpRequest request) { return StartedRequest(std::move(request)).finish(); }

bool download_to_string(const HttpService& service, const std::wstring& object_path, std::string* out,
                        std::int64_t range_first, std::int64_t range_last) {
  HttpRequest request;
  request.service = service;
  request.object_path = object_path;
  request.body_handler = append_to_string(out);
  request.range_first = range_first;
  request.range_last = range_last;
  return send_request(std::move(request));
}

bool http_post(const HttpService& service, const std::wstring& object_path,
               const std::vector<std::wstring>& extra_headers, const std::string& body) {
  HttpRequest request;
  request.service = service;
  request.object_path = object_path;
  request.body_handler = discard_body();
  request.verb = HttpVerb::post;
  request.extra_headers = extra_headers;
  request.body = body;
  return send_request(std::move(request));
}

BodyHandler append_to_string(std::string* out) {
  return [out](HttpBody& body) {
    return read_body(body, [out](const char* data, std::size_t size) { out->append(data, size); });
  };
}

BodyHandler discard_body() {
  return [](HttpBody& body) { return read_body(body, [](const char*, std::size_t) {}); };
}
