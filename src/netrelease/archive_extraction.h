// Unpacking a release archive. Its members are stored under the SHA-256
// digest of their content; "arcinfo.json" says where each content goes.
// Each content is inflated once, straight into its first destination, checked
// against its digest, and copied to the others; the writing, hashing and
// copying run on a second thread beside the inflation (entry_writer.h).
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/extractionprogress.h"
#include "netrelease/release_info.h"
#include "netrelease/zip_reader.h"

// An open release archive. The reader reads through the file, so the pair
// stays where it was made.
struct ArchiveHandle {
  zip::ZipReader reader;
  std::ifstream file;

  ArchiveHandle() = default;
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;
};

struct ArcInfoEntry {
  std::string hash;               // member name and expected SHA-256, lower-case hex
  std::vector<std::wstring> dst;  // relative to the setup folder; the first is extracted, the rest copied
};

// destination followed by filename.
std::wstring archive_path(const ReleaseInfo& release);

// Empty when the file cannot be opened or is not a readable zip archive.
std::unique_ptr<ArchiveHandle> open_archive(const std::wstring& path);
// Ends the reader and closes the file; accepts an empty handle.
void close_archive(std::unique_ptr<ArchiveHandle>& handle);

// The content of a small member ("arcinfo.json", "arcconfig.json") up to
// its first zero byte; empty when it is missing, too large or unreadable.
std::string read_small_member(const ArchiveHandle& archive, const std::string& name);

// The entries of an "arcinfo.json" text; none for text that is not a JSON array.
std::vector<ArcInfoEntry> parse_arcinfo(const std::string& text);
std::vector<ArcInfoEntry> read_arcinfo(const ArchiveHandle& archive);

// Shows the progress window while every entry is extracted.
bool extract_with_progress(const ArchiveHandle& archive, const std::wstring& setup_folder);
// Creates every folder first, then extracts entry by entry; stops at the first failure.
bool extract_entries(const std::wstring& setup_folder, const std::vector<ArcInfoEntry>& entries,
                     const ArchiveHandle& archive, ExtractionProgress& progress);
