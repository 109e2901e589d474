// A streaming zip writer for release archives. Members are written one after
// another with bounded memory (the content passes through in pieces), every
// member gets the same timestamp and no varying extra fields, so the same
// members in the same order always give the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "file.h"
#include "publish_error.h"

namespace publisher {

// A field whose value reaches its limit is written in its ZIP64 form. Tests
// lower the limits to reach the ZIP64 layout with small archives.
struct ZipLimits {
  std::uint64_t max_32 = 0xFFFFFFFFu;
  std::uint64_t max_16 = 0xFFFFu;
};

// Reads the next piece of a member's content; returns 0 at its end. Throws
// PublishError when the content cannot be read.
using ChunkReader = std::function<std::size_t(char* buffer, std::size_t size)>;
// Starts reading the content from its beginning. It is called a second time
// when compression does not pay and the member is written stored instead.
using ContentSource = std::function<ChunkReader()>;

class ZipWriter {
 public:
  explicit ZipWriter(const std::filesystem::path& path, ZipLimits limits = {});

  // Adds a regular file of exactly `size` bytes with the permission bits of
  // `mode`; returns the content's CRC-32. Content of another length than
  // announced fails, since the file changed while it was written.
  std::uint32_t add(const std::string& name, std::uint64_t size, std::uint32_t mode, const ContentSource& source);
  std::uint32_t add_bytes(const std::string& name, const std::string& bytes, std::uint32_t mode);
  std::uint32_t add_file(const std::string& name, const std::filesystem::path& file, std::uint64_t size,
                         std::uint32_t mode);
  // Writes the central directory and closes the file.
  void finish();
  // Bytes written so far.
  std::uint64_t size() const { return offset_; }

 private:
  struct Member {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t compressed = 0;
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::uint16_t version = 20;
    std::uint32_t mode = 0;
  };

  void write(const void* data, std::size_t size);
  void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }
  void seek(std::uint64_t offset);
  std::string local_header(const Member& member, bool zip64) const;
  std::size_t deflate_buffer(std::size_t size);
  bool deflate_member(Member& member, const ContentSource& source);
  void store_member(Member& member, const ContentSource& source);
  PublishError changed(const Member& member) const;

  File file_;
  ZipLimits limits_;
  std::uint64_t offset_ = 0;
  std::vector<Member> members_;
  std::vector<char> in_;
  std::vector<char> out_;
};

// The Unix mode recorded for a regular file: read for everyone, written by
// the owner, and executable exactly where the source file is executable.
std::uint32_t recorded_mode(std::uint32_t source_mode);

}  // namespace publisher
