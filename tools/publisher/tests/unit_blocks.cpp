#include <gtest/gtest.h>

#include "blocks.h"
#include "formats/blockhash_list.h"
#include "publish_error.h"
#include "support.h"
#include "support/hashing.h"

using namespace publisher;
using testing_support::put;
using testing_support::Scratch;

namespace {
std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  return bytes;
}
}  // namespace

TEST(BlockList, CutsBlocksAcrossReadPiecesWithAShortLastBlock) {
  Scratch scratch;
  // Blocks that do not divide the 1 MiB read pieces, and a short last block.
  const std::string bytes = pattern(3 * 1000003 + 12345);
  put(scratch / "a.zip", bytes);
  const BlockList list = compute_block_list(scratch / "a.zip", 1000003);
  ASSERT_EQ(list.md5.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(list.md5[k], md5_hex(bytes.substr(k * 1000003, 1000003))) << k;
  EXPECT_EQ(list.size, bytes.size());
  EXPECT_EQ(list.sha256, hash_buffer(bytes, L"SHA256", true));
  EXPECT_EQ(blockhash_list_text(list.md5).front(), '[');
}

TEST(BlockList, ExactMultiplesAndEmptyArchives) {
  Scratch scratch;
  const std::string bytes = pattern(4 << 20);
  put(scratch / "even.zip", bytes);
  const BlockList even = compute_block_list(scratch / "even.zip", 2 << 20);
  ASSERT_EQ(even.md5.size(), 2u);
  EXPECT_EQ(even.md5[1], md5_hex(bytes.substr(2 << 20)));

  // Larger than the file: one short block.
  EXPECT_EQ(compute_block_list(scratch / "even.zip", 256u << 20).md5.size(), 1u);

  put(scratch / "empty.zip", "");
  const BlockList empty = compute_block_list(scratch / "empty.zip", 4096);
  EXPECT_TRUE(empty.md5.empty());
  EXPECT_EQ(blockhash_list_text(empty.md5), "[]");
  EXPECT_EQ(empty.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  EXPECT_THROW(compute_block_list(scratch / "missing.zip", 4096), PublishError);
}
