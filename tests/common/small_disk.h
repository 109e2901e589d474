// A small file system of its own, for what a full disk does: a tmpfs that
// the test mounts (as root) at a folder of its own and unmounts again when
// the object goes. Tests run as root in CI; there a disk that cannot be
// mounted fails the test, with the reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

class SmallDisk {
 public:
  // Makes the folder (and the folders above it) and mounts the disk there.
  SmallDisk(std::filesystem::path mount_point, std::uint64_t bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Empty once mounted; otherwise why not.
  const std::string& problem() const { return problem_; }
  // The folder as the launcher's wide text, with a trailing separator.
  std::wstring folder() const;

 private:
  std::filesystem::path mount_point_;
  std::string problem_;
};
