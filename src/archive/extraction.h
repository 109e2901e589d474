// Unpacking a release archive. Its members are stored under the SHA-256
// digest of their content; "arcinfo.json" says where each content goes.
// Each content is inflated once, straight into its first destination, checked
// against its digest, and copied to the others; the writing, hashing and
// copying run on a second thread beside the inflation (entry_writer.h).
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "archive/zip_source.h"
#include "formats/archive_manifest.h"
#include "platform/file.h"
#include "support/files.h"
#include "support/progress.h"

// An open release archive. The reader reads through the source, so both
// stay where they were made.
struct ArchiveHandle {
  zip::FileSource source;
  zip::ZipReader reader;

  explicit ArchiveHandle(platform::File file) : source(std::move(file)) {}
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;
};

// The files one extraction made, by identity: the only ones the start stage
// starts.
using ExtractedFiles = std::set<platform::FileIdentity>;

// Empty when the name is not a regular file (a link is not followed) or not
// a readable zip archive.
std::unique_ptr<ArchiveHandle> open_archive(const std::wstring& path);

// The content of a small member ("arcinfo.json", "arcconfig.json") up to
// its first zero byte; empty when it is missing, too large or unreadable.
std::string read_small_member(const ArchiveHandle& archive, const std::string& name);
// Empty when "arcinfo.json" lists more than the limits allow.
std::optional<std::vector<ArcInfoEntry>> read_arcinfo(const ArchiveHandle& archive);

// The bytes the entries unpack to, every destination counted (the sizes the
// archive's directory records); members the archive lacks count nothing.
std::uint64_t space_needed(const std::vector<ArcInfoEntry>& entries, const ArchiveHandle& archive);

// Creates every folder first, then extracts entry by entry into the folder;
// stops at the first failure. `extracted` receives every file made.
bool extract_entries(platform::Folder& folder, const std::vector<ArcInfoEntry>& entries, const ArchiveHandle& archive,
                     Progress& progress, ExtractedFiles& extracted);

// Makes the setup folder, which must not exist yet. Throws ZipException,
// with a message for the user, when it cannot be made.
platform::Folder make_setup_folder(const std::wstring& setup_folder);

// The extraction stage: unpacks the archive into a setup folder that it
// makes itself, with the "extract" progress, checking every file's digest.
// False on any failure of the archive or its files. Throws ZipException,
// with a message for the user, before anything is written when the disk
// cannot hold what the archive unpacks to, or when anything has the setup
// folder's name already (the main flow removes an old one first).
bool extract_archive(const std::wstring& archive_path, const std::wstring& setup_folder,
                     const ProgressOpener& open_progress, ExtractedFiles& extracted);
