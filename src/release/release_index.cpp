#include "release/release_index.h"

#include "platform/text.h"
#include "support/files.h"

using nlohmann::json;

std::wstring archive_path(const ReleaseInfo& release) { return release.destination + wide_from_utf8(release.filename); }

std::optional<std::string> fetch_index_object(const HttpService& store, const std::wstring& product,
                                              const std::string& name) {
  std::string text;
  if (!download_to_string(store, product + L"-v2/" + wide_from_utf8(name), &text)) return std::nullopt;
  return text;
}

std::vector<ReleaseChoice> release_choices(const json& index) {
  const std::string current = json_text(index, index_key::kCurrentRelease);
  const std::int64_t current_number = parse_version(current);

  const json no_releases = json::object();
  const json& releases = index.is_object() && index.contains(index_key::kReleases) &&
                                 index[index_key::kReleases].is_object()
                             ? index[index_key::kReleases]
                             : no_releases;

  std::vector<ReleaseChoice> choices{{current, read_release_entry(index, current).release}};
  const bool forbidden = index.is_object() && index.contains(index_key::kForbidReleaseSelection) &&
                         !index[index_key::kForbidReleaseSelection].is_null();
  if (forbidden) return choices;

  // nlohmann's objects keep their members sorted by key, byte by byte.
  for (auto it = releases.begin(); it != releases.end(); ++it) {
    if (parse_version(it.key()) < current_number) {
      choices.push_back({it.key(), read_release_entry(index, it.key()).release});
    }
  }
  return choices;
}

void fill_release(const json& index, const std::string& key, ReleaseInfo& release) {
  static_cast<ReleaseEntry&>(release) = read_release_entry(index, key);
  release.version = key;
}

bool passes_launcher_gate(std::uint64_t required_setup, std::uint64_t launcher_version) {
  return required_setup <= launcher_version;
}
