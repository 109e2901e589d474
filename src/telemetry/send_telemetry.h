// Usage records: one entity inserted into the table "downloads" per event.
// Fire and forget: the main flow neither reports nor logs the answer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "telemetry/telemetry_record.h"

// Where records go and how they are authorised.
struct TelemetryEndpoint {
  std::string host;  // empty: nothing is sent
  int port = 0;      // 0: 443
  std::string account;
  std::string key;  // the account key in Base64, as the storage service shows it
  std::string sas;  // a table SAS token; when set it authorises instead of the key
  std::string ca_file;  // a CA trusted besides the system's (test and demo builds)
};

// The record of one event with the machine's facts, sent now. True when the
// store accepted it.
bool send_telemetry(const TelemetryEndpoint& endpoint, const std::wstring& product, const std::string& version,
                    const std::string& action, const std::string& duration, int launcher_version);

// The five caller fields, then the machine facts.
TelemetryRecord make_telemetry_record(const std::wstring& product, const std::string& version,
                                      const std::string& action, const std::string& duration, int launcher_version);

// Inserts one record, dated now. True when the store accepted it.
bool insert_telemetry_record(const TelemetryEndpoint& endpoint, const TelemetryRecord& record, const UtcTime& now);

// "Tue, 05 Mar 2024 14:07:09 GMT": English names whatever the process locale.
std::string request_date_text(const UtcTime& time);

// Date, one line feed, then the table's canonical resource "/account/downloads".
std::string shared_key_lite_string_to_sign(const std::string& date, const std::string& account);

// Base64 of HMAC-SHA256 over the string to sign, keyed with the decoded account key.
std::string shared_key_lite_signature(const std::string& key_bytes, const std::string& string_to_sign);

// The insert's header lines, in the order the store is sent them. An empty
// authorization (SAS in the path) leaves its line out.
std::vector<std::wstring> telemetry_header_lines(const std::string& body, const std::string& date,
                                                 const std::string& authorization);

// "/downloads", or "/downloads?" + the SAS token when there is one.
std::wstring telemetry_object_path(const std::string& sas);
