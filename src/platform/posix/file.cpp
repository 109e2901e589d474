#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/text.h"

namespace platform {

namespace {

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

int open_retrying(int folder, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// O_NONBLOCK keeps a FIFO planted at the name from blocking the open; it is
// taken away again once the descriptor is known to be a regular file.
Descriptor open_regular(int folder, const std::string& name, File::Mode mode) {
  int flags = O_NOFOLLOW;
  switch (mode) {
    case File::Mode::read:
    case File::Mode::read_beside_writer: flags |= O_RDONLY | O_NONBLOCK; break;
    case File::Mode::update: flags |= O_RDWR | O_NONBLOCK; break;
    case File::Mode::create_new: flags |= O_RDWR | O_CREAT | O_EXCL; break;
  }
  Descriptor fd(open_retrying(folder, name, flags, 0666));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return Descriptor();
  if (mode == File::Mode::update && status.st_nlink != 1) return Descriptor();
  const int status_flags = ::fcntl(fd.get(), F_GETFL);
  if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) return Descriptor();
  return fd;
}

// Every write into a file goes to the kernel in pieces of at most 256 KiB.
// Copying into the page cache costs very different amounts by the size of
// one write: on Linux 6.18 (ext4), 640 MB written in 64 or 256 KiB pieces
// took 0.2 s of system time, in 512 KiB pieces 0.8 s, in 1 MiB pieces 1.8 s
// and in 4 MiB pieces 0.4 s; smaller pieces cost more system calls again.
constexpr std::size_t kWritePiece = 256u << 10;

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::min(size, kWritePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The names of a relative path, without empty ones.
std::vector<std::string> names_of(const std::wstring& relative) {
  std::vector<std::string> names;
  std::string name;
  for (const char c : utf8_from_wide(relative) + '/') {
    if (c != '/') {
      name += c;
    } else if (!name.empty()) {
      names.push_back(std::move(name));
      name.clear();
    }
  }
  return names;
}

Descriptor open_folder(int parent, const std::string& name) {
  return Descriptor(open_retrying(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
}

}  // namespace

File::File(const std::wstring& path, Mode mode)
    : handle_(open_regular(AT_FDCWD, utf8_from_wide(path), mode).release()) {}

std::size_t File::read(void* buffer, std::size_t size) {
  if (!is_open()) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_of(handle_), buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : static_cast<std::size_t>(n);
  }
}

bool File::write(const void* data, std::size_t size) {
  return is_open() && write_all(fd_of(handle_), static_cast<const char*>(data), size);
}

bool File::seek(std::uint64_t offset) {
  return is_open() && ::lseek(fd_of(handle_), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::optional<std::uint64_t> File::size() const {
  struct stat status {};
  if (!is_open() || ::fstat(fd_of(handle_), &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

bool File::resize(std::uint64_t length) {
  return is_open() && ::ftruncate(fd_of(handle_), static_cast<off_t>(length)) == 0;
}

std::optional<FileIdentity> File::identity() const {
  struct stat status {};
  if (!is_open() || ::fstat(fd_of(handle_), &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool File::apply_executable_bits(std::uint32_t unix_mode) {
  if (!is_open()) return false;
  // The umask can only be read by setting it; the launcher does this only on
  // the thread that writes the extracted files, between the files it writes.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  struct stat status {};
  if (::fstat(fd_of(handle_), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  // Only a regular file's bits count (a packer may leave the type out); a
  // link or device recorded in the archive was written as plain content.
  const std::uint32_t type = unix_mode & 0170000;
  const bool regular = type == 0 || type == 0100000;
  const mode_t executable = regular ? static_cast<mode_t>(unix_mode) & 0111 & ~mask : 0;
  const mode_t mode = (status.st_mode & 0666) | executable;
  return ::fchmod(fd_of(handle_), mode) == 0;
}

bool File::close() {
  if (!is_open()) return false;
  // The descriptor is gone whatever close reports, also on EINTR.
  const int result = ::close(fd_of(handle_));
  handle_ = kClosed;
  return result == 0;
}

// ---- Folder ------------------------------------------------------------------

struct Folder::State {
  Descriptor root;

  // The folder that holds the relative name's last component, reached one
  // component at a time without following a link; its last name in `last`.
  Descriptor parent_of(const std::wstring& relative, std::string& last) const {
    std::vector<std::string> names = names_of(relative);
    if (names.empty()) return Descriptor();
    last = std::move(names.back());
    names.pop_back();
    Descriptor folder(::dup(root.get()));
    for (const std::string& name : names) {
      folder = open_folder(folder.get(), name);
      if (folder.get() < 0) break;
    }
    return folder;
  }
};

void Folder::StateDeleter::operator()(State* state) const { delete state; }

Folder Folder::make_fresh(const std::wstring& path) {
  Folder folder;
  const std::string name = utf8_from_wide(path);
  if (::mkdir(name.c_str(), 0777) != 0) return folder;
  Descriptor fd = open_folder(AT_FDCWD, name);
  // Whatever has the name now must be the folder just made: a folder of this
  // user's, not one that another user slipped in after the mkdir.
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
    return folder;
  }
  folder.state_.reset(new State);
  folder.state_->root = std::move(fd);
  return folder;
}

Folder Folder::open_or_make(const std::wstring& path) {
  Folder folder;
  const std::string name = utf8_from_wide(path);
  if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) return folder;
  Descriptor fd = open_folder(AT_FDCWD, name);
  // Files kept in it are trusted across runs: nobody else may have put them there.
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
      (status.st_mode & 022) != 0) {
    return folder;
  }
  folder.state_.reset(new State);
  folder.state_->root = std::move(fd);
  return folder;
}

bool Folder::is_open() const { return state_ && state_->root.get() >= 0; }

bool Folder::make_folders(const std::wstring& relative) {
  if (!is_open()) return false;
  Descriptor folder(::dup(state_->root.get()));
  for (const std::string& name : names_of(relative)) {
    if (::mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return false;
    folder = open_folder(folder.get(), name);
    if (folder.get() < 0) return false;
  }
  return true;
}

File Folder::create_file(const std::wstring& relative) {
  std::string name;
  if (!is_open()) return File();
  const Descriptor parent = state_->parent_of(relative, name);
  if (parent.get() < 0) return File();
  return File(open_regular(parent.get(), name, File::Mode::create_new).release());
}

std::optional<FileIdentity> Folder::identity_of(const std::wstring& relative) {
  std::string name;
  if (!is_open()) return std::nullopt;
  const Descriptor parent = state_->parent_of(relative, name);
  struct stat status {};
  if (parent.get() < 0 || ::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool Folder::remove_file(const std::wstring& relative) {
  std::string name;
  if (!is_open()) return false;
  const Descriptor parent = state_->parent_of(relative, name);
  return parent.get() >= 0 && ::unlinkat(parent.get(), name.c_str(), 0) == 0;
}

File Folder::open_file(const std::wstring& relative, File::Mode mode) {
  std::string name;
  if (!is_open() || mode == File::Mode::create_new) return File();
  const Descriptor parent = state_->parent_of(relative, name);
  if (parent.get() < 0) return File();
  return File(open_regular(parent.get(), name, mode).release());
}

bool Folder::move_file(const std::wstring& relative, Folder& target, const std::wstring& target_relative) {
  std::string name;
  std::string target_name;
  if (!is_open() || !target.is_open()) return false;
  const Descriptor parent = state_->parent_of(relative, name);
  const Descriptor target_parent = target.state_->parent_of(target_relative, target_name);
  if (parent.get() < 0 || target_parent.get() < 0) return false;
  if (::renameat2(parent.get(), name.c_str(), target_parent.get(), target_name.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace rename: a second name, then the first goes.
  if (::linkat(parent.get(), name.c_str(), target_parent.get(), target_name.c_str(), 0) != 0) return false;
  return ::unlinkat(parent.get(), name.c_str(), 0) == 0;
}

// ---- The log ----------------------------------------------------------------

bool append_private_line(const std::wstring& path, const std::string& line) {
  const Descriptor fd(open_retrying(AT_FDCWD, utf8_from_wide(path),
                                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != ::geteuid()) return false;
  // A log an earlier version left readable by everyone becomes private too.
  if ((status.st_mode & 077) != 0) ::fchmod(fd.get(), status.st_mode & 0700);
  const std::string text = line + '\n';
  return write_all(fd.get(), text.data(), text.size());
}

}  // namespace platform
