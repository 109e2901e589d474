// The pieces of the block-verified download: block geometry, the blockhash
// list, the reuse of an archive an earlier run left behind, and the report
// for a block that never arrives intact. None of them throws; the download
// stage turns their results into its messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/host_chain.h"
#include "platform/file.h"
#include "release/release_info.h"
#include "support/hashing.h"
#include "support/progress.h"

inline constexpr unsigned block_retry_limit = 25;
inline constexpr unsigned block_retry_wait_ms = 2000;

// The byte range asked for block k: always a whole block size, also for the
// last block (the server returns what exists). The upper bound is capped
// where a range header can no longer express it.
struct BlockRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
};
BlockRange block_range(std::uint64_t index, std::uint64_t block_size);

// Why the record's size fields cannot drive a download, as a message naming
// the release; empty when they can.
std::string block_geometry_problem(const std::string& product, const ReleaseInfo& release);
// Why the record's release key or archive name must not become part of a
// local path, as a message naming the product; empty when they are safe.
std::string release_name_problem(const std::string& product, const ReleaseInfo& release);

// The message raised when block k failed its digest too often: expected and
// received digests, sizes, and what the received bytes look like (many
// zeroes or plain text hint at a proxy's error page or a broken disk cache).
std::string block_mismatch_report(std::uint64_t index, const std::string& expected, const std::string& received_digest,
                                  std::uint64_t block_size, const std::string& received);

// Fetches containername/blockhash from the store's hosts. Empty when the
// fetch fails, the text is longer than the release's block count allows
// (too_long is then set), is not a blockhash list, or check_digest is set
// and the SHA-256 of its bytes is not the release's blockhash_sha256 (logged).
std::optional<std::vector<std::string>> fetch_blockhash_list(HostChain& store, const ReleaseInfo& release,
                                                             bool check_digest, bool* too_long);

// The archive is a regular file (not a link) with exactly filesize bytes and
// its SHA-256 is hash.
bool is_download_complete(const ReleaseInfo& release);

// Opens the archive for writing after the good blocks already on disk
// (first_block: how many), verifying them against the digests, or starts it
// afresh when none can be kept. Bytes after the last whole block, and whole
// blocks beyond what the release can hold, are cut off. Never through a
// link: false when anything but a regular file has the archive's name.
// When whole_file_hash is given, it receives the bytes of every kept block,
// so that the caller can finish the archive's digest without reading it again.
bool prepare_archive_file(const ReleaseInfo& release, Progress& progress, const std::vector<std::string>& digests,
                          platform::File& file, std::uint64_t& first_block, HashObject* whole_file_hash = nullptr);
