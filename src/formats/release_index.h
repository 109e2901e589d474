// The product's release index, object "<product>-v2/index" in the download
// store: which releases exist, which one is current, and where each one's
// archive and blockhash list lie. The publisher writes it and the launcher
// reads it, both through these definitions. Reading never throws: a field
// that is missing or of the wrong type reads as empty or 0, and the
// launcher's stages decide what that ends in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace index_key {
inline constexpr char kCurrentRelease[] = "current_release";
inline constexpr char kReleases[] = "releases";
// Any value but null offers only the current release.
inline constexpr char kForbidReleaseSelection[] = "forbid_release_selection";
// For launchers that check the index's signature (formats/index_signature.h):
// a whole number, raised by every publication, and the moment after which
// the index is refused ("YYYY-MM-DDTHH:MM:SSZ", UTC).
inline constexpr char kSequence[] = "sequence";
inline constexpr char kExpires[] = "expires";
// Per release: the SHA-256 of its blockhash list (ReleaseEntry::blockhash_sha256).
inline constexpr char kBlockhashSha256[] = "blockhash_sha256";
// Per release: the SHA-256 of the uncompressed "arcinfo.json" and
// "arcconfig.json" members of its archive, which let a launcher fetch the
// manifests alone and trust them (ReleaseEntry::arcinfo_sha256).
inline constexpr char kArcInfoSha256[] = "arcinfo_sha256";
inline constexpr char kArcConfigSha256[] = "arcconfig_sha256";
}  // namespace index_key

// One release, the value of its key (the version text) in "releases".
struct ReleaseEntry {
  std::string release;  // display text
  std::string containername;
  std::string filename;
  std::string blockhash;  // name of the blockhash list in the container
  std::uint64_t blocksize = 0;
  std::uint64_t filesize = 0;
  std::string hash;  // SHA-256 of the whole archive, lower-case hex
  std::uint64_t required_setup = 0;
  // SHA-256 of the blockhash list's bytes, lower-case hex; written only when
  // known, since launchers without index keys do not read it.
  std::string blockhash_sha256;
  // SHA-256 of the archive's two manifests, lower-case hex; optional, and
  // written only when known. Without them a launcher downloads the whole
  // archive.
  std::string arcinfo_sha256;
  std::string arcconfig_sha256;
};

// The entry of the release `key`; all fields empty when the index has none.
ReleaseEntry read_release_entry(const nlohmann::json& index, const std::string& key);
nlohmann::json release_entry_json(const ReleaseEntry& entry);

// The member's text; empty when absent or not a string (also when json is
// not an object).
std::string json_text(const nlohmann::json& object, const char* key);
// A JSON number as an unsigned count, truncated toward zero. Defined for
// every value: absent, not a number or NaN gives 0; a negative value gives
// the largest count (so the launcher gate and the block geometry check both
// refuse it instead of taking it for a small number); a value beyond the
// range gives the largest count too.
std::uint64_t json_count(const nlohmann::json& object, const char* key);
std::uint64_t count_from_number(double value);
// Null when the text is not JSON.
nlohmann::json parse_json(const std::string& text);

// The index's "sequence"; 0 when absent or not a whole number of at least 1.
std::uint64_t index_sequence(const nlohmann::json& index);
// The index's "expires" as seconds since 1970-01-01 UTC; null when absent or
// not a valid time in the index's form.
std::optional<std::int64_t> index_expiry(const nlohmann::json& index);
// "YYYY-MM-DDTHH:MM:SSZ" (years 1970 to 9999, a real date, no leap second)
// to seconds since 1970-01-01 UTC and back.
std::optional<std::int64_t> parse_utc_time(const std::string& text);
std::string utc_time_text(std::int64_t seconds);

// How the launcher ranks release keys: each dot-separated component weighs
// ten times the next, so 4.2.1 is 421, and 1.10 and 2.0 are both 20. Each
// component is read like atoi (blanks, a sign, digits); the arithmetic wraps
// like 64-bit two's complement.
std::int64_t parse_version(const std::string& version);

// Blob container rules, which "containername" must follow: 3 to 63
// characters of lower-case letters, digits and single hyphens, starting and
// ending with a letter or digit. Empty when the name follows them.
std::string container_name_problem(const std::string& name);
// Blob rules, which "blockhash" and "filename" must follow, held to what a
// request path carries as it is: 1 to 1024 characters, no control
// characters or backslashes, at most 254 segments between slashes, none of
// them empty, "." or "..", not ending in a dot, and no '?', '#' or '%' (a
// query, a fragment or an escape instead of part of the name). Empty when
// the name follows them.
std::string blob_name_problem(const std::string& name);
