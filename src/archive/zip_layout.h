// The zip format's fixed fields and its inflater, shared by the two readers:
// the one that starts from the central directory and the one that reads
// members front to back as their bytes arrive. Every number in an archive is
// little-endian.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace zip {

inline constexpr std::uint32_t kLocalSignature = 0x04034b50;
inline constexpr std::uint32_t kDirectorySignature = 0x02014b50;
inline constexpr std::uint32_t kEndSignature = 0x06054b50;
inline constexpr std::uint32_t kEnd64Signature = 0x06064b50;
inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflate = 8;
inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;

inline std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t u64(const unsigned char* p) { return u32(p) | (static_cast<std::uint64_t>(u32(p + 4)) << 32); }

// A raw deflate stream (no zlib header), ended with its owner.
struct InflateStream {
  z_stream stream{};
  bool ready = false;
  InflateStream() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
  ~InflateStream() {
    if (ready) inflateEnd(&stream);
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
};

}  // namespace zip
