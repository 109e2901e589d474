// Putting a release and its index into a store without a moment in which a
// launcher could see something broken: archives and blockhash lists are
// written once, the index last and only if nobody changed it since it was
// read, and its signature object so that every index a reader may meet has
// a line in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/release_index.h"
#include "store.h"

namespace publisher {

// How the index is signed: the private keys (none: unsigned) and how long
// a signed index stays valid.
struct IndexSigning {
  std::vector<std::string> keys;
  std::int64_t valid_for_seconds = 90 * 86400;
};
// "Nd" or "Nh" (N from 1, at most ten years) in seconds; throws PublishError.
std::int64_t parse_validity(const std::string& text);

// The product's index and its signature object as the store holds them.
struct StoredIndex {
  std::optional<StoredText> index;
  std::optional<StoredText> signature;
};
// Throws PublishError when the stored index is signed but the next one will
// not be: launchers that check the signature would refuse it.
StoredIndex read_stored_index(Store& store, const std::string& index_container, bool signing);

// For a new publication: "sequence" one above the index's, and with keys
// "expires" valid_for_seconds after now.
void renew_index(nlohmann::json& index, const IndexSigning& signing, std::int64_t now);
// Gives every release that lacks "blockhash_sha256" the digest of its
// blockhash list as the store holds it now (an index published before
// signing began); returns notes for the user.
std::vector<std::string> add_blockhash_digests(nlohmann::json& index, Store& store);
// The releases that lack "blockhash_sha256".
std::vector<std::string> releases_without_blockhash_digest(const nlohmann::json& index);

// Stores the archive (whose SHA-256 entry.hash is) and its blockhash list,
// each unless the store has exactly these bytes under the name already.
// Other bytes under a name are refused unless replace is set.
void store_release_files(Store& store, const ReleaseEntry& entry, const std::filesystem::path& archive,
                         const std::string& block_list_text, bool replace, const TransferProgress& progress,
                         std::ostream& out);

// Stores the index text. Signed (signatures not empty): first the signature
// object with the lines of the stored index and the new ones, then the
// index (only if unchanged since it was read), then the object with the new
// lines alone; a launcher meets either index with a line for it.
void store_index(Store& store, const std::string& index_container, const std::string& text,
                 const StoredIndex& previous, const std::vector<std::string>& signatures, std::ostream& out);

}  // namespace publisher
