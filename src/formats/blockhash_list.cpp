#include "formats/blockhash_list.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace {
// A digest in quotes with its comma is 35 characters; the rest is room for
// line ends and indentation.
constexpr std::uint64_t kListBytesPerBlock = 64;
}  // namespace

std::size_t blockhash_list_limit(std::uint64_t block_total) {
  const std::uint64_t cap = kMaxBlockhashListBytes;
  if (block_total >= cap / kListBytesPerBlock) return kMaxBlockhashListBytes;
  return static_cast<std::size_t>(std::min(cap, (block_total + 1) * kListBytesPerBlock));
}

std::optional<std::vector<std::string>> parse_blockhash_list(const std::string& text) {
  nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (list.is_discarded() || !list.is_array()) return std::nullopt;
  std::vector<std::string> digests;
  digests.reserve(list.size());
  // Moved out, so that the text is never held twice.
  for (auto& element : list) {
    digests.push_back(element.is_string() ? std::move(element.get_ref<std::string&>()) : std::string());
  }
  return digests;
}

std::string blockhash_list_text(const std::vector<std::string>& digests) { return nlohmann::json(digests).dump(); }

std::uint64_t block_count(std::uint64_t file_size, std::uint64_t block_size) {
  return file_size / block_size + (file_size % block_size != 0 ? 1 : 0);
}
