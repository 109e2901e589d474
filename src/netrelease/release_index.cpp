#include "netrelease/release_index.h"

#include <cmath>
#include <limits>
#include <sstream>

#include "build_settings.h"
#include "dialogs/versionselectiondlg.h"
#include "netrelease/http.h"
#include "netrelease/netrelease_functions.h"
#include "platform/text.h"

using nlohmann::json;

int download_port = build_settings::download_port;

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

json fetch_release_index(const std::wstring& product) {
  std::string text;
  if (!download_to_string(download_host, product + L"-v2/index", &text, 0, 0, true, download_port)) {
    return json();
  }
  return parse_json(text);
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

std::vector<ReleaseChoice> release_choices(const json& index) {
  const std::string current = json_text(index, "current_release");
  const std::int64_t current_number = parse_version(current);

  const json no_releases = json::object();
  const json& releases =
      index.is_object() && index.contains("releases") && index["releases"].is_object() ? index["releases"] : no_releases;
  const auto entry_of = [&](const std::string& key) {
    const auto it = releases.find(key);
    return it == releases.end() ? json() : *it;
  };

  std::vector<ReleaseChoice> choices{{current, json_text(entry_of(current), "release")}};
  const bool forbidden = index.is_object() && index.contains("forbid_release_selection") &&
                         !index["forbid_release_selection"].is_null();
  if (forbidden) return choices;

  // nlohmann's objects keep their members sorted by key, byte by byte.
  for (auto it = releases.begin(); it != releases.end(); ++it) {
    if (parse_version(it.key()) < current_number) choices.push_back({it.key(), json_text(it.value(), "release")});
  }
  return choices;
}

void fill_release(const json& index, const std::string& key, ReleaseInfo& release) {
  json entry;
  if (index.is_object() && index.contains("releases") && index["releases"].is_object()) {
    const auto it = index["releases"].find(key);
    if (it != index["releases"].end()) entry = *it;
  }
  release.version = key;
  release.containername = json_text(entry, "containername");
  release.required_setup = json_count(entry, "required_setup");
  release.blockhash = json_text(entry, "blockhash");
  release.blocksize = json_count(entry, "blocksize");
  release.filename = json_text(entry, "filename");
  release.hash = json_text(entry, "hash");
  release.filesize = json_count(entry, "filesize");
}

void choose_release(const json& index, ReleaseInfo& release) {
  const std::string key = choose_version(release_choices(index), release.download_only, release.destination);
  fill_release(index, key, release);
}

bool passes_launcher_gate(std::uint64_t required_setup) { return required_setup <= launcher_version; }
