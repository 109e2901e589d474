// The publisher's one way to a file: every failure throws a PublishError
// that names the file and the system's reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace publisher {

class File {
 public:
  enum class Mode { read, create };

  File(const std::filesystem::path& path, Mode mode);
  // Closes without a word: a failure has been reported already, and data
  // that counts has been checked by close().
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Fills the buffer unless the end comes first; returns what was read.
  std::size_t read(char* buffer, std::size_t size);
  void write(const void* data, std::size_t size);
  void seek(std::uint64_t offset);
  // Cuts the file at `size` bytes.
  void truncate(std::uint64_t size);
  // Puts everything written on the disk, not only into the system's cache.
  void sync();
  void close();
  bool is_open() const { return file_ != nullptr; }
  const std::filesystem::path& path() const { return path_; }

 private:
  [[noreturn]] void fail(const char* what) const;

  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
};

}  // namespace publisher
