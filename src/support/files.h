// Path and file helpers the stages share. Paths are wide text; the launcher
// writes the platform's own separator and accepts both '/' and '\' in the
// paths that arrive from archives and dialogs.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"

using FolderCache = std::set<std::wstring>;

// Every separator the platform does not use natively becomes the native one
// ('/' becomes '\' on Windows, '\' becomes '/' elsewhere).
std::wstring to_native_separators(std::wstring path);
// to_native_separators, plus a trailing separator unless empty or already there.
std::wstring as_folder_path(const std::wstring& path);
// The folder above the path's last name, with its trailing separator; empty
// when the path has no folder part.
std::wstring parent_folder(const std::wstring& path);
// Folder of the running executable with its trailing separator; empty when unknown.
std::wstring module_folder();

void clear_read_only(const std::wstring& path);
// Size in bytes; 0 when the file cannot be read.
std::int64_t file_size(const std::wstring& path);
// Removes the folder and everything in it. Links and junctions inside are
// removed themselves, never followed. True when nothing is left at the
// folder's name, also when nothing was there.
bool delete_tree(const std::wstring& folder);
// Writes the bytes to a file beside the path, then puts that file in the
// path's place in one step, so that no reader sees a part of them; creates
// the folders above it. False when any step fails (nothing is left behind).
bool write_file_atomically(const std::wstring& path, const std::string& bytes);
// Removes the name when it is a regular file; anything else stays.
bool remove_regular_file(const std::wstring& path);
// Creates every folder above the file that the cache does not hold yet.
void create_parent_folders(const std::wstring& file_path, FolderCache& cache);
void create_parent_folders(const std::wstring& file_path);

// Why the volume that holds the folder cannot take `needed` more bytes, as a
// message that names the folder, the bytes needed and the bytes free. Empty
// when it can, and when its free space cannot be read (the writes will tell).
std::string free_space_problem(const std::wstring& folder, std::uint64_t needed);
