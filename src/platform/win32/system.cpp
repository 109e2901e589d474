#include "platform/system.h"

#include <windows.h>

#include <memory>
#include <vector>

namespace platform {

wchar_t path_separator() { return L'\\'; }
bool is_path_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::filesystem::path fs_path(const std::wstring& path) {
  // A long absolute path reaches the file functions in its extended form,
  // which the MAX_PATH limit does not apply to (the manifest's longPathAware
  // helps only where the system setting allows it too). That form is taken
  // literally, so the path is normalised first.
  constexpr std::size_t kLongPath = 240;
  if (path.size() < kLongPath || path.rfind(L"\\\\?\\", 0) == 0) return std::filesystem::path(path);
  std::wstring normal = std::filesystem::path(path).lexically_normal().wstring();
  for (wchar_t& c : normal) {
    if (c == L'/') c = L'\\';
  }
  if (normal.size() > 2 && normal[1] == L':' && normal[2] == L'\\') return L"\\\\?\\" + normal;
  if (normal.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + normal.substr(2);
  return std::filesystem::path(path);
}

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

bool is_link(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool remove_link(const std::filesystem::path& path) {
  // A directory link or junction is removed as a folder, which removes the
  // link and leaves its target alone; a file link as a file.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) != 0
                                                 : DeleteFileW(path.c_str()) != 0;
}

namespace {
struct SearchCloser {
  void operator()(HANDLE search) const { FindClose(search); }
};
using Search = std::unique_ptr<void, SearchCloser>;
}  // namespace

bool list_folder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries) {
  WIN32_FIND_DATAW found{};
  const HANDLE first = FindFirstFileW((folder / L"*").c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return false;
  const Search search(first);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({folder / name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(search.get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool rename_folder(const std::wstring& from, const std::wstring& to) {
  // Without MOVEFILE_REPLACE_EXISTING: an existing name makes it fail.
  return MoveFileExW(fs_path(from).c_str(), fs_path(to).c_str(), 0) != 0;
}

std::optional<std::uint64_t> free_disk_space(const std::wstring& folder) {
  std::wstring path = fs_path(folder).wstring();
  if (!path.empty() && !is_path_separator(path.back())) path += L'\\';
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

void set_environment_variable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

}  // namespace platform
