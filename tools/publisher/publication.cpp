#include "publication.h"

#include "formats/index_signature.h"
#include "publish_error.h"
#include "support/hashing.h"
#include "support/names.h"

namespace publisher {

std::int64_t parse_validity(const std::string& text) {
  constexpr std::int64_t kTenYears = 3650 * 86400;
  const char unit = text.empty() ? '\0' : text.back();
  const std::string number = text.substr(0, text.empty() ? 0 : text.size() - 1);
  if ((unit == 'd' || unit == 'h') && !number.empty() && number.size() <= 6 &&
      number.find_first_not_of("0123456789") == std::string::npos) {
    const std::int64_t seconds = std::stoll(number) * (unit == 'd' ? 86400 : 3600);
    if (seconds > 0 && seconds <= kTenYears) return seconds;
  }
  throw PublishError("--valid-for '" + text + "' is not a number of days or hours from 1 up to ten years (90d, 36h)");
}

StoredIndex read_stored_index(Store& store, const std::string& index_container, bool signing) {
  StoredIndex stored{store.read_text(index_container, "index"), store.read_text(index_container, kIndexSignatureName)};
  if (stored.signature && !signing) {
    throw PublishError(index_container + "/" + kIndexSignatureName +
                       " exists: the index in the store is signed, and launchers that check it would refuse an "
                       "unsigned one; give --sign-key");
  }
  return stored;
}

void renew_index(nlohmann::json& index, const IndexSigning& signing, std::int64_t now) {
  index[index_key::kSequence] = index_sequence(index) + 1;
  if (!signing.keys.empty()) index[index_key::kExpires] = utc_time_text(now + signing.valid_for_seconds);
}

std::vector<std::string> releases_without_blockhash_digest(const nlohmann::json& index) {
  std::vector<std::string> keys;
  if (!index.contains(index_key::kReleases)) return keys;
  for (const auto& [key, entry] : index[index_key::kReleases].items()) {
    (void)entry;
    if (read_release_entry(index, key).blockhash_sha256.empty()) keys.push_back(key);
  }
  return keys;
}

std::vector<std::string> add_blockhash_digests(nlohmann::json& index, Store& store) {
  std::vector<std::string> notes;
  for (const std::string& key : releases_without_blockhash_digest(index)) {
    const ReleaseEntry release = read_release_entry(index, key);
    const std::string object = release.containername + "/" + release.blockhash;
    // The names come from the stored index: only names the publisher would
    // write itself are looked up.
    const bool usable = container_name_problem(release.containername).empty() && is_safe_file_name(release.blockhash);
    const std::optional<StoredText> list = usable ? store.read_text(release.containername, release.blockhash)
                                                  : std::nullopt;
    if (!list) {
      notes.push_back("release " + key + " has no blockhash list " + object +
                      " in the store; launchers that check the index's signature cannot download it");
      continue;
    }
    index[index_key::kReleases][key][index_key::kBlockhashSha256] = hash_buffer(list->text, L"SHA256", true);
    notes.push_back("release " + key + ": blockhash_sha256 added from " + object + " as the store holds it");
  }
  return notes;
}

void store_release_files(Store& store, const ReleaseEntry& entry, const std::filesystem::path& archive,
                         const std::string& block_list_text, bool replace, const TransferProgress& progress,
                         std::ostream& out) {
  const std::string archive_name = entry.containername + "/" + entry.filename;
  const std::string list_name = entry.containername + "/" + entry.blockhash;
  const std::optional<std::string> stored_archive = store.stored_sha256(entry.containername, entry.filename);
  const std::optional<StoredText> stored_list = store.read_text(entry.containername, entry.blockhash);
  const bool archive_there = stored_archive && *stored_archive == entry.hash;
  const bool list_there = stored_list && stored_list->text == block_list_text;
  // Before either is written: a launcher may be downloading what is there.
  if (!replace) {
    for (const auto& [other_bytes, name] : {std::pair{stored_archive && !archive_there, archive_name},
                                            std::pair{stored_list && !list_there, list_name}}) {
      if (other_bytes) {
        throw PublishError(name +
                           " exists with other bytes; publish another version, or pass --replace to overwrite it");
      }
    }
  }
  if (archive_there) {
    out << archive_name << " is in the store already" << std::endl;
  } else {
    store.write_file(entry.containername, entry.filename, archive, "application/zip", entry.hash, !replace, progress);
  }
  if (!list_there) {
    const std::optional<StoredText> absent;
    store.write_text(entry.containername, entry.blockhash, block_list_text, "application/json",
                     replace ? nullptr : &absent);
  }
  out << "uploaded " << archive_name << " and " << list_name << std::endl;
}

void store_index(Store& store, const std::string& index_container, const std::string& text,
                 const StoredIndex& previous, const std::vector<std::string>& signatures, std::ostream& out) {
  if (signatures.empty()) {
    store.write_text(index_container, "index", text, "application/json", &previous.index);
    out << "uploaded " << index_container << "/index" << std::endl;
    return;
  }
  std::vector<std::string> both =
      previous.signature ? parse_index_signature(previous.signature->text) : std::vector<std::string>();
  both.insert(both.end(), signatures.begin(), signatures.end());
  // Each write is conditional too: two publishers at once cannot leave an
  // index whose lines the other one dropped.
  const std::optional<StoredText> interim = store.write_text(
      index_container, kIndexSignatureName, index_signature_text(both), "text/plain", &previous.signature);
  store.write_text(index_container, "index", text, "application/json", &previous.index);
  store.write_text(index_container, kIndexSignatureName, index_signature_text(signatures), "text/plain", &interim);
  out << "uploaded " << index_container << "/index and its signature " << index_container << "/"
      << kIndexSignatureName << std::endl;
}

}  // namespace publisher
