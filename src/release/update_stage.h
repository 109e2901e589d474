// The differential install: when setup folders of earlier releases of the
// product are in the destination, only the contents they lack are fetched,
// by range requests, and the new setup folder is made of those and copies
// of the rest. An optimisation that must never make an install fail that
// the full download would finish: every doubt, before anything is placed,
// ends it (logged why) and the main flow takes the full download, with
// nothing of this path left behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/content_store.h"
#include "archive/zip_reader.h"
#include "formats/archive_manifest.h"
#include "net/host_chain.h"
#include "release/ranged_archive.h"
#include "release/release_info.h"
#include "support/progress.h"

// The setup folder's name with one of the suffixes of update_plan.h instead
// of the trailing separator.
std::wstring folder_beside(const std::wstring& setup_folder, const wchar_t* suffix);

class DifferentialUpdate {
 public:
  // Reads the release's central directory and manifests by range and finds
  // the seed folders; null (logged why, unless no earlier release is there)
  // when the full download is to be taken. setup_folder: where the release
  // goes, ending in a separator.
  static std::unique_ptr<DifferentialUpdate> plan(HostChain& store, const ReleaseInfo& release,
                                                  const std::wstring& product, const std::wstring& setup_folder);
  ~DifferentialUpdate();
  DifferentialUpdate(const DifferentialUpdate&) = delete;
  DifferentialUpdate& operator=(const DifferentialUpdate&) = delete;

  // Brings every content into the store, verified: copies of seeds whose
  // SHA-256 matches, and the missing members, fetched by range, inflated and
  // checked (CRC-32 and SHA-256), each fetched again after a wait when it
  // fails, at most block_retry_limit times. The "download" progress counts
  // the contents' bytes. False (logged why, the store removed): take the
  // full download.
  bool fetch(const ProgressOpener& open_progress);

  // Makes the new setup folder beside the old one from the store (the
  // "extract" progress), then puts it in the old one's place. False when it
  // cannot be made (the old setup folder stays as it was); throws
  // ZipException when the old one cannot be removed or the disk is short.
  bool place(const ProgressOpener& open_progress, ExtractedFiles& extracted);

  const std::vector<StartCommand>& start_commands() const { return start_commands_; }

 private:
  DifferentialUpdate(HostChain& store, const ReleaseInfo& release, std::wstring setup_folder);
  // Fetches the members (in the archive's order) into the store, running
  // `between` before each; the name of one that never arrived intact, or
  // empty.
  std::string fetch_members(const std::vector<std::size_t>& missing,
                            const std::map<std::size_t, std::string>& digest_of, Progress& progress,
                            const std::function<void()>& between);
  bool fetch_member(std::size_t index, const std::string& digest, Progress& progress);

  ReleaseInfo release_;
  std::wstring setup_folder_;
  RangedArchive archive_;
  zip::ZipReader reader_;
  std::vector<zip::MemberStat> members_;
  std::vector<ByteSpan> spans_;
  std::vector<ArcInfoEntry> entries_;
  std::vector<StartCommand> start_commands_;
  std::vector<std::wstring> seed_folders_;
  std::unique_ptr<ContentStore> store_;
};
