// The pieces of the block-verified download: block geometry, the blockhash
// list, the reuse of an archive an earlier run left behind, and the report
// for a block that never arrives intact. None of them throws; the download
// stage turns their results into its messages.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/extractionprogress.h"
#include "netrelease/release_info.h"
#include "support/hashing.h"

inline constexpr unsigned block_retry_limit = 25;
inline constexpr unsigned block_retry_wait_ms = 2000;
inline constexpr unsigned block_pump_budget = 10;

// Number of blocks of a file of file_size bytes: the last one may be short.
// block_size must not be 0.
std::uint64_t block_count(std::uint64_t file_size, std::uint64_t block_size);

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

// Fetches containername/blockhash. False when the fetch fails or the text
// is not a JSON array; elements that are not strings read as empty digests.
bool fetch_blockhash_list(std::vector<std::string>& digests, ReleaseInfo release);

// destination + filename as the local path of the archive.
std::wstring local_archive_path(const std::wstring& destination, const ReleaseInfo& release);

// The archive exists with exactly filesize bytes and its SHA-256 is hash.
bool is_download_complete(ReleaseInfo release, const std::wstring& destination);

// Opens the archive for appending after the good blocks already on disk
// (first_block: how many), verifying them against the digests, or starts it
// afresh when none can be kept. Bytes after the last whole block, and whole
// blocks beyond what the release can hold, are cut off before verifying.
// When whole_file_hash is given, it receives the bytes of every kept block,
// so that the caller can finish the archive's digest without reading it again.
bool prepare_archive_file(ReleaseInfo release, const std::wstring& destination, ExtractionProgress& progress,
                          const std::vector<std::string>& digests, std::ofstream& stream, std::uint64_t& first_block,
                          HashObject* whole_file_hash = nullptr);

// Cuts or extends the file to length bytes; false when the file cannot be
// opened for writing or resized.
bool set_file_size(const std::wstring& path, std::uint64_t length);

// The pause before a block is fetched again after a digest mismatch; tests
// replace it to count pauses instead of sleeping. Returns the previous one.
using RetryWait = std::function<void(unsigned milliseconds)>;
RetryWait set_block_retry_wait(RetryWait wait);
void block_retry_wait(unsigned milliseconds);
