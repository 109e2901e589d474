#include "file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publish_error.h"

namespace publisher {

File::File(const std::filesystem::path& path, Mode mode)
    : path_(path), file_(std::fopen(path.c_str(), mode == Mode::read ? "rb" : "wb")) {
  if (!file_) fail(mode == Mode::read ? "cannot read" : "cannot create");
}

File::~File() {
  if (file_) std::fclose(file_);
}

void File::fail(const char* what) const {
  throw PublishError(std::string(what) + " " + path_.string() + ": " + std::strerror(errno));
}

std::size_t File::read(char* buffer, std::size_t size) {
  std::size_t total = 0;
  while (total < size) {
    const std::size_t n = std::fread(buffer + total, 1, size - total, file_);
    if (n == 0) {
      if (std::ferror(file_)) fail("cannot read");
      break;
    }
    total += n;
  }
  return total;
}

void File::write(const void* data, std::size_t size) {
  if (std::fwrite(data, 1, size, file_) != size) fail("cannot write");
}

void File::seek(std::uint64_t offset) {
  // Flushing first reports a failed write as such, not as a failed seek.
  if (std::fflush(file_) != 0 || fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) fail("cannot write");
}

void File::truncate(std::uint64_t size) {
  if (std::fflush(file_) != 0 || ftruncate(fileno(file_), static_cast<off_t>(size)) != 0) fail("cannot write");
}

void File::sync() {
  if (std::fflush(file_) != 0 || fsync(fileno(file_)) != 0) fail("cannot write");
}

void File::close() {
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!closed) fail("cannot write");
}

}  // namespace publisher
