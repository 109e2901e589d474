#include "formats/release_index.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "support/text.h"

using nlohmann::json;

namespace {
// Each field of an entry once, for reading and writing alike.
const std::pair<const char*, std::string ReleaseEntry::*> kTextFields[] = {
    {"release", &ReleaseEntry::release},   {"containername", &ReleaseEntry::containername},
    {"filename", &ReleaseEntry::filename}, {"blockhash", &ReleaseEntry::blockhash},
    {"hash", &ReleaseEntry::hash}};
const std::pair<const char*, std::uint64_t ReleaseEntry::*> kCountFields[] = {
    {"blocksize", &ReleaseEntry::blocksize},
    {"filesize", &ReleaseEntry::filesize},
    {"required_setup", &ReleaseEntry::required_setup}};
// Written only when known: older launchers and indexes go without them.
const std::pair<const char*, std::string ReleaseEntry::*> kOptionalTextFields[] = {
    {index_key::kBlockhashSha256, &ReleaseEntry::blockhash_sha256},
    {index_key::kArcInfoSha256, &ReleaseEntry::arcinfo_sha256},
    {index_key::kArcConfigSha256, &ReleaseEntry::arcconfig_sha256}};
}  // namespace

ReleaseEntry read_release_entry(const json& index, const std::string& key) {
  json entry;
  if (index.is_object() && index.contains(index_key::kReleases) && index[index_key::kReleases].is_object()) {
    const auto found = index[index_key::kReleases].find(key);
    if (found != index[index_key::kReleases].end()) entry = *found;
  }
  ReleaseEntry release;
  for (const auto& [name, field] : kTextFields) release.*field = json_text(entry, name);
  for (const auto& [name, field] : kCountFields) release.*field = json_count(entry, name);
  for (const auto& [name, field] : kOptionalTextFields) release.*field = json_text(entry, name);
  return release;
}

json release_entry_json(const ReleaseEntry& entry) {
  json object = json::object();
  for (const auto& [name, field] : kTextFields) object[name] = entry.*field;
  for (const auto& [name, field] : kCountFields) object[name] = entry.*field;
  for (const auto& [name, field] : kOptionalTextFields) {
    if (!(entry.*field).empty()) object[name] = entry.*field;
  }
  return object;
}

std::string json_text(const json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::uint64_t count_from_number(double value) {
  constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();
  if (std::isnan(value)) return 0;
  const double whole = std::trunc(value);
  if (whole < 0) return kLargest;
  // 2^64 is exactly representable; anything from there up does not fit.
  if (whole >= 18446744073709551616.0) return kLargest;
  return static_cast<std::uint64_t>(whole);
}

std::uint64_t json_count(const json& object, const char* key) {
  if (!object.is_object()) return 0;
  const auto it = object.find(key);
  if (it == object.end()) return 0;
  // Integers are taken exactly; only real numbers go through double.
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (it->is_number_integer()) {
    const std::int64_t value = it->get<std::int64_t>();
    return value < 0 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(value);
  }
  if (it->is_number_float()) return count_from_number(it->get<double>());
  return 0;
}

json parse_json(const std::string& text) {
  json parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json() : parsed;
}

std::uint64_t index_sequence(const json& index) {
  if (!index.is_object()) return 0;
  const auto it = index.find(index_key::kSequence);
  if (it == index.end()) return 0;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (it->is_number_integer() && it->get<std::int64_t>() > 0) {
    return static_cast<std::uint64_t>(it->get<std::int64_t>());
  }
  return 0;
}

std::optional<std::int64_t> index_expiry(const json& index) {
  if (!index.is_object() || !index.contains(index_key::kExpires) || !index[index_key::kExpires].is_string()) {
    return std::nullopt;
  }
  return parse_utc_time(index[index_key::kExpires].get<std::string>());
}

namespace {

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar
// (the usual days-from-civil arithmetic in 400-year eras), and back.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
}

// The digits of text[first, first + count) as a number; -1 when any is not a digit.
int digits_at(const std::string& text, std::size_t first, std::size_t count) {
  int value = 0;
  for (std::size_t i = first; i < first + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<std::int64_t> parse_utc_time(const std::string& text) {
  static const char kShape[] = "0000-00-00T00:00:00Z";
  if (text.size() != sizeof kShape - 1) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (kShape[i] != '0' && text[i] != kShape[i]) return std::nullopt;
  const int year = digits_at(text, 0, 4), month = digits_at(text, 5, 2), day = digits_at(text, 8, 2);
  const int hour = digits_at(text, 11, 2), minute = digits_at(text, 14, 2), second = digits_at(text, 17, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return std::nullopt;
  const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  // A day past the month's end would land in the next month.
  std::int64_t back_year = 0;
  unsigned back_month = 0, back_day = 0;
  civil_from_days(days, back_year, back_month, back_day);
  if (back_month != static_cast<unsigned>(month) || back_day != static_cast<unsigned>(day)) return std::nullopt;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::string utc_time_text(std::int64_t seconds) {
  const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const std::int64_t in_day = seconds - days * 86400;
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year), month, day,
                static_cast<long long>(in_day / 3600), static_cast<long long>(in_day / 60 % 60),
                static_cast<long long>(in_day % 60));
  return text;
}

namespace {

// The leading integer of a component as atoi reads it, in wrapping
// arithmetic: blanks, an optional sign, digits up to the first other character.
std::uint64_t component_value(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  return negative ? 0 - value : value;
}

}  // namespace

std::int64_t parse_version(const std::string& version) {
  std::uint64_t v = 0;
  for (const std::string& component : split_pieces(version, '.')) v = v * 10 + component_value(component);
  // Unsigned arithmetic wraps; the conversion back is two's complement.
  return static_cast<std::int64_t>(v);
}

std::string container_name_problem(const std::string& name) {
  if (name.size() < 3 || name.size() > 63) return "must have 3 to 63 characters";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-') return "may hold only lower-case letters, digits and hyphens";
    if (c == '-' && (i == 0 || i + 1 == name.size() || name[i - 1] == '-')) {
      return "must start and end with a letter or digit and not hold two hyphens in a row";
    }
  }
  return {};
}

std::string blob_name_problem(const std::string& name) {
  if (name.empty() || name.size() > 1024) return "must have 1 to 1024 characters";
  std::size_t segments = 1;
  std::size_t segment_start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/') {
      const std::string segment = name.substr(segment_start, i - segment_start);
      if (segment.empty() || segment == "." || segment == "..") return "must not hold empty, \".\" or \"..\" parts";
      segment_start = i + 1;
      if (i < name.size()) ++segments;
      continue;
    }
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '?' || c == '#' || c == '%') {
      return "must not hold control characters, backslashes, '?', '#' or '%'";
    }
  }
  if (segments > 254) return "must not have more than 254 parts";
  if (name.back() == '.') return "must not end in a dot";
  return {};
}
