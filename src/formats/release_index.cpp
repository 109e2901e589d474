#include "formats/release_index.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

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
  return release;
}

json release_entry_json(const ReleaseEntry& entry) {
  json object = json::object();
  for (const auto& [name, field] : kTextFields) object[name] = entry.*field;
  for (const auto& [name, field] : kCountFields) object[name] = entry.*field;
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
  std::istringstream stream(version);
  std::string component;
  while (std::getline(stream, component, '.')) v = v * 10 + component_value(component);
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
