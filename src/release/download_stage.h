// The download stage: from the product's release index to its archive,
// verified block by block and as a whole, at archive_path(release). The
// main flow drives it step by step and asks the user in between; the
// stage's timer ("downloadSetup") spans all of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/host_chain.h"
#include "release/release_index.h"
#include "release/update_stage.h"
#include "support/log.h"
#include "support/progress.h"

class DownloadStage {
 public:
  // The store's hosts: store, then the fallbacks in order (see
  // net/host_chain.h). Everything the stage fetches comes from them.
  // index_keys: the PEM public keys the release index must be signed with
  // (release/index_trust.h); empty takes the index as the store serves it.
  DownloadStage(HttpService store, std::vector<std::string> index_keys, std::wstring product,
                std::vector<HttpService> fallbacks = {});

  // The releases offered, current first. Throws DownloadException when the
  // product is empty, its index cannot be had, or (with index keys) the
  // index is not signed, older than one seen before or expired.
  std::vector<ReleaseChoice> offered();
  // The record of the release the user chose. Throws DownloadException when
  // this launcher is too old for it or its names cannot become local paths.
  ReleaseInfo accept(const std::string& key, bool download_only, const std::wstring& destination,
                     std::uint64_t launcher_version);
  // Brings the archive to disk, keeping what an earlier run left that is
  // still good. Throws DownloadException. written(end) says that the
  // archive's first end bytes are on disk and passed their blocks' digests;
  // called from the stage's threads, one call at a time, end only growing
  // (never for an archive that was whole already).
  void download(const ReleaseInfo& release, const ProgressOpener& open_progress,
                const std::function<void(std::uint64_t end)>& written = {});
  // The differential install of the accepted release into setup_folder, when
  // one is worth trying (release/update_stage.h); null when the full download
  // is to be taken. It fetches through this stage's hosts: done with the
  // network before the stage goes.
  std::unique_ptr<DifferentialUpdate> plan_update(const ReleaseInfo& release, const std::wstring& setup_folder);

 private:
  void check_index_trust(const std::string& index_bytes);

  StageTimer timer_;
  HostChain store_;
  std::vector<std::string> index_keys_;
  std::wstring product_;
  std::string product_text_;
  nlohmann::json index_;
};
