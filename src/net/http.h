// The launcher's only way onto the network: one HTTPS request, sent again
// in place while the answer is not the one asked for, with the answer's body
// handed to a handler. Ordinary failures are a false result.
//
// Sending again: after a connection failure or an answer that says the
// store is in trouble (408, 429, 5xx), only after a wait (net/http_rules.h:
// growing, jittered, what Retry-After asks for, two minutes in all), and
// perhaps to the next host of the request's chain (net/host_chain.h); after
// any other answer at once, up to kHttpAttemptLimit attempts in all. A
// refused certificate ends the request at once. Redirects are never
// followed.
//
// Bodies are bounded: a body longer than the request's body_limit ends it
// as failed, and never takes more room than that. A request for a byte range
// takes only the answer that is that range (see range_answer_length), with
// exactly its length, and is sent without content encoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/http_rules.h"
#include "platform/http.h"

// Where requests go and what they trust: a part of the program's settings.
struct HttpService {
  std::wstring host;
  int port = 0;  // 0: 443
  std::string ca_file;  // a CA trusted besides the system's (test and demo builds)
  platform::HttpTimeouts timeouts;
};

class HostChain;

// True when the body was consumed.
using BodyHandler = std::function<bool(HttpBody& body)>;

inline constexpr int kHttpAttemptLimit = 15;
inline constexpr std::size_t kHttpReadChunk = 524'288;
// What a body may hold unless the request says otherwise.
inline constexpr std::size_t kHttpBodyLimit = 16u << 20;

struct HttpRequest {
  HttpService service;
  // When set, the request goes to the chain's current host instead of
  // service, and its failures count for the chain.
  HostChain* hosts = nullptr;
  std::wstring object_path;  // with or without a leading "/"
  BodyHandler body_handler;
  HttpVerb verb = HttpVerb::get;
  std::vector<std::wstring> extra_headers;  // "Name: value", no line end
  std::int64_t range_first = 0;             // a range is asked for when either bound is non-zero
  std::int64_t range_last = 0;              // inclusive
  std::string body;
  std::size_t body_limit = kHttpBodyLimit;
  unsigned wait_budget_ms = kHttpWaitBudgetMs;
  // When set, the answer's body is appended here instead of going to
  // body_handler. A request started early may receive its whole body before
  // finish(), with no room of its own. Holds only the body of the attempt
  // that was accepted.
  std::string* body_sink = nullptr;
  // With body_sink: called whenever more of the body has arrived while
  // finish() waits for it.
  std::function<void()> body_arrived;
  // Called between the pieces of a body, so that windows stay alive while
  // it arrives.
  std::function<void()> keep_alive;
};

// A request whose first attempt goes out as soon as it is made, so that the
// connection carries it while the caller still reads an earlier answer.
// finish() then takes the answer under the rules above, the early attempt
// counting as the first. Dropped unfinished, it is abandoned.
class StartedRequest {
 public:
  explicit StartedRequest(HttpRequest request);
  ~StartedRequest();
  StartedRequest(const StartedRequest&) = delete;
  StartedRequest& operator=(const StartedRequest&) = delete;
  // Once only.
  bool finish();
  // After finish(): the accepted answer's body was longer than allowed.
  bool too_long() const { return too_long_; }

 private:
  void open(std::size_t host);
  // Whether the answer is the one asked for; length: what a range's body
  // must then hold.
  bool acceptable(int status, std::optional<std::uint64_t>& length);
  // Takes the accepted answer's body; true when it arrived whole.
  bool take_body(const std::optional<std::uint64_t>& length);
  bool receive_body(HttpBody& answer);

  HttpRequest request_;
  std::unique_ptr<HostChain> own_hosts_;  // when the request names a single service
  HostChain* hosts_ = nullptr;
  std::size_t host_ = 0;  // the host the exchange goes to
  std::vector<std::string> header_lines_;
  std::unique_ptr<platform::HttpExchange> exchange_;
  bool lands_in_sink_ = false;  // the platform appends the body to body_sink itself
  bool too_long_ = false;
};

bool send_request(HttpRequest request);
bool download_to_string(const HttpService& service, const std::wstring& object_path, std::string* out,
                        std::int64_t range_first = 0, std::int64_t range_last = 0);
// A whole object into memory, from the chain's hosts, appended to out.
enum class Fetched { whole, failed, too_long };
Fetched fetch_to_string(HostChain& hosts, const std::wstring& object_path, std::size_t limit, std::string* out);
bool http_post(const HttpService& service, const std::wstring& object_path,
               const std::vector<std::wstring>& extra_headers, const std::string& body,
               unsigned wait_budget_ms = kHttpWaitBudgetMs);

BodyHandler append_to_string(std::string* out);
BodyHandler discard_body();
