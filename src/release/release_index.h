// What the launcher makes of the product's release index: the releases it
// offers and the record of the one chosen. Reading it never throws; the
// download stage decides what a missing index or a refused release ends in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/http.h"
#include "release/release_info.h"

// The bytes of "<product>-v2/<name>" (the index, its signature) from the
// store; null when the fetch fails.
std::optional<std::string> fetch_index_object(const HttpService& store, const std::wstring& product,
                                              const std::string& name);

// What the version dialog offers: the current release first, then (unless
// the index forbids it) every release with a lower number, in key order.
std::vector<ReleaseChoice> release_choices(const nlohmann::json& index);
// The record's fields from the index entry of the given release key.
void fill_release(const nlohmann::json& index, const std::string& key, ReleaseInfo& release);

// Whether this launcher may install a release that needs required_setup.
bool passes_launcher_gate(std::uint64_t required_setup, std::uint64_t launcher_version);
