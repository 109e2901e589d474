// What the launcher makes of the product's release index: the releases it
// offers and the record of the one chosen. Reading it never throws; the
// download stage decides what a missing index or a refused release ends in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/host_chain.h"
#include "release/release_info.h"

// The largest release index the launcher reads: about three thousand
// releases, and little memory once parsed.
inline constexpr std::size_t kMaxIndexBytes = 1u << 20;
// The index's signature object: a few lines of Base64, one per key.
inline constexpr std::size_t kMaxIndexSignatureBytes = 64u << 10;

// The bytes of "<product>-v2/<name>" (the index, its signature) from the
// store's hosts; empty when "<product>-v2" is no container name, the fetch
// fails, or the text is longer than limit (too_long is then set).
std::optional<std::string> fetch_index_object(HostChain& store, const std::wstring& product, const std::string& name,
                                              std::size_t limit, bool* too_long);

// What the version dialog offers: the current release first, then (unless
// the index forbids it) every release with a lower number, in key order.
std::vector<ReleaseChoice> release_choices(const nlohmann::json& index);
// The record's fields from the index entry of the given release key.
void fill_release(const nlohmann::json& index, const std::string& key, ReleaseInfo& release);

// Why the record's container, blockhash list or archive name must not go
// into a request to the store, as a message naming the release; empty when
// they follow the store's naming rules.
std::string store_name_problem(const std::string& product, const ReleaseInfo& release);

// Whether this launcher may install a release that needs required_setup.
bool passes_launcher_gate(std::uint64_t required_setup, std::uint64_t launcher_version);
