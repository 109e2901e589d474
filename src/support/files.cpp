#include "support/files.h"

#include <vector>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "support/hooks.h"

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

void clear_read_only(const std::wstring& path) { platform::clear_read_only(path); }

std::int64_t file_size(const std::wstring& path) {
  return static_cast<std::int64_t>(platform::file_size(path).value_or(0));
}

namespace {

std::wstring without_trailing_separators(std::wstring folder) {
  while (folder.size() > 1 && platform::is_path_separator(folder.back())) folder.pop_back();
  return folder;
}

bool delete_tree_at(const std::wstring& folder) {
  if (platform::path_kind(folder) == platform::PathKind::link) return platform::remove_link(folder);

  std::vector<platform::FolderEntry> entries;
  platform::list_folder(folder, entries);
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_link) {
      if (!platform::remove_link(entry.path)) return false;
    } else if (entry.is_folder) {
      delete_tree_at(entry.path);  // what is left inside makes the removal below fail
    } else {
      platform::clear_read_only(entry.path);
      if (!platform::remove_file(entry.path)) return false;
    }
  }
  return platform::remove_folder(folder);
}

}  // namespace

bool delete_tree(const std::wstring& folder) {
  if (folder.empty()) return false;
  const std::wstring path = without_trailing_separators(folder);
  if (platform::path_kind(path) == platform::PathKind::none) return true;
  return delete_tree_at(path);
}

bool remove_regular_file(const std::wstring& path) {
  return platform::path_kind(path) == platform::PathKind::file && platform::remove_file(path);
}

bool write_file_atomically(const std::wstring& path, const std::string& bytes) {
  create_parent_folders(path);
  // A partial file left by an earlier run goes first; anything else at its
  // name (a link) makes the new file, and so the write, fail.
  const std::wstring partial = path + L".new";
  remove_regular_file(partial);
  platform::File out(partial, platform::File::Mode::create_new);
  if (!out.is_open()) return false;
  const bool written = out.write(bytes.data(), bytes.size());
  if (out.close() && written && platform::replace_file(partial, path)) return true;
  platform::remove_file(partial);
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
    platform::make_folder(prefix);  // existing or impossible folders are no error here
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
