// Unpacking a release archive. Its members are stored under the SHA-256
// digest of their content; "arcinfo.json" says where each content goes.
// Each content is inflated once, straight into its first destination, checked
// against its digest, and copied to the others; the writing, hashing and
// copying run on a second thread beside the inflation (entry_writer.h).
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "formats/archive_manifest.h"
#include "support/progress.h"

// An open release archive. The reader reads through the file, so the pair
// stays where it was made.
struct ArchiveHandle {
  zip::ZipReader reader;
  std::ifstream file;

  ArchiveHandle() = default;
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;
};

// Empty when the file cannot be opened or is not a readable zip archive.
std::unique_ptr<ArchiveHandle> open_archive(const std::wstring& path);

// The content of a small member ("arcinfo.json", "arcconfig.json") up to
// its first zero byte; empty when it is missing, too large or unreadable.
std::string read_small_member(const ArchiveHandle& archive, const std::string& name);
// Empty when "arcinfo.json" lists more than the limits allow.
std::optional<std::vector<ArcInfoEntry>> read_arcinfo(const ArchiveHandle& archive);

// Creates every folder first, then extracts entry by entry; stops at the
// first failure.
bool extract_entries(const std::wstring& setup_folder, const std::vector<ArcInfoEntry>& entries,
                     const ArchiveHandle& archive, Progress& progress);

// The extraction stage: unpacks the archive into the setup folder with the
// "extract" progress, checking every file's digest. False on any failure.
bool extract_archive(const std::wstring& archive_path, const std::wstring& setup_folder,
                     const ProgressOpener& open_progress);
