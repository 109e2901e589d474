// The blockhash list, object "<containername>/<blockhash>" beside the
// archive: a JSON array with the MD5 digest (lower-case hex) of every block
// of the archive, in order; the last block may be shorter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The largest block the launcher is asked to take: a 32-bit process holds
// three blocks in memory at once while it downloads.
inline constexpr std::uint64_t kMaxBlockSize = 256u << 20;

// The longest list text a release of block_total blocks may have: each
// digest with its quotes and comma, and room for the blanks of a formatted
// list; never more than kMaxBlockhashListBytes (about 58,000 blocks in the
// compact form), which keeps the parsed list small next to the blocks.
inline constexpr std::size_t kMaxBlockhashListBytes = 2u << 20;
std::size_t blockhash_list_limit(std::uint64_t block_total);

// Empty when the text is not a JSON array; elements that are not strings
// read as empty digests, which match no block.
std::optional<std::vector<std::string>> parse_blockhash_list(const std::string& text);
std::string blockhash_list_text(const std::vector<std::string>& digests);

// Number of blocks of a file of file_size bytes. block_size must not be 0.
std::uint64_t block_count(std::uint64_t file_size, std::uint64_t block_size);
