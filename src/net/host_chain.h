// The hosts one store is reached through, in order of preference (a CDN in
// front, the origin store behind it), and the one in use. A host that fails
// kHostTroubleLimit attempts in a row (connection failures, 408, 429, 5xx)
// is left for the next one for the rest of the run, so that a dead first
// host costs seconds rather than the whole wait budget; the last host is
// never left. Requests that share a chain share that choice. The chain only
// decides where requests go: what arrives is checked the same way whichever
// host sent it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "net/http.h"

inline constexpr unsigned kHostTroubleLimit = 3;

class HostChain {
 public:
  explicit HostChain(HttpService first, std::vector<HttpService> then = {});

  std::size_t size() const { return hosts_.size(); }
  std::size_t current() const { return current_; }
  const HttpService& host(std::size_t index) const { return hosts_[index]; }

  // An attempt at host `index` got an answer that was not trouble.
  void note_answer(std::size_t index);
  // An attempt at host `index` met trouble; true when that moved the chain
  // on to the next host.
  bool note_trouble(std::size_t index);
  // Host `index` served (part of) object. With more than one host, the log
  // says which one did, once per object and host.
  void note_served(std::size_t index, const std::wstring& object);

 private:
  std::vector<HttpService> hosts_;
  std::size_t current_ = 0;
  unsigned troubles_in_a_row_ = 0;
  std::map<std::wstring, std::size_t> served_;
};

// "host" or "host:port" for the log.
std::string host_text(const HttpService& service);

// The hosts of a comma-separated "host[:port]" list (blanks around entries
// ignored, port 0 or none: the HTTPS default), each with like's trust and
// time-outs. Entries that are not a DNS name with an optional port are
// left out.
std::vector<HttpService> services_from_host_list(const std::string& list, const HttpService& like);
