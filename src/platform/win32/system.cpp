#include "platform/system.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "long_path.h"

namespace platform {

wchar_t path_separator() { return L'\\'; }
bool is_path_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

namespace win32 {

std::wstring long_path(const std::wstring& path) {
  constexpr std::size_t kLongPath = 240;
  if (path.size() < kLongPath || path.rfind(L"\\\\?\\", 0) == 0) return path;
  const bool drive = path.size() > 2 && path[1] == L':' && is_path_separator(path[2]);
  const bool unc = is_path_separator(path[0]) && is_path_separator(path[1]);
  if (!drive && !unc) return path;
  // GetFullPathNameW on an absolute path only normalises it: separators
  // become '\\', "." and ".." are resolved.
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring normal(needed, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), needed, normal.data(), nullptr);
  if (n == 0 || n >= needed) return path;
  normal.resize(n);
  if (drive) return L"\\\\?\\" + normal;
  if (normal.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + normal.substr(2);
  return path;
}

}  // namespace win32

std::wstring executable_path() {
  // Long-path aware: grow the buffer until the whole path fits.
  std::vector<wchar_t> buffer(521, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.assign(buffer.size() * 2, L'\0');
  }
}

std::wstring temp_folder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, buffer);
  return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

std::wstring user_state_folder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return {};
  std::wstring folder(buffer, n);
  if (folder.back() != L'\\') folder += L'\\';
  return folder + L"setuplauncher\\";
}

std::wstring absolute_path(const std::wstring& typed) {
  if (typed.empty()) return {};
  const DWORD needed = GetFullPathNameW(typed.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return typed;
  std::vector<wchar_t> buffer(needed, L'\0');
  const DWORD n = GetFullPathNameW(typed.c_str(), needed, buffer.data(), nullptr);
  return n > 0 && n < needed ? std::wstring(buffer.data(), n) : typed;
}

std::uint64_t tick_count_ms() { return GetTickCount64(); }

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

bool is_64bit_os() {
  if (sizeof(void*) == 8) return true;  // a 64-bit process runs on 64-bit Windows by definition
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = GetModuleHandleW(L"kernel32");
  if (!kernel) return false;
  const auto is_wow64 =
      reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  if (!is_wow64) return false;
  BOOL flag = FALSE;
  is_wow64(GetCurrentProcess(), &flag);
  return flag == TRUE;
}

using win32::long_path;

PathKind path_kind(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(long_path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::none : PathKind::other;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::folder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::other;
  return PathKind::file;
}

bool remove_link(const std::wstring& path) {
  const std::wstring native = long_path(path);
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(native.c_str()) != 0
                                                 : DeleteFileW(native.c_str()) != 0;
}

bool remove_file(const std::wstring& path) { return DeleteFileW(long_path(path).c_str()) != 0; }

bool remove_folder(const std::wstring& path) { return RemoveDirectoryW(long_path(path).c_str()) != 0; }

bool make_folder(const std::wstring& path) { return CreateDirectoryW(long_path(path).c_str(), nullptr) != 0; }

void clear_read_only(const std::wstring& path) {
  const std::wstring native = long_path(path);
  const DWORD attributes = GetFileAttributesW(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

std::optional<std::uint64_t> file_size(const std::wstring& path) {
  // Opening follows a link to its target, whose size is wanted.
  const HANDLE file = CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size{};
  const bool known = GetFileSizeEx(file, &size) != 0;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

namespace {
struct SearchCloser {
  void operator()(HANDLE search) const { FindClose(search); }
};
using Search = std::unique_ptr<void, SearchCloser>;
}  // namespace

bool list_folder(const std::wstring& folder, std::vector<FolderEntry>& entries) {
  std::wstring prefix = folder;
  if (!prefix.empty() && !is_path_separator(prefix.back())) prefix += L'\\';
  WIN32_FIND_DATAW found{};
  const HANDLE first = FindFirstFileW(long_path(prefix + L"*").c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return false;
  const Search search(first);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({prefix + name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(search.get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool replace_file(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(long_path(from).c_str(), long_path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool rename_folder(const std::wstring& from, const std::wstring& to) {
  // Without MOVEFILE_REPLACE_EXISTING: an existing name makes it fail.
  return MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), 0) != 0;
}

std::optional<std::uint64_t> free_disk_space(const std::wstring& folder) {
  std::wstring path = long_path(folder);
  if (!path.empty() && !is_path_separator(path.back())) path += L'\\';
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

void set_environment_variable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

}  // namespace platform
