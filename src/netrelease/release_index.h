// The product's release index: which releases exist, which one is current,
// and where each one's archive lies. Reading it never throws; the download
// stage decides what a missing index or a refused release ends in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "netrelease/release_info.h"

// Port of the download host (0: the scheme's default). The build's setting;
// tests point it at a server of their own, as they do with download_host.
extern int download_port;

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

// "<product>-v2/index" on the download host; null when the fetch fails or
// the text is not JSON.
nlohmann::json fetch_release_index(const std::wstring& product);
nlohmann::json parse_json(const std::string& text);

// Each dot-separated component weighs ten times the next: 4.2.1 is 421,
// 1.10 and 2.0 are both 20. Wraps like 64-bit two's complement.
std::int64_t parse_version(const std::string& version);

// What the version dialog offers: the current release first, then (unless
// the index forbids it) every release with a lower number, in key order.
std::vector<ReleaseChoice> release_choices(const nlohmann::json& index);
// The record's fields from the index entry of the given release key.
void fill_release(const nlohmann::json& index, const std::string& key, ReleaseInfo& release);
// Asks the user through the version dialog and fills the record; lets the
// dialog's AbortException through.
void choose_release(const nlohmann::json& index, ReleaseInfo& release);

// Whether this launcher may install a release that needs required_setup.
bool passes_launcher_gate(std::uint64_t required_setup);
