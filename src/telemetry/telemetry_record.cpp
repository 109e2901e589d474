#include "telemetry/telemetry_record.h"

#include <chrono>
#include <cmath>

#include "platform/system.h"

void add_system_fields(TelemetryRecord& record) {
  const platform::OsVersion os = platform::os_version();
  const auto number = [&](unsigned long value) { return os.known ? std::to_string(value) : std::string("0"); };
  record["OS_Major"] = number(os.major);
  record["OS_Minor"] = number(os.minor);
  record["SP_Major"] = number(os.service_pack_major);
  record["SP_Minor"] = number(os.service_pack_minor);
  record["physicalmemory_gib"] = memory_gib_text(platform::total_physical_memory());
  record["machineguid"] = read_machine_guid();
  record["architecture"] = platform::is_64bit_os() ? "x64" : "x86";
  record["PartitionKey"] = partition_key(current_utc_time());
  record["RowKey"] = record["machineguid"];
  record["record_id"] = new_record_id();
}

void add_locale_fields(TelemetryRecord& record) {
  const platform::SystemLocale locale = platform::system_locale();
  record["geo_id"] = locale.geo_id;
  record["iso3166_country"] = locale.iso3166_country;
  record["locale_sname"] = locale.locale_sname;
}

std::string read_machine_guid() { return platform::machine_guid_text(); }

std::string new_record_id() { return platform::new_uuid_text(); }

UtcTime utc_from_unix_seconds(std::int64_t seconds) {
  // Days since the epoch to a proleptic Gregorian date, in whole-number
  // arithmetic so that no C library time function (and no locale) is involved.
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  UtcTime time;
  time.hour = static_cast<int>(rest / 3600);
  time.minute = static_cast<int>(rest % 3600 / 60);
  time.second = static_cast<int>(rest % 60);
  time.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t mp = (5 * day_of_year + 2) / 153;
  time.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  time.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  time.year = static_cast<int>(year_of_era + era * 400 + (time.month <= 2 ? 1 : 0));
  return time;
}

UtcTime current_utc_time() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return utc_from_unix_seconds(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

std::string memory_gib_text(std::uint64_t bytes) {
  const double gib = static_cast<double>(bytes) / 1073741824.0;
  double whole = std::floor(gib);
  const double fraction = gib - whole;
  // Written by hand rather than with a printf format, whose decimal mark
  // follows the process locale.
  const char* decimals = ".00";
  if (fraction > 0.8) {
    whole += 1.0;
  } else if (fraction >= 0.4) {
    decimals = ".50";
  }
  return std::to_string(static_cast<std::uint64_t>(whole)) + decimals;
}

std::string partition_key(const UtcTime& time) {
  std::int64_t v = time.year;
  for (const int part : {time.month, time.day, time.hour, time.minute, time.second}) v = v * 100 + part;
  return std::to_string(v);
}

std::string json_quoted(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string serialize_record(const TelemetryRecord& record) {
  if (!record.is_object()) return "{}";
  std::string body = "{";
  bool first = true;
  for (auto it = record.begin(); it != record.end(); ++it) {
    if (!first) body += ", ";
    first = false;
    body += json_quoted(it.key());
    body += ": ";
    // Every value the launcher sets is a string; anything else is written
    // compactly, with ill-formed UTF-8 replaced rather than thrown at.
    body += it->is_string() ? json_quoted(it->get_ref<const std::string&>())
                            : it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  body += "}";
  return body;
}
