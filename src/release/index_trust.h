// What a launcher built with index keys (Settings::index_keys) demands of
// its release index before it shows a release: a signature by one of those
// keys (formats/index_signature.h), a sequence not below the highest this
// user has seen for the product (no rollback to an older, genuine index),
// and an expiry date still ahead (no index held back for ever).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Why the index must be refused, as the message for the user; empty when it
// may be used. highest_seen is what highest_sequence_seen gave; now is in
// seconds since 1970-01-01 UTC.
std::string index_trust_problem(const std::string& product, const std::string& index_bytes,
                                const nlohmann::json& index, const std::string& signature_text,
                                const std::vector<std::string>& keys, std::uint64_t highest_seen, std::int64_t now);

// The highest sequence of the product's index this user has seen, kept in
// the user's state folder (platform::user_state_folder). 0 when none was
// kept; also when the state file cannot be read or is damaged, which is
// logged.
std::uint64_t highest_sequence_seen(const std::wstring& product);
// Keeps the sequence as the highest seen, replacing the state file in one
// step. False, logged, when it cannot be written.
bool remember_sequence(const std::wstring& product, std::uint64_t sequence);
