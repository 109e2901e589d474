// One usage record: a flat JSON object of string values, five from the
// caller and thirteen facts about the machine gathered when it is sent.
// The gatherers never fail: an unreadable fact becomes a fixed or error text.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Keys kept in ascending byte order, which the body relies on.
using TelemetryRecord = nlohmann::json;

// Sets "OS_Major", "OS_Minor", "SP_Major", "SP_Minor", "physicalmemory_gib",
// "machineguid", "architecture", "PartitionKey", "RowKey", "record_id".
void add_system_fields(TelemetryRecord& record);
// Sets "geo_id", "iso3166_country", "locale_sname".
void add_locale_fields(TelemetryRecord& record);

std::string read_machine_guid();
// A new UUID, or empty.
std::string new_record_id();

// A calendar time in UTC.
struct UtcTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;  // 0 = Sunday
};
UtcTime utc_from_unix_seconds(std::int64_t seconds);
UtcTime current_utc_time();

// Total memory in GiB rounded down to a half step, the upper part of a whole
// GiB counting as the next one: fractions below 0.4 drop, above 0.8 round up,
// the rest is .50. Always two decimals with a '.': "7.50", "16.00", "0.00".
std::string memory_gib_text(std::uint64_t bytes);

// YYYYMMDDhhmmss as decimal text: the entity's partition key.
std::string partition_key(const UtcTime& time);

// A JSON string literal: quotes, backslashes and control characters escaped,
// every other byte (UTF-8 included) kept as it is.
std::string json_quoted(const std::string& text);

// {"key": "value", "key2": "value2"} with the keys in ascending byte order,
// on one line.
std::string serialize_record(const TelemetryRecord& record);
