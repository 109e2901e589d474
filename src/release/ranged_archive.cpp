#include "release/ranged_archive.h"

#include <algorithm>
#include <cstring>

#include "support/hashing.h"
#include "support/log.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";
// The end record and the longest comment behind it.
constexpr std::uint64_t kEndRecordsTail = 22 + 0xFFFF;
// The tail is extended downwards at most this often: end records, ZIP64
// record, directory.
constexpr int kTailRounds = 4;

bool covers(std::uint64_t first, std::uint64_t length, std::uint64_t offset, std::uint64_t size) {
  return offset >= first && offset - first <= length && size <= length - (offset - first);
}

}  // namespace

struct RangedArchive::Piece {
  ByteSpan span;
  std::string bytes;
  std::unique_ptr<StartedRequest> request;
  bool whole = false;
};

RangedArchive::RangedArchive(HostChain& store, std::wstring object, std::uint64_t size,
                             std::function<void()> keep_alive)
    : store_(store), object_(std::move(object)), size_(size), keep_alive_(std::move(keep_alive)) {}

RangedArchive::~RangedArchive() = default;

bool RangedArchive::hold(const ByteSpan& span) {
  if (span.first >= span.end || span.end > size_) return false;
  for (const auto& [first, held] : held_) {
    if (covers(first, held.size(), span.first, span.size())) return true;
  }
  std::string bytes;
  HttpRequest request;
  request.hosts = &store_;
  request.object_path = object_;
  request.range_first = static_cast<std::int64_t>(span.first);
  request.range_last = static_cast<std::int64_t>(span.end - 1);
  request.body_limit = static_cast<std::size_t>(span.size());
  request.body_sink = &bytes;
  request.keep_alive = keep_alive_;
  if (!StartedRequest(std::move(request)).finish() || bytes.size() != span.size()) return false;
  fetched_ += bytes.size();
  lowest_refused_.reset();
  // A span that ends where a held one begins joins it: the directory is read
  // in one piece across the tail it was found in front of.
  for (auto& [first, held] : held_) {
    if (first == span.end) {
      bytes += held;
      held = std::move(bytes);
      first = span.first;
      return true;
    }
  }
  held_.emplace_back(span.first, std::move(bytes));
  return true;
}

void RangedArchive::refuse(std::uint64_t offset) const {
  if (!lowest_refused_ || offset < *lowest_refused_) lowest_refused_ = offset;
}

void RangedArchive::stream(const std::vector<ByteSpan>& spans) {
  window_.clear();  // requests still out are abandoned
  planned_.clear();
  next_planned_ = 0;
  for (const ByteSpan& span : spans) extend_stream(span);
}

void RangedArchive::extend_stream(const ByteSpan& span) {
  std::uint64_t first = span.first;
  // Close behind a piece not yet asked for: one request for both, gap and all.
  if (next_planned_ < planned_.size() && first >= planned_.back().end &&
      first - planned_.back().end <= kRangeMergeGap && span.end - planned_.back().first <= kStreamPieceSize) {
    planned_.back().end = span.end;
    first = span.end;
  }
  for (; first < span.end; first += kStreamPieceSize) {
    planned_.push_back({first, std::min(span.end, first + kStreamPieceSize)});
  }
  request_ahead();
}

void RangedArchive::request_ahead() const {
  std::uint64_t ahead = 0;
  for (const auto& piece : window_) ahead += piece->span.size();
  while (next_planned_ < planned_.size() && window_.size() < kPiecesAhead &&
         (window_.empty() || ahead + planned_[next_planned_].size() <= kPieceBytesAhead)) {
    auto piece = std::make_unique<Piece>();
    piece->span = planned_[next_planned_++];
    piece->bytes.reserve(static_cast<std::size_t>(piece->span.size()));
    HttpRequest request;
    request.hosts = &store_;
    request.object_path = object_;
    request.range_first = static_cast<std::int64_t>(piece->span.first);
    request.range_last = static_cast<std::int64_t>(piece->span.end - 1);
    request.body_limit = static_cast<std::size_t>(piece->span.size());
    request.body_sink = &piece->bytes;
    request.keep_alive = keep_alive_;
    piece->request = std::make_unique<StartedRequest>(std::move(request));
    ahead += piece->span.size();
    window_.push_back(std::move(piece));
  }
}

// Lets go of the pieces before offset and waits for the pieces up to the one
// that holds it; false when offset lies in no streamed piece or the pieces
// up to it did not arrive whole.
bool RangedArchive::load_through(std::uint64_t offset) const {
  while (!window_.empty() && window_.front()->span.end <= offset) {
    window_.pop_front();
    request_ahead();
  }
  for (const auto& piece : window_) {
    if (piece->request) {
      const bool arrived = piece->request->finish() && piece->bytes.size() == piece->span.size();
      piece->request.reset();
      piece->whole = arrived;
      if (arrived) fetched_ += piece->bytes.size();
    }
    if (!piece->whole) return false;
    if (offset < piece->span.end) return offset >= piece->span.first;
  }
  return false;
}

bool RangedArchive::read_at(std::uint64_t offset, void* buffer, std::size_t size) const {
  if (offset > size_ || size > size_ - offset) return false;
  for (const auto& [first, bytes] : held_) {
    if (covers(first, bytes.size(), offset, size)) {
      if (size != 0) std::memcpy(buffer, bytes.data() + (offset - first), size);
      return true;
    }
  }
  // From the stream, piece by piece: a read may run across pieces.
  auto* out = static_cast<char*>(buffer);
  std::uint64_t at = offset;
  std::size_t left = size;
  while (left > 0) {
    if (!load_through(at)) return refuse(at), false;
    const Piece* holder = nullptr;
    for (const auto& piece : window_) {
      if (at >= piece->span.first && at < piece->span.end) {
        holder = piece.get();
        break;
      }
    }
    if (!holder) return refuse(at), false;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left, holder->span.end - at));
    std::memcpy(out, holder->bytes.data() + (at - holder->span.first), take);
    out += take;
    at += take;
    left -= take;
  }
  return true;
}

bool open_remote_directory(RangedArchive& archive, zip::ZipReader& reader) {
  const std::uint64_t size = archive.size();
  std::uint64_t tail_first = size - std::min(size, kEndRecordsTail);
  if (!archive.hold({tail_first, size})) return false;
  for (int round = 0; round < kTailRounds; ++round) {
    if (reader.open(archive)) return true;
    const std::optional<std::uint64_t> refused = archive.lowest_refused();
    // Refused nothing it wanted: the archive is damaged, not short.
    if (!refused || *refused >= tail_first || size - *refused > kMaxTailBytes) return false;
    if (!archive.hold({*refused, tail_first})) return false;
    tail_first = *refused;
  }
  return false;
}

std::optional<std::string> fetch_pinned_member(RangedArchive& archive, const zip::ZipReader& reader,
                                               const std::vector<zip::MemberStat>& members,
                                               const std::vector<ByteSpan>& spans, const std::string& name,
                                               const std::string& digest) {
  const std::optional<std::size_t> index = reader.locate(name);
  if (!index || *index >= members.size()) return std::nullopt;
  if (spans[*index].size() > kManifestSpanLimit) return std::nullopt;
  std::string content;
  if (!archive.hold(spans[*index]) || !reader.extract_to_memory(*index, content, kMaxManifestSize)) {
    write_log("Cannot fetch " + name + " by range", __LINE__, kLogSource);
    return std::nullopt;
  }
  const std::string received = hash_buffer(content, L"SHA256", true);
  if (received.empty() || received != digest) {
    write_log(name + " has the SHA-256 " + received + ", the release index says '" + digest + "'", __LINE__,
              kLogSource);
    return std::nullopt;
  }
  return content;
}
