#include "zip_writer.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "publish_error.h"

namespace publisher {

namespace {
constexpr std::size_t kChunk = 1 << 20;
// 1980-01-01 00:00:00, the earliest DOS time, for every member.
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kFlagUtf8 = 1 << 11;
// Compression that has not saved 1% after this much input is given up: the
// content is most likely compressed already.
constexpr std::uint64_t kDeflateProbe = 8u << 20;

void put16(std::string& out, std::uint64_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void put32(std::string& out, std::uint64_t value) {
  put16(out, value & 0xFFFF);
  put16(out, (value >> 16) & 0xFFFF);
}
void put64(std::string& out, std::uint64_t value) {
  put32(out, value & 0xFFFFFFFFu);
  put32(out, value >> 32);
}

bool is_ascii(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}
}  // namespace

std::uint32_t recorded_mode(std::uint32_t source_mode) { return 0644 | (source_mode & 0111); }

ZipWriter::ZipWriter(const std::filesystem::path& path, ZipLimits limits)
    : file_(path, File::Mode::create), limits_(limits), in_(kChunk + 1), out_(kChunk + 1) {}

void ZipWriter::write(const void* data, std::size_t size) {
  file_.write(data, size);
  offset_ += size;
}

void ZipWriter::seek(std::uint64_t offset) {
  file_.seek(offset);
  offset_ = offset;
}

std::uint32_t ZipWriter::add_bytes(const std::string& name, const std::string& bytes, std::uint32_t mode) {
  return add(name, bytes.size(), mode, [&bytes]() -> ChunkReader {
    auto position = std::make_shared<std::size_t>(0);
    return [&bytes, position](char* buffer, std::size_t size) {
      const std::size_t n = std::min(size, bytes.size() - *position);
      std::memcpy(buffer, bytes.data() + *position, n);
      *position += n;
      return n;
    };
  });
}

std::uint32_t ZipWriter::add_file(const std::string& name, const std::filesystem::path& file, std::uint64_t size,
                                  std::uint32_t mode) {
  return add(name, size, mode, [file]() -> ChunkReader {
    // Shared, since a ChunkReader is copied.
    auto in = std::make_shared<File>(file, File::Mode::read);
    return [in](char* buffer, std::size_t size) { return in->read(buffer, size); };
  });
}

std::string ZipWriter::local_header(const Member& member, bool zip64) const {
  std::string header;
  put32(header, 0x04034b50);
  put16(header, member.version);
  put16(header, is_ascii(member.name) ? 0 : kFlagUtf8);
  put16(header, member.method);
  put16(header, kDosTime);
  put16(header, kDosDate);
  put32(header, member.crc);
  put32(header, zip64 ? 0xFFFFFFFFu : member.compressed);
  put32(header, zip64 ? 0xFFFFFFFFu : member.size);
  put16(header, member.name.size());
  put16(header, zip64 ? 20 : 0);
  header += member.name;
  if (zip64) {
    put16(header, 0x0001);
    put16(header, 16);
    put64(header, member.size);
    put64(header, member.compressed);
  }
  return header;
}

std::uint32_t ZipWriter::add(const std::string& name, std::uint64_t size, std::uint32_t mode,
                             const ContentSource& source) {
  if (!file_.is_open()) throw PublishError("archive " + file_.path().string() + " is already finished");
  Member member;
  member.name = name;
  member.offset = offset_;
  member.size = size;
  member.mode = mode;
  const bool zip64 = size >= limits_.max_32;
  member.version = zip64 ? 45 : 20;

  if (size < in_.size()) {
    // Small content is compressed in memory first, so its header is written
    // once, complete, without seeking back.
    ChunkReader read = source();
    std::size_t total = 0;
    for (std::size_t n = 1; n > 0 && total < in_.size(); total += n) n = read(in_.data() + total, in_.size() - total);
    if (total != size) throw changed(member);
    member.crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(in_.data()),
                                                  static_cast<uInt>(size)));
    const std::size_t compressed = size ? deflate_buffer(size) : 0;
    const bool deflated = compressed > 0 && compressed < size;
    member.method = deflated ? 8 : 0;
    member.compressed = deflated ? compressed : size;
    write(local_header(member, zip64));
    write(deflated ? out_.data() : in_.data(), static_cast<std::size_t>(member.compressed));
    members_.push_back(member);
    return member.crc;
  }

  // The local header is written with the sizes known now; CRC, method and
  // compressed size are patched once the data is out.
  member.method = 8;
  write(local_header(member, zip64));
  const std::uint64_t data_start = offset_;
  if (!deflate_member(member, source)) {
    seek(data_start);
    file_.truncate(data_start);
    store_member(member, source);
  }
  const std::uint64_t end = offset_;
  seek(member.offset);
  write(local_header(member, zip64));
  seek(end);
  members_.push_back(member);
  return member.crc;
}

std::size_t ZipWriter::deflate_buffer(std::size_t size) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw PublishError("cannot start compression");
  }
  stream.next_in = reinterpret_cast<Bytef*>(in_.data());
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = reinterpret_cast<Bytef*>(out_.data());
  stream.avail_out = static_cast<uInt>(std::min(out_.size(), size));
  const int result = deflate(&stream, Z_FINISH);
  const std::size_t produced = stream.total_out;
  deflateEnd(&stream);
  // Output that does not fit into the input's size does not pay.
  return result == Z_STREAM_END ? produced : 0;
}

PublishError ZipWriter::changed(const Member& member) const {
  return PublishError("the content of " + member.name + " changed while it was packed (expected " +
                      std::to_string(member.size) + " bytes)");
}

bool ZipWriter::deflate_member(Member& member, const ContentSource& source) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw PublishError("cannot start compression");
  }
  struct End {
    z_stream* s;
    ~End() { deflateEnd(s); }
  } end{&stream};

  ChunkReader read = source();
  std::uint64_t total_in = 0;
  std::uint64_t total_out = 0;
  std::uint32_t crc = crc32(0, nullptr, 0);
  bool done = false;
  while (!done) {
    const std::size_t n = read(in_.data(), in_.size());
    total_in += n;
    if (total_in > member.size) break;
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(in_.data()), static_cast<uInt>(n)));
    const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = reinterpret_cast<Bytef*>(in_.data());
    stream.avail_in = static_cast<uInt>(n);
    int result = Z_OK;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out_.data());
      stream.avail_out = static_cast<uInt>(out_.size());
      result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) throw PublishError("compression failed");
      const std::size_t produced = out_.size() - stream.avail_out;
      write(out_.data(), produced);
      total_out += produced;
    } while (stream.avail_out == 0);
    if (result == Z_STREAM_END) done = true;
    if (total_out >= member.size) return false;
    if (!done && total_in >= kDeflateProbe && total_out * 100 >= total_in * 99) return false;
  }
  if (total_in != member.size) throw changed(member);
  member.method = 8;
  member.crc = crc;
  member.compressed = total_out;
  return true;
}

void ZipWriter::store_member(Member& member, const ContentSource& source) {
  ChunkReader read = source();
  std::uint64_t total = 0;
  std::uint32_t crc = crc32(0, nullptr, 0);
  for (;;) {
    const std::size_t n = read(in_.data(), in_.size());
    if (n == 0) break;
    total += n;
    if (total > member.size) break;
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(in_.data()), static_cast<uInt>(n)));
    write(in_.data(), n);
  }
  if (total != member.size) throw changed(member);
  member.method = 0;
  member.crc = crc;
  member.compressed = total;
}

void ZipWriter::finish() {
  if (!file_.is_open()) return;
  const std::uint64_t directory_offset = offset_;
  for (const Member& m : members_) {
    std::string extra;
    const bool big_size = m.size >= limits_.max_32;
    const bool big_compressed = m.compressed >= limits_.max_32;
    const bool big_offset = m.offset >= limits_.max_32;
    if (big_size) put64(extra, m.size);
    if (big_compressed) put64(extra, m.compressed);
    if (big_offset) put64(extra, m.offset);
    const std::uint16_t version = extra.empty() ? m.version : 45;
    std::string entry;
    put32(entry, 0x02014b50);
    put16(entry, kMadeByUnix | version);
    put16(entry, version);
    put16(entry, is_ascii(m.name) ? 0 : kFlagUtf8);
    put16(entry, m.method);
    put16(entry, kDosTime);
    put16(entry, kDosDate);
    put32(entry, m.crc);
    put32(entry, big_compressed ? 0xFFFFFFFFu : m.compressed);
    put32(entry, big_size ? 0xFFFFFFFFu : m.size);
    put16(entry, m.name.size());
    put16(entry, extra.empty() ? 0 : extra.size() + 4);
    put16(entry, 0);  // comment
    put16(entry, 0);  // disk
    put16(entry, 0);  // internal attributes
    put32(entry, static_cast<std::uint32_t>(S_IFREG | (m.mode & 0777)) << 16);
    put32(entry, big_offset ? 0xFFFFFFFFu : m.offset);
    entry += m.name;
    if (!extra.empty()) {
      put16(entry, 0x0001);
      put16(entry, extra.size());
      entry += extra;
    }
    write(entry);
  }
  const std::uint64_t directory_size = offset_ - directory_offset;
  const std::uint64_t count = members_.size();
  const bool big_count = count >= limits_.max_16;
  const bool big_directory = directory_size >= limits_.max_32;
  const bool big_directory_offset = directory_offset >= limits_.max_32;
  std::string tail;
  if (big_count || big_directory || big_directory_offset) {
    const std::uint64_t record_offset = offset_;
    put32(tail, 0x06064b50);
    put64(tail, 44);
    put16(tail, kMadeByUnix | 45);
    put16(tail, 45);
    put32(tail, 0);
    put32(tail, 0);
    put64(tail, count);
    put64(tail, count);
    put64(tail, directory_size);
    put64(tail, directory_offset);
    put32(tail, 0x07064b50);
    put32(tail, 0);
    put64(tail, record_offset);
    put32(tail, 1);
  }
  put32(tail, 0x06054b50);
  put16(tail, 0);
  put16(tail, 0);
  put16(tail, big_count ? 0xFFFF : count);
  put16(tail, big_count ? 0xFFFF : count);
  put32(tail, big_directory ? 0xFFFFFFFFu : directory_size);
  put32(tail, big_directory_offset ? 0xFFFFFFFFu : directory_offset);
  put16(tail, 0);
  write(tail);
  file_.sync();
  file_.close();
}

}  // namespace publisher
