#include "release/block_download.h"

#include <algorithm>
#include <future>
#include <limits>

#include "formats/blockhash_list.h"
#include "platform/file.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/log.h"
#include "support/names.h"
#include "support/text.h"

namespace {
constexpr char kLogSource[] = "netrelease_functions";
constexpr std::uint64_t kLargestRangeBound = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

BlockRange block_range(std::uint64_t index, std::uint64_t block_size) {
  BlockRange range;
  if (block_size != 0 && index > kLargestRangeBound / block_size) {
    range.first = range.last = std::numeric_limits<std::int64_t>::max();
    return range;
  }
  const std::uint64_t first = index * block_size;
  const std::uint64_t span = block_size == 0 ? 0 : block_size - 1;
  const std::uint64_t last = span > kLargestRangeBound - first ? kLargestRangeBound : first + span;
  range.first = static_cast<std::int64_t>(first);
  range.last = static_cast<std::int64_t>(last);
  return range;
}

std::string block_geometry_problem(const std::string& product, const ReleaseInfo& release) {
  const std::string name = "Release " + release.version + " of " + product;
  if (release.blocksize == 0) return name + " has no block size";
  // Sizes beyond what a byte range can address, or a block beyond what the
  // launcher holds in memory (kMaxBlockSize, the publisher's cap too), come
  // from negative or absurd numbers in the index.
  if (release.blocksize > kMaxBlockSize) return name + " has an invalid block size";
  if (release.filesize > kLargestRangeBound) return name + " has an invalid file size";
  return {};
}

std::string release_name_problem(const std::string& product, const ReleaseInfo& release) {
  // The key names the setup folder that the main flow deletes and refills;
  // the file name is where the archive is written.
  if (!is_safe_file_name(release.version)) return product + " offers a release whose name is not a valid folder name";
  if (!is_safe_file_name(release.filename)) {
    return "Release " + release.version + " of " + product + " names an invalid archive file";
  }
  return {};
}

std::string block_mismatch_report(std::uint64_t index, const std::string& expected, const std::string& received_digest,
                                  std::uint64_t block_size, const std::string& received) {
  std::string report = "Hash mismatch for downloaded block!\nBlock: " + std::to_string(index) +
                       "\nExpected:  " + expected + "\nDownloaded: " + received_digest +
                       "\nBlock size: " + std::to_string(block_size) +
                       " downloaded size: " + std::to_string(received.size()) + "\n";
  if (!received.empty()) {
    std::uint64_t zeroes = 0;
    std::uint64_t ascii = 0;
    for (const unsigned char c : received) {
      if (c == 0) ++zeroes;
      if (c >= 0x20 && c <= 0x7F) ++ascii;
    }
    const double total = static_cast<double>(received.size());
    report += "Zeroes in block: " + std::to_string(zeroes) + " ( " +
              fixed_decimal(static_cast<double>(zeroes) * 100 / total, 6) + " ) \n";
    report += "Ascii chars in block: " + std::to_string(ascii) + " ( " +
              fixed_decimal(static_cast<double>(ascii) * 100 / total, 6) + " ) \n";
  }
  return report;
}

std::optional<std::vector<std::string>> fetch_blockhash_list(HostChain& store, const ReleaseInfo& release,
                                                             bool check_digest, bool* too_long) {
  std::string text;
  const std::string object = release.containername + "/" + release.blockhash;
  // Before the geometry is checked: without a block size, only the list's own cap holds.
  const std::size_t limit = release.blocksize == 0 ? kMaxBlockhashListBytes
                                                   : blockhash_list_limit(block_count(release.filesize, release.blocksize));
  const Fetched fetched = fetch_to_string(store, wide_from_utf8(object), limit, &text);
  *too_long = fetched == Fetched::too_long;
  if (fetched != Fetched::whole) return std::nullopt;
  if (check_digest) {
    const std::string digest = hash_buffer(text, L"SHA256", true);
    if (digest.empty() || digest != release.blockhash_sha256) {
      write_log("Blockhash list " + object + " has the SHA-256 " + digest + ", the release index says '" +
                    release.blockhash_sha256 + "'",
                __LINE__, kLogSource);
      return std::nullopt;
    }
  }
  return parse_blockhash_list(text);
}

bool is_download_complete(const ReleaseInfo& release) {
  platform::File file(archive_path(release), platform::File::Mode::read);
  if (!file.is_open() || file.size() != release.filesize) return false;
  // A digest that could not be computed is empty and must not pass for an
  // index entry whose hash is empty too.
  const std::string digest = hash_file(file, L"SHA256");
  return !digest.empty() && digest == release.hash;
}

namespace {

// A block counts as good only with a computed digest that equals the list's.
bool digest_matches(const std::string& bytes, const std::string& expected) {
  const std::string digest = md5_hex(bytes);
  return !digest.empty() && digest == expected;
}

std::size_t read_fully(platform::File& file, std::string& buffer) {
  std::size_t done = 0;
  for (std::size_t got; done < buffer.size() && (got = file.read(&buffer[done], buffer.size() - done)) > 0;) {
    done += got;
  }
  return done;
}

// How many whole blocks from the start of the file match their digests: all
// those the release and the digest list can hold, or none. Each goes into
// the whole-file digest when one is given.
//
// The kept blocks are read two at a time; the MD5s of the two are taken side
// by side (the second on a thread of its own) while the pair before goes into
// the whole-file digest on a third, so that the checks cost about what the
// slower of MD5 and SHA-256 costs on one core, less with two. Four buffers.
std::uint64_t verified_blocks(platform::File& file, const ReleaseInfo& release, Progress& progress,
                              const std::vector<std::string>& digests, HashObject* whole_file_hash) {
  const std::uint64_t block_size = release.blocksize;
  const std::uint64_t kept_blocks = std::min({file.size().value_or(0) / block_size, release.filesize / block_size,
                                              static_cast<std::uint64_t>(digests.size())});
  if (kept_blocks == 0 || !file.seek(0)) return 0;
  constexpr std::size_t kPair = 2;
  std::string buffers[2][kPair];
  std::size_t current = 0;
  std::uint64_t good = 0;
  std::future<void> hashing;  // after the buffers: its destructor waits for the thread
  const auto wait_for_hash = [&hashing] {
    if (hashing.valid()) hashing.get();
  };
  while (good < kept_blocks) {
    std::string* pair = buffers[current];
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kPair, kept_blocks - good));
    std::size_t read = 0;
    for (; read < count; ++read) {
      pair[read].resize(static_cast<std::size_t>(block_size));
      if (read_fully(file, pair[read]) != block_size) break;
    }
    std::future<bool> second;
    if (read == kPair) {
      second = std::async(std::launch::async, [pair, &digests, index = static_cast<std::size_t>(good) + 1] {
        return digest_matches(pair[1], digests[index]);
      });
    }
    std::size_t passed = read > 0 && digest_matches(pair[0], digests[static_cast<std::size_t>(good)]) ? 1 : 0;
    if (second.valid() && second.get() && passed == 1) passed = 2;
    // One step for each block checked, the first that failed included.
    for (std::size_t i = 0; i < std::min(count, passed + 1); ++i) progress.step(block_size);
    if (passed > 0 && whole_file_hash) {
      wait_for_hash();
      hashing = std::async(std::launch::async, [whole_file_hash, pair, passed] {
        for (std::size_t i = 0; i < passed; ++i) whole_file_hash->add(pair[i].data(), pair[i].size());
      });
    }
    good += passed;
    if (passed < count) break;
    current = 1 - current;
  }
  wait_for_hash();
  return good == kept_blocks ? good : 0;
}

}  // namespace

bool prepare_archive_file(const ReleaseInfo& release, Progress& progress, const std::vector<std::string>& digests,
                          platform::File& file, std::uint64_t& first_block, HashObject* whole_file_hash) {
  const std::wstring path = archive_path(release);
  const std::uint64_t block_size = release.blocksize;
  create_parent_folders(path);
  first_block = 0;

  // Only a regular file without a second name is taken up again. A regular
  // file that cannot be (another name, read-only) is replaced, never written
  // through; a link, device or folder at the archive's name stays untouched
  // and the download fails.
  file = platform::File(path, platform::File::Mode::update);
  if (!file.is_open()) {
    remove_regular_file(path);
    file = platform::File(path, platform::File::Mode::create_new);
    if (!file.is_open()) return false;
  }
  if (block_size != 0 && block_size <= kMaxBlockSize) {
    first_block = verified_blocks(file, release, progress, digests, whole_file_hash);
  }
  // Bytes after the kept blocks are cut off: a partial block, or the blocks
  // of a file that did not match.
  const std::uint64_t kept = first_block * block_size;
  if (!file.resize(kept) || !file.seek(kept)) {
    file.close();
    return false;
  }
  if (first_block == 0) {
    progress.restart();
    if (whole_file_hash) *whole_file_hash = HashObject(L"SHA256");
  }
  return true;
}
