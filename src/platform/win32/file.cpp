#include "platform/file.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <map>
#include <vector>

#include "long_path.h"
#include "platform/system.h"

namespace platform {

using win32::long_path;

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

Handle make_handle(HANDLE handle) { return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }

HANDLE handle_of(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t adopt(Handle handle) { return handle ? reinterpret_cast<std::intptr_t>(handle.release()) : -1; }

bool information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(handle, &info) != 0;
}

FileIdentity identity_from(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// A file on a disk that is neither a folder nor a reparse point (a link, a
// junction, a mount point, ...).
bool is_plain_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return GetFileType(handle) == FILE_TYPE_DISK && information(handle, info) && !(info.dwFileAttributes & kNotPlain);
}

// Others may read the file, but nobody writes, renames or deletes it while
// it is open.
Handle open_regular(const std::wstring& path, File::Mode mode) {
  const bool reads = mode == File::Mode::read || mode == File::Mode::read_beside_writer;
  const DWORD access = reads ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = mode == File::Mode::create_new ? CREATE_NEW : OPEN_EXISTING;
  // The writer's own handle shares reading only, so no other writer gets in
  // beside the two.
  const DWORD sharing = mode == File::Mode::read_beside_writer ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
  Handle file = make_handle(CreateFileW(long_path(path).c_str(), access, sharing, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !is_plain_file(file.get(), info)) return nullptr;
  if (mode == File::Mode::update && info.nNumberOfLinks != 1) return nullptr;
  return file;
}

// Listing access takes part in the sharing rules (attribute access alone
// would not): without FILE_SHARE_DELETE nobody renames or removes the folder,
// or a folder above it, while the handle is open.
Handle open_folder(const std::wstring& path) {
  Handle folder = make_handle(CreateFileW(long_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !information(folder.get(), info)) return nullptr;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return nullptr;
  }
  return folder;
}

std::wstring without_trailing_separators(std::wstring path) {
  while (path.size() > 1 && is_path_separator(path.back())) path.pop_back();
  return path;
}

// The folder part of a relative name ("" for a name in the root) and its last name.
void split_last(const std::wstring& relative, std::wstring& folder, std::wstring& name) {
  const std::wstring path = without_trailing_separators(relative);
  std::size_t cut = path.size();
  while (cut > 0 && !is_path_separator(path[cut - 1])) --cut;
  folder = path.substr(0, cut);
  name = path.substr(cut);
}

}  // namespace

File::File(const std::wstring& path, Mode mode) : handle_(adopt(open_regular(path, mode))) {}

std::size_t File::read(void* buffer, std::size_t size) {
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!is_open() || !ReadFile(handle_of(handle_), buffer, wanted, &got, nullptr)) return 0;
  return got;
}

bool File::write(const void* data, std::size_t size) {
  if (!is_open()) return false;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!WriteFile(handle_of(handle_), next, piece, &written, nullptr) || written == 0) return false;
    next += written;
    size -= written;
  }
  return true;
}

bool File::seek(std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return is_open() && SetFilePointerEx(handle_of(handle_), position, nullptr, FILE_BEGIN);
}

std::optional<std::uint64_t> File::size() const {
  LARGE_INTEGER size;
  if (!is_open() || !GetFileSizeEx(handle_of(handle_), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool File::resize(std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return is_open() && SetFileInformationByHandle(handle_of(handle_), FileEndOfFileInfo, &end, sizeof end);
}

std::optional<FileIdentity> File::identity() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!is_open() || !information(handle_of(handle_), info)) return std::nullopt;
  return identity_from(info);
}

bool File::apply_executable_bits(std::uint32_t) { return is_open(); }

bool File::close() {
  if (!is_open()) return false;
  const bool closed = CloseHandle(handle_of(handle_)) != 0;
  handle_ = kClosed;
  return closed;
}

// ---- Folder ------------------------------------------------------------------

struct Folder::State {
  std::wstring root;  // without a trailing separator
  // Every folder made or checked so far, by relative name ("" is the root),
  // held open so that none of them can be swapped for a link.
  std::map<std::wstring, Handle> pinned;

  std::wstring full(const std::wstring& relative) const { return relative.empty() ? root : root + L'\\' + relative; }

  // Opens (make: after making) each folder of the relative path in turn;
  // false at the first that is missing, a reparse point or no folder.
  bool pin(const std::wstring& relative, bool make) {
    std::wstring prefix;
    std::wstring name;
    for (const wchar_t c : relative + L'\\') {
      if (!is_path_separator(c)) {
        name += c;
        continue;
      }
      if (name.empty()) continue;
      prefix = prefix.empty() ? name : prefix + L'\\' + name;
      name.clear();
      if (pinned.count(prefix)) continue;
      if (make) CreateDirectoryW(long_path(full(prefix)).c_str(), nullptr);  // an existing one is checked below
      Handle folder = open_folder(full(prefix));
      if (!folder) return false;
      pinned.emplace(prefix, std::move(folder));
    }
    return true;
  }
};

void Folder::StateDeleter::operator()(State* state) const { delete state; }

Folder Folder::make_fresh(const std::wstring& path) {
  Folder folder;
  const std::wstring root = without_trailing_separators(path);
  if (!CreateDirectoryW(long_path(root).c_str(), nullptr)) return folder;
  Handle handle = open_folder(root);
  if (!handle) return folder;
  folder.state_.reset(new State);
  folder.state_->root = root;
  folder.state_->pinned.emplace(std::wstring(), std::move(handle));
  return folder;
}

Folder Folder::open_or_make(const std::wstring& path) {
  Folder folder;
  const std::wstring root = without_trailing_separators(path);
  CreateDirectoryW(long_path(root).c_str(), nullptr);  // an existing one is checked below
  Handle handle = open_folder(root);
  if (!handle) return folder;
  folder.state_.reset(new State);
  folder.state_->root = root;
  folder.state_->pinned.emplace(std::wstring(), std::move(handle));
  return folder;
}

bool Folder::is_open() const { return state_ != nullptr; }

bool Folder::make_folders(const std::wstring& relative) { return is_open() && state_->pin(relative, true); }

File Folder::create_file(const std::wstring& relative) {
  std::wstring folder;
  std::wstring name;
  split_last(relative, folder, name);
  if (!is_open() || name.empty() || !state_->pin(folder, false)) return File();
  return File(adopt(open_regular(state_->full(relative), File::Mode::create_new)));
}

std::optional<FileIdentity> Folder::identity_of(const std::wstring& relative) {
  std::wstring folder;
  std::wstring name;
  split_last(relative, folder, name);
  if (!is_open() || name.empty() || !state_->pin(folder, false)) return std::nullopt;
  const Handle file = make_handle(CreateFileW(long_path(state_->full(relative)).c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !information(file.get(), info)) return std::nullopt;
  return identity_from(info);
}

bool Folder::remove_file(const std::wstring& relative) {
  std::wstring folder;
  std::wstring name;
  split_last(relative, folder, name);
  if (!is_open() || name.empty() || !state_->pin(folder, false)) return false;
  return DeleteFileW(long_path(state_->full(relative)).c_str()) != 0;
}

File Folder::open_file(const std::wstring& relative, File::Mode mode) {
  std::wstring folder;
  std::wstring name;
  split_last(relative, folder, name);
  if (!is_open() || mode == File::Mode::create_new || name.empty() || !state_->pin(folder, false)) return File();
  return File(adopt(open_regular(state_->full(relative), mode)));
}

bool Folder::move_file(const std::wstring& relative, Folder& target, const std::wstring& target_relative) {
  std::wstring folder;
  std::wstring name;
  std::wstring target_folder;
  std::wstring target_name;
  split_last(relative, folder, name);
  split_last(target_relative, target_folder, target_name);
  if (!is_open() || !target.is_open() || name.empty() || target_name.empty() || !state_->pin(folder, false) ||
      !target.state_->pin(target_folder, false)) {
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING nothing at the target is replaced, and
  // without MOVEFILE_COPY_ALLOWED nothing is copied between volumes.
  return MoveFileExW(long_path(state_->full(relative)).c_str(),
                     long_path(target.state_->full(target_relative)).c_str(), 0) != 0;
}

// ---- The log ----------------------------------------------------------------

namespace {

// The owner is this user, or the Administrators group (what an elevated run
// of the same user leaves behind) or the system itself.
bool owned_by_this_user(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, LocalFreer> kept(descriptor);
  if (!owner) return false;
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid)) return true;
  HANDLE token_handle = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) return false;
  const Handle token(token_handle);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return false;
  return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid) != 0;
}

}  // namespace

bool append_private_line(const std::wstring& path, const std::string& line) {
  // The file takes the temporary folder's permissions, which on Windows
  // belong to the user alone.
  const Handle file = make_handle(CreateFileW(
      long_path(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !is_plain_file(file.get(), info) || info.nNumberOfLinks != 1 || !owned_by_this_user(file.get())) {
    return false;
  }
  // As a text-mode stream would write it: every line end is CR LF.
  std::string text;
  text.reserve(line.size() + 2);
  for (const char c : line) {
    if (c == '\n') text += '\r';
    text += c;
  }
  text += "\r\n";
  DWORD written = 0;
  return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

}  // namespace platform
