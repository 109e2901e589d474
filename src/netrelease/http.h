// The launcher's only way onto the network: one HTTP(S) request, sent again
// in place while the answer is not 200/206 (at most 15 attempts), with the
// answer's body handed to a handler. Ordinary failures are a false result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The open answer of a request; a handler reads its body in chunks.
class HttpBody {
 public:
  virtual ~HttpBody() = default;
  // Reads up to size bytes into buffer; 0 at the end of the body. Sets
  // failed() when the transfer breaks off.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
  virtual bool failed() const = 0;
};

// True when the body was consumed.
using BodyHandler = std::function<bool(HttpBody& body)>;

enum class HttpVerb { post = 0, get = 1 };

struct HttpRequest {
  std::wstring server;
  std::wstring object_path;  // with or without a leading "/"
  bool secure = true;
  int port = 0;  // 0: 443 for HTTPS, 80 for HTTP
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
};

inline constexpr int kHttpAttemptLimit = 15;
inline constexpr std::size_t kHttpReadChunk = 524'288;

namespace platform {
class HttpExchange;
}

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
bool http_get(const std::wstring& server, const std::wstring& object_path, bool secure, int port,
              BodyHandler handler, std::int64_t range_first, std::int64_t range_last);
bool download_to_string(const std::wstring& server, const std::wstring& object_path, std::string* out,
                        std::int64_t range_first, std::int64_t range_last, bool secure, int port);
bool http_post(const std::wstring& server, const std::wstring& object_path, bool secure, int port,
               const std::vector<std::wstring>& extra_headers, const std::string& body);

BodyHandler append_to_string(std::string* out);
BodyHandler discard_body();
