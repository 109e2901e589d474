#include "net/host_chain.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr char kLogSource[] = "http";

bool is_dns_name(const std::string& host) {
  if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-') return false;
  for (const char c : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

HostChain::HostChain(HttpService first, std::vector<HttpService> then) {
  hosts_.push_back(std::move(first));
  for (auto& host : then) hosts_.push_back(std::move(host));
}

void HostChain::note_answer(std::size_t index) {
  if (index == current_) troubles_in_a_row_ = 0;
}

bool HostChain::note_trouble(std::size_t index) {
  // A late answer from a host already left changes nothing.
  if (index != current_) return false;
  if (++troubles_in_a_row_ < kHostTroubleLimit || current_ + 1 == hosts_.size()) return false;
  write_log(host_text(hosts_[current_]) + " failed " + std::to_string(troubles_in_a_row_) +
                " attempts in a row; going on with " + host_text(hosts_[current_ + 1]),
            __LINE__, kLogSource);
  ++current_;
  troubles_in_a_row_ = 0;
  return true;
}

void HostChain::note_served(std::size_t index, const std::wstring& object) {
  if (hosts_.size() < 2) return;
  const auto found = served_.find(object);
  if (found != served_.end() && found->second == index) return;
  served_[object] = index;
  write_log(utf8_from_wide(object) + " served by " + host_text(hosts_[index]), __LINE__, kLogSource);
}

std::string host_text(const HttpService& service) {
  const std::string host = utf8_from_wide(service.host);
  return service.port == 0 ? host : host + ":" + std::to_string(service.port);
}

std::vector<HttpService> services_from_host_list(const std::string& list, const HttpService& like) {
  std::vector<HttpService> services;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string entry = ascii_trim(list.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    const std::size_t colon = entry.find(':');
    const std::string host = entry.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string("0") : entry.substr(colon + 1);
    if (!is_dns_name(host) || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
      continue;
    }
    HttpService service = like;
    service.host = wide_from_utf8(host);
    service.port = std::stoi(port);
    services.push_back(std::move(service));
  }
  return services;
}
