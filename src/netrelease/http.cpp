#include "netrelease/http.h"

// Placeholder until the transfer layer lands: every request fails.
bool send_request(HttpRequest) { return false; }
bool http_get(const std::wstring&, const std::wstring&, bool, int, BodyHandler, std::int64_t, std::int64_t) {
  return false;
}
bool download_to_string(const std::wstring&, const std::wstring&, std::string*, std::int64_t, std::int64_t, bool,
                        int) {
  return false;
}
bool http_post(const std::wstring&, const std::wstring&, bool, int, const std::vector<std::wstring>&,
               const std::string&) {
  return false;
}
BodyHandler append_to_string(std::string*) { return {}; }
BodyHandler discard_body() { return {}; }
