#include "common/zip_fixture.h"

#include <zlib.h>

#include <cstdlib>
#include <random>

#include "platform/system.h"
#include "support/hashing.h"

namespace {

void put16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}
void put64(std::string& out, std::uint64_t value) {
  put32(out, static_cast<std::uint32_t>(value));
  put32(out, static_cast<std::uint32_t>(value >> 32));
}

std::string raw_deflate(const std::string& content) {
  z_stream zs{};
  deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(content.size())) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  zs.avail_in = static_cast<uInt>(content.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

}  // namespace

std::string make_zip(const std::vector<FixtureMember>& members, const FixtureOptions& options) {
  std::string archive;
  std::string directory;
  for (const FixtureMember& member : members) {
    const std::string data = member.deflate ? raw_deflate(member.content) : member.content;
    const std::uint16_t method = member.method_override != 0xFFFF ? member.method_override : member.deflate ? 8 : 0;
    const std::uint32_t crc = member.declared_crc.value_or(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(member.content.data()), static_cast<uInt>(member.content.size()))));
    const std::uint64_t size = member.declared_size.value_or(member.content.size());
    const std::uint64_t offset = options.base_offset + archive.size();

    std::string extra;
    if (options.zip64) {
      put16(extra, 1);
      put16(extra, 24);
      put64(extra, size);
      put64(extra, data.size());
      put64(extra, offset);
    }
    const std::uint32_t size32 = options.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size);
    const std::uint32_t data32 = options.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data.size());

    put32(archive, 0x04034b50);
    put16(archive, options.zip64 ? 45 : 20);
    put16(archive, member.flags);
    put16(archive, method);
    put32(archive, 0);  // time and date
    put32(archive, crc);
    put32(archive, data32);
    put32(archive, size32);
    // As ZIP64 writers do: the local header's extra field holds both sizes.
    std::string local_extra;
    if (options.zip64) {
      put16(local_extra, 1);
      put16(local_extra, 16);
      put64(local_extra, size);
      put64(local_extra, data.size());
    }
    put16(archive, static_cast<std::uint32_t>(member.name.size()));
    put16(archive, static_cast<std::uint32_t>(local_extra.size()));
    archive += member.name;
    archive += local_extra;
    archive += data;

    put32(directory, 0x02014b50);
    put16(directory, (member.unix_mode ? 3u << 8 : 0u) | 45u);
    put16(directory, options.zip64 ? 45 : 20);
    put16(directory, member.flags);
    put16(directory, method);
    put32(directory, 0);
    put32(directory, crc);
    put32(directory, data32);
    put32(directory, size32);
    put16(directory, static_cast<std::uint32_t>(member.name.size()));
    put16(directory, static_cast<std::uint32_t>(extra.size()));
    put16(directory, 0);  // comment
    put16(directory, 0);  // disk
    put16(directory, 0);  // internal attributes
    put32(directory, member.unix_mode ? *member.unix_mode << 16 : 0);
    put32(directory, options.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(offset));
    directory += member.name;
    directory += extra;
  }

  const std::uint64_t directory_offset = options.base_offset + archive.size();
  archive += directory;
  if (options.zip64) {
    const std::uint64_t end64_offset = options.base_offset + archive.size();
    put32(archive, 0x06064b50);
    put64(archive, 44);
    put16(archive, 45);
    put16(archive, 45);
    put32(archive, 0);
    put32(archive, 0);
    put64(archive, members.size());
    put64(archive, members.size());
    put64(archive, directory.size());
    put64(archive, directory_offset);
    put32(archive, 0x07064b50);
    put32(archive, 0);
    put64(archive, end64_offset);
    put32(archive, 1);
  }
  put32(archive, 0x06054b50);
  put16(archive, 0);
  put16(archive, 0);
  put16(archive, options.zip64 ? 0xFFFF : static_cast<std::uint32_t>(members.size()));
  put16(archive, options.zip64 ? 0xFFFF : static_cast<std::uint32_t>(members.size()));
  put32(archive, options.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(directory.size()));
  put32(archive, options.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(directory_offset));
  put16(archive, static_cast<std::uint32_t>(options.comment.size()));
  archive += options.comment;
  return archive;
}

std::string sha256_of(const std::string& content) { return hash_buffer(content, L"SHA256", true); }

bool run_command(const std::string& command) { return std::system(command.c_str()) == 0; }

// The packing tools are Linux programs; a Windows build (under Wine or not)
// does without them.
bool tool_available(const std::string& probe) {
  return platform::path_separator() == L'/' && run_command(probe + " >/dev/null 2>&1");
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}
