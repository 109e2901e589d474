#include "release/release_index.h"

#include "platform/text.h"
#include "support/files.h"

using nlohmann::json;

std::wstring archive_path(const ReleaseInfo& release) { return release.destination + wide_from_utf8(release.filename); }

std::optional<std::string> fetch_index_object(HostChain& store, const std::wstring& product, const std::string& name,
                                              std::size_t limit, bool* too_long) {
  const std::wstring container = product + L"-v2";
  if (!container_name_problem(utf8_from_wide(container)).empty()) return std::nullopt;
  std::string text;
  const Fetched fetched = fetch_to_string(store, container + L"/" + wide_from_utf8(name), limit, &text);
  *too_long = fetched == Fetched::too_long;
  if (fetched != Fetched::whole) return std::nullopt;
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

std::string store_name_problem(const std::string& product, const ReleaseInfo& release) {
  const std::string name = "Release " + release.version + " of " + product + " names an invalid ";
  if (const std::string problem = container_name_problem(release.containername); !problem.empty()) {
    return name + "container: it " + problem;
  }
  if (const std::string problem = blob_name_problem(release.blockhash); !problem.empty()) {
    return name + "blockhash list: it " + problem;
  }
  if (const std::string problem = blob_name_problem(release.filename); !problem.empty()) {
    return name + "archive object: it " + problem;
  }
  return {};
}

bool passes_launcher_gate(std::uint64_t required_setup, std::uint64_t launcher_version) {
  return required_setup <= launcher_version;
}
