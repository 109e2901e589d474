#include "release/download_stage.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <future>
#include <limits>
#include <memory>

#include "formats/blockhash_list.h"
#include "formats/index_signature.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "release/block_download.h"
#include "release/index_trust.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/hooks.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";

// Appends a checked block to the archive and to the whole-file digest; false
// when the write fails.
bool keep_block(const std::string& bytes, platform::File& file, HashObject& whole_file) {
  if (!file.write(bytes.data(), bytes.size())) return false;
  whole_file.add(bytes.data(), bytes.size());
  return true;
}

// What one request asks for at most: a body's room must fit a size_t on
// every target, and a new request every gigabyte costs nothing worth naming.
constexpr std::uint64_t kStreamBytesLimit = 1ull << 30;
// What one look at the stream takes in while a check runs.
constexpr std::size_t kReadAheadBytes = 256 * 1024;

// The archive's blocks as they arrive. One ranged request carries every
// missing block and its body is cut into blocks as it comes in, so the
// sender sees one long transfer, as for a plain download. Requests for
// single blocks, the next one made ahead on a second connection so that the
// link never idled between them, put two flows on one path: on a 50 ms path
// they pushed its queue over and about 5 % of the bytes were sent twice. A
// block that fails its check is asked for again alone, on a connection of
// its own, while the long request waits. Each block lands straight in a
// buffer of its own: the one being written, the one arriving and the one read
// ahead while the checks run.
class BlockStream {
 public:
  BlockStream(HostChain& store, const ReleaseInfo& release)
      : store_(store),
        object_(wide_from_utf8(release.containername + "/" + release.filename)),
        block_size_(release.blocksize),
        file_size_(release.filesize) {}

  // The window kept alive between the pieces of a body from now on.
  void report_to(Progress& progress) { progress_ = &progress; }

  // Where the request for the blocks from `first` ends: at least one block
  // later, at most kStreamBytesLimit later.
  std::uint64_t request_end(std::uint64_t first, std::uint64_t block_total) const {
    const std::uint64_t per_request =
        std::max<std::uint64_t>(1, kStreamBytesLimit / std::max<std::uint64_t>(1, block_size_));
    return std::min(block_total, first + per_request);
  }

  // Asks for the blocks from `first` at once, for request() to take: the
  // answer starts to arrive while the caller still fetches something else.
  void start(std::uint64_t first, std::uint64_t block_total) {
    started_ = std::make_unique<StartedRequest>(stream_request(first, request_end(first, block_total)));
    started_first_ = first;
  }

  // The request for the blocks from `first` up to request_end(), the one
  // started for them if any, with its body handed to `read` (which takes the
  // blocks with next()); true when the body arrived whole.
  bool request(std::uint64_t first, std::uint64_t block_total, const std::function<bool(HttpBody&)>& read) {
    std::unique_ptr<StartedRequest> request = std::move(started_);
    if (!request || started_first_ != first) {
      request = std::make_unique<StartedRequest>(stream_request(first, request_end(first, block_total)));
    }
    read_ = &read;
    const bool whole = request->finish();
    read_ = nullptr;
    return whole;
  }

  // Block `index` from the body, read to its end; null when the body ends first.
  const std::string* next(HttpBody& body, std::uint64_t index) {
    Buffer& buffer = buffer_for(index);
    while (buffer.filled < buffer.length) {
      if (!read_into(body, buffer, buffer.length - buffer.filled)) return nullptr;
    }
    return &buffer.bytes;
  }

  // Takes a little more of block `index` from the body, for a caller waiting
  // on something else; false when it has it all or the body ended.
  bool read_ahead(HttpBody& body, std::uint64_t index) {
    Buffer& buffer = buffer_for(index);
    const std::size_t left = buffer.length - buffer.filled;
    return left > 0 && read_into(body, buffer, std::min(left, kReadAheadBytes));
  }

  // Block `index` alone, in a request of its own (a block that failed its
  // check); its bytes, or null when the transfer failed. The buffer is the
  // block's own, so the block read ahead is kept.
  const std::string* fetch_alone(std::uint64_t index) {
    Buffer& buffer = buffers_[slot(index)];
    const BlockRange range = block_range(index, block_size_);
    buffer.index = index;
    buffer.length = block_length(index);
    buffer.bytes.clear();
    HttpRequest request = base_request(range.first, range.last);
    request.body_sink = &buffer.bytes;
    const bool whole = StartedRequest(std::move(request)).finish();
    buffer.filled = buffer.bytes.size();
    return whole ? &buffer.bytes : nullptr;
  }

 private:
  struct Buffer {
    std::string bytes;  // sized to the block; the first `filled` bytes have arrived
    std::size_t filled = 0;
    std::size_t length = 0;
    std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
  };
  static constexpr std::size_t kBuffers = 3;

  static std::size_t slot(std::uint64_t index) { return static_cast<std::size_t>(index % kBuffers); }

  // The buffer of block `index`, made ready for it when it held another.
  Buffer& buffer_for(std::uint64_t index) {
    Buffer& buffer = buffers_[slot(index)];
    if (buffer.index != index) {
      buffer.index = index;
      buffer.filled = 0;
      buffer.length = block_length(index);
      // Blocks of one length reuse the buffer as it is.
      buffer.bytes.resize(buffer.length);
    }
    return buffer;
  }

  // The last block is as long as what is left.
  std::size_t block_length(std::uint64_t index) const {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(block_size_, file_size_ - std::min(file_size_, index * block_size_)));
  }

  static bool read_into(HttpBody& body, Buffer& buffer, std::size_t most) {
    const std::size_t got = body.read(&buffer.bytes[buffer.filled], most);
    buffer.filled += got;
    return got > 0;
  }

  HttpRequest stream_request(std::uint64_t first, std::uint64_t end) {
    const BlockRange from = block_range(first, block_size_);
    const BlockRange to = block_range(end - 1, block_size_);
    HttpRequest request = base_request(from.first, to.last);
    request.body_limit = static_cast<std::size_t>(std::min<std::uint64_t>(
        kStreamBytesLimit, static_cast<std::uint64_t>(to.last - from.first) + 1));
    request.body_handler = [this](HttpBody& body) { return read_ && (*read_)(body); };
    return request;
  }

  HttpRequest base_request(std::int64_t first, std::int64_t last) {
    HttpRequest request;
    request.hosts = &store_;
    request.object_path = object_;
    request.keep_alive = [this] {
      if (progress_) progress_->keep_alive();
    };
    request.range_first = first;
    request.range_last = last;
    return request;
  }

  HostChain& store_;
  Progress* progress_ = nullptr;
  std::wstring object_;
  std::uint64_t block_size_;
  std::uint64_t file_size_;
  Buffer buffers_[kBuffers];
  const std::function<bool(HttpBody&)>* read_ = nullptr;  // while request() waits
  // Last: dropped first, while what its handler reaches is still there.
  std::unique_ptr<StartedRequest> started_;
  std::uint64_t started_first_ = 0;
};

// A block fetched, its MD5 check and its write under way on other threads.
struct PendingBlock {
  std::uint64_t index = 0;
  const std::string* bytes = nullptr;
  std::shared_future<std::string> digest;  // its MD5
  std::future<bool> written;               // appended and added to the whole-file digest
};

// Cuts the archive back to its first `length` bytes, which passed their
// checks, and makes the whole-file digest theirs again: a block written
// before its check failed goes. Rare (a damaged answer), so the kept bytes
// are simply read again.
bool rewind_archive(platform::File& file, std::uint64_t length, HashObject& whole_file) {
  if (!file.resize(length) || !file.seek(0)) return false;
  whole_file = HashObject(L"SHA256");
  std::vector<char> buffer(1 << 20);
  for (std::uint64_t left = length; left > 0;) {
    const std::size_t got = file.read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
    if (got == 0) return false;
    whole_file.add(buffer.data(), got);
    left -= got;
  }
  return file.seek(length);
}

// Brings the missing blocks of the chosen release into the archive file and
// returns the SHA-256 of the whole file, computed on the way.
//
// While block k + 1 arrives, block k is checked against its MD5 on one
// thread and appended to the file and the whole-file digest on another, so
// the stage runs at the speed of the slowest of transfer, MD5 and SHA-256,
// not at their sum. Its bytes are announced (to the unpacking) as soon as
// both are done and the check passed. A block that fails its check is cut off
// the file again and asked for again, alone, until it passes: the block after
// it, already read ahead, is kept and costs nothing more.
std::string download_blocks(BlockStream& blocks, const ReleaseInfo& release,
                            const std::vector<std::string>& digests, std::uint64_t block_total,
                            const ProgressOpener& open_progress, const std::function<void(std::uint64_t)>& written) {
  HashObject whole_file(L"SHA256");
  const auto progress = open_progress(
      L"download",
      static_cast<std::uint32_t>(std::min<std::uint64_t>(block_total, std::numeric_limits<std::uint32_t>::max())),
      release.filesize);

  platform::File file;
  std::uint64_t block = 0;
  if (!prepare_archive_file(release, *progress, digests, file, block, &whole_file)) {
    throw_logged(DownloadException("Cannot open arc file"), __LINE__, kLogSource);
  }
  // Before the first byte arrives, rather than half-way: what the blocks
  // still missing need.
  const std::string space_problem =
      free_space_problem(release.destination, release.filesize - block * release.blocksize);
  if (!space_problem.empty()) throw_logged(DownloadException(space_problem), __LINE__, kLogSource);

  const auto announce = [&written](std::uint64_t end) {
    if (written && end > 0) written(end);
  };
  announce(block * release.blocksize);

  blocks.report_to(*progress);
  const auto step = [&progress](const std::string& bytes) {
    progress->step(bytes.size());
    progress->keep_alive();
  };
  const auto block_start = [&release](std::uint64_t index) { return index * release.blocksize; };
  // A block of another length is damaged whatever its digest.
  const auto sound = [&](std::uint64_t index, const std::string& bytes, const std::string& digest) {
    const std::uint64_t length = std::min<std::uint64_t>(release.blocksize, release.filesize - block_start(index));
    return bytes.size() == length && !digest.empty() && digest == digests[static_cast<std::size_t>(index)];
  };
  const auto write_failed = [] { throw_logged(DownloadException("Error during file write!"), __LINE__, kLogSource); };
  const auto transfer_failed = [] {
    throw_logged(DownloadException("Error during downloading archive"), __LINE__, kLogSource);
  };

  // Declared after everything its threads use: on any way out, the futures'
  // destructors wait for them before those go away.
  PendingBlock pending;
  // Waits for the pending block's check and write, meanwhile letting
  // read_ahead (when given) take in the next block; a damaged one is fetched
  // again (after a pause, block_retry_limit times in all) until it passes.
  const auto settle = [&](const std::function<bool()>& read_ahead) {
    if (!pending.bytes) return;
    const std::uint64_t index = pending.index;
    while (pending.written.wait_for(std::chrono::seconds(0)) != std::future_status::ready && read_ahead &&
           read_ahead()) {
    }
    const bool appended = pending.written.get();
    std::string digest = pending.digest.get();
    const std::string* bytes = pending.bytes;
    pending.bytes = nullptr;
    if (!appended) write_failed();
    // A sound block was announced by its writing thread.
    if (!sound(index, *bytes, digest)) {
      if (!rewind_archive(file, block_start(index), whole_file)) write_failed();
      for (unsigned mismatches = 1; !sound(index, *bytes, digest); ++mismatches) {
        if (mismatches == block_retry_limit) {
          throw_logged(DownloadException(block_mismatch_report(index, digests[static_cast<std::size_t>(index)], digest,
                                                               release.blocksize, *bytes)),
                       __LINE__, kLogSource);
        }
        hooks().sleep_ms(block_retry_wait_ms);
        bytes = blocks.fetch_alone(index);
        if (!bytes) transfer_failed();
        step(*bytes);
        digest = md5_hex(*bytes);
      }
      if (!keep_block(*bytes, file, whole_file)) write_failed();
      announce(block_start(index) + bytes->size());
    }
  };
  // Block k is checked on one thread and written on another while block
  // k + 1 arrives.
  const auto check_and_write = [&](std::uint64_t index, const std::string* bytes) {
    pending.index = index;
    pending.bytes = bytes;
    pending.digest = std::async(std::launch::async, [bytes] { return md5_hex(*bytes); }).share();
    pending.written = std::async(std::launch::async, [&, bytes, index, digest = pending.digest] {
      if (!keep_block(*bytes, file, whole_file)) return false;
      if (sound(index, *bytes, digest.get())) announce(block_start(index) + bytes->size());
      return true;
    });
  };
  while (block < block_total) {
    const std::uint64_t end = blocks.request_end(block, block_total);
    const bool whole = blocks.request(block, block_total, [&](HttpBody& body) {
      for (; block < end; ++block) {
        const std::string* bytes = blocks.next(body, block);
        if (!bytes) return false;
        step(*bytes);
        const std::uint64_t ahead = block + 1;
        settle([&] { return ahead < end && blocks.read_ahead(body, ahead); });
        check_and_write(block, bytes);
      }
      // What a server sends beyond the blocks asked for is never read.
      return true;
    });
    if (!whole) transfer_failed();
  }
  settle(nullptr);
  // The digest stands for the bytes on disk only once they are all written.
  if (!file.close()) write_failed();
  return whole_file.finish(true);
}

}  // namespace

DownloadStage::DownloadStage(HttpService store, std::vector<std::string> index_keys, std::wstring product,
                             std::vector<HttpService> fallbacks)
    : timer_(L"downloadSetup", __LINE__, kLogSource),
      store_(std::move(store), std::move(fallbacks)),
      index_keys_(std::move(index_keys)),
      product_(std::move(product)),
      product_text_(utf8_from_wide(product_)) {}

std::vector<ReleaseChoice> DownloadStage::offered() {
  if (product_text_.empty()) throw_logged(DownloadException("strProduct is empty"), __LINE__, kLogSource);
  bool too_long = false;
  const std::optional<std::string> index_bytes =
      fetch_index_object(store_, product_, "index", kMaxIndexBytes, &too_long);
  if (too_long) {
    throw_logged(DownloadException("The release index of " + product_text_ + " is larger than " +
                                   std::to_string(kMaxIndexBytes >> 20) + " MiB"),
                 __LINE__, kLogSource);
  }
  index_ = index_bytes ? parse_json(*index_bytes) : nlohmann::json();
  if (index_.is_null()) {
    throw_logged(DownloadException(product_text_ + " is not available for download"), __LINE__, kLogSource);
  }
  if (!index_keys_.empty()) check_index_trust(*index_bytes);
  return release_choices(index_);
}

void DownloadStage::check_index_trust(const std::string& index_bytes) {
  // An overlong signature object is no signature: the index is refused below.
  bool too_long = false;
  const std::optional<std::string> signature =
      fetch_index_object(store_, product_, kIndexSignatureName, kMaxIndexSignatureBytes, &too_long);
  if (!signature) {
    write_log(std::string("Cannot download the release index's ") + kIndexSignatureName, __LINE__, kLogSource);
  }
  const std::uint64_t seen = highest_sequence_seen(product_);
  const std::string problem = index_trust_problem(product_text_, index_bytes, index_, signature.value_or(""),
                                                  index_keys_, seen, static_cast<std::int64_t>(std::time(nullptr)));
  if (!problem.empty()) throw_logged(DownloadException(problem), __LINE__, kLogSource);
  const std::uint64_t sequence = index_sequence(index_);
  if (sequence > seen) remember_sequence(product_, sequence);
}

ReleaseInfo DownloadStage::accept(const std::string& key, bool download_only, const std::wstring& destination,
                                  std::uint64_t launcher_version) {
  ReleaseInfo release;
  fill_release(index_, key, release);
  release.download_only = download_only;
  release.destination = destination;
  if (!passes_launcher_gate(release.required_setup, launcher_version)) {
    throw_logged(DownloadException(product_text_ + " requires a newer downloader"), __LINE__, kLogSource);
  }
  // Before anything is written, or deleted by the main flow, in a folder
  // named after the index's texts.
  const std::string name_problem = release_name_problem(product_text_, release);
  if (!name_problem.empty()) throw_logged(DownloadException(name_problem), __LINE__, kLogSource);
  const std::string store_problem = store_name_problem(product_text_, release);
  if (!store_problem.empty()) throw_logged(DownloadException(store_problem), __LINE__, kLogSource);
  return release;
}

void DownloadStage::download(const ReleaseInfo& release, const ProgressOpener& open_progress,
                             const std::function<void(std::uint64_t)>& written) {
  // With nothing on disk yet the blocks are asked for before the blockhash
  // list, on the connection the index came on, while the list comes on
  // another: the digests are needed only once the first block is in, and the
  // download starts a round trip earlier. What an earlier run left needs the
  // digests first to know where to go on.
  BlockStream blocks(store_, release);
  const std::string geometry_problem = block_geometry_problem(product_text_, release);
  const std::uint64_t block_total = geometry_problem.empty() ? block_count(release.filesize, release.blocksize) : 0;
  if (block_total > 0 && platform::path_kind(archive_path(release)) == platform::PathKind::none) {
    blocks.start(0, block_total);
  }
  bool too_long = false;
  // With index keys the list is held to the digest the signed index gives.
  const auto digests = fetch_blockhash_list(store_, release, !index_keys_.empty(), &too_long);
  if (too_long) {
    throw_logged(DownloadException("Blockhash file is longer than release " + release.version + " of " +
                                   product_text_ + " allows"),
                 __LINE__, kLogSource);
  }
  if (!digests) throw_logged(DownloadException("Cannot download blockhash file"), __LINE__, kLogSource);
  if (is_download_complete(release)) return;

  if (!geometry_problem.empty()) throw_logged(DownloadException(geometry_problem), __LINE__, kLogSource);
  if (block_total != digests->size()) {
    throw_logged(DownloadException("Number of expected blockhashes does not match"), __LINE__, kLogSource);
  }

  const std::string digest = download_blocks(blocks, release, *digests, block_total, open_progress, written);
  if (digest.empty() || digest != release.hash) {
    throw_logged(DownloadException("Hash mismatch for downloaded file!"), __LINE__, kLogSource);
  }
}

std::unique_ptr<DifferentialUpdate> DownloadStage::plan_update(const ReleaseInfo& release,
                                                               const std::wstring& setup_folder) {
  return DifferentialUpdate::plan(store_, release, product_, setup_folder);
}
