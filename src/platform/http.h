// One HTTP(S) exchange on the platform's client: a request that can be sent
// several times on the same handle, and the open answer of the latest
// attempt. The retry rules live in src/net/http.cpp; an implementation here
// only sends, reads and sorts its errors into the few classes those rules
// need.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

enum class HttpVerb { post = 0, get = 1 };

// The open answer of a request; a handler reads its body in chunks.
class HttpBody {
 public:
  virtual ~HttpBody() = default;
  // Reads up to size bytes into buffer; 0 at the end of the body. Sets
  // failed() when the transfer breaks off.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
  virtual bool failed() const = 0;
};

namespace platform {

// A dead connection must not hang the launcher: a connect that takes longer
// than connect_seconds, or a transfer below stall_bytes_per_second for
// stall_seconds, ends the attempt as a time-out (and so as a reason to send
// again). These bind the libcurl client; WinINet keeps its own time-outs.
struct HttpTimeouts {
  long connect_seconds = 30;
  long stall_bytes_per_second = 1024;
  long stall_seconds = 60;
};

// What became of one attempt, by the platform's own error.
enum class HttpFailure {
  none,        // an answer arrived; its status says the rest
  retry,       // the client adjusted itself (a tolerated revocation check): send again at once
  connection,  // the host could not be reached, or dropped the connection or fell silent before answering
  proxy_auth,  // the proxy asks for credentials: see ask_proxy_credentials
  stop,        // anything else, a refused certificate among them
};

// Always HTTPS; a redirect is handed back as the answer it is, never followed.
struct HttpTarget {
  std::wstring server;
  int port = 0;  // already resolved: never 0
  HttpVerb verb = HttpVerb::get;
  std::string path;  // UTF-8, with exactly one leading "/"
  // A CA trusted besides the system's (test and demo builds); empty: none.
  std::string ca_file;
  HttpTimeouts timeouts;
  // Whether an encoded answer (gzip, deflate) is decoded on the way. Off for
  // byte ranges: they count the stored bytes, and what a server encodes
  // anyway then reaches the caller as it was sent.
  bool decode = true;
};

class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  // Starts one attempt and returns at once: the connection carries it while
  // the caller still reads an earlier answer. header_lines: complete lines
  // without line ends, in the order they go out; a line already on the
  // request is not added again. A non-empty body is sent unchanged.
  virtual void start(const std::vector<std::string>& header_lines, const std::string& body) = 0;
  // Waits until the started attempt's answer begins; what became of it.
  virtual HttpFailure wait() = 0;
  // One attempt, start to answer.
  HttpFailure send(const std::vector<std::string>& header_lines, const std::string& body) {
    start(header_lines, body);
    return wait();
  }
  // Status of the latest answer; 0 when none arrived.
  virtual int status() const = 0;
  // The value of the latest answer's first header line of that name
  // (case-insensitive), without surrounding blanks; empty when it has none.
  virtual std::string header(const std::string& name) = 0;
  // The latest answer's body, positioned at its start.
  virtual HttpBody& body() = 0;
  // Before the first start: asks for the body to be appended to sink as it
  // arrives, also while nobody waits for it, so that an attempt started
  // early needs no room of its own and never pauses. True when this
  // platform does so; every attempt then empties sink first, and the body is
  // taken with receive_some instead of read. False: read as usual. At most
  // limit bytes land there: a longer body ends the transfer as failed with
  // exactly limit bytes in the sink.
  virtual bool receive_into(std::string* sink, std::size_t limit) = 0;
  // Waits for more of the body to reach the sink; false once it has ended
  // (body().failed() says how).
  virtual bool receive_some() = 0;
  // Runs the platform's proxy credentials step; attempt counts these calls
  // from 1. True when the request should be sent again.
  virtual bool ask_proxy_credentials(unsigned attempt) = 0;
};

// Null when the client or the connection cannot be set up.
std::unique_ptr<HttpExchange> open_http_exchange(const HttpTarget& target);

}  // namespace platform
