#include "telemetry/send_telemetry.h"

#include <chrono>

#include "net/http.h"
#include "platform/crypto.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/hashing.h"

namespace {
constexpr char kTablePath[] = "/downloads";
// A usage record is not worth much of the user's time: a table store in
// trouble gets a few seconds of waiting, then the record is left out.
constexpr unsigned kRecordWaitBudgetMs = 5000;
}  // namespace

namespace {

std::int64_t current_unix_second() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A record's keys are the second it is sent in and the machine. A second
// record of this process within the same second would be refused as a
// duplicate and lost, as "success" is when the archive is already on disk
// and "begin" went out a moment before: such a record waits for the next
// second instead.
void wait_for_an_unused_second() {
  static std::int64_t last_second = -1;
  while (current_unix_second() == last_second) platform::sleep_ms(20);
  last_second = current_unix_second();
}

}  // namespace

bool send_telemetry(const TelemetryEndpoint& endpoint, const std::wstring& product, const std::string& version,
                    const std::string& action, const std::string& duration, int launcher_version) {
  // A build without a telemetry host leaves usage records out altogether.
  if (endpoint.host.empty()) return false;
  wait_for_an_unused_second();
  const UtcTime now = current_utc_time();
  return insert_telemetry_record(endpoint, make_telemetry_record(product, version, action, duration, launcher_version),
                                 now);
}

TelemetryRecord make_telemetry_record(const std::wstring& product, const std::string& version,
                                      const std::string& action, const std::string& duration, int launcher_version) {
  TelemetryRecord record = TelemetryRecord::object();
  record["product"] = utf8_from_wide(product);
  record["version"] = version;
  record["version_setuplauncher"] = std::to_string(launcher_version);
  record["action"] = action;
  record["duration"] = duration.empty() ? std::string("0") : duration;
  add_system_fields(record);
  add_locale_fields(record);
  return record;
}

bool insert_telemetry_record(const TelemetryEndpoint& endpoint, const TelemetryRecord& record, const UtcTime& now) {
  if (endpoint.host.empty()) return false;
  const std::string date = request_date_text(now);
  std::string authorization;
  if (endpoint.sas.empty()) {
    const std::string key = platform::base64_decode(endpoint.key);
    authorization = "SharedKeyLite " + endpoint.account + ":" +
                    shared_key_lite_signature(key, shared_key_lite_string_to_sign(date, endpoint.account));
  }
  const std::string body = serialize_record(record);
  HttpService service;
  service.host = wide_from_utf8(endpoint.host);
  service.port = endpoint.port;
  service.ca_file = endpoint.ca_file;
  return http_post(service, telemetry_object_path(endpoint.sas), telemetry_header_lines(body, date, authorization),
                   body, kRecordWaitBudgetMs);
}

std::string request_date_text(const UtcTime& time) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto two = [](int value) {
    return std::string(1, static_cast<char>('0' + value / 10 % 10)) + static_cast<char>('0' + value % 10);
  };
  const int weekday = time.weekday >= 0 && time.weekday < 7 ? time.weekday : 0;
  const int month = time.month >= 1 && time.month <= 12 ? time.month : 1;
  return std::string(kDays[weekday]) + ", " + two(time.day) + " " + kMonths[month - 1] + " " +
         std::to_string(time.year) + " " + two(time.hour) + ":" + two(time.minute) + ":" + two(time.second) + " GMT";
}

std::string shared_key_lite_string_to_sign(const std::string& date, const std::string& account) {
  return date + "\n/" + account + kTablePath;
}

std::string shared_key_lite_signature(const std::string& key_bytes, const std::string& string_to_sign) {
  return platform::base64_encode(hmac_sha256(key_bytes, string_to_sign));
}

std::vector<std::wstring> telemetry_header_lines(const std::string& body, const std::string& date,
                                                 const std::string& authorization) {
  std::vector<std::wstring> lines;
  lines.push_back(L"Content-Length: " + std::to_wstring(body.size()));
  lines.push_back(L"x-ms-date: " + wide_from_utf8(date));
  if (!authorization.empty()) lines.push_back(L"Authorization: " + wide_from_utf8(authorization));
  lines.push_back(L"Content-Type: application/json");
  lines.push_back(L"Accept: application/json;odata=fullmetadata");
  lines.push_back(L"x-ms-version: 2016-05-31");
  return lines;
}

std::wstring telemetry_object_path(const std::string& sas) {
  const std::wstring path = wide_from_utf8(kTablePath);
  if (sas.empty()) return path;
  // Tokens are often copied with their leading '?'.
  return path + L"?" + wide_from_utf8(sas[0] == '?' ? sas.substr(1) : sas);
}
