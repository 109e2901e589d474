// Where the zip reader takes an archive's bytes from: any store that can
// tell its size and hand out a range of it, such as a file on disk, bytes
// already in memory, or parts of a remote archive fetched by range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/file.h"

namespace zip {

class Source {
 public:
  virtual ~Source() = default;
  // The archive's length in bytes; the reader never asks beyond it.
  virtual std::uint64_t size() const = 0;
  // All `size` bytes at `offset`, or false: a short read is a failure.
  virtual bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const = 0;
};

// An archive held in memory.
class MemorySource : public Source {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size != 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  std::string bytes_;
};

// An archive in an open file, whose size is taken once when the source is
// made: the reader trusts the offsets it checked against that size.
class FileSource : public Source {
 public:
  explicit FileSource(platform::File file);
  bool is_open() const { return open_; }
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t size) const override;

 private:
  // Reading moves the file's position, which is no part of what the source is.
  mutable platform::File file_;
  std::uint64_t size_ = 0;
  bool open_ = false;
};

}  // namespace zip
