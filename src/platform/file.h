// Files and folders at names another user may have prepared: a shared
// download folder, the temporary folder. Nothing here follows a symbolic
// link (on Windows: any reparse point) at a name it is given, and only
// regular files are opened, so a planted link or device can neither receive
// the launcher's writes nor stand in for what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace platform {

// Which file a name or an open file stands for: device and inode, or on
// Windows the volume serial number and file index. Equal identities, the
// same file.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};
inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }
inline bool operator<(const FileIdentity& a, const FileIdentity& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}

// An open regular file. The path's last name is never followed when it is a
// link (the folders above it are the caller's to trust, or Folder's).
class File {
 public:
  enum class Mode {
    read,        // an existing file, for reading
    update,      // an existing file that has no second name (hard link), for reading and writing
    create_new,  // a new file, for reading and writing; fails when anything has the name already
    // An existing file that this process writes through another handle, for
    // reading what is already written (Windows: shares writing with that handle).
    read_beside_writer,
  };

  File() = default;
  File(const std::wstring& path, Mode mode);
  ~File() { close(); }
  File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}
  // The file this one had is closed when `other` goes.
  File& operator=(File&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const { return handle_ != kClosed; }
  // Bytes read at the current position; 0 at the end and on a failure.
  std::size_t read(void* buffer, std::size_t size);
  // Writes all of it, or fails.
  bool write(const void* data, std::size_t size);
  bool seek(std::uint64_t offset);
  std::optional<std::uint64_t> size() const;
  // Cuts or extends the file; the position stays where it was.
  bool resize(std::uint64_t length);
  std::optional<FileIdentity> identity() const;
  // Gives the file the executable bits (owner, group, other) of a Unix mode
  // that an archive recorded, within the user's umask, and takes its other
  // bits away; setuid, setgid, sticky and write bits are never taken from the
  // archive. Does nothing where files carry no such bits (Windows).
  bool apply_executable_bits(std::uint32_t unix_mode);
  // False when the file was not open or the system could not store what was
  // written.
  bool close();

 private:
  friend class Folder;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  static constexpr std::intptr_t kClosed = -1;  // also INVALID_HANDLE_VALUE
  std::intptr_t handle_ = kClosed;
};

// A folder the launcher makes for itself and fills: it must not exist
// before, and the folders in it are made by the launcher too. Names below it
// are relative, with the platform's separator, and no component of them is
// followed when it is a link: on POSIX each is opened relative to the one
// above it; on Windows each folder is held open without sharing deletion
// while the object lives, so that nobody renames or replaces it meanwhile.
class Folder {
 public:
  // Makes the folder, whose parent must exist, and opens it. Not open when
  // anything has the name already (a folder, a link) or it cannot be made.
  static Folder make_fresh(const std::wstring& path);
  // Opens the folder, making it (private to the user) when missing; what an
  // earlier run made is taken up again. Not open when the name is a link or
  // no folder, or (POSIX) the folder is another user's or others may write it.
  static Folder open_or_make(const std::wstring& path);
  bool is_open() const;

  // Makes the folders of the relative path that are missing; false when one
  // of them cannot be made or something other than a folder has its name.
  bool make_folders(const std::wstring& relative);
  // A new file at the relative name, in folders that make_folders made; not
  // open when anything has the name already.
  File create_file(const std::wstring& relative);
  // Of what has the name itself (a link's own, never its target's); empty
  // when nothing has it.
  std::optional<FileIdentity> identity_of(const std::wstring& relative);
  // Removes the name (a link itself, never its target); not a folder.
  bool remove_file(const std::wstring& relative);
  // An existing regular file at the relative name (read or update).
  File open_file(const std::wstring& relative, File::Mode mode);
  // Gives the file the target folder's relative name, on the same volume,
  // without copying; fails when anything has that name already. The name
  // may be in this folder itself.
  bool move_file(const std::wstring& relative, Folder& target, const std::wstring& target_relative);

 private:
  struct State;
  struct StateDeleter {
    void operator()(State* state) const;
  };
  std::unique_ptr<State, StateDeleter> state_;
};

// Appends the line and the platform's line end to the file in one write,
// creating the file readable and writable by the user alone. Writes nothing
// (false) when the name is a link, is not a regular file, has a second name
// (hard link) or belongs to another user.
bool append_private_line(const std::wstring& path, const std::string& line);

}  // namespace platform
