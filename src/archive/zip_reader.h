// A zip reader on zlib for the release archives: the central directory
// (with ZIP64 for archives and members beyond 4 GiB or 65,535 entries),
// lookup by name, and streaming extraction of stored and deflated members
// with their CRC-32 checked.
//
// The archive comes from the network, so every size and offset in it is
// treated as hostile: a damaged or forged archive gives a false result,
// never a read outside the file or an unbounded allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/zip_source.h"

namespace zip {

struct MemberStat {
  std::size_t index = 0;
  std::string name;
  std::uint16_t version_made_by = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t local_header_offset = 0;
  std::uint32_t external_attributes = 0;
  bool is_directory = false;
  bool is_encrypted = false;
  // The st_mode a Unix packer recorded in the high half of the external
  // attributes; empty when the member was written elsewhere.
  std::optional<std::uint32_t> unix_mode;
};

// Receives extracted bytes in order; false stops the extraction.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

// Lends the reader the memory it extracts into, so that the bytes can be
// passed on (to another thread) without being copied once more.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  // Room for the next bytes, at least one byte of it; null stops the
  // extraction. The reader fills it, hands it back with fill(), and only
  // then asks for more.
  virtual char* room(std::size_t& size) = 0;
  // The first size bytes (never 0) of the room last lent hold the next
  // content; the room is the sink's again. False stops the extraction.
  virtual bool fill(std::size_t size) = 0;
};

class ZipReader {
 public:
  // Reads the central directory of the archive in the source, which must
  // outlive the reader's use of it and keep its size.
  bool open(const Source& archive);
  void close();
  bool is_open() const { return archive_ != nullptr; }

  std::size_t member_count() const { return members_.size(); }
  // The first member whose whole name equals name, ASCII letters compared
  // without regard to case.
  std::optional<std::size_t> locate(const std::string& name) const;
  bool stat(std::size_t index, MemberStat& stat) const;

  // Streams the member's content into the sink. False for directories,
  // encrypted members, methods other than stored and deflate, content that
  // is longer or shorter than recorded, a CRC-32 mismatch, a sink that
  // refuses, or a read error. Nothing beyond the recorded size ever reaches
  // the sink.
  bool extract(std::size_t index, const ByteSink& sink) const;
  // The same into lent memory. A room that was lent but not handed back
  // holds nothing of the content.
  bool extract(std::size_t index, ChunkSink& sink) const;
  // For small members only: refuses a member recorded larger than max_size.
  bool extract_to_memory(std::size_t index, std::string& content, std::uint64_t max_size) const;

 private:
  struct Member {
    std::uint64_t name_offset;  // into directory_
    std::uint16_t name_size;
    std::uint16_t version_made_by;
    std::uint16_t flags;
    std::uint16_t method;
    std::uint32_t crc32;
    std::uint32_t external_attributes;
    std::uint64_t compressed_size;
    std::uint64_t uncompressed_size;
    std::uint64_t local_header_offset;
  };

  bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const;
  bool read_directory(std::uint64_t offset, std::uint64_t size, std::uint64_t count);
  bool data_range(const Member& member, std::uint64_t& data_offset) const;
  std::string member_name(const Member& member) const;

  const Source* archive_ = nullptr;
  std::uint64_t archive_size_ = 0;
  std::vector<char> directory_;
  std::vector<Member> members_;
  std::unordered_map<std::string, std::size_t> by_folded_name_;
};

}  // namespace zip
