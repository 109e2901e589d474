#include "release_index.h"

#include "names.h"
#include "publish_error.h"
#include "support/names.h"

namespace publisher {

namespace {
bool is_lower_hex(const std::string& text, std::size_t length) {
  if (text.size() != length) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void check_name(const std::string& what, const std::string& name) {
  const std::string problem = windows_name_problem(name);
  if (!problem.empty()) throw PublishError(what + " '" + name + "' " + problem);
}
}  // namespace

void check_release(const std::string& key, const ReleaseEntry& entry) {
  const std::string key_problem = release_key_problem(key);
  if (!key_problem.empty()) throw PublishError("release key '" + key + "' " + key_problem);
  check_name("file name", entry.filename);
  check_name("blockhash name", entry.blockhash);
  if (entry.filename == entry.blockhash) throw PublishError("the archive and its blockhash list need two names");
  const std::string container_problem = container_name_problem(entry.containername);
  if (!container_problem.empty()) {
    throw PublishError("container name '" + entry.containername + "' " + container_problem);
  }
  if (entry.blocksize == 0) throw PublishError("the block size must be greater than 0");
  if (!is_lower_hex(entry.hash, 64)) throw PublishError("hash '" + entry.hash + "' is not a lower-case SHA-256 digest");
  for (const std::string* digest : {&entry.arcinfo_sha256, &entry.arcconfig_sha256}) {
    if (!digest->empty() && !is_lower_hex(*digest, 64)) {
      throw PublishError("manifest digest '" + *digest + "' is not a lower-case SHA-256 digest");
    }
  }
  if (entry.release.empty()) throw PublishError("the release text is empty");
  // Beyond 2^53 a JSON reader that keeps numbers as doubles (as JavaScript
  // does) would change the size.
  if (entry.filesize > (std::uint64_t{1} << 53)) throw PublishError("the file size is too large");
}

nlohmann::json parse_index(const std::string& text, const std::string& where) {
  if (text.empty()) return nlohmann::json::object();
  nlohmann::json index = nlohmann::json::parse(text, nullptr, false);
  if (index.is_discarded() || !index.is_object()) {
    throw PublishError("the release index " + where + " is not a JSON object; it is left as it is");
  }
  if (index.contains(index_key::kReleases) && !index[index_key::kReleases].is_object()) {
    throw PublishError("\"releases\" in the release index " + where + " is not an object; it is left as it is");
  }
  return index;
}

std::vector<std::string> add_release(nlohmann::json& index, const std::string& key, const ReleaseEntry& entry,
                                     bool make_current, ReleaseSelection selection) {
  check_release(key, entry);
  std::vector<std::string> notes;
  nlohmann::json& releases = index[index_key::kReleases];
  if (releases.is_null()) releases = nlohmann::json::object();
  if (releases.contains(key)) notes.push_back("release " + key + " is replaced");
  releases[key] = release_entry_json(entry);

  const nlohmann::json current = index.value(index_key::kCurrentRelease, nlohmann::json());
  const bool usable_current = current.is_string() && releases.contains(current.get<std::string>());
  if (!make_current && !usable_current) {
    make_current = true;
    notes.push_back("release " + key + " is made current, since the index names no current release");
  }
  if (make_current) index[index_key::kCurrentRelease] = key;

  // The launcher treats any value but null as forbidding, false included.
  if (selection == ReleaseSelection::forbid) index[index_key::kForbidReleaseSelection] = true;
  if (selection == ReleaseSelection::allow) index.erase(index_key::kForbidReleaseSelection);

  // The launcher orders releases by a number in which every component counts
  // ten times the next; keys that collide or rank oddly deserve a word.
  const std::string current_key = index[index_key::kCurrentRelease].get<std::string>();
  const std::int64_t current_number = parse_version(current_key);
  for (const auto& [other, value] : releases.items()) {
    (void)value;
    if (other == key) continue;
    if (parse_version(other) == parse_version(key)) {
      notes.push_back("releases " + key + " and " + other + " rank equal for the launcher; only one of them is offered");
    }
  }
  for (const auto& [other, value] : releases.items()) {
    (void)value;
    if (other != current_key && parse_version(other) > current_number) {
      notes.push_back("release " + other + " ranks above the current release " + current_key +
                      " and is not offered");
    }
  }
  for (std::size_t start = 0; start < key.size();) {
    const std::size_t dot = std::min(key.find('.', start), key.size());
    if (dot - start > 1) {
      notes.push_back("release key " + key + " has a component of more than one digit; the launcher ranks " +
                      key + " as " + std::to_string(parse_version(key)));
      break;
    }
    start = dot + 1;
  }
  return notes;
}

std::string index_text(const nlohmann::json& index) { return index.dump(2) + "\n"; }

}  // namespace publisher
