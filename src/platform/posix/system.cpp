#include "platform/system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // renameat2
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/text.h"

namespace platform {

wchar_t path_separator() { return L'/'; }
bool is_path_separator(wchar_t c) { return c == L'/'; }

std::wstring executable_path() {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::wstring() : wide_from_utf8(target.string());
}

std::wstring temp_folder() {
  const char* tmpdir = std::getenv("TMPDIR");
  return wide_from_utf8(tmpdir && *tmpdir ? tmpdir : "/tmp");
}

std::wstring user_state_folder() {
  // A relative XDG_STATE_HOME is to be ignored, as the base directory rules say.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return wide_from_utf8(std::string(state) + "/setuplauncher/");
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return wide_from_utf8(std::string(home) + "/.local/state/setuplauncher/");
  return {};
}

std::wstring absolute_path(const std::wstring& typed) {
  std::string path = utf8_from_wide(typed);
  if (path.empty()) return {};
  // The shell expands "~" only at the start of a word, not after "--destination=".
  const char* home = std::getenv("HOME");
  if (path[0] == '~' && (path.size() == 1 || path[1] == '/') && home != nullptr && *home != '\0') {
    path = home + path.substr(1);
  }
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return typed;
  return wide_from_utf8(absolute.lexically_normal().string());
}

std::uint64_t tick_count_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

void sleep_ms(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

bool is_64bit_os() {
  utsname name{};
  if (uname(&name) != 0) return sizeof(void*) == 8;
  const std::string machine = name.machine;
  return machine.find("64") != std::string::npos || machine == "s390x";
}

PathKind path_kind(const std::wstring& path) {
  struct stat info {};
  if (::lstat(utf8_from_wide(path).c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? PathKind::none : PathKind::other;
  if (S_ISREG(info.st_mode)) return PathKind::file;
  if (S_ISDIR(info.st_mode)) return PathKind::folder;
  if (S_ISLNK(info.st_mode)) return PathKind::link;
  return PathKind::other;
}

bool remove_link(const std::wstring& path) { return ::unlink(utf8_from_wide(path).c_str()) == 0; }

bool remove_file(const std::wstring& path) { return ::unlink(utf8_from_wide(path).c_str()) == 0; }

bool remove_folder(const std::wstring& path) { return ::rmdir(utf8_from_wide(path).c_str()) == 0; }

bool make_folder(const std::wstring& path) { return ::mkdir(utf8_from_wide(path).c_str(), 0777) == 0; }

void clear_read_only(const std::wstring& path) {
  const std::string native = utf8_from_wide(path);
  struct stat info {};
  if (::stat(native.c_str(), &info) == 0 && !(info.st_mode & S_IWUSR))
    ::chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR);
}

std::optional<std::uint64_t> file_size(const std::wstring& path) {
  struct stat info {};
  if (::stat(utf8_from_wide(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool list_folder(const std::wstring& folder, std::vector<FolderEntry>& entries) {
  std::error_code ec;
  std::filesystem::directory_iterator it(utf8_from_wide(folder), ec);
  if (ec) return false;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return false;
    const auto status = it->symlink_status(ec);
    entries.push_back({wide_from_utf8(it->path().string()), std::filesystem::is_directory(status),
                       std::filesystem::is_symlink(status)});
  }
  return !ec;
}

bool replace_file(const std::wstring& from, const std::wstring& to) {
  return ::rename(utf8_from_wide(from).c_str(), utf8_from_wide(to).c_str()) == 0;
}

bool rename_folder(const std::wstring& from, const std::wstring& to) {
  // rename() would replace an empty folder that someone put at the name.
  return ::renameat2(AT_FDCWD, utf8_from_wide(from).c_str(), AT_FDCWD, utf8_from_wide(to).c_str(),
                     RENAME_NOREPLACE) == 0;
}

std::optional<std::uint64_t> free_disk_space(const std::wstring& folder) {
  struct statvfs info {};
  if (::statvfs(utf8_from_wide(folder).c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

void set_environment_variable(const char* name, const std::string& value) {
  if (value.empty()) unsetenv(name);
  else setenv(name, value.c_str(), 1);
}

}  // namespace platform
