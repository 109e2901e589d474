#include "archive/extraction.h"

#include <algorithm>
#include <limits>

#include "archive/entry_writer.h"
#include "platform/text.h"
#include "support/exceptions.h"
#include "support/files.h"
#include "support/log.h"
#include "support/names.h"

namespace {

constexpr char kLogSource[] = "netrelease_functions";

}  // namespace

std::unique_ptr<ArchiveHandle> open_archive(const std::wstring& path) {
  auto handle = std::make_unique<ArchiveHandle>(platform::File(path, platform::File::Mode::read));
  if (!handle->source.is_open()) return nullptr;
  if (!handle->reader.open(handle->source)) return nullptr;
  return handle;
}

std::string read_small_member(const ArchiveHandle& archive, const std::string& name) {
  const auto index = archive.reader.locate(name);
  if (!index) return {};
  std::string content;
  if (!archive.reader.extract_to_memory(*index, content, kMaxManifestSize)) return {};
  const auto zero = content.find('\0');
  if (zero != std::string::npos) content.resize(zero);
  return content;
}

std::optional<std::vector<ArcInfoEntry>> read_arcinfo(const ArchiveHandle& archive) {
  return parse_arcinfo(read_small_member(archive, kArcInfoMember));
}

namespace {

// What the progress counts for an entry: its content's unpacked size, once
// however many copies it has; 0 when the archive lacks it.
std::uint64_t unpacked_size(const ArcInfoEntry& entry, const ArchiveHandle& archive) {
  zip::MemberStat stat;
  const auto index = archive.reader.locate(entry.hash);
  return index && archive.reader.stat(*index, stat) ? stat.uncompressed_size : 0;
}

// Hands the entry to the writer: false when it fails here, before or while
// its member is read; the writer reports the failures of writing it.
bool queue_entry(const ArcInfoEntry& entry, const ArchiveHandle& archive, EntryWriter& writer) {
  if (entry.dst.empty()) return false;
  std::vector<std::wstring> destinations;
  for (const std::string& path : entry.dst) {
    destinations.push_back(wide_from_utf8(path));
    if (!is_safe_relative_path(destinations.back())) return false;
  }
  const auto index = archive.reader.locate(entry.hash);
  if (!index) return false;
  zip::MemberStat stat;
  if (!archive.reader.stat(*index, stat)) return false;

  EntryWriter::Entry job;
  job.first = to_native_separators(destinations.front());
  for (const std::wstring& path : destinations) {
    std::wstring target = to_native_separators(path);
    if (target != job.first) job.copies.push_back(std::move(target));
  }
  job.hash = entry.hash;
  job.unix_mode = stat.unix_mode;
  if (!writer.begin(std::move(job))) return false;
  const bool extracted = archive.reader.extract(*index, writer);
  writer.end(extracted);
  return extracted;
}

}  // namespace

std::uint64_t space_needed(const std::vector<ArcInfoEntry>& entries, const ArchiveHandle& archive) {
  // Sizes from a forged directory saturate instead of wrapping round.
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 0;
  for (const ArcInfoEntry& entry : entries) {
    const std::uint64_t size = unpacked_size(entry, archive);
    const std::uint64_t places = entry.dst.size();
    const std::uint64_t bytes = places != 0 && size > kMost / places ? kMost : size * places;
    total = bytes > kMost - total ? kMost : total + bytes;
  }
  return total;
}

bool extract_entries(platform::Folder& folder, const std::vector<ArcInfoEntry>& entries, const ArchiveHandle& archive,
                     Progress& progress, ExtractedFiles& extracted) {
  FolderCache folders;
  for (const ArcInfoEntry& entry : entries) {
    for (const std::string& utf8_path : entry.dst) {
      // A path that leaves the setup folder gets no folders either; its
      // entry fails when its turn comes, as does one whose folders cannot be
      // made.
      const std::wstring path = wide_from_utf8(utf8_path);
      if (!is_safe_relative_path(path)) continue;
      const std::wstring parent = parent_folder(to_native_separators(path));
      if (!parent.empty() && folders.insert(parent).second) folder.make_folders(parent);
    }
  }
  // The progress window and the message pump belong to this thread; the
  // writer only reports how many entries it has finished, in their order.
  EntryWriter writer(folder);
  std::size_t stepped = 0;
  const auto step_finished = [&] {
    for (const std::size_t done = writer.done(); stepped < done; ++stepped) {
      progress.keep_alive();
      progress.step(unpacked_size(entries[stepped], archive));
      progress.keep_alive();
    }
  };
  bool queued = true;
  for (const ArcInfoEntry& entry : entries) {
    progress.keep_alive();
    step_finished();
    if (!queue_entry(entry, archive, writer)) {
      queued = false;
      break;
    }
  }
  const bool written = writer.finish(step_finished);
  extracted = writer.made();
  return queued && written;
}

platform::Folder make_setup_folder(const std::wstring& setup_folder) {
  platform::Folder folder = platform::Folder::make_fresh(setup_folder);
  if (!folder.is_open()) {
    throw_logged(ZipException("Cannot make a new setup folder " + utf8_from_wide(setup_folder) +
                              ": something has its name already, or its folder cannot be written"),
                 __LINE__, kLogSource);
  }
  return folder;
}

bool extract_archive(const std::wstring& archive_path, const std::wstring& setup_folder,
                     const ProgressOpener& open_progress, ExtractedFiles& extracted) {
  StageTimer timer(L"extract", __LINE__, kLogSource);
  const auto archive = open_archive(archive_path);
  if (!archive) return false;
  const std::optional<std::vector<ArcInfoEntry>> entries = read_arcinfo(*archive);
  if (!entries) {
    write_log("arcinfo.json lists more than " + std::to_string(kMaxArcInfoEntries) + " contents or " +
                  std::to_string(kMaxArcInfoDestinations) + " destinations",
              __LINE__, kLogSource);
    return false;
  }
  // Where the setup folder is about to be made: an old one is gone by now,
  // so what it held counts as free.
  const std::string space_problem = free_space_problem(parent_folder(setup_folder), space_needed(*entries, *archive));
  if (!space_problem.empty()) throw_logged(ZipException(space_problem), __LINE__, kLogSource);
  platform::Folder folder = make_setup_folder(setup_folder);
  std::uint64_t bytes = 0;
  for (const ArcInfoEntry& entry : *entries) bytes += unpacked_size(entry, *archive);
  const auto progress = open_progress(
      L"extract", static_cast<std::uint32_t>(std::min<std::size_t>(entries->size(), std::numeric_limits<std::uint32_t>::max())),
      bytes);
  return extract_entries(folder, *entries, *archive, *progress, extracted);
}
