// The blockhash list of an archive: the MD5 digest of every block, which the
// launcher checks block by block while it downloads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace publisher {

struct BlockList {
  std::vector<std::string> md5;  // lower-case hex, one per block
  std::uint64_t size = 0;
  std::string sha256;  // of the whole archive
};

// Reads the archive once, in pieces, whatever the block size.
BlockList compute_block_list(const std::filesystem::path& archive, std::uint64_t block_size,
                             const std::function<void(int percent)>& progress = {});
// A byte count such as 4194304, 4M, 4MiB or 512K; throws for anything else,
// for 0 and for sizes above kMaxBlockSize (formats/blockhash_list.h).
std::uint64_t parse_block_size(const std::string& text);

}  // namespace publisher
