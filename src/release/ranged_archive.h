// A release archive in the store of which only some byte ranges are fetched:
// its tail with the central directory, its manifests, and the members an
// update lacks. The zip reader reads it like any archive; it answers only
// for the bytes it holds or streams, and refuses every other offset.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "archive/zip_source.h"
#include "net/host_chain.h"
#include "release/update_plan.h"

// Streamed spans are fetched in pieces of at most this size, with up to
// kPiecesAhead requests out at once: several small members on a slow link
// then cost overlapping round trips, and no more than a full download's
// three blocks is held.
inline constexpr std::uint64_t kStreamPieceSize = 4u << 20;
inline constexpr std::size_t kPiecesAhead = 8;
inline constexpr std::uint64_t kPieceBytesAhead = 3 * kStreamPieceSize;
// The most a directory (with the end records) may take; beyond it the full
// download is taken.
inline constexpr std::uint64_t kMaxTailBytes = 64u << 20;
// The most a manifest's member may span: the manifest's own limit, and its
// local header, name and extra field.
inline constexpr std::uint64_t kManifestSpanLimit = kMaxManifestSize + (1u << 17);

class RangedArchive : public zip::Source {
 public:
  // object: the archive's path in the store; size: its length as the index
  // gives it. keep_alive runs between the pieces of every answer.
  RangedArchive(HostChain& store, std::wstring object, std::uint64_t size, std::function<void()> keep_alive);
  ~RangedArchive() override;

  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const override;

  // Fetches the span (within the archive) and keeps it, unless it is held
  // already; false when it could not be had whole.
  bool hold(const ByteSpan& span);
  // The lowest offset read_at was asked for and neither held nor streamed
  // since the last hold.
  std::optional<std::uint64_t> lowest_refused() const { return lowest_refused_; }

  // Streams these spans (ascending, apart) instead of any before: read_at
  // must then ask for them in ascending order, and a piece is let go once a
  // read begins beyond it. Requests go out at once, as far as the limits
  // above allow, and the answers arrive while the caller does other work.
  void stream(const std::vector<ByteSpan>& spans);
  // Adds a span behind those streamed (ascending, apart); one that begins
  // within kRangeMergeGap of the last one not yet asked for joins it.
  void extend_stream(const ByteSpan& span);

  // Bytes that arrived in accepted answers, for the log.
  std::uint64_t fetched_bytes() const { return fetched_; }

 private:
  struct Piece;
  bool load_through(std::uint64_t offset) const;
  void request_ahead() const;
  void refuse(std::uint64_t offset) const;

  HostChain& store_;
  std::wstring object_;
  std::uint64_t size_;
  std::function<void()> keep_alive_;
  std::vector<std::pair<std::uint64_t, std::string>> held_;
  // What read_at does to the stream is no part of what the archive is.
  mutable std::vector<ByteSpan> planned_;  // pieces not yet asked for, in order
  mutable std::size_t next_planned_ = 0;
  mutable std::deque<std::unique_ptr<Piece>> window_;
  mutable std::optional<std::uint64_t> lowest_refused_;
  mutable std::uint64_t fetched_ = 0;
};

// Reads the archive's central directory into the reader by range requests:
// the end records first, then as much before them as the reader asks for,
// up to kMaxTailBytes. False when the archive cannot be read that way.
bool open_remote_directory(RangedArchive& archive, zip::ZipReader& reader);

// The uncompressed content of a small member (a manifest), fetched by its
// span, when its SHA-256 is `digest`; empty otherwise (logged).
std::optional<std::string> fetch_pinned_member(RangedArchive& archive, const zip::ZipReader& reader,
                                               const std::vector<zip::MemberStat>& members,
                                               const std::vector<ByteSpan>& spans, const std::string& name,
                                               const std::string& digest);
