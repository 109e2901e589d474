#include "archive/zip_source.h"

#include <optional>

namespace zip {

FileSource::FileSource(platform::File file) : file_(std::move(file)) {
  const std::optional<std::uint64_t> size = file_.is_open() ? file_.size() : std::nullopt;
  open_ = size.has_value();
  size_ = size.value_or(0);
}

bool FileSource::read_at(std::uint64_t offset, void* buffer, std::size_t size) const {
  if (!open_ || offset > size_ || size > size_ - offset) return false;
  if (size == 0) return true;
  if (!file_.seek(offset)) return false;
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const std::size_t got = file_.read(bytes, size);
    if (got == 0) return false;
    bytes += got;
    size -= got;
  }
  return true;
}

}  // namespace zip
