#include "common/small_disk.h"

#include "common/zip_fixture.h"
#include "support/files.h"

SmallDisk::SmallDisk(std::filesystem::path mount_point, std::uint64_t bytes) : mount_point_(std::move(mount_point)) {
  std::filesystem::create_directories(mount_point_);
  if (!run_command("mount -t tmpfs -o size=" + std::to_string(bytes) + " launcher-test '" + mount_point_.string() +
                   "'")) {
    problem_ = "cannot mount a tmpfs at " + mount_point_.string() + " (the tests need root, or CAP_SYS_ADMIN)";
  }
}

SmallDisk::~SmallDisk() {
  if (!problem_.empty()) return;
  const std::string quoted = "'" + mount_point_.string() + "'";
  // Lazily when a file is still open: the test's folder must not keep it.
  if (!run_command("umount " + quoted)) run_command("umount -l " + quoted);
}

std::wstring SmallDisk::folder() const { return as_folder_path(mount_point_.wstring()); }
