// Feeds arbitrary bytes to the zip reader as an archive: opening, lookup,
// statistics and extraction of every member must neither crash nor read
// outside the input, and nothing beyond a member's recorded size may come
// out of it. The same bytes are read front to back as they would arrive
// during a download, in uneven pieces, under the same rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/member_stream.h"
#include "archive/zip_reader.h"
#include "archive/zip_source.h"

namespace {

// The input in pieces of 1 to 4,099 bytes, as blocks arrive.
class PieceSource : public zip::SequentialSource {
 public:
  PieceSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t read(char* out, std::size_t wanted) override {
    const std::size_t piece = 1 + (position_ * 7919 + size_) % 4099;
    std::size_t n = wanted < piece ? wanted : piece;
    if (n > size_ - position_) n = size_ - position_;
    std::memcpy(out, data_ + position_, n);
    position_ += n;
    return n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class CheckingHandler : public zip::MemberHandler, public zip::ChunkSink {
 public:
  zip::ChunkSink* begin(const zip::LocalMember& member) override {
    member_ = member;
    delivered_ = 0;
    return member.name.size() % 2 == 0 ? this : nullptr;  // take some, skip the others
  }
  bool end(bool sound) override {
    if (sound && member_.sizes_known && delivered_ != member_.uncompressed_size) std::abort();
    return true;
  }
  char* room(std::size_t& size) override {
    size = sizeof buffer_;
    return buffer_;
  }
  bool fill(std::size_t size) override {
    if (size == 0 || size > sizeof buffer_) std::abort();
    delivered_ += size;
    if (member_.sizes_known && delivered_ > member_.uncompressed_size) std::abort();
    return delivered_ <= (64u << 20);
  }

 private:
  zip::LocalMember member_;
  std::uint64_t delivered_ = 0;
  char buffer_[3000];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PieceSource pieces(data, size);
  CheckingHandler handler;
  zip::read_members(pieces, handler);

  const zip::MemorySource archive(std::string(reinterpret_cast<const char*>(data), size));
  zip::ZipReader reader;
  if (!reader.open(archive)) return 0;

  reader.locate("arcinfo.json");
  reader.locate("ARCCONFIG.JSON");
  const std::size_t count = reader.member_count() < 64 ? reader.member_count() : 64;
  for (std::size_t i = 0; i < count; ++i) {
    zip::MemberStat stat;
    if (!reader.stat(i, stat)) std::abort();
    if (reader.locate(stat.name).value_or(count) > i) std::abort();  // the first of equal names wins

    std::uint64_t delivered = 0;
    const bool extracted = reader.extract(i, [&](const char*, std::size_t chunk) {
      delivered += chunk;
      return delivered <= (64u << 20);  // keep a forged size from running for minutes
    });
    if (delivered > stat.uncompressed_size) std::abort();
    if (extracted && delivered != stat.uncompressed_size) std::abort();

    std::string content;
    if (reader.extract_to_memory(i, content, 1u << 20) && content.size() != stat.uncompressed_size) std::abort();
  }
  return 0;
}
