#include "archive/zip_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>

#include "archive/zip_layout.h"
#include "support/text.h"

namespace zip {

namespace {

constexpr std::uint32_t kEnd64LocatorSignature = 0x07064b50;

constexpr std::size_t kEndSize = 22;
constexpr std::size_t kEnd64LocatorSize = 20;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kDirectoryHeaderSize = 46;
constexpr std::size_t kMaxCommentSize = 0xFFFF;

// A directory this large would take well over a million members with long
// names; anything beyond it is a forged size, not a release archive.
constexpr std::uint64_t kMaxDirectorySize = 512ull << 20;

constexpr std::size_t kInputChunk = 256u << 10;
constexpr std::size_t kOutputChunk = 1u << 20;
constexpr std::size_t kMinOutputChunk = 4u << 10;

constexpr std::uint32_t kDosDirectoryAttribute = 0x10;
constexpr std::uint32_t kUnixTypeMask = 0170000;
constexpr std::uint32_t kUnixDirectory = 0040000;
constexpr std::uint16_t kHostUnix = 3;
constexpr std::uint16_t kHostDarwin = 19;

}  // namespace

void ZipReader::close() {
  archive_ = nullptr;
  archive_size_ = 0;
  directory_offset_ = 0;
  directory_.clear();
  directory_.shrink_to_fit();
  members_.clear();
  by_folded_name_.clear();
}

bool ZipReader::read_at(std::uint64_t offset, void* buffer, std::size_t size) const {
  if (!archive_ || offset > archive_size_ || size > archive_size_ - offset) return false;
  if (size == 0) return true;
  return archive_->read_at(offset, buffer, size);
}

bool ZipReader::open(const Source& archive) {
  close();
  if (archive.size() < kEndSize) return false;
  archive_ = &archive;
  archive_size_ = archive.size();

  // The end record sits at the very end, behind a comment of at most 64 KiB;
  // the last signature whose comment fits is the real one.
  const std::size_t tail_size =
      static_cast<std::size_t>(std::min<std::uint64_t>(archive_size_, kEndSize + kMaxCommentSize));
  std::vector<unsigned char> tail(tail_size);
  const std::uint64_t tail_offset = archive_size_ - tail_size;
  if (!read_at(tail_offset, tail.data(), tail_size)) return close(), false;
  std::size_t found = tail_size;
  for (std::size_t i = tail_size - kEndSize + 1; i-- > 0;) {
    if (u32(&tail[i]) == kEndSignature && i + kEndSize + u16(&tail[i + 20]) <= tail_size) {
      found = i;
      break;
    }
  }
  if (found == tail_size) return close(), false;
  const unsigned char* end_record = &tail[found];
  const std::uint64_t end_offset = tail_offset + found;

  std::uint64_t disk = u16(end_record + 4);
  std::uint64_t directory_disk = u16(end_record + 6);
  std::uint64_t entries_on_disk = u16(end_record + 8);
  std::uint64_t entries = u16(end_record + 10);
  std::uint64_t directory_size = u32(end_record + 12);
  std::uint64_t directory_offset = u32(end_record + 16);
  std::uint64_t directory_limit = end_offset;

  unsigned char locator[kEnd64LocatorSize];
  if (end_offset >= kEnd64LocatorSize && read_at(end_offset - kEnd64LocatorSize, locator, sizeof locator) &&
      u32(locator) == kEnd64LocatorSignature) {
    const std::uint64_t end64_offset = u64(locator + 8);
    const std::uint64_t locator_offset = end_offset - kEnd64LocatorSize;
    if (u32(locator + 16) > 1 || end64_offset > locator_offset || locator_offset - end64_offset < kEnd64Size)
      return close(), false;
    unsigned char end64[kEnd64Size];
    if (!read_at(end64_offset, end64, sizeof end64) || u32(end64) != kEnd64Signature) return close(), false;
    disk = u32(end64 + 16);
    directory_disk = u32(end64 + 20);
    entries_on_disk = u64(end64 + 24);
    entries = u64(end64 + 32);
    directory_size = u64(end64 + 40);
    directory_offset = u64(end64 + 48);
    directory_limit = end64_offset;
  }

  // Split archives are not release archives.
  if (disk != 0 || directory_disk != 0 || entries_on_disk != entries) return close(), false;
  if (directory_offset > directory_limit || directory_size > directory_limit - directory_offset)
    return close(), false;
  if (!read_directory(directory_offset, directory_size, entries)) return close(), false;
  directory_offset_ = directory_offset;
  return true;
}

bool ZipReader::read_directory(std::uint64_t offset, std::uint64_t size, std::uint64_t count) {
  if (size > kMaxDirectorySize || count > size / kDirectoryHeaderSize) return false;
  directory_.resize(static_cast<std::size_t>(size));
  if (!read_at(offset, directory_.data(), directory_.size())) return false;
  members_.reserve(static_cast<std::size_t>(count));

  const auto* base = reinterpret_cast<const unsigned char*>(directory_.data());
  std::uint64_t pos = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    if (size - pos < kDirectoryHeaderSize) return false;
    const unsigned char* header = base + pos;
    if (u32(header) != kDirectorySignature) return false;
    Member member{};
    member.version_made_by = u16(header + 4);
    member.flags = u16(header + 8);
    member.method = u16(header + 10);
    member.crc32 = u32(header + 16);
    member.compressed_size = u32(header + 20);
    member.uncompressed_size = u32(header + 24);
    member.name_size = u16(header + 28);
    const std::uint16_t extra_size = u16(header + 30);
    const std::uint16_t comment_size = u16(header + 32);
    member.external_attributes = u32(header + 38);
    member.local_header_offset = u32(header + 42);
    const std::uint64_t variable_size = std::uint64_t{member.name_size} + extra_size + comment_size;
    if (size - pos - kDirectoryHeaderSize < variable_size) return false;
    member.name_offset = pos + kDirectoryHeaderSize;

    // Sizes and the offset that do not fit 32 bits are saturated here and
    // follow, in this order and only those, in the ZIP64 extra field.
    const bool wide_uncompressed = member.uncompressed_size == 0xFFFFFFFFu;
    const bool wide_compressed = member.compressed_size == 0xFFFFFFFFu;
    const bool wide_offset = member.local_header_offset == 0xFFFFFFFFu;
    if (wide_uncompressed || wide_compressed || wide_offset) {
      const unsigned char* extra = header + kDirectoryHeaderSize + member.name_size;
      bool found = false;
      for (std::size_t e = 0; e + 4 <= extra_size;) {
        const std::uint16_t id = u16(extra + e);
        const std::size_t field_size = u16(extra + e + 2);
        if (field_size > extra_size - e - 4) break;
        if (id == kZip64ExtraId) {
          const unsigned char* field = extra + e + 4;
          std::size_t used = 0;
          auto take = [&](std::uint64_t& value) {
            if (field_size - used < 8) return false;
            value = u64(field + used);
            used += 8;
            return true;
          };
          if (wide_uncompressed && !take(member.uncompressed_size)) return false;
          if (wide_compressed && !take(member.compressed_size)) return false;
          if (wide_offset && !take(member.local_header_offset)) return false;
          found = true;
          break;
        }
        e += 4 + field_size;
      }
      if (!found) return false;
    }
    members_.push_back(member);
    pos += kDirectoryHeaderSize + variable_size;
  }

  for (std::size_t i = 0; i < members_.size(); ++i) by_folded_name_.emplace(ascii_lower(member_name(members_[i])), i);
  return true;
}

std::string ZipReader::member_name(const Member& member) const {
  return std::string(directory_.data() + member.name_offset, member.name_size);
}

std::optional<std::size_t> ZipReader::locate(const std::string& name) const {
  const auto it = by_folded_name_.find(ascii_lower(name));
  if (it == by_folded_name_.end()) return std::nullopt;
  return it->second;
}

bool ZipReader::stat(std::size_t index, MemberStat& stat) const {
  if (index >= members_.size()) return false;
  const Member& member = members_[index];
  stat = MemberStat{};
  stat.index = index;
  stat.name = member_name(member);
  stat.version_made_by = member.version_made_by;
  stat.flags = member.flags;
  stat.method = member.method;
  stat.crc32 = member.crc32;
  stat.compressed_size = member.compressed_size;
  stat.uncompressed_size = member.uncompressed_size;
  stat.local_header_offset = member.local_header_offset;
  stat.external_attributes = member.external_attributes;
  const std::uint16_t host = member.version_made_by >> 8;
  if ((host == kHostUnix || host == kHostDarwin) && (member.external_attributes >> 16) != 0)
    stat.unix_mode = member.external_attributes >> 16;
  stat.is_directory = (!stat.name.empty() && (stat.name.back() == '/' || stat.name.back() == '\\')) ||
                      (member.external_attributes & kDosDirectoryAttribute) != 0 ||
                      (stat.unix_mode && (*stat.unix_mode & kUnixTypeMask) == kUnixDirectory);
  stat.is_encrypted = (member.flags & (kFlagEncrypted | kFlagStrongEncryption)) != 0;
  return true;
}

bool ZipReader::data_range(const Member& member, std::uint64_t& data_offset) const {
  unsigned char header[kLocalHeaderSize];
  if (!read_at(member.local_header_offset, header, sizeof header) || u32(header) != kLocalSignature) return false;
  // The local name and extra field may differ from the directory's; only
  // their lengths matter, to find the data.
  const std::uint64_t start = member.local_header_offset + kLocalHeaderSize + u16(header + 26) + u16(header + 28);
  if (start > archive_size_ || member.compressed_size > archive_size_ - start) return false;
  data_offset = start;
  return true;
}

namespace {

// One buffer of its own, handed to a function each time it is full.
class FunctionSink : public ChunkSink {
 public:
  FunctionSink(const ByteSink& sink, std::size_t size) : mSink(sink), mSize(size), mBuffer(new char[size]) {}
  char* room(std::size_t& size) override {
    size = mSize;
    return mBuffer.get();
  }
  bool fill(std::size_t size) override { return mSink(mBuffer.get(), size); }

 private:
  const ByteSink& mSink;
  std::size_t mSize;
  std::unique_ptr<char[]> mBuffer;
};

}  // namespace

bool ZipReader::extract(std::size_t index, const ByteSink& sink) const {
  MemberStat info;
  if (!stat(index, info)) return false;
  // Small members, which are most of them, get small buffers. One byte
  // more than recorded, so that an overlong member shows itself at once.
  FunctionSink buffered(sink, static_cast<std::size_t>(std::clamp<std::uint64_t>(info.uncompressed_size + 1,
                                                                                 kMinOutputChunk, kOutputChunk)));
  return extract(index, buffered);
}

bool ZipReader::extract(std::size_t index, ChunkSink& sink) const {
  MemberStat info;
  if (!stat(index, info) || info.is_directory || info.is_encrypted) return false;
  if (info.method != kMethodStored && info.method != kMethodDeflate) return false;
  if (info.method == kMethodStored && info.compressed_size != info.uncompressed_size) return false;
  std::uint64_t offset = 0;
  if (!data_range(members_[index], offset)) return false;
  std::uint64_t input_left = info.compressed_size;

  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t produced = 0;  // handed over or waiting in the room
  char* room = nullptr;
  std::size_t room_size = 0;
  std::size_t filled = 0;
  const auto take_room = [&] {
    room_size = 0;
    filled = 0;
    room = sink.room(room_size);
    return room != nullptr && room_size > 0;
  };
  // The CRC-32 is taken over a whole room at once: fewer, longer runs.
  const auto hand_over = [&] {
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(room), filled);
    room = nullptr;
    return sink.fill(filled);
  };

  if (info.method == kMethodStored) {
    while (input_left > 0) {
      if (!take_room()) return false;
      filled = static_cast<std::size_t>(std::min<std::uint64_t>(input_left, room_size));
      if (!read_at(offset, room, filled)) return false;
      offset += filled;
      input_left -= filled;
      produced += filled;
      if (!hand_over()) return false;
    }
    return produced == info.uncompressed_size && static_cast<std::uint32_t>(crc) == info.crc32;
  }

  // Small members get a small input buffer, left uninitialised: make_unique
  // would clear every byte before the archive's bytes overwrite it.
  const std::size_t input_size =
      static_cast<std::size_t>(std::clamp<std::uint64_t>(info.compressed_size, 1, kInputChunk));
  std::unique_ptr<char[]> input(new char[input_size]);
  InflateStream inflater;
  if (!inflater.ready) return false;
  z_stream& zs = inflater.stream;
  for (;;) {
    if (zs.avail_in == 0 && input_left > 0) {
      const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(input_left, input_size));
      if (!read_at(offset, input.get(), got)) return false;
      offset += got;
      input_left -= got;
      zs.next_in = reinterpret_cast<Bytef*>(input.get());
      zs.avail_in = static_cast<uInt>(got);
    }
    if (!room && !take_room()) return false;
    // Room for one byte more than recorded at most: an overlong member (a
    // zip bomb) shows itself by that byte, and no more of it is inflated.
    const auto space = static_cast<std::size_t>(std::min<std::uint64_t>(
        {room_size - filled, info.uncompressed_size - produced + 1, std::numeric_limits<uInt>::max()}));
    zs.next_out = reinterpret_cast<Bytef*>(room + filled);
    zs.avail_out = static_cast<uInt>(space);
    const int status = inflate(&zs, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
    const std::size_t have = space - zs.avail_out;
    if (have > info.uncompressed_size - produced) return false;
    filled += have;
    produced += have;
    if (status == Z_STREAM_END) break;
    if (filled == room_size && !hand_over()) return false;
    // No progress possible: the compressed data ended before the stream did.
    if (have == 0 && zs.avail_in == 0 && input_left == 0) return false;
    if (status == Z_BUF_ERROR && zs.avail_in != 0) return false;
  }
  if (filled > 0 && !hand_over()) return false;
  return produced == info.uncompressed_size && static_cast<std::uint32_t>(crc) == info.crc32;
}

bool ZipReader::extract_to_memory(std::size_t index, std::string& content, std::uint64_t max_size) const {
  content.clear();
  MemberStat info;
  if (!stat(index, info) || info.uncompressed_size > max_size) return false;
  content.reserve(static_cast<std::size_t>(info.uncompressed_size));
  return extract(index, [&content](const char* data, std::size_t size) {
    content.append(data, size);
    return true;
  });
}

}  // namespace zip
