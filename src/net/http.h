// The launcher's only way onto the network: one HTTP(S) request, sent again
// in place while the answer is not 200/206 (at most 15 attempts), with the
// answer's body handed to a handler. Ordinary failures are a false result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/http.h"

// Where requests go and what they trust: a part of the program's settings.
struct HttpService {
  std::wstring host;
  int port = 0;  // 0: 443 for HTTPS, 80 for HTTP
  bool secure = true;
  std::string ca_file;  // a CA trusted besides the system's (test and demo builds)
  platform::HttpTimeouts timeouts;
};

// True when the body was consumed.
using BodyHandler = std::function<bool(HttpBody& body)>;

struct HttpRequest {
  HttpService service;
  std::wstring object_path;  // with or without a leading "/"
  BodyHandler body_handler;
  HttpVerb verb = HttpVerb::get;
  std::vector<std::wstring> extra_headers;  // "Name: value", no line end
  std::int64_t range_first = 0;             // a range is asked for when either bound is non-zero
  std::int64_t range_last = 0;              // inclusive
  std::string body;
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

inline constexpr int kHttpAttemptLimit = 15;
inline constexpr std::size_t kHttpReadChunk = 524'288;

// A request whose first attempt goes out as soon as it is made, so that the
// connection carries it while the caller still reads an earlier answer.
// finish() then takes the answer under the rules of send_request, the early
// attempt counting as the first. Dropped unfinished, it is abandoned.
class StartedRequest {
 public:
  explicit StartedRequest(HttpRequest request);
  ~StartedRequest();
  StartedRequest(const StartedRequest&) = delete;
  StartedRequest& operator=(const StartedRequest&) = delete;
  // Once only.
  bool finish();

 private:
  bool receive_body(HttpBody& answer);

  HttpRequest request_;
  std::vector<std::string> header_lines_;
  std::unique_ptr<platform::HttpExchange> exchange_;
  bool lands_in_sink_ = false;  // the platform appends the body to body_sink itself
};

bool send_request(HttpRequest request);
bool download_to_string(const HttpService& service, const std::wstring& object_path, std::string* out,
                        std::int64_t range_first = 0, std::int64_t range_last = 0);
bool http_post(const HttpService& service, const std::wstring& object_path,
               const std::vector<std::wstring>& extra_headers, const std::string& body);

BodyHandler append_to_string(std::string* out);
BodyHandler discard_body();
