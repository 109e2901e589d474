#include "formats/blockhash_list.h"

#include <nlohmann/json.hpp>

std::optional<std::vector<std::string>> parse_blockhash_list(const std::string& text) {
  const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (list.is_discarded() || !list.is_array()) return std::nullopt;
  std::vector<std::string> digests;
  digests.reserve(list.size());
  for (const auto& element : list) digests.push_back(element.is_string() ? element.get<std::string>() : std::string());
  return digests;
}

std::string blockhash_list_text(const std::vector<std::string>& digests) { return nlohmann::json(digests).dump(); }

std::uint64_t block_count(std::uint64_t file_size, std::uint64_t block_size) {
  return file_size / block_size + (file_size % block_size != 0 ? 1 : 0);
}
