#include "netrelease/archive_extraction.h"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

#include "netrelease/entry_writer.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "support/files.h"
#include "support/safe_path.h"

namespace {

// Far above any real manifest (a few hundred bytes per file), far below
// what a forged size could make us allocate.
constexpr std::uint64_t kMaxManifestSize = 128ull << 20;

}  // namespace

std::wstring archive_path(const ReleaseInfo& release) {
  return release.destination + wide_from_utf8(release.filename);
}

std::unique_ptr<ArchiveHandle> open_archive(const std::wstring& path) {
  auto handle = std::make_unique<ArchiveHandle>();
  handle->file.open(platform::fs_path(path), std::ios::binary);
  if (!handle->file.is_open()) return nullptr;
  if (!handle->reader.open(handle->file)) return nullptr;
  return handle;
}

void close_archive(std::unique_ptr<ArchiveHandle>& handle) {
  if (!handle) return;
  handle->reader.close();
  handle->file.close();
  handle.reset();
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

std::vector<ArcInfoEntry> parse_arcinfo(const std::string& text) {
  std::vector<ArcInfoEntry> entries;
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_array()) return entries;
  for (const auto& element : document) {
    ArcInfoEntry entry;
    if (element.is_object()) {
      const auto hash = element.find("hash");
      if (hash != element.end() && hash->is_string()) entry.hash = hash->get<std::string>();
      const auto dst = element.find("dst");
      if (dst != element.end() && dst->is_array()) {
        for (const auto& path : *dst) {
          if (path.is_string()) entry.dst.push_back(wide_from_utf8(path.get<std::string>()));
        }
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<ArcInfoEntry> read_arcinfo(const ArchiveHandle& archive) {
  return parse_arcinfo(read_small_member(archive, "arcinfo.json"));
}

bool extract_with_progress(const ArchiveHandle& archive, const std::wstring& setup_folder) {
  const std::vector<ArcInfoEntry> entries = read_arcinfo(archive);
  ExtractionProgress progress;
  progress.append_caption(L"(extract)");
  progress.set_max_progress(static_cast<std::uint32_t>(
      std::min<std::size_t>(entries.size(), std::numeric_limits<std::uint32_t>::max())));
  return extract_entries(setup_folder, entries, archive, progress);
}

namespace {

// Hands the entry to the writer: false when it fails here, before or while
// its member is read; the writer reports the failures of writing it.
bool queue_entry(const ArcInfoEntry& entry, const ArchiveHandle& archive, const std::wstring& setup_folder,
                 EntryWriter& writer) {
  if (entry.dst.empty()) return false;
  if (!std::all_of(entry.dst.begin(), entry.dst.end(), is_safe_relative_path)) return false;
  const auto index = archive.reader.locate(entry.hash);
  if (!index) return false;
  zip::MemberStat stat;
  if (!archive.reader.stat(*index, stat)) return false;

  EntryWriter::Entry job;
  job.first = setup_folder + to_native_separators(entry.dst.front());
  for (const std::wstring& path : entry.dst) {
    std::wstring target = setup_folder + to_native_separators(path);
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

bool extract_entries(const std::wstring& setup_folder, const std::vector<ArcInfoEntry>& entries,
                     const ArchiveHandle& archive, ExtractionProgress& progress) {
  FolderCache folders;
  for (const ArcInfoEntry& entry : entries) {
    for (const std::wstring& path : entry.dst) {
      // A path that leaves the setup folder gets no folders either; its
      // entry fails when its turn comes.
      if (is_safe_relative_path(path)) create_parent_folders(setup_folder + to_native_separators(path), folders);
    }
  }
  // The progress window and the message pump belong to this thread; the
  // writer only reports how many entries it has finished.
  EntryWriter writer;
  std::size_t stepped = 0;
  const auto step_finished = [&] {
    for (const std::size_t done = writer.done(); stepped < done; ++stepped) {
      pump_messages(5);
      progress.step_progress();
      pump_messages(5);
    }
  };
  bool queued = true;
  for (const ArcInfoEntry& entry : entries) {
    pump_messages(5);
    step_finished();
    if (!queue_entry(entry, archive, setup_folder, writer)) {
      queued = false;
      break;
    }
  }
  const bool written = writer.finish(step_finished);
  return queued && written;
}
