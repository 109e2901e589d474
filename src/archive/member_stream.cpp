#include "archive/member_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "archive/zip_layout.h"

namespace zip {

namespace {

constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
// Holds a local header with the longest name and extra field.
constexpr std::size_t kInputSize = 256u << 10;
constexpr std::size_t kSkipChunk = 64u << 10;

// The source through a buffer, so that headers can be read whole and the
// bytes deflate did not take stay for what follows.
class Input {
 public:
  explicit Input(SequentialSource& source) : source_(source), buffer_(new char[kInputSize]) {}

  // At least size (at most kInputSize) bytes at data(); false when the source ends first.
  bool want(std::size_t size) {
    if (end_ - begin_ >= size) return true;
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < size) {
      const std::size_t got = source_.read(buffer_.get() + end_, kInputSize - end_);
      if (got == 0) return false;
      end_ += got;
    }
    return true;
  }
  // What is there, reading more when nothing is; 0 when the source has ended.
  std::size_t available() {
    if (begin_ == end_ && !want(1)) return 0;
    return end_ - begin_;
  }
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(buffer_.get() + begin_); }
  void consume(std::size_t size) { begin_ += size; }
  bool skip(std::uint64_t size) {
    while (size > 0) {
      const std::size_t have = available();
      if (have == 0) return false;
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(have, size));
      consume(take);
      size -= take;
    }
    return true;
  }

 private:
  SequentialSource& source_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Takes what it is given and forgets it: a skipped member that must still be
// inflated to find its end.
class DiscardSink : public ChunkSink {
 public:
  char* room(std::size_t& size) override {
    if (!buffer_) buffer_.reset(new char[kSkipChunk]);
    size = kSkipChunk;
    return buffer_.get();
  }
  bool fill(std::size_t) override { return true; }

 private:
  std::unique_ptr<char[]> buffer_;
};

enum class Body { done, damaged, source_ended, refused };

// One member's data into the sink, with its CRC-32 taken over what was handed over.
class MemberReader {
 public:
  MemberReader(Input& input, ChunkSink& sink, const LocalMember& member) : in_(input), sink_(sink), member_(member) {}

  Body stored() {
    for (std::uint64_t left = member_.compressed_size; left > 0;) {
      if (!take_room()) return Body::refused;
      const std::size_t have = in_.available();
      if (have == 0) return Body::source_ended;
      filled_ = static_cast<std::size_t>(std::min<std::uint64_t>({left, have, room_size_}));
      std::memcpy(room_, in_.data(), filled_);
      in_.consume(filled_);
      left -= filled_;
      produced_ += filled_;
      consumed_ += filled_;
      if (!hand_over()) return Body::refused;
    }
    return Body::done;
  }

  // Up to the end of the deflate stream; with known sizes never past the
  // recorded compressed size, and never more than one byte past the recorded
  // uncompressed size (so that an overlong member shows itself).
  Body deflated() {
    InflateStream inflater;
    if (!inflater.ready) return Body::damaged;
    z_stream& zs = inflater.stream;
    const std::uint64_t out_limit =
        member_.sizes_known ? member_.uncompressed_size + 1 : std::numeric_limits<std::uint64_t>::max();
    for (;;) {
      // Once the recorded compressed bytes are all in, inflate may still
      // owe output from them.
      std::size_t offered = 0;
      if (!member_.sizes_known || consumed_ < member_.compressed_size) {
        const std::size_t have = in_.available();
        if (have == 0) return Body::source_ended;
        offered = member_.sizes_known
                      ? static_cast<std::size_t>(std::min<std::uint64_t>(have, member_.compressed_size - consumed_))
                      : have;
      }
      offered = std::min<std::size_t>(offered, std::numeric_limits<uInt>::max());
      if (!room_ && !take_room()) return Body::refused;
      const auto space = static_cast<std::size_t>(std::min<std::uint64_t>(
          {room_size_ - filled_, out_limit - produced_, std::numeric_limits<uInt>::max()}));
      zs.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(in_.data()));
      zs.avail_in = static_cast<uInt>(offered);
      zs.next_out = reinterpret_cast<Bytef*>(room_ + filled_);
      zs.avail_out = static_cast<uInt>(space);
      const int status = inflate(&zs, Z_NO_FLUSH);
      const std::size_t used = offered - zs.avail_in;
      const std::size_t made = space - zs.avail_out;
      in_.consume(used);
      consumed_ += used;
      filled_ += made;
      produced_ += made;
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return Body::damaged;
      if (member_.sizes_known && produced_ > member_.uncompressed_size) return Body::damaged;
      if (status == Z_STREAM_END) break;
      if (filled_ == room_size_ && !hand_over()) return Body::refused;
      if (used == 0 && made == 0) return Body::damaged;  // no way on: the data ended early
    }
    if (filled_ > 0 && !hand_over()) return Body::refused;
    return Body::done;
  }

  std::uint32_t crc() const { return static_cast<std::uint32_t>(crc_); }
  std::uint64_t produced() const { return produced_; }
  std::uint64_t consumed() const { return consumed_; }

 private:
  bool take_room() {
    room_size_ = 0;
    filled_ = 0;
    room_ = sink_.room(room_size_);
    return room_ != nullptr && room_size_ > 0;
  }
  bool hand_over() {
    crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(room_), filled_);
    room_ = nullptr;
    return filled_ == 0 || sink_.fill(filled_);
  }

  Input& in_;
  ChunkSink& sink_;
  const LocalMember& member_;
  char* room_ = nullptr;
  std::size_t room_size_ = 0;
  std::size_t filled_ = 0;
  uLong crc_ = crc32(0L, Z_NULL, 0);
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
};

// The local header at the input, signature included; false when the input
// ends first or the header contradicts itself.
bool read_local_header(Input& in, LocalMember& member, bool& wide_descriptor, bool& ended) {
  ended = !in.want(kLocalHeaderSize);
  if (ended) return false;
  const unsigned char* header = in.data();
  member = LocalMember{};
  member.flags = u16(header + 6);
  member.method = u16(header + 8);
  member.crc32 = u32(header + 14);
  member.compressed_size = u32(header + 18);
  member.uncompressed_size = u32(header + 22);
  const std::size_t name_size = u16(header + 26);
  const std::size_t extra_size = u16(header + 28);
  in.consume(kLocalHeaderSize);
  ended = !in.want(name_size + extra_size);
  if (ended) return false;
  member.name.assign(reinterpret_cast<const char*>(in.data()), name_size);

  // In a local header the ZIP64 field holds both sizes, uncompressed first;
  // a saturated size takes its value from there.
  const unsigned char* extra = in.data() + name_size;
  bool has_zip64 = false;
  for (std::size_t e = 0; e + 4 <= extra_size;) {
    const std::size_t field_size = u16(extra + e + 2);
    if (field_size > extra_size - e - 4) break;
    if (u16(extra + e) == kZip64ExtraId) {
      has_zip64 = true;
      std::size_t used = 0;
      if (member.uncompressed_size == 0xFFFFFFFFu) {
        if (field_size < 8) return false;
        member.uncompressed_size = u64(extra + e + 4);
        used = 8;
      }
      if (member.compressed_size == 0xFFFFFFFFu) {
        if (field_size - used < 8) return false;
        member.compressed_size = u64(extra + e + 4 + used);
      }
      break;
    }
    e += 4 + field_size;
  }
  in.consume(name_size + extra_size);
  member.sizes_known = (member.flags & kFlagDescriptor) == 0;
  if (!member.sizes_known) member.crc32 = member.compressed_size = member.uncompressed_size = 0;
  wide_descriptor = has_zip64;
  return member.sizes_known || !(member.compressed_size == 0xFFFFFFFFu || member.uncompressed_size == 0xFFFFFFFFu);
}

// The data descriptor after a member of unknown size: its signature is
// optional, its sizes 8 bytes each when the local header had a ZIP64 field.
bool read_descriptor(Input& in, LocalMember& member, bool wide, bool& ended) {
  const std::size_t sizes = wide ? 16 : 8;
  ended = !in.want(4);
  if (ended) return false;
  if (u32(in.data()) == kDescriptorSignature) in.consume(4);
  ended = !in.want(4 + sizes);
  if (ended) return false;
  const unsigned char* field = in.data();
  member.crc32 = u32(field);
  member.compressed_size = wide ? u64(field + 4) : u32(field + 4);
  member.uncompressed_size = wide ? u64(field + 12) : u32(field + 8);
  in.consume(4 + sizes);
  return true;
}

}  // namespace

StreamEnd read_members(SequentialSource& source, MemberHandler& handler) {
  Input in(source);
  for (;;) {
    if (!in.want(4)) return StreamEnd::stopped;
    const std::uint32_t signature = u32(in.data());
    if (signature == kDirectorySignature || signature == kEndSignature || signature == kEnd64Signature) {
      return StreamEnd::complete;
    }
    if (signature != kLocalSignature) return StreamEnd::cannot_stream;

    LocalMember member;
    bool wide_descriptor = false;
    bool ended = false;
    if (!read_local_header(in, member, wide_descriptor, ended)) {
      return ended ? StreamEnd::stopped : StreamEnd::cannot_stream;
    }
    if ((member.flags & (kFlagEncrypted | kFlagStrongEncryption)) != 0) return StreamEnd::cannot_stream;
    if (member.method != kMethodStored && member.method != kMethodDeflate) return StreamEnd::cannot_stream;
    // A stored member's end is known only from its size.
    if (member.method == kMethodStored &&
        (!member.sizes_known || member.compressed_size != member.uncompressed_size)) {
      return StreamEnd::cannot_stream;
    }

    ChunkSink* sink = handler.begin(member);
    if (!sink && member.sizes_known) {
      if (!in.skip(member.compressed_size)) return StreamEnd::stopped;
      continue;
    }
    DiscardSink discard;
    MemberReader reader(in, sink ? *sink : discard, member);
    const Body body = member.method == kMethodStored ? reader.stored() : reader.deflated();
    bool sound = body == Body::done;
    if (sound && !member.sizes_known) sound = read_descriptor(in, member, wide_descriptor, ended);
    sound = sound && reader.crc() == member.crc32 && reader.produced() == member.uncompressed_size &&
            reader.consumed() == member.compressed_size;
    if (sink && !handler.end(sound)) return StreamEnd::stopped;
    if (body == Body::source_ended || ended) return StreamEnd::stopped;
    if (body == Body::refused) return StreamEnd::stopped;
    if (!sound) return StreamEnd::cannot_stream;
  }
}

}  // namespace zip
