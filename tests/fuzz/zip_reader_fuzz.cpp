// Feeds arbitrary bytes to the zip reader as an archive: opening, lookup,
// statistics and extraction of every member must neither crash nor read
// outside the input, and nothing beyond a member's recorded size may come
// out of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/zip_reader.h"
#include "archive/zip_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
