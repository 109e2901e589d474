#include "blocks.h"

#include <memory>

#include "file.h"
#include "formats/blockhash_list.h"
#include "publish_error.h"
#include "support/hashing.h"

namespace publisher {

BlockList compute_block_list(const std::filesystem::path& archive, std::uint64_t block_size,
                             const std::function<void(int percent)>& progress) {
  if (block_size == 0) throw PublishError("the block size must be greater than 0");
  File in(archive, File::Mode::read);
  std::error_code ec;
  const std::uint64_t expected = std::filesystem::file_size(archive, ec);
  if (ec) throw PublishError("cannot read " + archive.string() + ": " + ec.message());

  BlockList list;
  HashObject whole(L"SHA256");
  std::unique_ptr<HashObject> block;
  std::uint64_t in_block = 0;
  std::vector<char> buffer(1 << 20);
  int reported = -1;
  for (;;) {
    const std::size_t n = in.read(buffer.data(), buffer.size());
    if (n == 0) break;
    whole.add(buffer.data(), n);
    std::size_t used = 0;
    while (used < n) {
      if (!block) block = std::make_unique<HashObject>(L"MD5");
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - used, block_size - in_block));
      block->add(buffer.data() + used, take);
      used += take;
      in_block += take;
      if (in_block == block_size) {
        list.md5.push_back(block->finish(true));
        block.reset();
        in_block = 0;
      }
    }
    list.size += n;
    const int percent = expected ? static_cast<int>(list.size * 100 / expected) : 100;
    if (progress && percent / 10 != reported / 10) progress(reported = percent);
  }
  if (block) list.md5.push_back(block->finish(true));
  if (list.size != expected) throw PublishError(archive.string() + " changed while it was read");
  list.sha256 = whole.finish(true);
  for (const std::string& digest : list.md5)
    if (digest.size() != 32) throw PublishError("cannot compute MD5 digests");
  if (list.sha256.size() != 64) throw PublishError("cannot compute the SHA-256 digest");
  return list;
}

std::uint64_t parse_block_size(const std::string& text) {
  const std::string bad = "bad block size '" + text + "': give a byte count such as 4194304 or 4M, at most 256M";
  std::size_t i = 0;
  std::uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (value > kMaxBlockSize) throw PublishError(bad);
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    ++i;
  }
  if (i == 0) throw PublishError(bad);
  const std::string unit = text.substr(i);
  std::uint64_t factor = 1;
  if (unit == "K" || unit == "k" || unit == "KiB") {
    factor = 1u << 10;
  } else if (unit == "M" || unit == "m" || unit == "MiB") {
    factor = 1u << 20;
  } else if (!unit.empty()) {
    throw PublishError(bad);
  }
  if (value == 0 || value > kMaxBlockSize / factor) throw PublishError(bad);
  return value * factor;
}

}  // namespace publisher
