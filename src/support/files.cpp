#include "support/files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"
#include "support/hooks.h"

namespace fs = std::filesystem;

std::wstring to_native_separators(std::wstring path) {
  // '\\' is an ordinary character on POSIX file systems, but the paths that
  // arrive from archives and dialogs use it as a separator.
  const wchar_t native = platform::path_separator();
  for (wchar_t& c : path) {
    if (c == L'\\' || c == L'/') c = native;
  }
  return path;
}

std::wstring as_folder_path(const std::wstring& path) {
  std::wstring folder = to_native_separators(path);
  if (!folder.empty() && folder.back() != platform::path_separator()) folder += platform::path_separator();
  return folder;
}

std::wstring parent_folder(const std::wstring& path) {
  std::size_t end = path.size();
  while (end > 0 && platform::is_path_separator(path[end - 1])) --end;
  while (end > 0 && !platform::is_path_separator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::wstring module_folder() { return parent_folder(platform::executable_path()); }

namespace {
void clear_read_only_at(const fs::path& p) {
  std::error_code ec;
  const auto status = fs::status(p, ec);
  if (ec || (status.permissions() & fs::perms::owner_write) != fs::perms::none) return;
  fs::permissions(p, fs::perms::owner_write, fs::perm_options::add, ec);
}
}  // namespace

void clear_read_only(const std::wstring& path) { clear_read_only_at(platform::fs_path(path)); }

std::int64_t file_size(const std::wstring& path) {
  std::error_code ec;
  const auto size = fs::file_size(platform::fs_path(path), ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
}

namespace {

fs::path without_trailing_separators(std::wstring folder) {
  while (folder.size() > 1 && platform::is_path_separator(folder.back())) folder.pop_back();
  return platform::fs_path(folder);
}

bool delete_tree_at(const fs::path& folder) {
  if (platform::is_link(folder)) return platform::remove_link(folder);

  std::vector<platform::FolderEntry> entries;
  platform::list_folder(folder, entries);
  std::error_code ec;
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_link) {
      if (!platform::remove_link(entry.path)) return false;
    } else if (entry.is_folder) {
      delete_tree_at(entry.path);  // what is left inside makes the removal below fail
    } else {
      clear_read_only_at(entry.path);
      if (!fs::remove(entry.path, ec) || ec) return false;
    }
  }
  return fs::remove(folder, ec) && !ec;
}

}  // namespace

bool delete_tree(const std::wstring& folder) {
  if (folder.empty()) return false;
  const fs::path path = without_trailing_separators(folder);
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) return true;
  return delete_tree_at(path);
}

bool remove_regular_file(const std::wstring& path) {
  std::error_code ec;
  const fs::path native = platform::fs_path(path);
  return fs::is_regular_file(fs::symlink_status(native, ec)) && fs::remove(native, ec);
}

bool write_file_atomically(const std::wstring& path, const std::string& bytes) {
  create_parent_folders(path);
  const fs::path target = platform::fs_path(path);
  const fs::path partial = platform::fs_path(path + L".new");
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (out && platform::replace_file(partial, target)) return true;
  }
  std::error_code ec;
  fs::remove(partial, ec);
  return false;
}

void create_parent_folders(const std::wstring& file_path, FolderCache& cache) {
  std::wstring path = to_native_separators(file_path);
  while (!path.empty() && path.back() == platform::path_separator()) path.pop_back();

  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] != platform::path_separator()) continue;
    const std::wstring prefix = path.substr(0, i);
    // A drive name ("C:") or a run of separators is never a folder of its own.
    if (prefix.back() == L':' || prefix.back() == platform::path_separator()) continue;
    if (cache.count(prefix)) continue;
    std::error_code ec;
    fs::create_directory(platform::fs_path(prefix), ec);  // existing or impossible folders are no error here
    cache.insert(prefix);
  }
}

void create_parent_folders(const std::wstring& file_path) {
  FolderCache cache;
  create_parent_folders(file_path, cache);
}

std::string free_space_problem(const std::wstring& folder, std::uint64_t needed) {
  const std::optional<std::uint64_t> free = hooks().free_disk_space(folder);
  if (!free || *free >= needed) return {};
  return "Not enough free disk space in " + utf8_from_wide(folder) + ": " + std::to_string(needed) +
         " bytes needed, " + std::to_string(*free) + " bytes free";
}
