#include "net/http.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <utility>

#include "net/host_chain.h"
#include "platform/text.h"
#include "support/hooks.h"

namespace {

// Waits are slept in pieces, so that windows stay alive through them.
constexpr unsigned kWaitPieceMs = 250;

// A store answers an accepted insert with 201 Created, or 204 No Content when
// asked for no echo; sending such a POST again would only repeat it. A 206
// is an answer only to a range.
bool is_success(HttpVerb verb, int status, bool ranged) {
  if (verb == HttpVerb::post) return status == 200 || status == 201 || status == 204;
  return status == 200 || (ranged && status == 206);
}

std::string request_path(const std::wstring& object_path) {
  std::string path = utf8_from_wide(object_path);
  return path.front() == '/' ? path : "/" + path;
}

bool is_ranged(const HttpRequest& request) { return request.range_first != 0 || request.range_last != 0; }

// The order matters to proxies and stores that sign requests: range first,
// then the encodings we can decode, then the caller's own lines. A range
// counts stored bytes, so it is asked for without any encoding.
std::vector<std::string> header_lines(const HttpRequest& request) {
  std::vector<std::string> lines;
  if (is_ranged(request)) {
    lines.push_back("Range: bytes=" + std::to_string(request.range_first) + "-" +
                    std::to_string(request.range_last));
  } else {
    lines.push_back("Accept-Encoding: gzip, deflate");
  }
  for (const auto& extra : request.extra_headers) lines.push_back(utf8_from_wide(extra));
  return lines;
}

// The most bytes an answer to the request may carry.
std::size_t body_room(const HttpRequest& request) {
  if (!is_ranged(request) || request.range_last < request.range_first) return request.body_limit;
  const auto span = static_cast<std::uint64_t>(request.range_last - request.range_first) + 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(span, request.body_limit));
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

// The body as a handler sees it: the windows breathe around every read, and
// a body longer than its room ends as failed before the excess is handed on.
class GuardedBody : public HttpBody {
 public:
  GuardedBody(HttpBody& body, const std::function<void()>& keep_alive, std::size_t room)
      : body_(body), keep_alive_(keep_alive), room_(room) {}
  std::size_t read(char* buffer, std::size_t size) override {
    if (too_long_) return 0;
    if (keep_alive_) keep_alive_();
    const std::size_t left = room_ - taken_;
    // One byte beyond the room tells a longer body.
    const std::size_t got = body_.read(buffer, left < size ? left + 1 : size);
    if (keep_alive_) keep_alive_();
    if (got > left) {
      too_long_ = true;
      return 0;
    }
    taken_ += got;
    return got;
  }
  bool failed() const override { return too_long_ || body_.failed(); }
  bool too_long() const { return too_long_; }
  std::size_t taken() const { return taken_; }

 private:
  HttpBody& body_;
  const std::function<void()>& keep_alive_;
  std::size_t room_;
  std::size_t taken_ = 0;
  bool too_long_ = false;
};

std::uint32_t jitter() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<std::uint32_t>(generator());
}

std::int64_t seconds_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What the answer asks for with Retry-After, measured against its own Date
// where it has one: the store's clock, not this machine's, set the date.
std::optional<std::uint64_t> asked_wait(platform::HttpExchange& exchange) {
  const std::string value = exchange.header("Retry-After");
  if (value.empty()) return std::nullopt;
  const auto answered = parse_http_date(exchange.header("Date"));
  return retry_after_ms(value, answered ? *answered : seconds_now());
}

void wait_ms(unsigned milliseconds, const std::function<void()>& keep_alive) {
  if (!keep_alive) {
    hooks().sleep_ms(milliseconds);
    return;
  }
  for (unsigned left = milliseconds; left > 0;) {
    const unsigned piece = std::min(left, kWaitPieceMs);
    hooks().sleep_ms(piece);
    keep_alive();
    left -= piece;
  }
}

}  // namespace

StartedRequest::StartedRequest(HttpRequest request) : request_(std::move(request)) {
  if (request_.hosts) {
    hosts_ = request_.hosts;
  } else {
    own_hosts_ = std::make_unique<HostChain>(request_.service);
    hosts_ = own_hosts_.get();
  }
  if (request_.object_path.empty()) return;
  // A GET never carries a body.
  if (request_.verb == HttpVerb::get) request_.body.clear();
  header_lines_ = header_lines(request_);
  open(hosts_->current());
  if (exchange_) exchange_->start(header_lines_, request_.body);
}

StartedRequest::~StartedRequest() = default;

void StartedRequest::open(std::size_t host) {
  exchange_.reset();
  host_ = host;
  const HttpService& service = hosts_->host(host);
  if (service.host.empty()) return;
  platform::HttpTarget target;
  target.server = service.host;
  target.port = service.port != 0 ? (service.port & 0xFFFF) : 443;
  target.verb = request_.verb;
  target.path = request_path(request_.object_path);
  target.ca_file = service.ca_file;
  target.timeouts = service.timeouts;
  target.decode = !is_ranged(request_);
  exchange_ = platform::open_http_exchange(target);
  lands_in_sink_ = exchange_ && request_.body_sink && exchange_->receive_into(request_.body_sink, body_room(request_));
}

bool StartedRequest::finish() {
  WaitBudget waits(request_.wait_budget_ms);
  int attempts = 1;
  unsigned troubles = 0;  // in a row at this host: they set the length of the next wait
  unsigned proxy_dialogs = 0;
  bool under_way = true;  // the latest attempt was started and needs only waiting for
  while (exchange_) {
    if (!under_way) ++attempts;
    const platform::HttpFailure failure =
        under_way ? exchange_->wait() : exchange_->send(header_lines_, request_.body);
    under_way = false;
    // Without a complete answer there is no status to trust: a failed attempt
    // must never pass for a success whose body nobody read.
    const int status = failure == platform::HttpFailure::none ? exchange_->status() : 0;
    if (failure == platform::HttpFailure::stop) break;
    if (failure == platform::HttpFailure::proxy_auth && !exchange_->ask_proxy_credentials(++proxy_dialogs)) break;

    if (failure == platform::HttpFailure::connection || is_trouble_status(status)) {
      if (hosts_->note_trouble(host_)) {
        // The next host gets its first attempt at once.
        open(hosts_->current());
        if (exchange_) exchange_->start(header_lines_, request_.body);
        under_way = true;
        troubles = 0;
        continue;
      }
      const auto wait = waits.next(troubles++, status != 0 ? asked_wait(*exchange_) : std::nullopt, jitter());
      if (!wait) break;
      wait_ms(*wait, request_.keep_alive);
      continue;
    }
    if (failure == platform::HttpFailure::none) {
      hosts_->note_answer(host_);
      std::optional<std::uint64_t> length;
      if (acceptable(status, length)) return take_body(length);
    }
    if (attempts >= kHttpAttemptLimit) break;
  }
  exchange_.reset();
  return false;
}

bool StartedRequest::acceptable(int status, std::optional<std::uint64_t>& length) {
  if (!is_success(request_.verb, status, is_ranged(request_))) return false;
  if (!is_ranged(request_)) return true;
  length = range_answer_length(static_cast<std::uint64_t>(request_.range_first),
                               static_cast<std::uint64_t>(request_.range_last),
                               {status, exchange_->header("Content-Range"), exchange_->header("Content-Length"),
                                exchange_->header("Content-Encoding")});
  return length.has_value();
}

bool StartedRequest::take_body(const std::optional<std::uint64_t>& length) {
  const std::size_t room = body_room(request_);
  GuardedBody answer(exchange_->body(), request_.keep_alive, room);
  const bool consumed = receive_body(answer);
  const bool failed = !consumed || answer.failed();
  const std::size_t received = lands_in_sink_ ? request_.body_sink->size() : answer.taken();
  too_long_ = answer.too_long() || (lands_in_sink_ && failed && received == room);
  // A body that broke off is not a success, and sending again would hand the
  // same bytes to the handler twice: the request ends here either way.
  const bool whole = !failed && (!length || received == *length);
  if (whole) hosts_->note_served(host_, request_.object_path);
  exchange_.reset();
  return whole;
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
  // The platform keeps the sink within its room itself. Part of the body may
  // have come with the answer's headers.
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

Fetched fetch_to_string(HostChain& hosts, const std::wstring& object_path, std::size_t limit, std::string* out) {
  HttpRequest request;
  request.hosts = &hosts;
  request.object_path = object_path;
  request.body_handler = append_to_string(out);
  request.body_limit = limit;
  StartedRequest started(std::move(request));
  if (started.finish()) return Fetched::whole;
  return started.too_long() ? Fetched::too_long : Fetched::failed;
}

bool http_post(const HttpService& service, const std::wstring& object_path,
               const std::vector<std::wstring>& extra_headers, const std::string& body, unsigned wait_budget_ms) {
  HttpRequest request;
  request.service = service;
  request.object_path = object_path;
  request.body_handler = discard_body();
  request.verb = HttpVerb::post;
  request.extra_headers = extra_headers;
  request.body = body;
  request.wait_budget_ms = wait_budget_ms;
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
